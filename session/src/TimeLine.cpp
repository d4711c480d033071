// The time line's fit and its publication.
//
// The points. Every measured sample (x = index, y = delivery time) bounds
// the line from above: its packet arrived before it was delivered, and the
// line passes through a packet's arrival at its last sample, earlier samples
// one period before. The last sample of a burst, when the next delivery is a
// burst later and continues it with a measured sample, bounds the line from
// below: the next packet, whose last sample lies samplesPerPacket further
// on, had not completed its first sample when it was delivered, and that
// sample is complete `tail` before the packet's last byte:
//     line(x + samplesPerPacket) - tail > y,  so  line(x) > y - (samplesPerPacket b - tail).
// The samples are kept as buckets of about one second of a segment (samples
// on one line): the earliest delivery of each bucket relative to the line
// (its lower point) and the latest burst end (its upper point). A bucket also
// begins after every run of fillers or index jump: a break where the line
// may have stepped, watched for ten seconds.
//
// The fit, at every new burst (every 100 ms without bursts), and at once
// after a break:
// 1. The rate. For each segment in the window the rates at which its lower
//    and upper points leave room for a line form an interval (the room is
//    concave in the rate); newest first, each narrows what the newer ones
//    allow. The rate stays while it is allowed, else it moves into what is
//    (to its middle once that is narrow): before the poll's phase against
//    the packets has come round once, a lag that drifts with it looks like
//    a rate to the lower envelope alone, and only both bounds rule such
//    rates out. Bounds a little short of room for any line (a rate that
//    changes within the window) give the rate that fits them best. Without burst ends
//    (deliveries that do not come in bursts) the lower envelope sets it:
//    least sum of the points' heights above their line (the linear
//    programming fit of clock-synchronisation work).
// 2. The offset. The live segment, cut into pieces at its watched breaks:
//    each piece allows an interval of offsets at that rate. While the pieces
//    have room in common they lie on one line; a piece that has none with
//    those before it begins a new fit. The line lies in the middle of the
//    room, half of it is the line's uncertainty.
// 3. Knots: every ten seconds of a segment, once the fit reaches half a
//    window past it, the line's time there is frozen; a segment that ends
//    freezes the rest and its last sample. Older positions are read from the
//    knots (straight between them, and across the gap between segments),
//    newer ones from the present line.
//
// Publication. The readers' parameter set is written into the one of two
// slots that readers are not directed to, each slot with a sequence number,
// then readers are directed to it: a reader never waits for a writer that
// was interrupted, and retries only when two publications overtake it. Knots
// are appended to a ring; a reader checks afterwards that none it read was
// overwritten meanwhile. Everything shared is atomic.

#include <ondira/session/TimeLine.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

namespace ondira {
namespace session {

const char* placeName(Place place)
{
    switch (place) {
    case Place::NoFit:
        return "no fit";
    case Place::BeforeFirst:
        return "before the first sample";
    case Place::Within:
        return "within";
    case Place::Ahead:
        return "ahead of the newest sample";
    case Place::AfterEnd:
        return "after the last sample";
    }
    return "?";
}

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

constexpr int BUCKET_CAPACITY = 1024;
constexpr std::int64_t KNOT_CAPACITY = 8192;
/// Knots a reader leaves unread at the old end of the ring: the writer may
/// append this many while a reader works before the reader must retry.
constexpr std::int64_t KNOT_READ_MARGIN = 64;
constexpr int CANDIDATE_CAPACITY = 32;
static_assert((BUCKET_CAPACITY & (BUCKET_CAPACITY - 1)) == 0, "rings are indexed by a mask");
static_assert((KNOT_CAPACITY & (KNOT_CAPACITY - 1)) == 0, "rings are indexed by a mask");

/// Where knot `position` (counted from the first ever written) lies in its ring.
std::size_t slotOf(std::int64_t position)
{
    return static_cast<std::size_t>(static_cast<std::uint64_t>(position) & (KNOT_CAPACITY - 1));
}

constexpr double BUCKET_SECONDS = 1.0;
constexpr double KNOT_SPACING_SECONDS = 10.0;
/// How long a break is checked for a step, and how far back before it.
constexpr double BREAK_WATCH_SECONDS = 10.0;
/// Below this span of samples the lower envelope alone does not set the rate.
constexpr double MIN_RATE_SPAN_SECONDS = 2.0;
/// How far apart the offsets on the two sides of a break must lie to count
/// as a step.
constexpr double STEP_TOLERANCE_NS = 2e6;
/// Bounds that contradict each other by less than this are taken as a line
/// that does not quite fit (a rate that changes within the window), not as
/// a step or a stray burst end.
constexpr double SLACK_NS = 1e6;
/// How closely the rate is searched for, ns per sample (a part in 4e9).
constexpr double RATE_PRECISION = 1e-3;
/// Allowed rates this close together (a fraction) are known well enough to
/// take their middle.
constexpr double NARROW_RATES = 1e-3;
/// Fit at least this often when deliveries come without gaps.
constexpr double FIT_INTERVAL_NS = 100e6;
constexpr int READ_ATTEMPTS = 16;

std::int64_t systemSteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class SystemClocks : public TimeLineClocks
{
public:
    std::int64_t steadyNs() const override { return systemSteadyNs(); }
    std::int64_t wallNs() const override
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};

const SystemClocks systemClocks;

/// What a reader needs, published as a whole. Times are ns after `originNs`.
struct Snapshot
{
    std::uint64_t revision;
    std::int64_t originNs;
    std::int64_t firstIndex; ///< the stream's first sample
    std::int64_t newestIndex; ///< the newest sample at the publication
    std::int64_t segmentFirst; ///< the live segment's first measured sample
    std::int64_t lastMeasured; ///< and its newest
    std::int64_t x0; ///< the live line: t0 + b (x - x0)
    std::int64_t liveKnotX; ///< the live segment's last frozen knot
    std::int64_t knotBegin; ///< the stream's knots in the ring: [knotBegin, knotEnd)
    std::int64_t knotEnd;
    std::int64_t wallMinusSteadyNs;
    double t0;
    double b; ///< ns per sample
    double halfWidth; ///< of the live line's offset, ns
    double rateHalfWidth; ///< of b, ns per sample
    double pivot; ///< index about which the line's uncertainty grows
    double liveKnotT;
    double lagNs;
    std::uint32_t stream;
    std::uint32_t fit;
    std::uint32_t steps;
    std::uint8_t converged;
    std::uint8_t ended;
    std::uint8_t liveKnot;
    std::uint8_t hasLine;
};
static_assert(std::is_trivially_copyable<Snapshot>::value, "published by copying words");
constexpr std::size_t SNAPSHOT_WORDS = (sizeof(Snapshot) + 7) / 8;

struct Slot
{
    std::atomic<std::uint64_t> sequence{ 0 };
    std::array<std::atomic<std::uint64_t>, SNAPSHOT_WORDS> words{};
};

struct Knot
{
    std::atomic<std::int64_t> index{ 0 };
    std::atomic<double> time{ 0.0 };
    std::atomic<std::uint32_t> segment{ 0 };
};

/// About one second of one segment's samples.
struct Bucket
{
    std::uint32_t segment = 0;
    std::int64_t firstIndex = 0;
    std::int64_t lastIndex = 0;
    double lastY = 0.0;
    /// The earliest delivery relative to the line (selected by `lowKey`).
    std::int64_t lowX = 0;
    double lowY = 0.0;
    double lowKey = INF;
    /// The latest burst end relative to the line.
    bool hasUp = false;
    std::int64_t upX = 0;
    double upY = 0.0;
    double upKey = -INF;
};

/// A segment: samples on one line.
struct Segment
{
    std::uint32_t id = 0;
    std::int64_t firstIndex = 0;
    std::int64_t lastMeasured = 0;
    double lastMeasuredY = 0.0;
    std::int64_t firstSerial = 0; ///< its first bucket
    std::int64_t nextKnot = 0;
    bool anyKnot = false;
    std::int64_t lastKnotX = 0;
    double lastKnotT = 0.0;
    // Its line, as last fitted: a + b (x - firstIndex).
    bool hasLine = false;
    double a = 0.0;
    double halfWidth = 0.0;
    double pivot = 0.0;
    /// Whether a burst end of the segment bounds its line from below; till
    /// then the lowest delivery relative to the line.
    bool bounded = false;
    double young = INF;
};

struct Candidate
{
    std::int64_t serial; ///< the first bucket after the break
    double createdY;
    long run; ///< indices since the measured sample before: fillers and jump
};

/// A stretch of the live segment between watched breaks, and the offsets it
/// allows (at the live segment's first sample).
struct Piece
{
    std::int64_t begin; ///< its first bucket
    int candidate; ///< the break it begins after; -1 for the segment's first
    double lo, hi; ///< what it allows alone
    double roomLo, roomHi; ///< what it and the pieces of its chain before it allow
    double firstX, lastX;
    double weighted, points;
};

struct Point
{
    double x;
    double y;
};

/// One segment's share of the window, in the segment's own frame: x from
/// `x0`, y less bRef x (the fit's shear, which keeps the numbers small).
struct Group
{
    std::uint32_t segment;
    std::int64_t x0;
    int lowBegin, lowCount; ///< lower hull vertices in the scratch arrays
    int upBegin, upCount; ///< upper hull vertices
    double sumX; ///< of all its lower points
    int points;
    double firstX, lastX; ///< its first and last sample
    double span;
};

/// Cross product of (b - a) and (c - a).
double cross(const Point& a, const Point& b, const Point& c)
{
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

} // namespace

struct TimeLine::Impl
{
    Impl(const TimeLineOptions& options, const TimeLineClocks* clocks);

