#include "ChunkReader.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace ondira {
namespace python {

namespace {

/// A row's place: stream first, then index.
bool precedes(unsigned streamA, long long indexA, unsigned streamB, long long indexB)
{
    return streamA != streamB ? streamA < streamB : indexA < indexB;
}

} // namespace

ChunkReader::ChunkReader(session::Tap& tap, const session::StatusLog& log)
    : reader(tap)
    , log(log)
    , cursor(log.next())
{
}

void ChunkReader::readLog()
{
    entries.clear();
    lost.fetch_add(log.read(cursor, entries), std::memory_order_relaxed);
    for (session::LogEntry& entry : entries) {
        if (entry.kind == session::LogEntry::Kind::Marker)
            waiting.push_back(
                Waiting{entry.stream, entry.position, entry.wallMs, std::move(entry.text)});
    }
}

bool ChunkReader::place(const Waiting& marker, std::size_t rows, const StreamState& state,
                        bool allOut, double& position) const
{
    const long long row = static_cast<long long>(std::floor(marker.position));
    for (const Segment& segment : segments) {
        if (precedes(marker.stream, row, segment.stream, segment.firstIndex)) {
            // Its row was handed out earlier, or lies in a gap before this
            // segment (the end of an earlier stream): the segment's first row.
            position = static_cast<double>(segment.offset);
            return true;
        }
        if (marker.stream == segment.stream && row < segment.end()) {
            const double into = marker.position - static_cast<double>(segment.firstIndex);
            position = static_cast<double>(segment.offset) + into;
            return true;
        }
    }
    // No row of this chunk is at or after the marker's.
    const bool handedOut = haveLast && !precedes(lastStream, lastIndex, marker.stream, row);
    const bool streamOver =
        marker.stream < state.stream || (marker.stream == state.stream && !state.streaming);
    if (handedOut || (streamOver && allOut)) {
        position = static_cast<double>(rows);
        return true;
    }
    return false;
}

std::size_t ChunkReader::take(std::size_t rows, const ChunkArrays& out, const StreamState& state,
                              std::vector<ChunkMarker>& markers)
{
    if (batch.empty())
        batch.resize(4096);
    rows = std::min(rows, rowsReady());
    segments.clear();
    std::size_t row = 0;
    while (row < rows) {
        const std::size_t count = reader.take(batch.data(), std::min(batch.size(), rows - row));
        for (std::size_t i = 0; i < count; ++i, ++row) {
            const session::Row& r = batch[i];
            for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
                out.microvolts[row * OndiraData::CHANNEL_COUNT + static_cast<std::size_t>(c)] =
                    r.sample.microvolts[static_cast<std::size_t>(c)];
            out.timestamps[row] = r.sample.timestampMs;
            out.flags[row] = static_cast<std::uint8_t>(r.sample.flag);
            out.offsetChanges[row] = static_cast<std::uint8_t>(r.sample.offsetChangeIndex);
            out.dropped[row] = r.kind == session::Row::Kind::Dropped;
            if (segments.empty() || !segments.back().continuedBy(r))
                segments.push_back(Segment{r.stream, r.index, row, 0});
            ++segments.back().count;
        }
        if (count == 0)
            break;
    }
    if (row > 0) {
        haveLast = true;
        lastStream = segments.back().stream;
        lastIndex = segments.back().firstIndex + static_cast<long long>(segments.back().count) - 1;
    }

    // After the rows: every marker that reached the log by now and lies on
    // them goes with them.
    readLog();
    const bool allOut = reader.rowsReady() == 0 && reader.source().available() == 0;
    markers.clear();
    std::vector<Waiting> kept;
    for (Waiting& marker : waiting) {
        double position = 0.0;
        if (place(marker, row, state, allOut, position))
            markers.push_back(ChunkMarker{position, marker.wallMs, std::move(marker.text)});
        else
            kept.push_back(std::move(marker));
    }
    waiting.swap(kept);
    const auto byPosition = [](const ChunkMarker& a, const ChunkMarker& b) {
        return a.position < b.position;
    };
    std::stable_sort(markers.begin(), markers.end(), byPosition);
    return row;
}

} // namespace python
} // namespace ondira
