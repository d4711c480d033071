// How true the sample time line is: a session of the session layer streams
// the virtual headset in real time through the shipped library, its clock
// 1 % slow, exact and 1 % fast, with and without 1 % loss; another thread
// puts markers at random moments with Session::mark(), as an experiment
// would. Against the virtual headset's record of when each packet entered the
// receive queue: each marker's onset error after the first 10 s of the
// stream, the estimated time of sample 0 after the stream (an EDF+ start
// time), the effective rate after 60 s, and what placing a marker costs its
// caller. Also the time line alone on a synthetic stream, as fast as it
// goes: its cost per sample on the worker and its heap allocations.

#include "AllocationCounter.h"
#include "BenchMain.h"

#include <ondira/OndiraData.h>
#include <ondira/session/Session.h>
#include <ondira/session/TimeLine.h>

#include "ondira_sim.h"

#include <benchmark/benchmark.h>

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ondira_bench;
using ondira::session::Position;
using ondira::session::SampleKind;
using ondira::session::Session;
using ondira::session::TimeLine;
using ondira::session::TimeLineEstimate;

constexpr int CHANNELS = 4;
constexpr int SAMPLES_PER_PACKET = 5;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) { }

std::int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---------------------------------------------------------------------------
// Driving: a session with a tap that keeps every sample, and markers put from
// a thread of their own.

/// One delivered sample, as the measuring side needs it.
struct SampleRecord
{
    std::int64_t deliveredNs;
    std::int32_t microvolts[CHANNELS];
    std::uint8_t flag;
};

/// A marker: when it was stamped, where the session placed it then.
struct MarkerRecord
{
    std::int64_t ns;
    double placed;
};

/// The samples of the stream by index, from a tap read after it ended.
std::vector<SampleRecord> samplesOf(ondira::session::Tap& tap)
{
    std::vector<SampleRecord> log;
    std::vector<ondira::session::TapRecord> batch(4096);
    for (std::size_t n; (n = tap.pop(batch.data(), batch.size())) > 0;) {
        for (std::size_t i = 0; i < n; ++i) {
            const ondira::session::TapRecord& r = batch[i];
            const auto index = static_cast<std::size_t>(r.index);
            if (index >= log.size())
                log.resize(index + 1, SampleRecord{ 0, { 0, 0, 0, 0 }, OndiraData::FLAG_LOST_SAMPLE });
            log[index] = SampleRecord{ r.deliveredNs,
                { r.microvolts[0], r.microvolts[1], r.microvolts[2], r.microvolts[3] }, r.flag };
        }
    }
    return log;
}

/// The markers the session placed, from its log.
std::vector<MarkerRecord> markersOf(const Session& session)
{
    long long cursor = 0;
    std::vector<ondira::session::LogEntry> entries;
    session.log().read(cursor, entries);
    std::vector<MarkerRecord> markers;
    for (const ondira::session::LogEntry& e : entries) {
        if (e.kind == ondira::session::LogEntry::Kind::Marker)
            markers.push_back(MarkerRecord{ e.steadyNs, e.position });
    }
    return markers;
}

/// Puts markers at random moments (50 to 500 ms apart) until stopped, and
/// times each call of mark().
class MarkerThread
{
public:
    explicit MarkerThread(Session& session)
        : session(session)
    {
        thread = std::thread([this] { run(); });
    }
    ~MarkerThread() { stop(); }

    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
    }

    long long calls = 0, refused = 0;
    double markNs = 0.0, maxMarkNs = 0.0;

private:
    void run()
    {
        std::mt19937 random(17);
        std::uniform_int_distribution<int> gapMs(50, 500);
        std::unique_lock<std::mutex> lock(mutex);
        while (!wake.wait_for(
            lock, std::chrono::milliseconds(gapMs(random)), [this] { return stopping; })) {
            const auto start = std::chrono::steady_clock::now();
            const bool placed = session.mark("stimulus").placed();
            const double ns
                = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now() - start)
                                          .count());
            ++calls;
            refused += placed ? 0 : 1;
            markNs += ns;
            maxMarkNs = std::max(maxMarkNs, ns);
        }
    }

    Session& session;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

// ---------------------------------------------------------------------------
// Measuring: when each packet entered the virtual dongle's receive queue,
// and which of the headset's samples each stream index holds.

