#ifndef ONDIRA_PYTHON_DEVICE_H
#define ONDIRA_PYTHON_DEVICE_H

#include "ChunkReader.h"

#include <ondira/session/Session.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace ondira {
namespace python {

struct EventRecord {
    long long timestampMs; ///< wall clock when it arrived, ms since 1970-01-01 UTC
    int code;
};

/// One session with a tap for the Python reads, as the Python Headset drives
/// it. No Python in here: the binding releases the interpreter lock around
/// every call that can block.
///
/// Threads: any number of Python threads may call in; the session runs the
/// calls one after the other. Reads are serialised by readMutex(), which is
/// never waited for while holding the interpreter lock.
class Device
{
public:
    /// Whether a call succeeded, and the most severe status event it raised
    /// (-1: none).
    struct Result {
        bool ok = false;
        int code = -1;
    };
    /// A property's value as the library reported it.
    struct Value {
        bool ok = false;
        int code = -1;
        int integer = 0;
        std::string text;
    };

    /// `driverLibrary`: the D2XX driver's file (empty: wherever the library
    /// finds it). `reconnectSeconds` > 0: a headset lost while streaming is
    /// reopened every 2 s for that long while the stream goes on; 0: the
    /// stream ends.
    Device(const std::string& driverLibrary, std::size_t tapCapacity, double reconnectSeconds = 0.0);
    /// Stops streaming and closes the device.
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    /// Opens the device; nothing when already open.
    Result open();
    /// Stops streaming and closes the device; nothing when closed.
    void close();
    Result start();
    Result stop();
    Value getProperty(const std::string& name);
    Result setProperty(const std::string& name, int value);

    bool isOpen() const;
    /// Started, not stopped, and not ended on a lost headset (a reconnection
    /// under way is streaming).
    bool isStreaming() const;
    /// The event that ended the stream the application started (-1: none).
    int streamEndCode() const;

    session::Session& session() { return link; }
    session::Tap& samples() { return tap; }
    /// The status events since the last call, oldest first.
    std::vector<EventRecord> takeEvents();
    /// Events lost because nobody took them, since construction.
    long long eventsDropped() const;

    /// Serialises reads; take it without holding the interpreter lock.
    std::timed_mutex& readMutex() { return reading; }
    ChunkReader& reader() { return chunks; }

private:
    session::Session link;
    session::Tap tap;
    ChunkReader chunks;
    std::timed_mutex reading;
    mutable std::mutex eventMutex; // guards the two below
    long long eventCursor;
    long long eventsLost = 0;
};

} // namespace python
} // namespace ondira

#endif