    // --- feeding thread ---------------------------------------------------
    void observe(std::int64_t index, std::int64_t ns, SampleKind kind);
    void restart(Break reason);
    void finish();

    Bucket& at(std::int64_t serial)
    {
        return buckets[static_cast<std::size_t>(
            static_cast<std::uint64_t>(serial) & (BUCKET_CAPACITY - 1))];
    }
    void openBucket(std::int64_t index, double y);
    void addLower(Bucket& bucket, std::int64_t x, double y);
    void offerUpper(std::int64_t x, double y);
    void beginSegment(std::int64_t index, double y);
    void placeYoung(Segment& segment, double low);
    void endLiveSegment();
    void fit();
    void resolveLive(std::int64_t windowBegin);
    void placeChain(Segment& segment, double lo, double hi, double ref, double pivot);
    int buildGroups(std::int64_t windowBegin, double bRef);
    double solveRate(int groupCount, double bRef);
    void groupBounds(const Group& g, double beta, double b, double* low, double* up) const;
    enum class Rates { Unbounded, Contradicting, Bounded };
    Rates feasibleRates(int groupCount, double bRef, double* lo, double* hi) const;
    void freezeKnots(Segment& segment, std::int64_t upTo, bool last);
    void writeKnot(std::int64_t index, double time, std::uint32_t segment);
    void publish();

    // --- readers -----------------------------------------------------------
    bool read(Snapshot& out) const;
    std::int64_t newestOf(const Snapshot& s) const;

    const TimeLineOptions options;
    const TimeLineClocks& clocks;
    const double nominalB; ///< ns per sample
    const double minB, maxB;
    const double windowNs;
    const std::int64_t bucketSamples;
    const std::int64_t knotSpacing;
    const std::int64_t halfWindowSamples;
    const int packet;

    // Feeding thread only.
    bool started = false;
    std::int64_t originNs = 0;
    std::uint32_t stream = 0;
    bool streamOpen = false; ///< a sample of the stream was observed
    bool ended = false;
    std::int64_t streamFirst = 0;
    std::int64_t newest = 0;
    bool haveLast = false;
    std::int64_t lastIndex = 0;
    double lastY = 0.0;
    SampleKind lastKind = SampleKind::Measured;
    bool fillerRun = false;
    bool pendingBreak = false;
    double lastFitY = 0.0;

    std::vector<Bucket> buckets;
    std::int64_t tail = 0, head = 0; ///< buckets [tail, head); head - 1 is open
    bool bucketOpen = false;

    std::array<Candidate, CANDIDATE_CAPACITY> candidates{};
    int candidateCount = 0;

    std::uint32_t segmentIds = 0;
    bool haveLive = false;
    Segment live;
    std::vector<Segment> endedSegments; ///< segments ended by the current fit

    double b;
    const double packetTail; ///< ns
    double rateHalfWidth;
    bool converged = false;
    bool sawBurstEnds = false;
    std::uint32_t steps = 0;
    std::uint64_t revision = 0;
    std::int64_t wallMinusSteady = 0;
    std::int64_t streamKnotBegin = 0;
    std::int64_t knotWritten = 0;

    // Scratch of the fit, allocated once.
    std::vector<Group> groups;
    std::vector<Point> lowHull, upHull;
    std::array<Piece, CANDIDATE_CAPACITY + 1> pieces{};

