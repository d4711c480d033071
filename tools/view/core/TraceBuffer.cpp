#include "TraceBuffer.h"

#include <algorithm>
#include <cmath>

namespace ondira {
namespace view {

TraceBuffer::TraceBuffer(std::size_t capacity, double rateHz)
    : values(std::max<std::size_t>(1, capacity))
    , rate(rateHz)
{
    rebuildFilters();
}

void TraceBuffer::rebuildFilters()
{
    channelFilters.clear();
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
        channelFilters.emplace_back(settings, rate);
}

void TraceBuffer::push(const std::array<float, OndiraData::CHANNEL_COUNT>& raw, unsigned char marks)
{
    if (marks & MARK_RESTART) {
        // A new stream starts from its own level.
        for (ChannelFilter& f : channelFilters)
            f.reset();
    }
    Entry& e = at(next);
    e.raw = raw;
    e.marks = marks;
    for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
        e.shown[c] = channelFilters[c].process(raw[c]);
    lastRawValues = raw;
    ++next;
    kept = std::min(kept + 1, values.size());
}

void TraceBuffer::append(const DisplaySample* samples, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const DisplaySample& d = samples[i];
        // The display fell behind: keep the time axis true with a gap that
        // repeats the last values, as the library's fillers do. Of a gap
        // longer than the history only its end is kept: the rest would be
        // overwritten at once.
        const long long gap = std::max(0, d.skippedBefore);
        const long long shown = std::min<long long>(gap, static_cast<long long>(values.size()));
        next += gap - shown;
        for (long long k = 0; k < shown; ++k)
            push(lastRawValues, MARK_FILLER | MARK_SKIPPED);
        std::array<float, OndiraData::CHANNEL_COUNT> raw;
        for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
            raw[c] = static_cast<float>(d.sample.microvolts[c]);
        unsigned char marks = 0;
        if (formats::isFiller(d.sample))
            marks |= MARK_FILLER;
        if (const int channel = formats::offsetChangeChannel(d.sample))
            marks |= offsetMark(channel - 1);
        if (d.restart)
            marks |= MARK_RESTART;
        if (segments.empty() || segments.back().stream != d.stream)
            beginSegment(d.stream, next - d.index);
        push(raw, marks);
        segments.back().end = next;
    }
    dropOldMarkers();
}

void TraceBuffer::beginSegment(unsigned stream, long long offset)
{
    if (!segments.empty()) {
        // Markers put just before the stream ended lie past its last sample:
        // they go onto it rather than among the next stream's samples.
        const Segment& ended = segments.back();
        const double last = static_cast<double>(ended.end - 1);
        for (auto m = placed.rbegin(); m != placed.rend() && m->at > last; ++m) {
            if (m->stream == ended.stream)
                m->at = last;
        }
    }
    segments.push_back(Segment{stream, offset, next});
    std::vector<Marker> later;
    for (Marker& m : waiting) {
        if (m.stream == stream) {
            m.at += static_cast<double>(offset);
            place(std::move(m));
        } else if (m.stream > stream) {
            later.push_back(std::move(m));
        }
        // A stream that showed no sample has no place for its markers.
    }
    waiting.swap(later);
}

void TraceBuffer::addMarker(unsigned stream, double position, std::string text)
{
    if (!std::isfinite(position))
        return;
    Marker marker{position, stream, std::move(text)};
    if (segments.empty() || stream > segments.back().stream) {
        waiting.push_back(std::move(marker));
        if (placed.size() + waiting.size() > MAX_MARKERS)
            waiting.erase(waiting.begin());
        return;
    }
    for (std::size_t k = segments.size(); k-- > 0;) {
        const Segment& s = segments[k];
        if (s.stream != stream)
            continue;
        marker.at = position + static_cast<double>(s.offset);
        if (k + 1 < segments.size())
            marker.at = std::min(marker.at, static_cast<double>(s.end - 1));
        if (marker.at >= static_cast<double>(first()))
            place(std::move(marker));
        return;
    }
}

void TraceBuffer::place(Marker marker)
{
    const auto after = std::upper_bound(placed.begin(), placed.end(), marker.at,
                                        [](double at, const Marker& m) { return at < m.at; });
    placed.insert(after, std::move(marker));
    if (placed.size() + waiting.size() > MAX_MARKERS)
        placed.pop_front();
}

void TraceBuffer::dropOldMarkers()
{
    const double oldest = static_cast<double>(first());
    while (!placed.empty() && placed.front().at < oldest)
        placed.pop_front();
    while (segments.size() > 1 && segments.front().end <= first())
        segments.pop_front();
}

void TraceBuffer::setFilters(const FilterSettings& newSettings)
{
    settings = newSettings;
    rebuildFilters();
    for (long long i = first(); i < next; ++i) {
        Entry& e = at(i);
        if (e.marks & MARK_RESTART) {
            for (ChannelFilter& f : channelFilters)
                f.reset();
        }
        for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
            e.shown[c] = channelFilters[c].process(e.raw[c]);
    }
}

void TraceBuffer::clear()
{
    next = 0;
    kept = 0;
    rebuildFilters();
    segments.clear();
    placed.clear();
    waiting.clear();
}

std::size_t TraceBuffer::lastRaw(int channel, std::size_t count, float* out, unsigned char* marked) const
{
    const std::size_t n = std::min(count, kept);
    const unsigned char relevant = static_cast<unsigned char>(MARK_FILLER | MARK_RESTART | offsetMark(channel));
    long long index = next - static_cast<long long>(n);
    for (std::size_t i = 0; i < n; ++i, ++index) {
        const Entry& e = at(index);
        out[i] = e.raw[static_cast<std::size_t>(channel)];
        marked[i] = (e.marks & relevant) ? 1 : 0;
    }
    return n;
}

} // namespace view
} // namespace ondira