class Truth
{
public:
    /// Relates the virtual headset's clock to the steady clock.
    void relateClocks()
    {
        double best = 1e300;
        for (int i = 0; i < 200; ++i) {
            const std::int64_t before = steadyNs();
            const double simMs = ondira_sim_now_ms();
            const std::int64_t after = steadyNs();
            if (static_cast<double>(after - before) < best) {
                best = static_cast<double>(after - before);
                steadyMinusSimNs = static_cast<double>(before + (after - before) / 2) - simMs * 1e6;
            }
        }
    }

    /// Takes the arrivals of packets old enough to have arrived (the
    /// virtual headset remembers the last 4096). From time to time while the
    /// stream runs, and once after.
    void collect()
    {
        OndiraSimDeviceState state{};
        if (ondira_sim_get_state(0, &state) != 0)
            return;
        for (; nextPacket + 25 < state.packetsSent; ++nextPacket) {
            double ms = 0.0;
            if (ondira_sim_packet_arrival(0, nextPacket, &ms) == 0) {
                packets.push_back(static_cast<double>(nextPacket));
                arrivals.push_back(ms * 1e6 + steadyMinusSimNs);
            }
        }
    }

    /// Fits the arrivals' line (the virtual headset's are exact) and finds,
    /// by the values, the headset's sample behind every measured sample
    /// delivered. False when that cannot be done.
    bool settle(const std::vector<SampleRecord>& log, std::size_t count, std::string* why)
    {
        if (packets.size() < 10) {
            *why = "no packet arrivals";
            return false;
        }
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        const double y0 = arrivals.front();
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const double x = packets[i], y = arrivals[i] - y0;
            sx += x;
            sy += y;
            sxx += x * x;
            sxy += x * y;
        }
        const double m = static_cast<double>(packets.size());
        packetNs = (m * sxy - sx * sy) / (m * sxx - sx * sx);
        firstArrivalNs = y0 + (sy - packetNs * sx) / m;
        for (std::size_t i = 0; i < packets.size(); ++i)
            arrivalResidualNs = std::max(
                arrivalResidualNs, std::abs(arrivals[i] - firstArrivalNs - packetNs * packets[i]));

        // Stream index n holds the headset's sample n + shift; the shift
        // moves only where the library filled a silence (fillers that took
        // no sample's place).
        std::int64_t shift = 0;
        bool known = false;
        for (std::size_t n = 0; n < count; ++n) {
            if (log[n].flag == OndiraData::FLAG_LOST_SAMPLE)
                continue;
            const std::int64_t index = static_cast<std::int64_t>(n);
            if (!known || !matches(log[n], index + shift)) {
                bool found = false;
                for (std::int64_t d = known ? 1 : 0; d < 2000 && !found; ++d) {
                    for (const std::int64_t candidate : { shift + d, shift - d }) {
                        if (!found && matches(log[n], index + candidate)) {
                            shift = candidate;
                            found = true;
                        }
                    }
                }
                if (!found) {
                    *why = "sample " + std::to_string(n) + " is none of the headset's";
                    return false;
                }
                realigned += known ? 1 : 0;
                known = true;
            }
            indices.push_back(index);
            samples.push_back(index + shift);
        }
        return !indices.empty();
    }

    /// The steady time of the headset's sample `s`: the packet's arrival at
    /// its last sample, one period between samples.
    double timeOfSample(double s) const
    {
        return firstArrivalNs + packetNs * (s - (SAMPLES_PER_PACKET - 1)) / SAMPLES_PER_PACKET;
    }
    double sampleAt(double ns) const
    {
        return (SAMPLES_PER_PACKET - 1) + (ns - firstArrivalNs) * SAMPLES_PER_PACKET / packetNs;
    }
    /// The true stream position of steady time `ns`, between the measured
    /// samples around it.
    bool positionAt(double ns, double* index) const
    {
        const double s = sampleAt(ns);
        const auto after = std::upper_bound(samples.begin(), samples.end(), s,
            [](double v, std::int64_t x) { return v < static_cast<double>(x); });
        if (after == samples.begin() || after == samples.end())
            return false;
        const std::size_t i = static_cast<std::size_t>(after - samples.begin());
        const double s0 = static_cast<double>(samples[i - 1]), s1 = static_cast<double>(samples[i]);
        const double n0 = static_cast<double>(indices[i - 1]), n1 = static_cast<double>(indices[i]);
        *index = n0 + (n1 - n0) * (s - s0) / (s1 - s0);
        return true;
    }
    double trueTimeOfIndex(std::int64_t index) const
    {
        const auto at = std::lower_bound(indices.begin(), indices.end(), index);
        const std::size_t i
            = std::min(static_cast<std::size_t>(at - indices.begin()), indices.size() - 1);
        return timeOfSample(static_cast<double>(samples[i] - (indices[i] - index)));
    }
    double periodNs() const { return packetNs / SAMPLES_PER_PACKET; }
    double rateHz() const { return 1e9 / periodNs(); }

    int realigned = 0;
    double arrivalResidualNs = 0.0;

