#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <sched.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace ondira_bench {

namespace {
bool smokeMode = false;
}

bool smoke()
{
    return smokeMode;
}

void pinToOneCore()
{
    const int cpu = sched_getcpu();
    if (cpu < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void CountingConsumer::receiveData(PData&)
{
    const long long n = received.load(std::memory_order_relaxed);
    if (probe)
        probe(n);
    received.store(n + 1, std::memory_order_release);
}

bool CountingConsumer::waitFor(long long target, double seconds) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (count() < target) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

int runBenchmarks(int argc, char** argv)
{
    std::vector<char*> args;
    static std::string quick = "--benchmark_min_time=0.001";
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0) {
            smokeMode = true;
            args.push_back(&quick[0]);
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace ondira_bench
