// The LSL outlet at the headset's rate: 250 samples/s of four channels on a
// time line 4 ms apart, pushed as the library delivers them (bursts of 25
// samples every 100 ms) or one at a time every 4 ms (the costliest way), read
// by one or ten of the tests' inlets on the loopback interface. Measured: the outlet's CPU
// as a share of one core (its two threads, found by name, and the pushing
// thread's time inside pushSamples; on loopback a send also carries the
// receiving side's TCP work), the whole process's for comparison, the delay
// from the push call to an inlet's receipt, and heap allocations per push once
// warm (which fail the run). Then the whole path as a program has it: the
// real-time virtual headset's session published by the session layer's
// publisher, with the delay from the session's tap (the library's delivery)
// to the inlet's receipt.

#include "AllocationCounter.h"
#include "BenchMain.h"
#include "TestInlet.h"

#include <ondira/lsl/Outlet.h>
#include <ondira/session/LslPublisher.h>
#include <ondira/session/Session.h>

#include "ondira_sim.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace ondira_bench;
using namespace ondira::lsl;

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

/// CPU time of this process's threads whose name begins with "lsl-" (the
/// outlets' and the publisher's).
double outletThreadsCpuSeconds()
{
    double total = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return 0;
    while (const dirent* entry = readdir(tasks)) {
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(task + "/comm");
        std::string name;
        if (!std::getline(comm, name) || name.rfind("lsl-", 0) != 0)
            continue;
        std::ifstream schedstat(task + "/schedstat");
        unsigned long long runNs = 0;
        if (schedstat >> runNs)
            total += static_cast<double>(runNs) / 1e9;
    }
    closedir(tasks);
    return total;
}

/// An inlet on a thread of its own, noting each sample's delay.
struct Reader
{
    explicit Reader(const std::vector<std::atomic<double>>& pushTimes)
        : pushTimes(pushTimes)
    {
    }

    const std::vector<std::atomic<double>>& pushTimes;
    lsltest::Inlet inlet;
    std::vector<double> delays;
    std::atomic<long long> received{ 0 };
    std::atomic<double> cpu{ 0 };
    std::thread thread;

    void run(std::size_t capacity)
    {
        delays.reserve(capacity);
        thread = std::thread([this] {
            const double cpuBefore = threadCpuSeconds();
            std::vector<float> values;
            double stamp = 0;
            while (inlet.readFloat(values, stamp, 2)) {
                const double now = lsltest::clockSeconds();
                const auto n = static_cast<std::size_t>(values[0]);
                if (n < pushTimes.size() && delays.size() < delays.capacity())
                    delays.push_back((now - pushTimes[n].load(std::memory_order_relaxed)) * 1000);
                received.fetch_add(1, std::memory_order_relaxed);
            }
            cpu = threadCpuSeconds() - cpuBefore;
        });
    }
};