private:
    static bool matches(const SampleRecord& r, std::int64_t sample)
    {
        unsigned short raw[CHANNELS];
        if (sample < 0 || ondira_sim_sample(0, static_cast<unsigned long long>(sample), raw) != 0)
            return false;
        for (int k = 0; k < CHANNELS; ++k) {
            // The library's scaling: raw x 2700000 / 4587520, truncated.
            if (r.microvolts[k]
                != static_cast<std::int32_t>(static_cast<std::int64_t>(raw[k]) * 16875 / 28672))
                return false;
        }
        return true;
    }

    double steadyMinusSimNs = 0.0;
    unsigned long long nextPacket = 0;
    std::vector<double> packets, arrivals;
    double packetNs = 0.0, firstArrivalNs = 0.0;
    std::vector<std::int64_t> indices,
        samples; ///< measured stream indices and their headset samples
};

// ---------------------------------------------------------------------------

void BM_Timing(benchmark::State& state, double timescale, double loss)
{
    qInstallMessageHandler(quiet);
    const std::string config
        = "timescale=" + std::to_string(timescale) + " loss=" + std::to_string(loss);
    if (ondira_sim_configure(config.c_str()) != 0) {
        state.SkipWithError(ondira_sim_last_error());
        return;
    }
    const double seconds = smoke() ? 3.0 : 72.0;
    const double rateAfter = smoke() ? 2.0 : 60.0;
    const double settleSeconds = smoke() ? 1.0 : 10.0;

    Truth truth;
    truth.relateClocks();
    ondira::session::SessionOptions options;
    options.driver = ondira::session::Driver::virtualHeadset(ONDIRA_BENCH_SIM_LIBRARY);
    // Calibration off: the headset's offsets, and so its samples' values,
    // stay as the virtual headset computes them.
    options.calibrate = { { false, false, false, false } };
    Session session(options);
    ondira::session::Tap tap(static_cast<std::size_t>(seconds * 260) + 1000);
    session.attach(tap);
    if (!session.open().result().ok) {
        state.SkipWithError("the virtual headset did not open");
        return;
    }

    TimeLineEstimate atRate;
    for (auto _ : state) {
        session.start().wait();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (session.status().timeline == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (session.status().timeline == 0) {
            state.SkipWithError("no samples");
            break;
        }
        const double firstNs = static_cast<double>(steadyNs());
        MarkerThread markers(session);
        bool rateTaken = false;
        while (static_cast<double>(steadyNs()) < firstNs + seconds * 1e9) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            truth.collect();
            if (!rateTaken && static_cast<double>(steadyNs()) >= firstNs + rateAfter * 1e9) {
                atRate = session.timeLine().estimate();
                rateTaken = true;
            }
        }
        markers.stop();
        session.stop().wait();
        state.SetIterationTime(seconds);

        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        truth.collect();
        const std::vector<SampleRecord> log = samplesOf(tap);
        std::string why;
        if (tap.dropped() > 0 || !truth.settle(log, log.size(), &why)) {
            fail(state, tap.dropped() > 0 ? "the tap dropped samples" : why.c_str());
            break;
        }

        const ondira::session::TimeLine& timeLine = session.timeLine();
        std::vector<double> onset, settled;
        for (const MarkerRecord& m : markersOf(session)) {
            double index = 0.0;
            if (static_cast<double>(m.ns) < firstNs + settleSeconds * 1e9
                || !truth.positionAt(static_cast<double>(m.ns), &index))
                continue;
            onset.push_back(std::abs(m.placed - index));
            // Asked again once the samples are in, as a recording would.
            settled.push_back(std::abs(timeLine.positionOf(m.ns).index - index));
        }
        const double startError
            = (static_cast<double>(timeLine.timeOf(0.0).steadyNs) - truth.trueTimeOfIndex(0))
            / truth.periodNs();
        state.counters["markers"] = static_cast<double>(onset.size());
        state.counters["onset p50"] = percentile(onset, 0.5);
        state.counters["onset p99"] = percentile(onset, 0.99);
        state.counters["onset max"] = percentile(onset, 1.0);
        state.counters["settled p99"] = percentile(settled, 0.99);
        state.counters["settled max"] = percentile(settled, 1.0);
        state.counters["start error"] = startError;
        state.counters["rate"] = atRate.samplesPerSecond;
        state.counters["true rate"] = truth.rateHz();
        state.counters["rate error %"] = (atRate.samplesPerSecond / truth.rateHz() - 1.0) * 100.0;
        state.counters["uncertainty ms"] = atRate.uncertaintyNs / 1e6;
        state.counters["fits"] = timeLine.estimate().fit;
        state.counters["realigned"] = truth.realigned;
        state.counters["arrival residual us"] = truth.arrivalResidualNs / 1e3;
        if (markers.calls > 0) {
            state.counters["mark ns"] = markers.markNs / static_cast<double>(markers.calls);
            state.counters["mark max us"] = markers.maxMarkNs / 1e3;
        }
        if (markers.refused > 0)
            fail(state, "a marker was not placed");
    }
    session.close().wait();
    session.detach(tap);
}
BENCHMARK_CAPTURE(BM_Timing, slow, 0.99, 0.0)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Timing, slow_loss, 0.99, 0.01)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Timing, exact, 1.0, 0.0)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Timing, exact_loss, 1.0, 0.01)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Timing, fast, 1.01, 0.0)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Timing, fast_loss, 1.01, 0.01)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// ---------------------------------------------------------------------------
// The time line alone, on a synthetic stream in fake time: the library's
// bursts (a poll every 100.15 ms reads every packet that arrived, 2 us a
// sample), 1 % of the packets lost.

