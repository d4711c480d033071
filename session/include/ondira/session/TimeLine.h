#ifndef ONDIRA_SESSION_TIMELINE_H
#define ONDIRA_SESSION_TIMELINE_H

// The sample time line of a stream: for every sample index (fillers
// included), an estimate of the host steady-clock time at which the sample's
// packet reached the host's receive queue, as a line. A packet's arrival lies
// on the line at the packet's last sample, the samples before it one sample
// period of the headset's own clock apart. A time stamped on the steady clock
// gets a fractional sample position on it, and every position a time; wall
// times follow the wall clock's present relation to the steady clock.
//
// Estimated from the delivery times of the samples alone. The library's
// worker polls, so samples come in bursts, each sample late by up to a poll
// after its packet arrived; no sample is delivered before its packet is
// (nearly) complete. The earliest deliveries bound the line from above (the
// lower envelope of the delivery times), and each burst also bounds it from
// below: the packet after a burst's last sample had not arrived when that
// sample was delivered. The rate comes from the lower envelope over a sliding
// window (the approach of clock-synchronisation work: fewest late samples,
// not their average); the line lies midway between the two bounds, whose
// distance is its uncertainty. What the time line cannot know is the radio
// and USB delay before the receive queue: it is the same for every sample and
// is not part of the estimate.
//
// Breaks in the stream: a run of fillers (a loss, a silence the library
// filled, fillers that stand for no lost sample) or an index that jumps may
// step the line. Each is checked against the samples on both sides, and
// where the two cannot lie on one line a new fit begins after it, keeping the
// rate. A restart of streaming, or a headset that is back after it was lost,
// begins a new fit at once, keeping the rate; another headset begins afresh.
//
// Threads: observe(), restart() and finish() are for one feeding thread at a
// time (the library's worker, through the session's consumer, or any thread
// while no sample is delivered); they never lock, wait or allocate. Every
// query may be called from any thread at any time: it reads a published
// parameter set without a lock, and neither waits for the feeding thread nor
// makes it wait. Standard C++ only.

#include <cstdint>
#include <memory>

