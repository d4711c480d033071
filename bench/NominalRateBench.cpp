// The shipped library at the headset's real rate, 250 samples/s, against the
// virtual headset in real time: the whole process's CPU time per second of
// streaming, the worker's wake-ups per second, and the delay from a packet's
// last byte entering the virtual dongle's receive queue to its last sample
// reaching the consumer.

#include "BenchMain.h"

#include <ondira/Ondira.h>

#include "ondira_sim.h"

#include <benchmark/benchmark.h>

#include <QtGlobal>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ondira_bench;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

/// Voluntary and involuntary context switches of one thread of this process.
long long contextSwitches(long tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    long long total = 0;
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
            total += std::stoll(line.substr(line.find(':') + 1));
    }
    return total;
}

void BM_NominalRate(benchmark::State& state)
{
    qInstallMessageHandler(quiet);
    if (ondira_sim_configure("") != 0) {
        state.SkipWithError(ondira_sim_last_error());
        return;
    }
    const double seconds = smoke() ? 1.0 : 20.0;
    Ondira ondira(ONDIRA_BENCH_SIM_LIBRARY);
    CountingConsumer consumer;
    std::atomic<long> workerTid{0};
    std::atomic<bool> measuring{false};
    std::vector<double> delays;
    delays.reserve(static_cast<std::size_t>(seconds * 60) + 100);
    std::atomic<int> misplaced{0};
    consumer.onSample([&](long long n) {
        if (n == 0)
            workerTid = static_cast<long>(syscall(SYS_gettid));
        // Sample n is in packet n / 5 as long as no sample went missing: the
        // headset starts 25 ms after the start command, long after the
        // library is ready for its first packet.
        if (n % 5 != 4 || !measuring.load(std::memory_order_relaxed) || delays.size() == delays.capacity())
            return;
        const double now = ondira_sim_now_ms();
        double arrived = 0;
        if (ondira_sim_packet_arrival(0, static_cast<unsigned long long>(n / 5), &arrived) != 0 || now < arrived)
            ++misplaced;
        else
            delays.push_back(now - arrived);
    });
    ondira.registerConsumer(IDataProcessor::SAMPLE_DATA, consumer);
    if (!ondira.openDevice()) {
        state.SkipWithError("the virtual headset did not open");
        return;
    }
    ondira.startStreaming();
    if (!consumer.waitFor(250, 10)) {
        state.SkipWithError("no samples");
        return;
    }

    double cpu = 0, wall = 0;
    long long switches = 0, samples = 0;
    for (auto _ : state) {
        const long tid = workerTid.load();
        const long long samplesBefore = consumer.count();
        const long long switchesBefore = contextSwitches(tid);
        const double cpuBefore = processCpuSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        measuring = true;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        measuring = false;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
        cpu += processCpuSeconds() - cpuBefore;
        switches += contextSwitches(tid) - switchesBefore;
        samples += consumer.count() - samplesBefore;
        state.SetIterationTime(seconds);
    }
    ondira.stopStreaming();
    ondira.closeDevice();
    ondira.deregisterConsumer(IDataProcessor::SAMPLE_DATA, consumer);
    if (misplaced > 0) {
        fail(state, "samples and packets did not line up");
        return;
    }
    state.counters["samples/s"] = static_cast<double>(samples) / wall;
    state.counters["cpu %"] = 100.0 * cpu / wall;
    state.counters["wakeups/s"] = static_cast<double>(switches) / wall;
    state.counters["delay p50 ms"] = percentile(delays, 0.5);
    state.counters["delay p99 ms"] = percentile(delays, 0.99);
    state.counters["delay max ms"] = percentile(delays, 1.0);
}
BENCHMARK(BM_NominalRate)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

ONDIRA_BENCH_MAIN()
