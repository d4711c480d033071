#ifndef ONDIRA_PYTHON_CHUNKREADER_H
#define ONDIRA_PYTHON_CHUNKREADER_H

#include <ondira/session/StatusLog.h>
#include <ondira/session/Tap.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ondira {
namespace python {

/// A stimulus marker as a chunk carries it.
struct ChunkMarker {
    /// Rows from the chunk's first row, fractional: the marker lies in row
    /// floor(position). Equal to the chunk's length for a marker placed
    /// after the last row of a stream that has ended.
    double position = 0.0;
    long long wallMs = 0;   ///< when it was placed, ms since 1970-01-01 UTC
    std::string text;
};

/// Where the session's stream stood, read before a take().
struct StreamState {
    unsigned stream = 0;     ///< the current (or last) stream; 0: none yet
    bool streaming = false;  ///< it streams (a reconnection under way included)
};

/// The arrays a take() fills, `rows` entries each (`microvolts`: four per
/// row, row-major).
struct ChunkArrays {
    double* microvolts;
    std::int64_t* timestamps;
    std::uint8_t* flags;
    std::uint8_t* offsetChanges;
    bool* dropped;   ///< fillers for samples that the tap had no room for
};

/// Rows of a tap as the arrays of a chunk, with the markers of the session's
/// log that lie on them: the tap's reader hands out every sample and a
/// filler row for every sample that the tap had no room for or that was due
/// while a lost headset was away (session::TapReader). Rows collected but
/// not handed out stay for the next chunk, so that a read that is
/// interrupted, or asks for more than the tap holds, loses nothing.
///
/// Every marker goes with exactly one chunk, in this order of rules:
/// - with the chunk that holds its row (the row floor(position) of its
///   stream), at its fractional place there;
/// - a marker whose row was handed out before it reached the log goes at 0
///   of the next chunk (so it comes late by less than the rows read since);
/// - a marker whose row never comes (past the end of a stream that has
///   ended) goes at the first row of a later stream in the chunk, or at the
///   chunk's end (its length) once every row of its stream is handed out.
/// Markers wait for their row as long as it takes; a chunk's markers are in
/// the order of their positions, ties in the order they were placed.
///
/// For one thread at a time (the Python binding holds a mutex around it).
class ChunkReader
{
public:
    /// Reads the markers that join `log` from now on.
    ChunkReader(session::Tap& tap, const session::StatusLog& log);

    /// Moves everything waiting in the tap behind what was collected before.
    void collect() { reader.collect(); }
    /// Rows collected and not yet handed out, fillers included.
    std::size_t rowsReady() const { return static_cast<std::size_t>(reader.rowsReady()); }

    /// Writes the first `rows` (at most rowsReady()) rows into `out` and
    /// forgets them; replaces `markers` with the markers that go with them.
    /// `state` is the session's stream as it was before the call. Returns
    /// the rows written.
    std::size_t take(std::size_t rows, const ChunkArrays& out, const StreamState& state,
                     std::vector<ChunkMarker>& markers);

    /// Log entries overwritten before a take() read them, since
    /// construction: markers among them are missing from the chunks. Any
    /// thread.
    long long entriesLost() const { return lost.load(std::memory_order_relaxed); }
    /// Markers read from the log and not handed out yet.
    std::size_t markersWaiting() const { return waiting.size(); }

private:
    struct Waiting {
        unsigned stream;
        double position;   // on the stream's time line
        long long wallMs;
        std::string text;
    };
    /// Rows of one stream with consecutive indices, as a chunk holds them.
    struct Segment {
        unsigned stream;
        long long firstIndex;
        std::size_t offset;   // the chunk's row of firstIndex
        std::size_t count;

        long long end() const { return firstIndex + static_cast<long long>(count); }
        bool continuedBy(const session::Row& row) const
        {
            return row.stream == stream && row.index == end();
        }
    };

    void readLog();
    /// Where in the chunk of `rows` rows the marker goes; false: not yet.
    bool place(const Waiting& marker, std::size_t rows, const StreamState& state, bool allOut,
               double& position) const;

    session::TapReader reader;
    const session::StatusLog& log;
    long long cursor;
    std::atomic<long long> lost{0};
    std::vector<session::Row> batch;
    std::vector<Segment> segments;
    std::vector<session::LogEntry> entries;
    std::vector<Waiting> waiting;
    // The last row handed out.
    bool haveLast = false;
    unsigned lastStream = 0;
    long long lastIndex = 0;
};

} // namespace python
} // namespace ondira

#endif