namespace ondira {
namespace session {

/// What a delivered sample stands for.
enum class SampleKind : std::uint8_t {
    Measured, ///< a sample the headset sent
    Filler ///< put in place of a lost sample, or of time in which nothing came
};

/// Why the samples that follow do not continue the line of those before.
enum class Break : std::uint8_t {
    NewStream, ///< streaming starts again on the same headset: the rate is kept
    HeadsetBack, ///< the same headset streams again after it was lost; its indices go
                 ///< on from those before (the time away counted): the rate is kept
    NewHeadset ///< another headset, or nothing is known: nothing is kept
};

/// Where a time or a sample position lies relative to the samples of the
/// stream. Positions round to the nearest sample: Within means that sample
/// is one the stream has (a filler, perhaps).
enum class Place : std::uint8_t {
    NoFit, ///< nothing observed on this stream yet: it cannot be placed
    BeforeFirst, ///< before the stream's first sample
    Within, ///< on a sample delivered so far
    /// After the newest sample of a stream that goes on: its samples are to
    /// come, and the position is a forecast. A step in those samples (a
    /// silence the library fills) can move it: ask again once it is Within.
    Ahead,
    AfterEnd ///< after the last sample of a stream that ended (finish())
};
const char* placeName(Place place);

struct TimeLineOptions
{
    /// The headset's nominal sample rate; the fit's rate stays within
    /// `maxRateDeviation` of it (a fraction).
    double nominalRateHz = 250.0;
    double maxRateDeviation = 0.05;
    /// Samples per radio packet: a packet's samples reach the host together.
    int samplesPerPacket = 5;
    /// A delivery this long after the one before begins a new burst: the
    /// worker found the receive queue empty in between. Shorter than the
    /// worker's poll, longer than any pause within a burst.
    std::int64_t burstGapNs = 80'000'000;
    /// How long before its last byte a packet's first sample is complete, at
    /// most: the time a burst's next packet may already be arriving without
    /// a sample of it being delivered (36 byte times at 115200 baud). Larger
    /// than the link's widens the fit's bounds; smaller may exclude the line.
    std::int64_t packetTailNs = 3'000'000;
    /// The span of deliveries the rate is fitted over.
    double windowSeconds = 120.0;
};

/// A position on the time line: a fractional sample index.
struct Position
{
    Place place = Place::NoFit;
    double index = 0.0;
    /// Bound of the position's error that the deliveries allow, in samples.
    double uncertainty = 0.0;
    /// The fit it was taken from (see TimeLineEstimate::fit).
    std::uint32_t fit = 0;
};

/// The time of a position.
struct Instant
{
    Place place = Place::NoFit;
    std::int64_t steadyNs = 0; ///< std::chrono::steady_clock, ns since its epoch
    std::int64_t wallNs = 0; ///< std::chrono::system_clock, ns since 1970-01-01 UTC
    double uncertaintyNs = 0.0;
    std::uint32_t fit = 0;
};

/// The fit as last published.
struct TimeLineEstimate
{
    /// Changes whenever a new fit begins (a restart, a step in the line); 0
    /// before the first sample. Positions of different fits do not lie on
    /// one line.
    std::uint32_t fit = 0;
    /// From 1; a new one at every new stream (restart, or an index that goes back).
    std::uint32_t stream = 0;
    /// Counts publications of the fit.
    std::uint64_t revision = 0;
    /// The position of the newest sample is known to within half a sample.
    bool converged = false;
    /// Effective sample rate: samples per second of the steady clock.
    double samplesPerSecond = 0.0;
    /// How far the rate lies from the nominal one, in parts per million.
    double ratePpm = 0.0;
    double rateUncertaintyPpm = 0.0;
    /// The line's offset: its steady time at index 0 of the stream.
    std::int64_t offsetSteadyNs = 0;
    /// The newest sample the fit has seen (fillers included) and its time.
    std::int64_t newestIndex = -1;
    std::int64_t newestSteadyNs = 0;
    /// The bound of the newest sample's time error, ns.
    double uncertaintyNs = 0.0;
    /// How late the newest measured sample was delivered after its time.
    double deliveryLagNs = 0.0;
    /// Wall clock minus steady clock, as last read.
    std::int64_t wallMinusSteadyNs = 0;
    /// New fits begun after a step in the line that no restart announced.
    std::uint32_t steps = 0;
};

/// The clocks the time line reads itself: both together, to follow the wall
/// clock's relation to the steady clock (stepped or slewed). Tests pass
/// their own. Called on the feeding thread only.
class TimeLineClocks
{
public:
    virtual ~TimeLineClocks() = default;
    virtual std::int64_t steadyNs() const = 0;
    virtual std::int64_t wallNs() const = 0;
};

class TimeLine
{
public:
    /// Allocates everything it will use. `clocks` (the system's steady and
    /// wall clocks when null) must outlive the time line.
    explicit TimeLine(
        TimeLineOptions options = TimeLineOptions(), const TimeLineClocks* clocks = nullptr);
    ~TimeLine();
    TimeLine(const TimeLine&) = delete;
    TimeLine& operator=(const TimeLine&) = delete;

    // Feeding thread.

    /// Sample `index` of the stream was delivered at `deliveredSteadyNs`.
    /// Every sample the library delivers, fillers included, in order; the
    /// indices rise by one, and jump ahead where samples were counted without
    /// being delivered (a lost headset's time away). An index that does not
    /// rise begins a new stream, as restart(Break::NewStream) would.
    void observe(
        std::int64_t index, std::int64_t deliveredSteadyNs, SampleKind kind = SampleKind::Measured);
    /// The samples that follow begin a new fit, for `reason`. Before the
    /// first of them.
    void restart(Break reason);
    /// The stream ended with the last sample observed: positions after it
    /// are AfterEnd until the next observe().
    void finish();

    // Any thread.

    /// Where steady time `steadyNs` lies on the time line.
    Position positionOf(std::int64_t steadyNs) const;
    /// The time of (fractional) sample position `index` of the stream.
    Instant timeOf(double index) const;
    TimeLineEstimate estimate() const;
    /// How far the library's timestamp line (its `timestampMs`, wall-clock ms
    /// at the first sample plus 4 ms per record, for sample `index`) lies
    /// ahead of this time line's wall time of that sample, in ms (negative:
    /// behind). 0 before the first fit.
    double libraryOffsetMs(std::int64_t index, long long timestampMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace session
} // namespace ondira

#endif
