// The time line on synthetic streams (SyntheticStream.h): the library's
// bursts on a fake clock, headset clocks off by up to 1 %, losses, silences,
// fillers that stand for no sample, restarts; judged by the true time of
// every sample.

#include "SyntheticStream.h"

#include <ondira/session/TimeLine.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace ondira::session;
using ondira_test::Delivery;
using ondira_test::Kind;
using ondira_test::StreamEvent;
using ondira_test::StreamPlan;
using ondira_test::SyntheticStream;

// Heap allocations made on each thread, for the test that the feeding path
// makes none.
namespace {
thread_local unsigned long long allocations = 0;
}

void* operator new(std::size_t size)
{
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

constexpr double NS_PER_SECOND = 1e9;

class FakeClocks : public TimeLineClocks
{
public:
    std::int64_t steadyNs() const override { return steady.load(); }
    std::int64_t wallNs() const override { return steady.load() + wallOffset.load(); }

    std::atomic<std::int64_t> steady{ 0 };
    std::atomic<std::int64_t> wallOffset{ 1'700'000'000'000'000'000 };
};

SampleKind kindOf(Kind kind)
{
    return kind == Kind::Measured ? SampleKind::Measured : SampleKind::Filler;
}

/// A marker stamped at `ns` and placed at once, before any later delivery
/// (`position`), and again once its samples are in (`settled`).
struct Marker
{
    double ns;
    std::uint32_t stream; ///< from 0, as SyntheticStream counts them
    Position position;
    Position settled;
};

/// How long after a marker its samples are surely delivered: a poll, and
/// the fit at the burst after.
constexpr double SETTLE_NS = 250e6;

struct Feeding
{
    std::vector<Marker> markers;
    std::vector<double> restartNs; ///< deliveries the time line was told to restart before
    TimeLineEstimate probe; ///< the estimate at `probeNs`
};

struct FeedOptions
{
    FakeClocks* clocks = nullptr;
    double probeNs = 0.0; ///< when to take Feeding::probe
    std::size_t from = 0, to = SIZE_MAX; ///< the deliveries to feed
    double markerGapNs = 500e6; ///< markers come 0.1 to 1 times this apart
};

/// Feeds deliveries of the stream as the library's worker would, with the
/// restarts, placing markers at random moments (seeded).
Feeding feed(const SyntheticStream& stream, TimeLine& timeLine, FeedOptions o = FeedOptions())
{
    std::mt19937 random(7);
    std::uniform_real_distribution<double> gap(0.1 * o.markerGapNs, o.markerGapNs);
    FakeClocks* clocks = o.clocks;
    const double probeNs = o.probeNs;
    const std::size_t from = o.from;
    std::size_t to = o.to;
    Feeding out;
    const std::vector<Delivery>& deliveries = stream.deliveries();
    to = std::min(to, deliveries.size());
    double next = static_cast<double>(deliveries[from].ns) + gap(random);
    std::uint32_t streamNo = 0;
    bool probed = false;
    std::size_t unsettled = 0;
    for (std::size_t i = 0; i < to; ++i) {
        const Delivery& d = deliveries[i];
        for (const ondira_test::RestartAt& r : stream.restarts()) {
            if (r.before != i)
                continue;
            streamNo += r.newStream ? 1 : 0;
            if (i >= from) {
                timeLine.restart(r.newStream ? Break::NewStream : Break::HeadsetBack);
                out.restartNs.push_back(static_cast<double>(d.ns));
            }
        }
        if (i < from)
            continue;
        for (; next < static_cast<double>(d.ns); next += gap(random))
            out.markers.push_back(
                Marker{ next, streamNo, timeLine.positionOf(std::llround(next)), {} });
        for (; unsettled < out.markers.size()
             && out.markers[unsettled].ns + SETTLE_NS < static_cast<double>(d.ns);
             ++unsettled)
            out.markers[unsettled].settled
                = timeLine.positionOf(std::llround(out.markers[unsettled].ns));
        if (!probed && probeNs > 0 && static_cast<double>(d.ns) >= probeNs) {
            out.probe = timeLine.estimate();
            probed = true;
        }
        if (clocks)
            clocks->steady = d.ns;
        timeLine.observe(d.index, d.ns, kindOf(d.kind));
    }
    return out;
}

struct Errors
{
    std::size_t count = 0;
    double maxAbs = 0.0;
    double mean = 0.0;
    /// Markers whose error exceeds their stated uncertainty by more than a
    /// quarter sample.
    std::size_t overstated = 0;
    std::string worst;
};

/// The markers' errors, in sample periods: the true time of the position
/// each got less its own time (so positive when it was placed late). Where
/// the samples lie evenly this is the error in samples; across fillers that
/// stand for no sample, many positions share one short time. Leaves out the
/// markers within `settleSeconds` after any of `settleFrom` (and the poll
/// before it, whose packets the break may already take), and those in a gap
/// of the stream (no sample within 100 ms), whose true position is only
/// known afterwards.
Errors errorsOf(const SyntheticStream& stream, const std::vector<Marker>& markers,
    double settleSeconds, const std::vector<double>& settleFrom)
{
    Errors e;
    double sum = 0.0;
    for (const Marker& m : markers) {
        bool settling = false;
        for (double from : settleFrom)
            settling
                = settling || (m.ns >= from - 0.2e9 && m.ns < from + settleSeconds * NS_PER_SECOND);
        double truth = 0.0, apart = 0.0, placedNs = 0.0;
        if (settling || !stream.truePosition(m.stream, m.ns, &truth, &apart) || apart > 100e6
            || !stream.trueTimeAt(m.stream, m.position.index, &placedNs))
            continue;
        const double error = (placedNs - m.ns) / stream.periodNs();
        ++e.count;
        sum += error;
        if (std::abs(error) > e.maxAbs) {
            e.maxAbs = std::abs(error);
            e.worst = "marker at "
                + std::to_string((m.ns - static_cast<double>(stream.startNs())) / 1e9)
                + " s: " + std::to_string(error) + " samples, stated "
                + std::to_string(m.position.uncertainty) + ", " + placeName(m.position.place);
        }
        if (std::abs(error) > m.position.uncertainty + 0.25)
            ++e.overstated;
    }
    e.mean = e.count ? sum / static_cast<double>(e.count) : 0.0;
    return e;
}

/// The same for the markers placed again once their samples were in.
Errors settledErrorsOf(const SyntheticStream& stream, std::vector<Marker> markers,
    double settleSeconds, const std::vector<double>& settleFrom)
{
    markers.erase(std::remove_if(markers.begin(), markers.end(),
                      [](const Marker& m) { return m.settled.place == Place::NoFit; }),
        markers.end());
    for (Marker& m : markers)
        m.position = m.settled;
    return errorsOf(stream, markers, settleSeconds, settleFrom);
}

double rateErrorPpm(const TimeLineEstimate& e, const SyntheticStream& stream)
{
    return (e.samplesPerSecond / stream.rateHz() - 1.0) * 1e6;
}

// ---------------------------------------------------------------------------
// Accuracy on streams without breaks

struct AccuracyCase
{
    const char* name;
    double clockSpeed;
    double loss;
    double pollOverheadMs; ///< sets how fast the poll's phase moves against the packets
    std::uint32_t seed;
    double speedChangePpmPerMinute = 0.0;
};

void PrintTo(const AccuracyCase& c, std::ostream* os)
{
    *os << c.name;
}

class TimeLineAccuracy : public ::testing::TestWithParam<AccuracyCase>
{
};

TEST_P(TimeLineAccuracy, MarkersAfterTenSecondsLandOnTheirSamples)
{
    const AccuracyCase& c = GetParam();
    StreamPlan plan;
    plan.clockSpeed = c.clockSpeed;
    plan.loss = c.loss;
    plan.pollOverheadMs = c.pollOverheadMs;
    plan.seed = c.seed;
    plan.speedChangePpmPerMinute = c.speedChangePpmPerMinute;
    plan.seconds = 70.0;
    const SyntheticStream stream(plan);
    TimeLine timeLine;
    const Feeding fed = feed(stream, timeLine);

    const Errors e = errorsOf(stream, fed.markers, 10.0, { static_cast<double>(stream.startNs()) });
    ASSERT_GT(e.count, 100u);
    EXPECT_LE(e.maxAbs, 0.5) << e.worst;
    // A fit that followed the deliveries would lie half a poll (12 samples) late.
    EXPECT_LE(std::abs(e.mean), 0.2);
    EXPECT_EQ(e.overstated, 0u) << e.worst;

    // The rate fitted over the window: the rate half a window back.
    const TimeLineEstimate est = timeLine.estimate();
    const double windowMiddle = static_cast<double>(stream.deliveries().back().ns)
        - TimeLineOptions().windowSeconds / 2 * NS_PER_SECOND;
    const double trueRate = stream.rateHzAt(std::max(windowMiddle,
        0.5 * (static_cast<double>(stream.startNs()) + stream.deliveries().back().ns)));
    EXPECT_LE(std::abs((est.samplesPerSecond / trueRate - 1.0) * 1e6), 20.0)
        << est.samplesPerSecond;
    EXPECT_TRUE(est.converged);
    EXPECT_EQ(est.fit, 1u);
    EXPECT_EQ(est.steps, 0u);
    const Instant first = timeLine.timeOf(0.0);
    EXPECT_LE(std::abs(static_cast<double>(first.steadyNs) - stream.trueTime(0, 0)),
        0.5 * stream.periodNs());
}

const AccuracyCase accuracyCases[] = {
    { "Exact", 1.0, 0.0, 0.15, 1 }, { "ExactWithLoss", 1.0, 0.01, 0.15, 2 },
    { "ExactOnAQuietMachine", 1.0, 0.01, 0.03, 3 }, // the phase moves slowly
    { "OnePercentSlow", 0.99, 0.0, 0.15, 4 }, { "OnePercentSlowWithLoss", 0.99, 0.01, 0.2, 5 },
    { "OnePercentFast", 1.01, 0.0, 0.1, 6 }, { "OnePercentFastWithLoss", 1.01, 0.01, 0.3, 7 },
    { "FiftyPpmFast", 1.00005, 0.01, 0.05, 8 }, { "FiftyPpmSlow", 0.99995, 0.01, 0.25, 9 },
    { "FivePercentLoss", 1.00005, 0.05, 0.15, 10 },
    { "RateChangingFast", 1.00005, 0.01, 0.15, 11, 20.0 }, // 20 ppm a minute: warming up
};
INSTANTIATE_TEST_SUITE_P(Streams, TimeLineAccuracy, ::testing::ValuesIn(accuracyCases),
    [](const ::testing::TestParamInfo<AccuracyCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Breaks: fillers that step the line, silences, restarts

struct BreakCase
{
    const char* name;
    double clockSpeed;
    StreamEvent event;
    std::uint32_t steps; ///< steps the time line must find itself
    bool newFit; ///< a fit begins after the break
    bool showsAtOnce; ///< the first sample after the break can show it
};

void PrintTo(const BreakCase& c, std::ostream* os)
{
    *os << c.name;
}

class TimeLineBreaks : public ::testing::TestWithParam<BreakCase>
{
};

TEST_P(TimeLineBreaks, FitBeginsOrCarriesAsTheSamplesShowAndMarkersLandAfterwards)
{
    const BreakCase& c = GetParam();
    StreamPlan plan;
    plan.clockSpeed = c.clockSpeed;
    plan.loss = 0.01;
    plan.seconds = 60.0;
    plan.events = { c.event };
    const SyntheticStream stream(plan);
    TimeLine timeLine;
    const double eventNs = SyntheticStream::atNs(c.event.atSeconds);
    FeedOptions o;
    o.probeNs = eventNs + (c.event.seconds + 0.5) * NS_PER_SECOND;
    o.markerGapNs = 20e6;
    const Feeding fed = feed(stream, timeLine, o);

    const TimeLineEstimate est = timeLine.estimate();
    EXPECT_EQ(est.steps, c.steps);
    EXPECT_EQ(est.fit, c.newFit ? 2u : 1u);
    std::vector<double> settle = fed.restartNs;
    settle.push_back(static_cast<double>(stream.startNs()));
    settle.push_back(eventNs);
    const Errors e = errorsOf(stream, fed.markers, 10.0, settle);
    ASSERT_GT(e.count, 50u);
    EXPECT_LE(e.maxAbs, 0.5) << e.worst;
    EXPECT_LE(std::abs(rateErrorPpm(est, stream)), 20.0);
    // The rate is the headset's: it is carried over the break at once.
    EXPECT_LE(std::abs(rateErrorPpm(fed.probe, stream)), 50.0) << fed.probe.samplesPerSecond;
    // Placed again once their samples are in, markers land right after the
    // break too, if less well; markers placed ahead of the newest sample
    // just before a step could not know of it.
    const Errors soon
        = settledErrorsOf(stream, fed.markers, 10.0, { static_cast<double>(stream.startNs()) });
    ASSERT_GT(soon.count, e.count);
    EXPECT_LE(soon.maxAbs, 3.0) << soon.worst;
    // And placed at once, from the first sample after the break on: a step
    // that puts the samples later shows only with the next burst's end.
    ASSERT_EQ(stream.breaksNs().size(), 1u);
    const double breakNs = stream.breaksNs().front() + (c.showsAtOnce ? 1e6 : 250e6);
    std::vector<Marker> after;
    for (const Marker& m : fed.markers) {
        if (m.ns >= breakNs && m.ns < breakNs + 3 * NS_PER_SECOND)
            after.push_back(m);
    }
    const Errors atOnce = errorsOf(stream, after, 0.0, {});
    ASSERT_GT(atOnce.count, 50u);
    EXPECT_LE(atOnce.maxAbs, 3.0) << atOnce.worst;
}

const BreakCase breakCases[] = {
    // At 1 % slow the library's own time line falls behind and it fills
    // silences that were none: 38 fillers that stand for no sample.
    { "FillersForNoSampleStepTheLine", 0.99, { 30, StreamEvent::What::SpuriousFillers, 0.0, 38 }, 1,
        true, true },
    { "SilenceFilledExactlyKeepsTheFit", 1.0, { 30, StreamEvent::What::Silence, 1.0, 250 }, 0,
        false, true },
    { "SilenceFilledTooMuchStepsTheLine", 1.0, { 30, StreamEvent::What::Silence, 1.0, 280 }, 1,
        true, true },
    { "SilenceFilledTooLittleStepsTheLine", 1.00005, { 30, StreamEvent::What::Silence, 1.0, 220 },
        1, true, false },
    { "HeadsetBackBeginsAFit", 1.01, { 30, StreamEvent::What::HeadsetBack, 3.0, 758 }, 0, true,
        true },
    { "HeadsetBackMiscountedBeginsAFit", 1.0, { 30, StreamEvent::What::HeadsetBack, 3.0, 720 }, 0,
        true, true },
    { "NewStreamBeginsAFit", 0.99, { 30, StreamEvent::What::NewStream, 2.0, 0 }, 0, true, true },
};
INSTANTIATE_TEST_SUITE_P(Streams, TimeLineBreaks, ::testing::ValuesIn(breakCases),
    [](const ::testing::TestParamInfo<BreakCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------

TEST(TimeLine, PlacesSayWhetherAPositionHasItsSample)
{
    TimeLine timeLine;
    EXPECT_EQ(timeLine.positionOf(0).place, Place::NoFit);
    EXPECT_EQ(timeLine.timeOf(0.0).place, Place::NoFit);
    EXPECT_EQ(timeLine.estimate().fit, 0u);

    StreamPlan plan;
    plan.seconds = 20.0;
    const SyntheticStream stream(plan);
    feed(stream, timeLine);
    const double first = static_cast<double>(stream.startNs());
    const double last = static_cast<double>(stream.deliveries().back().ns);
    const std::int64_t newest = stream.deliveries().back().index;

    const Position before = timeLine.positionOf(std::llround(first - 1e9));
    EXPECT_EQ(before.place, Place::BeforeFirst);
    EXPECT_LT(before.index, -200.0);
    EXPECT_EQ(timeLine.positionOf(std::llround(first + 10e9)).place, Place::Within);
    // A marker now lies after the newest sample delivered: its packet has
    // not been read yet.
    const Position now = timeLine.positionOf(std::llround(last + 50e6));
    EXPECT_EQ(now.place, Place::Ahead);
    EXPECT_GT(now.index, static_cast<double>(newest) + 0.5);
    EXPECT_EQ(timeLine.timeOf(static_cast<double>(newest)).place, Place::Within);
    EXPECT_EQ(timeLine.timeOf(-1.0).place, Place::BeforeFirst);

    timeLine.finish();
    EXPECT_EQ(timeLine.positionOf(std::llround(last + 50e6)).place, Place::AfterEnd);
    EXPECT_EQ(timeLine.timeOf(static_cast<double>(newest + 5)).place, Place::AfterEnd);
    EXPECT_EQ(timeLine.positionOf(std::llround(first + 10e9)).place, Place::Within);

    timeLine.restart(Break::NewStream);
    EXPECT_EQ(timeLine.positionOf(std::llround(last)).place, Place::NoFit);
}

TEST(TimeLine, OldPositionsKeepTheirLineAcrossStepsAndGaps)
{
    // The headset's rate changes, and the last segment is long: the present
    // line, drawn back over minutes, would miss its early samples.
    StreamPlan plan;
    plan.clockSpeed = 1.01;
    plan.speedChangePpmPerMinute = 20.0;
    plan.loss = 0.01;
    plan.seconds = 400.0;
    plan.events = { { 60, StreamEvent::What::SpuriousFillers, 0.0, 38 },
        { 120, StreamEvent::What::HeadsetBack, 3.0, 760 } };
    const SyntheticStream stream(plan);
    TimeLine timeLine;
    feed(stream, timeLine);
    EXPECT_EQ(timeLine.estimate().fit, 3u);

    const std::int64_t last = stream.deliveries().back().index;
    double worst = 0.0;
    std::int64_t worstAt = 0;
    double previous = -1e300;
    for (std::int64_t x = 0; x <= last; x += 7) {
        const Instant t = timeLine.timeOf(static_cast<double>(x));
        ASSERT_EQ(t.place, Place::Within) << x;
        ASSERT_GT(static_cast<double>(t.steadyNs), previous) << "not rising at " << x;
        previous = static_cast<double>(t.steadyNs);
        // The position of a time is the inverse.
        ASSERT_NEAR(timeLine.positionOf(t.steadyNs).index, static_cast<double>(x), 1e-3) << x;
        // Fillers that stand for no sample have no true time of their own.
        if (!stream.measured(0, x))
            continue;
        const double error
            = std::abs(static_cast<double>(t.steadyNs) - stream.trueTime(0, x)) / stream.periodNs();
        if (error > worst) {
            worst = error;
            worstAt = x;
        }
    }
    EXPECT_LE(worst, 0.5) << "at sample " << worstAt;
}

TEST(TimeLine, WallTimesFollowTheWallClockAndTheLibraryLineIsMeasuredAgainstThem)
{
    StreamPlan plan;
    plan.clockSpeed = 1.01;
    plan.seconds = 30.0;
    const SyntheticStream stream(plan);
    FakeClocks clocks;
    TimeLine timeLine(TimeLineOptions(), &clocks);
    const std::size_t half = stream.deliveries().size() / 2;
    FeedOptions o;
    o.clocks = &clocks;
    o.to = half;
    feed(stream, timeLine, o);

    const std::int64_t offset = clocks.wallOffset.load();
    const Instant t = timeLine.timeOf(1000.0);
    EXPECT_EQ(t.wallNs - t.steadyNs, offset);
    // The library stamps the wall clock at the first delivery, then 4 ms a
    // record: at 1 % fast it runs ahead of the samples' true times.
    const Delivery& firstDelivery = stream.deliveries().front();
    const std::int64_t n = stream.deliveries()[half - 1].index;
    const long long libraryMs = (firstDelivery.ns + offset) / 1'000'000 + 4 * n;
    const double expected = static_cast<double>(libraryMs)
        - (stream.trueTime(0, n) + static_cast<double>(offset)) / 1e6;
    EXPECT_GT(expected, 100.0);
    EXPECT_NEAR(timeLine.libraryOffsetMs(n, libraryMs), expected, 1.0);

    // The wall clock is stepped: the next fit follows it.
    clocks.wallOffset = offset + 2'000'000'000;
    o.from = half;
    o.to = SIZE_MAX;
    feed(stream, timeLine, o);
    const Instant after = timeLine.timeOf(1000.0);
    EXPECT_NEAR(static_cast<double>(after.steadyNs), static_cast<double>(t.steadyNs), 1e6);
    EXPECT_EQ(after.wallNs - after.steadyNs, offset + 2'000'000'000);
}

TEST(TimeLine, EstimateGivesRateDriftOffsetLagAndUncertainty)
{
    StreamPlan plan;
    plan.clockSpeed = 1.0002;
    plan.loss = 0.01;
    plan.seconds = 60.0;
    const SyntheticStream stream(plan);
    TimeLine timeLine;
    FeedOptions o;
    o.probeNs = static_cast<double>(stream.startNs()) + 0.3e9;
    const Feeding fed = feed(stream, timeLine, o);
    EXPECT_FALSE(fed.probe.converged);
    EXPECT_GT(fed.probe.uncertaintyNs, 2e6);

    const TimeLineEstimate e = timeLine.estimate();
    EXPECT_TRUE(e.converged);
    EXPECT_EQ(e.stream, 1u);
    EXPECT_GT(e.revision, fed.probe.revision + 100);
    EXPECT_NEAR(e.ratePpm, 200.0, 10.0);
    EXPECT_NEAR(e.samplesPerSecond, 250.05, 0.0025);
    EXPECT_NEAR(e.rateUncertaintyPpm, 0.0, 100.0);
    EXPECT_LE(e.uncertaintyNs, 2e6);
    EXPECT_NEAR(
        static_cast<double>(e.offsetSteadyNs), stream.trueTime(0, 0), 0.5 * stream.periodNs());
    EXPECT_EQ(e.newestIndex, stream.deliveries().back().index);
    EXPECT_NEAR(static_cast<double>(e.newestSteadyNs), stream.trueTime(0, e.newestIndex),
        0.5 * stream.periodNs());
    // Delivered up to a poll after its packet came.
    EXPECT_GT(e.deliveryLagNs, 0.0);
    EXPECT_LT(e.deliveryLagNs, 120e6);
}

TEST(TimeLine, FeedingAllocatesNothing)
{
    StreamPlan plan;
    plan.clockSpeed = 0.99;
    plan.loss = 0.02;
    plan.seconds = 150.0; // past a full window, knots frozen
    plan.events = { { 40, StreamEvent::What::Silence, 1.0, 240 },
        { 70, StreamEvent::What::HeadsetBack, 2.0, 500 },
        { 100, StreamEvent::What::NewStream, 2.0, 0 } };
    const SyntheticStream stream(plan);
    TimeLine timeLine;
    const unsigned long long before = allocations;
    std::size_t restart = 0;
    const std::vector<Delivery>& deliveries = stream.deliveries();
    for (std::size_t i = 0; i < deliveries.size(); ++i) {
        if (restart < stream.restarts().size() && stream.restarts()[restart].before == i)
            timeLine.restart(
                stream.restarts()[restart++].newStream ? Break::NewStream : Break::HeadsetBack);
        timeLine.observe(deliveries[i].index, deliveries[i].ns, kindOf(deliveries[i].kind));
    }
    timeLine.finish();
    EXPECT_EQ(allocations - before, 0u);
    EXPECT_EQ(timeLine.estimate().stream, 2u);
}

TEST(TimeLine, FitsOncePerBurst)
{
    // The fit's cost per sample is bounded by fitting once a poll.
    StreamPlan plan;
    plan.seconds = 60.0;
    const SyntheticStream stream(plan);
    TimeLine timeLine;
    std::uint64_t bursts = 0;
    std::int64_t previous = 0;
    for (const Delivery& d : stream.deliveries()) {
        bursts += d.ns - previous > 50'000'000 ? 1 : 0;
        previous = d.ns;
        timeLine.observe(d.index, d.ns, kindOf(d.kind));
    }
    ASSERT_GT(bursts, 500u);
    // One publication a burst, and one for each sample of the first burst
    // that bettered the young line.
    EXPECT_LE(timeLine.estimate().revision, bursts + 30);
}

TEST(TimeLine, QueriesFromAnotherThreadSeeConsistentFits)
{
    // The feeding thread runs a stream with breaks as fast as it can; another
    // thread asks all the while. The thread sanitizer watches both.
    StreamPlan plan;
    plan.clockSpeed = 1.01;
    plan.loss = 0.01;
    plan.seconds = 150.0;
    plan.events = { { 50, StreamEvent::What::SpuriousFillers, 0.0, 40 },
        { 80, StreamEvent::What::HeadsetBack, 2.0, 500 },
        { 110, StreamEvent::What::NewStream, 1.0, 0 } };
    const SyntheticStream stream(plan);
    TimeLine timeLine;
    std::atomic<std::int64_t> deliveredNs{ 0 };
    std::atomic<bool> done{ false };
    std::atomic<long> reads{ 0 };

    std::thread worker([&] {
        std::size_t restart = 0;
        const std::vector<Delivery>& deliveries = stream.deliveries();
        long readsBefore = 0;
        for (std::size_t i = 0; i < deliveries.size(); ++i) {
            // Every so often wait for the reader to ask once more, so that its
            // queries interleave with the whole stream however the two threads
            // are scheduled (alone the feed takes a few milliseconds).
            if (i % 256 == 0) {
                while (reads.load() == readsBefore)
                    std::this_thread::yield();
                readsBefore = reads.load();
            }
            if (restart < stream.restarts().size() && stream.restarts()[restart].before == i)
                timeLine.restart(
                    stream.restarts()[restart++].newStream ? Break::NewStream : Break::HeadsetBack);
            timeLine.observe(deliveries[i].index, deliveries[i].ns, kindOf(deliveries[i].kind));
            deliveredNs.store(deliveries[i].ns, std::memory_order_relaxed);
        }
        timeLine.finish();
        done = true;
    });

    std::uint64_t revision = 0;
    long placed = 0;
    bool ordered = true, finite = true;
    while (!done.load()) {
        const std::int64_t now = deliveredNs.load(std::memory_order_relaxed);
        const TimeLineEstimate e = timeLine.estimate();
        ordered = ordered && e.revision >= revision;
        revision = e.revision;
        const Position p = timeLine.positionOf(now - 30'000'000);
        const Instant t = timeLine.timeOf(p.index);
        finite = finite && std::isfinite(p.index) && std::isfinite(p.uncertainty);
        if (p.place == Place::Within || p.place == Place::Ahead) {
            ++placed;
            finite = finite && std::isfinite(t.uncertaintyNs);
        }
        reads.fetch_add(1);
    }
    worker.join();
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(finite);
    EXPECT_GT(reads.load(), 0);
    EXPECT_GT(placed, 0);
    EXPECT_EQ(timeLine.estimate().stream, 2u);
}

} // namespace
