#ifndef ONDIRA_VIEW_TRACEBUFFER_H
#define ONDIRA_VIEW_TRACEBUFFER_H

#include "DisplaySample.h"
#include "Filters.h"

#include <array>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace ondira {
namespace view {

/// The recent history of the four channels, raw and filtered for display,
/// with what the display marks: fillers, offset changes, restarts, and the
/// stimulus markers that lie among the samples kept. Samples are numbered
/// from 0 since the buffer was made or cleared; the buffer keeps the newest
/// `capacity` of them. Used on one thread (the GUI's).
class TraceBuffer
{
public:
    enum Mark : unsigned char {
        MARK_FILLER = 1u << 0,   ///< a lost sample (the library's filler) or one the display skipped
        MARK_OFFSET_1 = 1u << 1, ///< the headset changed channel 1's offset here; _2.._4 follow
        MARK_RESTART = 1u << 5,  ///< streaming (re)started here
        MARK_SKIPPED = 1u << 6   ///< stands for a sample the display had no room for
    };
    static unsigned char offsetMark(int channel) { return static_cast<unsigned char>(MARK_OFFSET_1 << channel); }

    /// A stimulus marker placed among the samples.
    struct Marker {
        double at = 0.0;     ///< on the buffer's sample numbers, fractional
        unsigned stream = 0;
        std::string text;
    };
    /// Markers kept at most (placed and waiting); beyond, the oldest go.
    static constexpr std::size_t MAX_MARKERS = 512;

    explicit TraceBuffer(std::size_t capacity, double rateHz = OndiraData::SAMPLE_RATE_HZ);

    void append(const DisplaySample* samples, std::size_t count);
    /// Filters the whole history again with `settings` and goes on with them.
    void setFilters(const FilterSettings& settings);
    const FilterSettings& filters() const { return settings; }
    /// Clears samples and markers.
    void clear();

    /// A marker at `position` on the time line of `stream` (as the samples'
    /// DisplaySample::index and ::stream). It is placed by that stream's
    /// samples: one that lies ahead of the newest sample (a marker is put at
    /// the time line's "now", its samples come later) or whose stream has not
    /// shown a sample yet waits for them. One past the last sample of a stream
    /// that has ended goes onto that last sample. A marker of a stream no
    /// longer in the buffer, or older than first(), is dropped.
    void addMarker(unsigned stream, double position, std::string text);
    /// The markers placed, oldest first (ordered by `at`), all at or after
    /// first(); those at or past end() wait for their sample.
    const std::deque<Marker>& markers() const { return placed; }

    std::size_t capacity() const { return values.size(); }
    /// Number of the oldest sample kept, and one past the newest.
    long long first() const { return next - static_cast<long long>(kept); }
    long long end() const { return next; }
    std::size_t size() const { return kept; }

    // Samples in [first(), end()).
    float shown(int channel, long long index) const { return at(index).shown[static_cast<std::size_t>(channel)]; }
    float raw(int channel, long long index) const { return at(index).raw[static_cast<std::size_t>(channel)]; }
    unsigned char marks(long long index) const { return at(index).marks; }

    /// The last up to `count` raw values of `channel` into `out`, oldest
    /// first, with `marked` set where a filler, an offset change of that
    /// channel or a restart lies; returns how many were copied.
    std::size_t lastRaw(int channel, std::size_t count, float* out, unsigned char* marked) const;

private:
    struct Entry {
        std::array<float, OndiraData::CHANNEL_COUNT> raw{};
        std::array<float, OndiraData::CHANNEL_COUNT> shown{};
        unsigned char marks = 0;
    };
    const Entry& at(long long index) const { return values[static_cast<std::size_t>(index % static_cast<long long>(values.size()))]; }
    Entry& at(long long index) { return values[static_cast<std::size_t>(index % static_cast<long long>(values.size()))]; }
    /// The samples of one stream in the buffer: stream index + offset is
    /// the buffer's sample number.
    struct Segment {
        unsigned stream;
        long long offset;
        long long end;   ///< one past its newest sample
    };
    void push(const std::array<float, OndiraData::CHANNEL_COUNT>& raw, unsigned char marks);
    void rebuildFilters();
    void beginSegment(unsigned stream, long long offset);
    void place(Marker marker);
    void dropOldMarkers();

    std::vector<Entry> values;
    long long next = 0;
    std::size_t kept = 0;
    double rate;
    FilterSettings settings;
    std::vector<ChannelFilter> channelFilters;
    std::array<float, OndiraData::CHANNEL_COUNT> lastRawValues{};
    std::deque<Segment> segments;    // oldest first
    std::deque<Marker> placed;       // by `at`
    std::vector<Marker> waiting;     // `at` still the stream's position: no sample of it yet
};

} // namespace view
} // namespace ondira

#endif