    // Shared.
    std::array<Slot, 2> slots;
    std::atomic<std::uint64_t> current{ 0 };
    std::atomic<std::uint64_t> newestPacked{ 0 }; ///< stream << 40 | index of the newest sample
    std::vector<Knot> knots;
    std::atomic<std::int64_t> knotClaim{ 0 };
};

TimeLine::Impl::Impl(const TimeLineOptions& o, const TimeLineClocks* c)
    : options(o)
    , clocks(c ? *c : systemClocks)
    , nominalB(1e9 / o.nominalRateHz)
    , minB(nominalB / (1.0 + o.maxRateDeviation))
    , maxB(nominalB / (1.0 - std::min(o.maxRateDeviation, 0.5)))
    , windowNs(o.windowSeconds * 1e9)
    , bucketSamples(std::max<std::int64_t>(1, std::llround(BUCKET_SECONDS * o.nominalRateHz)))
    , knotSpacing(std::max<std::int64_t>(1, std::llround(KNOT_SPACING_SECONDS * o.nominalRateHz)))
    , halfWindowSamples(std::llround(o.windowSeconds * o.nominalRateHz / 2))
    , packet(std::max(1, o.samplesPerPacket))
    , buckets(BUCKET_CAPACITY)
    , b(nominalB)
    , packetTail(static_cast<double>(o.packetTailNs))
    , rateHalfWidth(nominalB * o.maxRateDeviation)
    , groups(BUCKET_CAPACITY)
    , lowHull(BUCKET_CAPACITY)
    , upHull(BUCKET_CAPACITY)
    , knots(KNOT_CAPACITY)
{
    endedSegments.reserve(CANDIDATE_CAPACITY + 1);
}

// ---------------------------------------------------------------------------
// Feeding

void TimeLine::Impl::observe(std::int64_t index, std::int64_t ns, SampleKind kind)
{
    if (!started) {
        started = true;
        originNs = ns;
    }
    const double y = static_cast<double>(ns - originNs);
    if (ended || (streamOpen && index <= lastIndex))
        restart(Break::NewStream);
    if (!streamOpen) {
        streamOpen = true;
        ++stream;
        streamFirst = index;
        streamKnotBegin = knotWritten;
    }

    if (haveLast) {
        bool due = false;
        if (y - lastY >= static_cast<double>(options.burstGapNs)) {
            // The previous sample ended a burst. When this one continues it
            // directly, the packet after it had not arrived.
            if (lastKind == SampleKind::Measured && kind == SampleKind::Measured
                && index == lastIndex + 1 && !pendingBreak)
                offerUpper(lastIndex, lastY);
            if (bucketOpen && lastIndex - at(head - 1).firstIndex + 1 >= bucketSamples)
                bucketOpen = false;
            due = true;
        } else if (y - lastFitY >= FIT_INTERVAL_NS) {
            due = true;
        }
        if (bucketOpen && lastIndex - at(head - 1).firstIndex + 1 >= 4 * bucketSamples)
            bucketOpen = false;
        if (due && haveLive) {
            lastFitY = y;
            fit();
        }
    }

    newest = index;
    newestPacked.store((static_cast<std::uint64_t>(stream) << 40)
            | (static_cast<std::uint64_t>(index) & ((1ULL << 40) - 1)),
        std::memory_order_relaxed);
    const bool jumped = haveLast && index > lastIndex + 1;
    bool checkNow = false;
    haveLast = true;
    lastIndex = index;
    lastY = y;
    lastKind = kind;
    if (kind == SampleKind::Filler) {
        fillerRun = true;
        return;
    }

    if (!haveLive || pendingBreak) {
        beginSegment(index, y);
    } else if (fillerRun || jumped) {
        // The line may have stepped here: a bucket of its own, watched, and
        // checked at once (the first sample after a step may show it).
        openBucket(index, y);
        checkNow = true;
        if (candidateCount == CANDIDATE_CAPACITY) {
            std::copy(candidates.begin() + 1, candidates.end(), candidates.begin());
            --candidateCount;
        }
        candidates[static_cast<std::size_t>(candidateCount++)]
            = Candidate{ head - 1, y, static_cast<long>(index - live.lastMeasured - 1) };
    } else if (!bucketOpen) {
        openBucket(index, y);
    }
    fillerRun = false;
    pendingBreak = false;
    Bucket& bucket = at(head - 1);
    addLower(bucket, index, y);
    live.lastMeasured = index;
    live.lastMeasuredY = y;
    if (!live.hasLine || checkNow) {
        fit();
    } else if (!live.bounded) {
        // No burst of this segment has ended yet: its line is only as good
        // as its earliest delivery, which gets better with every sample.
        const double key = y - b * static_cast<double>(index - live.firstIndex);
        if (key < live.young) {
            live.young = key;
            placeYoung(live, key);
            publish();
        }
    }
}

void TimeLine::Impl::placeYoung(Segment& segment, double low)
{
    // Once bursts were seen to end, the earliest delivery of a burst is its
    // newest packet, late by less than a packet's time less the tail: the
    // line lies in the middle. Deliveries without bursts come promptly.
    const double late = packet * b - packetTail;
    segment.a = sawBurstEnds ? low - 0.5 * late : low;
    segment.halfWidth = sawBurstEnds ? 0.5 * late : packet * b;
    segment.hasLine = true;
}

void TimeLine::Impl::openBucket(std::int64_t index, double y)
{
    if (head - tail == BUCKET_CAPACITY)
        ++tail;
    Bucket& bucket = at(head++);
    bucket = Bucket();
    bucket.segment = live.id;
    bucket.firstIndex = index;
    bucket.lastIndex = index;
    bucket.lastY = y;
    bucketOpen = true;
}

void TimeLine::Impl::addLower(Bucket& bucket, std::int64_t x, double y)
{
    const double key = y - b * static_cast<double>(x - bucket.firstIndex);
    if (key < bucket.lowKey) {
        bucket.lowKey = key;
        bucket.lowX = x;
        bucket.lowY = y;
    }
    bucket.lastIndex = x;
    bucket.lastY = y;
}

void TimeLine::Impl::offerUpper(std::int64_t x, double y)
{
    if (!bucketOpen && head == tail)
        return;
    Bucket& bucket = at(head - 1);
    if (bucket.segment != live.id || x < bucket.firstIndex || x > bucket.lastIndex)
        return;
    const double key = y - b * static_cast<double>(x - bucket.firstIndex);
    if (key > bucket.upKey) {
        bucket.upKey = key;
        bucket.upX = x;
        bucket.upY = y;
        bucket.hasUp = true;
    }
    sawBurstEnds = true;
    live.bounded = true;
}

void TimeLine::Impl::beginSegment(std::int64_t index, double y)
{
    if (haveLive)
        endLiveSegment();
    live = Segment();
    live.id = ++segmentIds;
    live.firstIndex = index;
    live.lastMeasured = index;
    live.lastMeasuredY = y;
    live.nextKnot = index;
    haveLive = true;
    openBucket(index, y);
    live.firstSerial = head - 1;
    candidateCount = 0;
    converged = false;
}

void TimeLine::Impl::endLiveSegment()
{
    if (!haveLive)
        return;
    if (live.hasLine)
        freezeKnots(live, live.lastMeasured, true);
    haveLive = false;
    bucketOpen = false;
    candidateCount = 0;
}

void TimeLine::Impl::restart(Break reason)
{
    if (haveLive && live.hasLine && reason != Break::NewHeadset) {
        // Its last samples have not been fitted yet.
        fit();
    }
    endLiveSegment();
    fillerRun = false;
    pendingBreak = true;
    if (reason != Break::HeadsetBack) {
        streamOpen = false;
        ended = false;
        haveLast = false;
    }
    if (reason == Break::NewHeadset) {
        tail = head;
        b = nominalB;
        rateHalfWidth = nominalB * options.maxRateDeviation;
        sawBurstEnds = false;
    }
    converged = false;
    publish();
}

void TimeLine::Impl::finish()
{
    if (!streamOpen || ended)
        return;
    if (haveLive && live.hasLine)
        fit();
    endLiveSegment();
    ended = true;
    haveLive = false;
    publish();
}

// ---------------------------------------------------------------------------
// The fit

void TimeLine::Impl::fit()
{
    if (head == tail || !haveLive)
        return;
    // The window: buckets delivered within windowNs of the newest sample.
    std::int64_t windowBegin = head - 1;
    while (windowBegin > tail && at(windowBegin - 1).lastY >= lastY - windowNs)
        --windowBegin;
    int kept = 0;
    for (int i = 0; i < candidateCount; ++i) {
        const Candidate& c = candidates[static_cast<std::size_t>(i)];
        if (c.serial > live.firstSerial && c.serial >= windowBegin && c.serial < head)
            candidates[static_cast<std::size_t>(kept++)] = c;
    }
    candidateCount = kept;

    const double bRef = b;
    const int groupCount = buildGroups(windowBegin, bRef);
    double span = 0.0;
    for (int i = 0; i < groupCount; ++i)
        span += groups[static_cast<std::size_t>(i)].span;

    // The rate: kept while the bounds allow it (see the top of the file).
    const double minSpan = MIN_RATE_SPAN_SECONDS * options.nominalRateHz;
    double beta = 0.0, lo = 0.0, hi = 0.0;
    switch (feasibleRates(groupCount, bRef, &lo, &hi)) {
    case Rates::Bounded:
        // Outside what is allowed: to the middle once that is narrow, else
        // only as far as allowed (the side the samples do not bound yet
        // reaches out to the limits).
        if (lo > 0.0 || hi < 0.0)
            beta = hi - lo < 2 * NARROW_RATES * bRef ? 0.5 * (lo + hi) : (lo > 0.0 ? lo : hi);
        rateHalfWidth = std::max(beta - lo, hi - beta);
        break;
    case Rates::Unbounded:
        // No burst end bounds the line: the lower envelope alone.
        if (span >= minSpan)
            beta = solveRate(groupCount, bRef);
        rateHalfWidth = packet * (bRef + beta) / std::max(span, 1.0);
        break;
    case Rates::Contradicting:
        // Every group holds a step not found, or a stray burst end: keep
        // the rate.
        break;
    }
    b = bRef + beta;

    resolveLive(windowBegin);
    for (Segment& segment : endedSegments)
        freezeKnots(segment, segment.lastMeasured, true);
    endedSegments.clear();

    const double atNewest = live.halfWidth
        + rateHalfWidth * std::abs(static_cast<double>(live.lastMeasured) - live.pivot);
    converged = span >= minSpan && atNewest <= 0.5 * b;
    freezeKnots(live, newest - halfWindowSamples, false);

    // The wall clock's relation to the steady clock, read now.
    const std::int64_t s1 = clocks.steadyNs();
    const std::int64_t wall = clocks.wallNs();
    const std::int64_t s2 = clocks.steadyNs();
    wallMinusSteady = wall - (s1 + (s2 - s1) / 2);
    publish();
}

void TimeLine::Impl::resolveLive(std::int64_t windowBegin)
{
    // The live segment's pieces (cut at every break still watched), oldest
    // first: each allows an interval of offsets (here of the line's value at
    // the segment's first sample). While they have room in common they lie
    // on one line. Where a piece has none with those before, the line
    // stepped at one of the breaks since the last piece that did: at one
    // where the pieces on either side still have room of their own, and of
    // those after the longest run of fillers (a silence filled, rather than
    // a lost packet).
    const double span = packet * b - packetTail;
    const double ref = static_cast<double>(live.firstIndex);
    int count = 0;
    int next = 0;
    std::int64_t s = std::max(windowBegin, live.firstSerial);
    while (s < head) {
        Piece& p = pieces[static_cast<std::size_t>(count++)];
        p.begin = s;
        p.candidate = -1;
        while (next < candidateCount && candidates[static_cast<std::size_t>(next)].serial < s)
            ++next;
        if (next < candidateCount && candidates[static_cast<std::size_t>(next)].serial == s)
            p.candidate = next++;
        const std::int64_t end
            = next < candidateCount ? candidates[static_cast<std::size_t>(next)].serial : head;
        p.hi = INF;
        p.lo = -INF;
        p.weighted = 0.0;
        p.points = 0.0;
        for (; s < end; ++s) {
            const Bucket& k = at(s);
            p.hi = std::min(p.hi, k.lowY - b * (static_cast<double>(k.lowX) - ref));
            if (k.hasUp)
                p.lo = std::max(p.lo, k.upY - b * (static_cast<double>(k.upX) - ref) - span);
            p.weighted += static_cast<double>(k.lowX);
            p.points += 1.0;
        }
        if (p.lo > p.hi) {
            // A little: a line that does not quite fit, its middle; more: a
            // stray burst end, and the lower bound holds.
            if (p.lo - p.hi < SLACK_NS)
                std::swap(p.lo, p.hi); // as wide as the shortfall
            else
                p.lo = p.hi;
        }
        p.firstX = static_cast<double>(at(p.begin).firstIndex);
        p.lastX = static_cast<double>(at(end - 1).lastIndex);
    }

    // Room in common, within the tolerance; an overlap a little short of
    // empty counts as its middle.
    auto meet = [](double lo1, double hi1, double lo2, double hi2, double tolerance, double* lo,
                    double* hi) {
        *lo = std::max(lo1, lo2);
        *hi = std::min(hi1, hi2);
        if (*lo <= *hi)
            return true;
        if (*lo > *hi + tolerance)
            return false;
        *lo = *hi = 0.5 * (*lo + *hi);
        return true;
    };
    auto toleranceOver = [&](int from, int to) {
        return STEP_TOLERANCE_NS
            + rateHalfWidth
            * (pieces[static_cast<std::size_t>(to)].lastX
                - pieces[static_cast<std::size_t>(from)].firstX);
    };
    auto runOf
        = [&](const Piece& p) { return candidates[static_cast<std::size_t>(p.candidate)].run; };

    Segment chain = live;
    int chainStart = 0;
    for (int k = 0; k < count; ++k) {
        Piece& p = pieces[static_cast<std::size_t>(k)];
        if (k == chainStart) {
            p.roomLo = p.lo;
            p.roomHi = p.hi;
            continue;
        }
        const Piece& q = pieces[static_cast<std::size_t>(k - 1)];
        if (meet(
                q.roomLo, q.roomHi, p.lo, p.hi, toleranceOver(chainStart, k), &p.roomLo, &p.roomHi))
            continue;
        // A step: at which break?
        int split = k;
        long longest = runOf(p);
        double lo = p.lo, hi = p.hi;
        for (int j = k - 1; j > chainStart; --j) {
            const Piece& r = pieces[static_cast<std::size_t>(j)];
            if (!meet(lo, hi, r.lo, r.hi, toleranceOver(j, k), &lo, &hi))
                break;
            if (runOf(r) > longest) {
                longest = runOf(r);
                split = j;
            }
        }
        const Piece& last = pieces[static_cast<std::size_t>(split - 1)];
        double weighted = 0.0, points = 0.0;
        for (int j = chainStart; j < split; ++j) {
            weighted += pieces[static_cast<std::size_t>(j)].weighted;
            points += pieces[static_cast<std::size_t>(j)].points;
        }
        const std::int64_t from = pieces[static_cast<std::size_t>(split)].begin;
        chain.lastMeasured = at(from - 1).lastIndex;
        chain.lastMeasuredY = at(from - 1).lastY;
        placeChain(chain, last.roomLo, last.roomHi, ref, weighted / points);
        endedSegments.push_back(chain);
        ++steps;
        chain = Segment();
        chain.id = ++segmentIds;
        chain.firstIndex = at(from).firstIndex;
        chain.firstSerial = from;
        chain.nextKnot = chain.firstIndex;
        for (std::int64_t t = from; t < head; ++t)
            at(t).segment = chain.id;
        // The pieces from the split on begin the new chain afresh.
        chainStart = split;
        k = split - 1;
    }

    // The breaks still watched: those inside the live chain, not yet settled.
    int kept = 0;
    for (int k = chainStart + 1; k < count; ++k) {
        const Candidate& c
            = candidates[static_cast<std::size_t>(pieces[static_cast<std::size_t>(k)].candidate)];
        if (lastY - c.createdY <= BREAK_WATCH_SECONDS * 1e9)
            candidates[static_cast<std::size_t>(kept++)] = c;
    }
    candidateCount = kept;

    double weighted = 0.0, points = 0.0;
    for (int j = chainStart; j < count; ++j) {
        weighted += pieces[static_cast<std::size_t>(j)].weighted;
        points += pieces[static_cast<std::size_t>(j)].points;
    }
    chain.lastMeasured = live.lastMeasured;
    chain.lastMeasuredY = live.lastMeasuredY;
    chain.bounded = false;
    for (std::int64_t t = chain.firstSerial; t < head; ++t)
        chain.bounded = chain.bounded || at(t).hasUp;
    if (count > 0) {
        const Piece& last = pieces[static_cast<std::size_t>(count - 1)];
        placeChain(chain, last.roomLo, last.roomHi, ref, weighted / points);
    }
    live = chain;
}

void TimeLine::Impl::placeChain(Segment& segment, double lo, double hi, double ref, double pivot)
{
    // lo and hi are offsets at index `ref`; the segment keeps its line at its
    // first sample.
    const double shift = b * (static_cast<double>(segment.firstIndex) - ref);
    hi += shift;
    lo += shift;
    segment.pivot = pivot;
    if (lo == -INF) {
        // No burst end bounds it from below: the earliest deliveries only.
        segment.young = std::min(segment.young, hi);
        placeYoung(segment, hi);
        return;
    }
    segment.a = 0.5 * (lo + hi);
    segment.halfWidth = 0.5 * (hi - lo);
    segment.hasLine = true;
}

int TimeLine::Impl::buildGroups(std::int64_t windowBegin, double bRef)
{
    // One group per segment in the window.
    int count = 0;
    int lowUsed = 0, upUsed = 0;
    std::int64_t s = windowBegin;
    while (s < head) {
        Group& g = groups[static_cast<std::size_t>(count++)];
        g.segment = at(s).segment;
        g.x0 = at(s).firstIndex;
        g.lowBegin = lowUsed;
        g.upBegin = upUsed;
        g.sumX = 0.0;
        g.points = 0;
        int lowCount = 0, upCount = 0;
        for (; s < head && at(s).segment == g.segment; ++s) {
            const Bucket& k = at(s);
            const double lx = static_cast<double>(k.lowX - g.x0);
            const Point p{ lx, k.lowY - bRef * lx };
            if (g.points == 0)
                g.firstX = p.x;
            g.lastX = static_cast<double>(k.lastIndex - g.x0);
            g.sumX += p.x;
            ++g.points;
            // Lower hull, left to right.
            Point* h = &lowHull[static_cast<std::size_t>(g.lowBegin)];
            while (lowCount >= 2 && cross(h[lowCount - 2], h[lowCount - 1], p) <= 0)
                --lowCount;
            h[lowCount++] = p;
            if (k.hasUp) {
                const double ux = static_cast<double>(k.upX - g.x0);
                const Point q{ ux, k.upY - bRef * ux };
                Point* u = &upHull[static_cast<std::size_t>(g.upBegin)];
                while (upCount >= 2 && cross(u[upCount - 2], u[upCount - 1], q) >= 0)
                    --upCount;
                u[upCount++] = q;
            }
        }
        g.lowCount = lowCount;
        g.upCount = upCount;
        g.span = g.lastX - g.firstX;
        lowUsed += lowCount;
        upUsed += upCount;
    }
    return count;
}

double TimeLine::Impl::solveRate(int groupCount, double bRef)
{
    // Minimise the sum over lower points of (y - (a_g + (bRef + beta) x)),
    // each a_g as high as its envelope allows: the derivative in beta is
    // sum_g (points_g x*_g(beta) - sumX_g), x*_g the envelope vertex that
    // touches the line; it rises with beta. Find where it crosses zero.
    auto derivative = [&](double beta) {
        double sum = 0.0;
        for (int i = 0; i < groupCount; ++i) {
            const Group& g = groups[static_cast<std::size_t>(i)];
            const Point* h = &lowHull[static_cast<std::size_t>(g.lowBegin)];
            // The vertex whose left edge is no steeper than beta and whose
            // right edge is: edges' slopes rise along the hull.
            int lo = 0, hi = g.lowCount - 1;
            while (lo < hi) {
                const int mid = (lo + hi) / 2;
                const double slope = (h[mid + 1].y - h[mid].y) / (h[mid + 1].x - h[mid].x);
                if (slope < beta)
                    lo = mid + 1;
                else
                    hi = mid;
            }
            sum += g.points * h[lo].x - g.sumX;
        }
        return sum;
    };
    double lo = minB - bRef, hi = maxB - bRef;
    if (derivative(lo) >= 0)
        return lo;
    if (derivative(hi) <= 0)
        return hi;
    while (hi - lo > RATE_PRECISION) {
        const double mid = 0.5 * (lo + hi);
        if (derivative(mid) < 0)
            lo = mid;
        else
            hi = mid;
    }
    return 0.5 * (lo + hi);
}

void TimeLine::Impl::groupBounds(
    const Group& g, double beta, double bNow, double* low, double* up) const
{
    double l = INF, u = -INF;
    for (int k = 0; k < g.lowCount; ++k) {
        const Point& p = lowHull[static_cast<std::size_t>(g.lowBegin + k)];
        l = std::min(l, p.y - beta * p.x);
    }
    for (int k = 0; k < g.upCount; ++k) {
        const Point& p = upHull[static_cast<std::size_t>(g.upBegin + k)];
        u = std::max(u, p.y - beta * p.x);
    }
    *low = l;
    *up = u == -INF ? -INF : u - (packet * bNow - packetTail);
}

namespace {

/// Where `room` is largest in [a, c] (it is concave there).
template <typename Room> double mostRoom(const Group& g, double a, double c, const Room& room)
{
    const double golden = 0.6180339887498949;
    double m1 = c - golden * (c - a), m2 = a + golden * (c - a);
    double r1 = room(g, m1), r2 = room(g, m2);
    while (c - a > RATE_PRECISION) {
        if (r1 < r2) {
            a = m1;
            m1 = m2;
            r1 = r2;
            m2 = a + golden * (c - a);
            r2 = room(g, m2);
        } else {
            c = m2;
            m2 = m1;
            r2 = r1;
            m1 = c - golden * (c - a);
            r1 = room(g, m1);
        }
    }
    return 0.5 * (a + c);
}

/// Where `room`, not negative at `from`, falls below zero on the way to
/// `limit`: looked for up to `near` first. `limit` if it never does.
template <typename Room>
double crossing(const Group& g, double from, double near, double limit, const Room& room)
{
    double outside;
    if (room(g, near) < 0) {
        outside = near;
    } else if (near != limit && room(g, limit) < 0) {
        from = near;
        outside = limit;
    } else {
        return limit;
    }
    while (std::abs(outside - from) > RATE_PRECISION) {
        const double m = 0.5 * (from + outside);
        (room(g, m) < 0 ? outside : from) = m;
    }
    return from;
}

} // namespace

TimeLine::Impl::Rates TimeLine::Impl::feasibleRates(
    int groupCount, double bRef, double* loOut, double* hiOut) const
{
    // The rates at which a group's bounds leave room for a line: room() is
    // concave in the rate, so each group allows one interval. Newest first,
    // each group narrows what the ones after it allow, unless it allows
    // nothing of that (the rate has moved since) or nothing at all (it holds
    // a step not found, or a stray burst end): those have no say.
    auto room = [&](const Group& g, double x) {
        double low, up;
        groupBounds(g, x, bRef + x, &low, &up);
        return low - up;
    };
    const double limitLo = minB - bRef, limitHi = maxB - bRef;
    double lo = limitLo, hi = limitHi;
    bool any = false, contradicting = false;
    for (int i = groupCount - 1; i >= 0; --i) {
        const Group& g = groups[static_cast<std::size_t>(i)];
        if (g.upCount == 0)
            continue;
        // The most room, near the present rate first: one new room per step
        // of a golden-section search, and the whole range only when the
        // most lies at the edge of the near one.
        const double near = std::max(8.0 * rateHalfWidth, NARROW_RATES * bRef);
        double peak = mostRoom(g, std::max(limitLo, -near), std::min(limitHi, near), room);
        if ((peak - std::max(limitLo, -near) < 2 * RATE_PRECISION && -near > limitLo)
            || (std::min(limitHi, near) - peak < 2 * RATE_PRECISION && near < limitHi))
            peak = mostRoom(g, limitLo, limitHi, room);
        const double most = room(g, peak);
        if (most < -SLACK_NS) {
            contradicting = true;
            continue;
        }
        // A little short of room: a rate that changes within the window, or
        // arrivals less regular than the model. The rate that fits best,
        // as uncertain as the shortfall over the group's span.
        const double shortfall = most < 0 ? -most / std::max(g.span, 1.0) : 0.0;
        double groupLo = peak - shortfall, groupHi = peak + shortfall;
        if (most >= 0) {
            groupLo = crossing(g, peak, std::max(limitLo, peak - near), limitLo, room);
            groupHi = crossing(g, peak, std::min(limitHi, peak + near), limitHi, room);
        }
        if (std::max(lo, groupLo) > std::min(hi, groupHi))
            continue;
        lo = std::max(lo, groupLo);
        hi = std::min(hi, groupHi);
        any = true;
    }
    if (!any)
        return contradicting ? Rates::Contradicting : Rates::Unbounded;
    *loOut = lo;
    *hiOut = hi;
    return Rates::Bounded;
}

void TimeLine::Impl::freezeKnots(Segment& segment, std::int64_t upTo, bool last)
{
    auto line = [&](std::int64_t x) {
        return segment.a + b * static_cast<double>(x - segment.firstIndex);
    };
    upTo = std::min(upTo, segment.lastMeasured);
    while (segment.nextKnot <= upTo) {
        const std::int64_t x = segment.nextKnot;
        writeKnot(x, line(x), segment.id);
        segment.anyKnot = true;
        segment.lastKnotX = x;
        segment.lastKnotT = line(x);
        segment.nextKnot = x + knotSpacing;
    }
    if (last && (!segment.anyKnot || segment.lastKnotX < segment.lastMeasured)) {
        const std::int64_t x = segment.lastMeasured;
        writeKnot(x, line(x), segment.id);
        segment.anyKnot = true;
        segment.lastKnotX = x;
        segment.lastKnotT = line(x);
        segment.nextKnot = x + knotSpacing;
    }
}

void TimeLine::Impl::writeKnot(std::int64_t index, double time, std::uint32_t segment)
{
    const std::int64_t p = knotWritten;
    knotClaim.store(p + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    Knot& k = knots[slotOf(p)];
    k.index.store(index, std::memory_order_relaxed);
    k.time.store(time, std::memory_order_relaxed);
    k.segment.store(segment, std::memory_order_relaxed);
    knotWritten = p + 1;
}

void TimeLine::Impl::publish()
{
    Snapshot s{};
    s.revision = ++revision;
    s.originNs = originNs;
    s.firstIndex = streamFirst;
    s.newestIndex = newest;
    s.stream = stream;
    s.steps = steps;
    s.ended = ended ? 1 : 0;
    s.knotEnd = knotWritten;
    s.knotBegin = std::max(streamKnotBegin, knotWritten - (KNOT_CAPACITY - KNOT_READ_MARGIN));
    s.wallMinusSteadyNs = wallMinusSteady;
    s.b = b;
    s.rateHalfWidth = rateHalfWidth;
    if (haveLive && live.hasLine) {
        s.hasLine = 1;
        s.fit = live.id;
        s.converged = converged ? 1 : 0;
        s.segmentFirst = live.firstIndex;
        s.lastMeasured = live.lastMeasured;
        s.x0 = live.firstIndex;
        s.t0 = live.a;
        s.halfWidth = live.halfWidth;
        s.pivot = live.pivot;
        s.liveKnot = live.anyKnot ? 1 : 0;
        s.liveKnotX = live.lastKnotX;
        s.liveKnotT = live.lastKnotT;
        s.lagNs = live.lastMeasuredY
            - (live.a + b * static_cast<double>(live.lastMeasured - live.firstIndex));
    } else if (streamOpen && knotWritten > streamKnotBegin) {
        // The stream's segments have all ended: the knots hold it.
        s.hasLine = 1;
        const Knot& k = knots[slotOf(knotWritten - 1)];
        s.fit = k.segment.load(std::memory_order_relaxed);
        s.segmentFirst = k.index.load(std::memory_order_relaxed);
        s.lastMeasured = s.segmentFirst;
        s.x0 = s.segmentFirst;
        s.t0 = k.time.load(std::memory_order_relaxed);
        s.liveKnot = 1;
        s.liveKnotX = s.x0;
        s.liveKnotT = s.t0;
        s.halfWidth = live.halfWidth;
        s.pivot = static_cast<double>(s.x0);
    }

    std::array<std::uint64_t, SNAPSHOT_WORDS> words{};
    std::memcpy(words.data(), &s, sizeof s);
    const std::uint64_t version = current.load(std::memory_order_relaxed) + 1;
    Slot& slot = slots[version & 1];
    const std::uint64_t sequence = slot.sequence.load(std::memory_order_relaxed);
    slot.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t i = 0; i < SNAPSHOT_WORDS; ++i)
        slot.words[i].store(words[i], std::memory_order_relaxed);
    slot.sequence.store(sequence + 2, std::memory_order_release);
    current.store(version, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Reading

bool TimeLine::Impl::read(Snapshot& out) const
{
    for (int attempt = 0; attempt < READ_ATTEMPTS * 4; ++attempt) {
        const std::uint64_t version = current.load(std::memory_order_acquire);
        if (version == 0)
            return false;
        const Slot& slot = slots[version & 1];
        const std::uint64_t before = slot.sequence.load(std::memory_order_acquire);
        if (before & 1)
            continue;
        std::array<std::uint64_t, SNAPSHOT_WORDS> words{};
        for (std::size_t i = 0; i < SNAPSHOT_WORDS; ++i)
            words[i] = slot.words[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (slot.sequence.load(std::memory_order_relaxed) != before)
            continue;
        std::memcpy(&out, words.data(), sizeof out);
        return true;
    }
    return false;
}

std::int64_t TimeLine::Impl::newestOf(const Snapshot& s) const
{
    const std::uint64_t packed = newestPacked.load(std::memory_order_relaxed);
    if ((packed >> 40) != s.stream)
        return s.newestIndex;
    std::int64_t index = static_cast<std::int64_t>(packed & ((1ULL << 40) - 1));
    // Indices below 2^39 only (a century of samples); restore the sign.
    if (index >= (1LL << 39))
        index -= (1LL << 40);
    return std::max(index, s.newestIndex);
}

namespace {

/// The polyline a snapshot and its knots describe: frozen knots, then the
/// live segment's line from its last knot (the knot's discrepancy fading out
/// towards the newest sample) or from its first sample.
class Polyline
{
public:
    Polyline(const Snapshot& s, const std::vector<Knot>& knots)
        : s(s)
        , knots(knots)
    {
        if (s.liveKnot) {
            startX = s.liveKnotX;
            startT = s.liveKnotT;
            last = static_cast<double>(std::max(s.lastMeasured, s.liveKnotX));
            const double gap = last - static_cast<double>(s.liveKnotX);
            if (gap > 0) {
                const double discrepancy = s.liveKnotT - line(static_cast<double>(s.liveKnotX));
                fadeSlope = s.b - discrepancy / gap;
            } else {
                fadeSlope = s.b;
            }
        } else {
            startX = s.segmentFirst;
            startT = line(static_cast<double>(s.segmentFirst));
            last = static_cast<double>(startX);
            fadeSlope = s.b;
        }
        // With a knot of the live segment, that knot ends the ring's list;
        // without, the segment's first sample follows it.
        end = s.knotEnd;
        if (s.liveKnot && end > s.knotBegin)
            --end;
    }

    double line(double x) const { return s.t0 + s.b * (x - static_cast<double>(s.x0)); }

    /// Time (after originNs) of position x.
    double timeAt(double x) const
    {
        if (x >= static_cast<double>(startX)) {
            if (x <= last)
                return startT + fadeSlope * (x - static_cast<double>(startX));
            return line(x);
        }
        // Frozen knots [knotBegin, end), then (startX, startT).
        std::int64_t lo = s.knotBegin, hi = end; // first knot with index > x
        while (lo < hi) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            if (static_cast<double>(indexOf(mid)) <= x)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo == s.knotBegin) {
            // Before every knot: from the first point at the rate.
            const double x1 = static_cast<double>(lo < end ? indexOf(lo) : startX);
            const double t1 = lo < end ? timeOf(lo) : startT;
            return t1 + s.b * (x - x1);
        }
        const double xa = static_cast<double>(indexOf(lo - 1)), ta = timeOf(lo - 1);
        const double xb = static_cast<double>(lo < end ? indexOf(lo) : startX);
        const double tb = lo < end ? timeOf(lo) : startT;
        if (xb <= xa)
            return ta;
        return ta + (tb - ta) * (x - xa) / (xb - xa);
    }

    /// Position of time t (after originNs).
    double positionAt(double t) const
    {
        if (t >= startT) {
            const double lastT = startT + fadeSlope * (last - static_cast<double>(startX));
            if (t <= lastT && fadeSlope > 0)
                return static_cast<double>(startX) + (t - startT) / fadeSlope;
            if (last > static_cast<double>(startX))
                return last + (t - lastT) / s.b;
            return static_cast<double>(s.x0) + (t - s.t0) / s.b;
        }
        std::int64_t lo = s.knotBegin, hi = end; // first knot later than t
        while (lo < hi) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            if (timeOf(mid) <= t)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo == s.knotBegin) {
            const double x1 = static_cast<double>(lo < end ? indexOf(lo) : startX);
            const double t1 = lo < end ? timeOf(lo) : startT;
            return x1 + (t - t1) / s.b;
        }
        const double xa = static_cast<double>(indexOf(lo - 1)), ta = timeOf(lo - 1);
        const double xb = static_cast<double>(lo < end ? indexOf(lo) : startX);
        const double tb = lo < end ? timeOf(lo) : startT;
        if (tb <= ta)
            return xb;
        return xa + (xb - xa) * (t - ta) / (tb - ta);
    }

    /// The lowest knot position read, for the reader's check.
    std::int64_t lowestRead() const { return s.knotBegin; }

private:
    std::int64_t indexOf(std::int64_t p) const
    {
        return knots[slotOf(p)].index.load(std::memory_order_relaxed);
    }
    double timeOf(std::int64_t p) const
    {
        return knots[slotOf(p)].time.load(std::memory_order_relaxed);
    }

    const Snapshot& s;
    const std::vector<Knot>& knots;
    std::int64_t startX;
    double startT;
    double last;
    double fadeSlope;
    std::int64_t end;
};

Place placeOf(const Snapshot& s, std::int64_t newest, double x)
{
    if (x < static_cast<double>(s.firstIndex) - 0.5)
        return Place::BeforeFirst;
    if (x > static_cast<double>(newest) + 0.5)
        return s.ended ? Place::AfterEnd : Place::Ahead;
    return Place::Within;
}

double uncertaintyAt(const Snapshot& s, double x)
{
    return s.halfWidth + s.rateHalfWidth * std::abs(x - s.pivot);
}

} // namespace

// ---------------------------------------------------------------------------

TimeLine::TimeLine(TimeLineOptions options, const TimeLineClocks* clocks)
    : d(new Impl(options, clocks))
{
}

TimeLine::~TimeLine() = default;

void TimeLine::observe(std::int64_t index, std::int64_t deliveredSteadyNs, SampleKind kind)
{
    d->observe(index, deliveredSteadyNs, kind);
}

void TimeLine::restart(Break reason)
{
    d->restart(reason);
}

void TimeLine::finish()
{
    d->finish();
}

Position TimeLine::positionOf(std::int64_t steadyNs) const
{
    for (int attempt = 0; attempt < READ_ATTEMPTS; ++attempt) {
        Snapshot s;
        if (!d->read(s) || !s.hasLine)
            return Position();
        const Polyline line(s, d->knots);
        const double x = line.positionAt(static_cast<double>(steadyNs - s.originNs));
        std::atomic_thread_fence(std::memory_order_acquire);
        if (d->knotClaim.load(std::memory_order_relaxed) > line.lowestRead() + KNOT_CAPACITY)
            continue;
        Position p;
        p.index = x;
        p.place = placeOf(s, d->newestOf(s), x);
        p.uncertainty = uncertaintyAt(s, x) / s.b;
        p.fit = s.fit;
        return p;
    }
    return Position();
}

Instant TimeLine::timeOf(double index) const
{
    for (int attempt = 0; attempt < READ_ATTEMPTS; ++attempt) {
        Snapshot s;
        if (!d->read(s) || !s.hasLine)
            return Instant();
        const Polyline line(s, d->knots);
        const double t = line.timeAt(index);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (d->knotClaim.load(std::memory_order_relaxed) > line.lowestRead() + KNOT_CAPACITY)
            continue;
        Instant i;
        i.place = placeOf(s, d->newestOf(s), index);
        i.steadyNs = s.originNs + std::llround(t);
        i.wallNs = i.steadyNs + s.wallMinusSteadyNs;
        i.uncertaintyNs = uncertaintyAt(s, index);
        i.fit = s.fit;
        return i;
    }
    return Instant();
}

TimeLineEstimate TimeLine::estimate() const
{
    Snapshot s;
    TimeLineEstimate e;
    if (!d->read(s))
        return e;
    e.stream = s.stream;
    e.revision = s.revision;
    e.steps = s.steps;
    e.wallMinusSteadyNs = s.wallMinusSteadyNs;
    if (!s.hasLine)
        return e;
    e.fit = s.fit;
    e.converged = s.converged != 0;
    e.samplesPerSecond = 1e9 / s.b;
    e.ratePpm = (d->nominalB / s.b - 1.0) * 1e6;
    e.rateUncertaintyPpm = s.rateHalfWidth / s.b * 1e6;
    e.offsetSteadyNs = s.originNs + std::llround(s.t0 - s.b * static_cast<double>(s.x0));
    e.newestIndex = d->newestOf(s);
    e.newestSteadyNs
        = s.originNs + std::llround(s.t0 + s.b * static_cast<double>(e.newestIndex - s.x0));
    e.uncertaintyNs = uncertaintyAt(s, static_cast<double>(e.newestIndex));
    e.deliveryLagNs = s.lagNs;
    return e;
}

double TimeLine::libraryOffsetMs(std::int64_t index, long long timestampMs) const
{
    const Instant i = timeOf(static_cast<double>(index));
    if (i.place == Place::NoFit)
        return 0.0;
    return static_cast<double>(timestampMs) - static_cast<double>(i.wallNs) / 1e6;
}

} // namespace session
} // namespace ondira
