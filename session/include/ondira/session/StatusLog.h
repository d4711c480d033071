#ifndef ONDIRA_SESSION_STATUSLOG_H
#define ONDIRA_SESSION_STATUSLOG_H

// The session's log: every status event of the library and every step of
// the session, in the order they happened, with when and where on the
// sample time line they arrived. Programs read it with a cursor of their own
// (a display, a recording, Python's events()); the session reads it to tell
// what a call raised.

#include <ondira/session/MarkerText.h>

#include <boost/lockfree/queue.hpp>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ondira {
namespace session {

struct LogEntry {
    enum class Kind {
        Status,   ///< a status event of the library (`code`)
        Note,     ///< a step that belongs into a recording: "Headset lost"
        Info,     ///< a step for a person to read: "Streaming started"
        Failure,  ///< something failed: what and why
        Marker    ///< a stimulus marker (`text`), placed at its `steadyNs`
    };
    long long sequence = 0;        ///< from 0, in the order the entries were added
    Kind kind = Kind::Info;
    int code = -1;                 ///< Status: StatusData::statusCode
    std::int64_t steadyNs = 0;     ///< arrival, std::chrono::steady_clock
    long long wallMs = 0;          ///< arrival, ms since 1970-01-01 UTC
    unsigned stream = 0;           ///< the stream it arrived in; 0: before the first
    /// Where on that stream's time line (a fractional sample index): for an
    /// event of the library's worker, just after the sample it follows; for
    /// anything else, the time line at its arrival. Negative before the
    /// stream's first sample.
    double position = -1.0;
    std::string text;              ///< the event's text, or the session's

    /// Status: "ERROR", "WARNING" or "INFO"; empty for the other kinds.
    const char* type() const;
};

/// The one rule for a lost headset: while streaming, the library reports
/// that the device failed (DEVICE_IO_ERROR: unplugged dongle, failed read or
/// write) or that the headset went silent (DEVICE_NOT_RESPONDING).
bool meansHeadsetLost(int code);

/// The codes that only report a channel's calibration state (9..21).
bool isChannelState(int code);

/// Of `codes`, the first of the most severe type (ERROR, then WARNING, then
/// INFO); -1 when there is none.
int mostSevere(const std::vector<int>& codes);

/// Why a call failed, for a person: the texts of `codes` but the channel
/// states, each once, in the order they came, joined by " / "; "the library
/// reported no reason" when none is left.
std::string reasonOf(const std::vector<int>& codes);

/// Thread-safe: entries are added from the library's worker, from the
/// session's control thread and from readers' threads; every method takes a
/// short lock and never waits for anything else. A marker is added without
/// any lock: it waits in a lock-free queue and joins the log, in the order
/// markers came, at the next call of any other method.
class StatusLog
{
public:
    /// Entries kept; a reader that falls further behind loses the oldest.
    static constexpr std::size_t CAPACITY = 8192;
    /// Markers that can wait for the log at once.
    static constexpr std::size_t MARKER_QUEUE = 1024;

    StatusLog();
    StatusLog(const StatusLog&) = delete;
    StatusLog& operator=(const StatusLog&) = delete;

    /// Adds `entry` with the next sequence number, which it returns.
    long long add(LogEntry entry);
    /// The sequence number the next entry will get: a cursor that reads
    /// only what comes from now on.
    long long next() const;

    /// Appends to `out` the entries from `cursor` on, at most `max`, oldest
    /// first, and moves `cursor` past them. Returns how many entries the
    /// reader lost because they were overwritten before it came.
    long long read(long long& cursor, std::vector<LogEntry>& out, std::size_t max = SIZE_MAX) const;

    /// The status codes of the entries from `since` on.
    std::vector<int> codesSince(long long since) const;

    /// Queues a Marker entry (text at most MAX_MARKER_BYTES, checked by the
    /// caller) without waiting; false when MARKER_QUEUE markers wait already.
    bool addMarker(std::int64_t steadyNs, long long wallMs, unsigned stream, double position, const std::string& text);

private:
    struct QueuedMarker {
        std::int64_t steadyNs;
        long long wallMs;
        double position;
        unsigned stream;
        unsigned length;
        char text[MAX_MARKER_BYTES];
    };
    /// Moves the queued markers into the ring; under `mutex`.
    void takeMarkers() const;
    void put(LogEntry entry) const;

    mutable std::mutex mutex;
    mutable std::vector<LogEntry> ring;
    mutable long long count = 0;   // entries ever added
    mutable boost::lockfree::queue<QueuedMarker, boost::lockfree::capacity<MARKER_QUEUE>> markers;
};

} // namespace session
} // namespace ondira

#endif
