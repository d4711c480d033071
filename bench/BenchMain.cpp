#include "BenchMain.h"

#include "AllocationCounter.h"

#include <benchmark/benchmark.h>

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace ondira_bench {

namespace {
bool smokeMode = false;
std::atomic<bool> failed{false};
}

void fail(benchmark::State& state, const char* why)
{
    failed = true;
    state.SkipWithError(why);
}

bool smoke()
{
    return smokeMode;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

long long timeStream(benchmark::State& state, const CountingConsumer& consumer,
                     const std::function<void()>& start, const std::function<void()>& stop)
{
    const long long perIteration = smoke() ? 20000 : 500000;
    long long target = 0;
    const double cpuBefore = processCpuSeconds();
    start();
    for (auto _ : state) {
        target += perIteration;
        if (!consumer.waitFor(target, 60)) {
            state.SkipWithError("samples stopped coming");
            break;
        }
    }
    stop();
    const double cpu = processCpuSeconds() - cpuBefore;
    state.SetItemsProcessed(target);
    if (cpu > 0)
        state.counters["samples/cpu-s"] = static_cast<double>(target) / cpu;
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(target), benchmark::Counter::kIsRate);
    return target;
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
    // The counter must see an allocation for its zeros to mean anything.
    if (allocationsCounted()) {
        const unsigned long long before = threadAllocations();
        void* probe = std::malloc(16);
        benchmark::DoNotOptimize(probe);
        std::free(probe);
        if (threadAllocations() != before + 1) {
            std::fprintf(stderr, "the allocation counter does not count\n");
            return 1;
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return failed ? 1 : 0;
}

} // namespace ondira_bench