struct SyntheticDelivery
{
    std::int64_t index;
    std::int64_t ns;
    SampleKind kind;
};

std::vector<SyntheticDelivery> syntheticStream(double seconds)
{
    std::vector<SyntheticDelivery> out;
    std::mt19937 random(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double packetNs = 20e6 / 1.00005;
    std::int64_t index = 0;
    long long packet = 0;
    long lost = 0;
    for (double poll = 1e9; poll < 1e9 + seconds * 1e9; poll += 100.15e6) {
        double t = poll;
        for (; 1e9 - 50e6 + static_cast<double>(packet + 1) * packetNs <= poll; ++packet) {
            if (unit(random) < 0.01) {
                lost += SAMPLES_PER_PACKET;
                continue;
            }
            for (; lost > 0; --lost, t += 2000)
                out.push_back(SyntheticDelivery{ index++, std::llround(t), SampleKind::Filler });
            for (int j = 0; j < SAMPLES_PER_PACKET; ++j, t += 2000)
                out.push_back(SyntheticDelivery{ index++, std::llround(t), SampleKind::Measured });
        }
    }
    return out;
}

void BM_TimeLineObserve(benchmark::State& state)
{
    const std::vector<SyntheticDelivery> stream = syntheticStream(smoke() ? 20.0 : 600.0);
    TimeLine timeLine;
    const std::int64_t span = stream.back().ns - stream.front().ns + 100'000'000;
    std::size_t i = 0;
    std::int64_t lap = 0;
    const unsigned long long allocationsBefore = threadAllocations();
    for (auto _ : state) {
        const SyntheticDelivery& d = stream[i];
        // Laps go on where the last ended: one long stream.
        timeLine.observe(d.index + lap * (stream.back().index + 1), d.ns + lap * span, d.kind);
        if (++i == stream.size()) {
            i = 0;
            ++lap;
        }
    }
    const unsigned long long allocations = threadAllocations() - allocationsBefore;
    state.SetItemsProcessed(state.iterations());
    if (allocationsCounted())
        state.counters["allocs/sample"]
            = static_cast<double>(allocations) / static_cast<double>(state.iterations());
    if (allocations != 0)
        fail(state, "feeding the time line allocates");
}
BENCHMARK(BM_TimeLineObserve);

void BM_TimeLinePositionOf(benchmark::State& state)
{
    const std::vector<SyntheticDelivery> stream = syntheticStream(smoke() ? 20.0 : 600.0);
    TimeLine timeLine;
    for (const SyntheticDelivery& d : stream)
        timeLine.observe(d.index, d.ns, d.kind);
    std::mt19937 random(3);
    std::uniform_int_distribution<std::int64_t> when(stream.front().ns, stream.back().ns);
    std::vector<std::int64_t> times(4096);
    for (std::int64_t& t : times)
        t = when(random);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(timeLine.positionOf(times[i]));
        i = (i + 1) & (times.size() - 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimeLinePositionOf);

} // namespace

ONDIRA_BENCH_MAIN()
