#ifndef ONDIRA_TESTS_SESSION_SYNTHETICSTREAM_H
#define ONDIRA_TESTS_SESSION_SYNTHETICSTREAM_H

// A stream as the library delivers it, on a fake clock, with the truth the
// time line is judged against: a headset whose clock runs at a given speed
// sends a packet of five samples every 20 ms of its own time; a packet's
// bytes take 59 byte times of a 115200-baud link, each sample complete when
// its last byte is in; a worker wakes every 100 ms plus a little, reads
// every sample complete by then, delivers it a few microseconds apart, and
// sleeps again. Lost packets become five fillers each, delivered with the
// next packet that arrives. Events add what the library and the session do
// besides: fillers that stand for no sample, a headset that falls silent,
// one that is lost and comes back, a new stream.

#include <cstdint>
#include <random>
#include <vector>

namespace ondira_test {

enum class Kind : std::uint8_t { Measured, LossFiller, SpuriousFiller };

struct Delivery
{
    std::int64_t index;
    std::int64_t ns;
    Kind kind;
};

/// What happens at a moment of the stream.
struct StreamEvent
{
    enum class What {
        /// At the next poll, `count` fillers before the first packet read:
        /// the library's silence fillers standing for no sample.
        SpuriousFillers,
        /// The headset sends nothing for `seconds`; the library then fills
        /// `count` samples before the next packet.
        Silence,
        /// The headset is lost for `seconds`; when it is back its indices
        /// go on `count` samples further (the session's estimate of the time
        /// away), and the time line is told restart(HeadsetBack).
        HeadsetBack,
        /// Streaming stops; `seconds` later a new stream begins at index 0
        /// (restart(NewStream)); the headset's packets begin anew.
        NewStream
    };
    double atSeconds;
    What what;
    double seconds = 0.0;
    long count = 0;
};

struct StreamPlan
{
    double clockSpeed = 1.0; ///< the headset's clock against the host's, at the start
    double speedChangePpmPerMinute = 0.0; ///< and how it changes (a crystal warming up)
    double loss = 0.0; ///< probability that a packet is lost
    double seconds = 60.0;
    double pollOverheadMs = 0.15; ///< the worker's sleep overshoots by this much...
    double pollJitterMs = 0.1; ///< ...plus up to this much, at random
    std::uint32_t seed = 1;
    std::vector<StreamEvent> events;
};

/// A restart the time line must be told of, before the delivery `before`.
struct RestartAt
{
    std::size_t before;
    bool newStream; ///< else the headset is back
};

/// The true time of one measured sample of a stream.
struct TrueSample
{
    std::uint32_t stream; ///< from 0
    std::int64_t index;
    double ns;
};

class SyntheticStream
{
public:
    explicit SyntheticStream(const StreamPlan& plan);

    const std::vector<Delivery>& deliveries() const { return delivered; }
    const std::vector<RestartAt>& restarts() const { return restartList; }
    /// For each event in order of time: when the first measured sample
    /// after it (and after the fillers it brought) was delivered.
    const std::vector<double>& breaksNs() const { return breaks; }
    /// The true sample period, ns.
    double periodNs() const { return period; }
    double rateHz() const { return 1e9 / period; }
    /// The true sample rate at steady time `ns`.
    double rateHzAt(double ns) const;

    /// The true position of steady time `ns` on stream `stream`: between
    /// the measured samples around it; false outside the stream's samples.
    /// `apartNs`: how far apart those two samples are (a gap when more
    /// than a few packets).
    bool truePosition(
        std::uint32_t stream, double ns, double* index, double* apartNs = nullptr) const;
    /// The true time of sample `index` of stream `stream`, measured or not
    /// (a loss filler stands for a sample that was sent).
    double trueTime(std::uint32_t stream, std::int64_t index) const;
    /// The true time of fractional position `index`: between the measured
    /// samples around it (fillers that stand for no sample share the time
    /// between them); false outside the stream's measured samples.
    bool trueTimeAt(std::uint32_t stream, double index, double* ns) const;
    /// Whether sample `index` of stream `stream` was delivered as measured.
    bool measured(std::uint32_t stream, std::int64_t index) const;
    /// Time of the first delivery.
    std::int64_t startNs() const { return delivered.empty() ? 0 : delivered.front().ns; }
    /// The steady time of a StreamEvent's `atSeconds`.
    static double atNs(double seconds);

private:
    struct Line
    {
        std::int64_t firstIndex; ///< stream index whose time is t
        double t;
    };
    std::vector<Delivery> delivered;
    std::vector<RestartAt> restartList;
    std::vector<double> breaks;
    std::vector<TrueSample> truth;
    /// Per stream: pieces of the index-to-time line (a new one at every
    /// event that moves indices against time).
    std::vector<std::vector<Line>> lines;
    double period = 0.0;
    double speed = 1.0;
    double speedChange = 0.0; ///< per ns
};

} // namespace ondira_test

#endif