void BM_LslOutlet(benchmark::State& state)
{
    const int inlets = static_cast<int>(state.range(0));
    const long long perPush = state.range(1);
    const double seconds = smoke() ? 1.0 : 20.0;
    const long long count = static_cast<long long>(seconds * 250);
    std::vector<std::atomic<double>> pushTimes(static_cast<std::size_t>(count));
    StreamInfo info;
    info.name = "OndiraBench-" + std::to_string(::getpid());
    info.type = "EEG";
    info.channelCount = 4;
    info.nominalRate = 250;
    info.sourceId = info.name;
    OutletOptions options;
    options.interfaceAddress = lsltest::LOOPBACK;
    options.joinMulticast = false;
    Outlet outlet(info, options);
    std::string error;
    if (!outlet.start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    lsltest::Resolved stream;
    for (const lsltest::Resolved& found : lsltest::resolve("name='" + info.name + "'", 3, 1))
        stream = found;
    if (stream.uid != outlet.uid()) {
        state.SkipWithError("the outlet was not resolved");
        return;
    }
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < inlets; ++i) {
        readers.push_back(std::make_unique<Reader>(pushTimes));
        if (!readers.back()->inlet.connect(stream, {}, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        readers.back()->run(static_cast<std::size_t>(seconds * 250) + 1000);
    }
    if (!lsltest::waitUntil([&] { return outlet.stats().inlets == inlets; }, 10)) {
        state.SkipWithError("the inlets did not connect");
        return;
    }

    std::vector<float> values(static_cast<std::size_t>(4 * perPush));
    std::vector<double> stamps(static_cast<std::size_t>(perPush));
    long long pushed = 0;
    unsigned long long allocations = 0;
    double wall = 0, cpu = 0, threads = 0, pushing = 0;
    for (auto _ : state) {
        const double cpuBefore = processCpuSeconds();
        const double threadsBefore = outletThreadsCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        const double timeLine = localClock();
        double stamp = timeLine;
        for (long long first = 0; first < count; first += perPush) {
            // Samples come in when the last of them is due.
            std::this_thread::sleep_until(
                start + std::chrono::microseconds(4000 * (first + perPush - 1)));
            const double now = localClock();
            for (long long i = 0; i < perPush; ++i) {
                values[static_cast<std::size_t>(4 * i)] = static_cast<float>(first + i);
                stamps[static_cast<std::size_t>(i)] = stamp;
                stamp += 1.0 / 250;
                pushTimes[static_cast<std::size_t>(first + i)].store(
                    now, std::memory_order_relaxed);
            }
            const unsigned long long before = threadAllocations();
            const double pushBegin = threadCpuSeconds();
            outlet.pushSamples(values.data(), stamps.data(), static_cast<std::size_t>(perPush));
            pushing += threadCpuSeconds() - pushBegin;
            if (first >= 250) // warm after the first second
                allocations += threadAllocations() - before;
        }
        pushed += count;
        lsltest::waitUntil(
            [&] {
                for (const auto& reader : readers) {
                    if (reader->received.load() < pushed)
                        return false;
                }
                return true;
            },
            5);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += processCpuSeconds() - cpuBefore;
        threads += outletThreadsCpuSeconds() - threadsBefore;
        state.SetIterationTime(seconds);
    }
    const OutletStats stats = outlet.stats();
    outlet.stop(); // ends the inlets' reads
    std::vector<double> delays;
    double inletCpu = 0;
    long long received = 0;
    for (auto& reader : readers) {
        reader->thread.join();
        inletCpu += reader->cpu;
        received += reader->received;
        delays.insert(delays.end(), reader->delays.begin(), reader->delays.end());
    }
    if (allocations > 0) {
        fail(state, "pushSamples allocated once warm");
        return;
    }
    if (received != pushed * inlets || stats.samplesDroppedForInlets != 0) {
        fail(state, "an inlet missed samples");
        return;
    }
    state.counters["outlet cpu %"] = 100.0 * (threads + pushing) / wall;
    state.counters["outlet threads cpu %"] = 100.0 * threads / wall;
    state.counters["push cpu %"] = 100.0 * pushing / wall;
    state.counters["process cpu %"] = 100.0 * cpu / wall;
    state.counters["inlets cpu %"] = 100.0 * inletCpu / wall;
    state.counters["samples/s"] = static_cast<double>(pushed) / wall;
    state.counters["delay p50 ms"] = percentile(delays, 0.5);
    state.counters["delay p99 ms"] = percentile(delays, 0.99);
    state.counters["delay max ms"] = percentile(delays, 1.0);
}
BENCHMARK(BM_LslOutlet)
    ->ArgNames({ "inlets", "per_push" })
    ->Args({ 1, 25 })
    ->Args({ 10, 25 })
    ->Args({ 1, 1 })
    ->Args({ 10, 1 })
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

/// An inlet on a thread of its own, noting when each sample arrived.
struct ArrivalReader
{
    lsltest::Inlet inlet;
    std::vector<double> arrived; ///< steady seconds, in the order received
    std::vector<float> firstValues;
    std::atomic<long long> received{ 0 };
    std::thread thread;

    void run(std::size_t capacity)
    {
        arrived.reserve(capacity);
        firstValues.reserve(capacity);
        thread = std::thread([this] {
            std::vector<float> values;
            double stamp = 0;
            while (inlet.readFloat(values, stamp, 2)) {
                if (arrived.size() < arrived.capacity()) {
                    arrived.push_back(lsltest::clockSeconds());
                    firstValues.push_back(values[0]);
                }
                received.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
};

void BM_LslSession(benchmark::State& state)
{
    using namespace ondira::session;
    const int inlets = static_cast<int>(state.range(0));
    const double seconds = smoke() ? 2.0 : 20.0;
    const std::size_t capacity = static_cast<std::size_t>(seconds * 250) + 2000;
    if (ondira_sim_configure("") != 0) {
        state.SkipWithError(ondira_sim_last_error());
        return;
    }
    SessionOptions settings;
    settings.driver = Driver::virtualHeadset(ONDIRA_BENCH_SIM_LIBRARY);
    settings.calibrate = { { false, false, false, false } };
    Session session(settings);
    const CallResult connected = session.connect().result();
    if (!connected.ok) {
        state.SkipWithError(connected.message.c_str());
        return;
    }
    Tap delivered(capacity);
    session.attach(delivered);
    LslOptions options;
    options.name = "OndiraBenchSession-" + std::to_string(::getpid());
    options.interfaceAddress = lsltest::LOOPBACK;
    LslPublisher publisher(session, options);
    std::string error;
    if (!publisher.start(connected.info, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::vector<lsltest::Resolved> found
        = lsltest::resolve("name='" + options.name + "'", 3, 1);
    if (found.empty()) {
        state.SkipWithError("the stream was not resolved");
        return;
    }
    std::vector<std::unique_ptr<ArrivalReader>> readers;
    for (int i = 0; i < inlets; ++i) {
        readers.push_back(std::make_unique<ArrivalReader>());
        if (!readers.back()->inlet.connect(found.front(), {}, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        readers.back()->run(capacity);
    }
    if (!lsltest::waitUntil([&] { return publisher.status().inlets == inlets; }, 10)) {
        state.SkipWithError("the inlets did not connect");
        return;
    }

    double wall = 0, threads = 0, process = 0;
    for (auto _ : state) {
        const double processBefore = processCpuSeconds();
        const double threadsBefore = outletThreadsCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        session.start().wait();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        session.stop().wait();
        const long long sent = static_cast<long long>(delivered.received());
        lsltest::waitUntil(
            [&] {
                for (const auto& reader : readers) {
                    if (reader->received.load() < sent)
                        return false;
                }
                return true;
            },
            5);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        threads += outletThreadsCpuSeconds() - threadsBefore;
        process += processCpuSeconds() - processBefore;
        state.SetIterationTime(seconds);
    }
    const LslStatus status = publisher.status();
    publisher.stop(); // ends the inlets' reads
    session.detach(delivered);
    std::vector<TapRecord> records(capacity);
    records.resize(delivered.pop(records.data(), records.size()));

    std::vector<double> delays;
    bool exact = true;
    for (auto& reader : readers) {
        reader->thread.join();
        exact = exact && reader->arrived.size() == records.size();
        for (std::size_t i = 0; exact && i < records.size(); ++i) {
            exact = reader->firstValues[i] == static_cast<float>(records[i].microvolts[0]);
            delays.push_back(
                (reader->arrived[i] - static_cast<double>(records[i].deliveredNs) / 1e9) * 1000);
        }
    }
    if (!exact || status.droppedForInlets != 0 || records.empty()) {
        fail(state, "an inlet missed samples or got them out of order");
        return;
    }
    // Deliveries of the library, each a push to the outlet: samples more than
    // 1 ms apart came in different ones.
    long long deliveries = 1;
    for (std::size_t i = 1; i < records.size(); ++i)
        deliveries += records[i].deliveredNs - records[i - 1].deliveredNs > 1000000 ? 1 : 0;
    state.counters["deliveries/s"] = static_cast<double>(deliveries) / wall;
    state.counters["publisher cpu %"] = 100.0 * threads / wall;
    state.counters["process cpu %"] = 100.0 * process / wall;
    state.counters["samples/s"] = static_cast<double>(records.size()) / wall;
    state.counters["delay p50 ms"] = percentile(delays, 0.5);
    state.counters["delay p99 ms"] = percentile(delays, 0.99);
    state.counters["delay max ms"] = percentile(delays, 1.0);
}
BENCHMARK(BM_LslSession)
    ->ArgNames({ "inlets" })
    ->Arg(1)
    ->Arg(10)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace

ONDIRA_BENCH_MAIN()
