#ifndef ONDIRA_PYTHON_DEVICE_H
#define ONDIRA_PYTHON_DEVICE_H

#include "ChunkReader.h"

#include <ondira/session/LslPublisher.h>
#include <ondira/session/Recording.h>
#include <ondira/session/Session.h>

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ondira {
namespace python {

struct EventRecord {
    long long timestampMs; ///< wall clock when it arrived, ms since 1970-01-01 UTC
    int code;
};

/// What a recording of the headset wrote.
struct RecordingSummary {
    std::string path;
    session::RecordingResult result;
    formats::DeviceInfo info;   ///< as the files were told
    int reconnects = 0;         ///< times the headset was lost and came back while recording
};

/// One session with a tap for the Python reads, and at most one recording
/// into an EDF+ file, as the Python Headset drives them. No Python in here:
/// the binding releases the interpreter lock around every call that can
/// block.
///
/// Threads: any number of Python threads may call in; the session runs the
/// calls one after the other. Reads are serialised by readMutex(), which is
/// never waited for while holding the interpreter lock; the recording by a
/// mutex of its own; mark() takes no lock.
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

    /// `driver`: the D2XX driver's file (empty: wherever the library finds
    /// it), or the virtual headset's. `reconnectSeconds` > 0: a headset lost
    /// while streaming is reopened every 2 s for that long while the stream
    /// goes on; 0: the stream ends.
    Device(const session::Driver& driver, std::size_t tapCapacity, double reconnectSeconds = 0.0);
    /// Stops streaming and closes the device.
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    /// Why startRecording() or startPublishing() refused.
    enum class RecordRefusal { None, Running, NotOpen, Output };
    /// The four electrodes' names.
    using Labels = std::array<std::string, OndiraData::CHANNEL_COUNT>;

    /// Opens the device; nothing when already open.
    Result open();
    /// Stops streaming and closes the device, then finishes a recording;
    /// nothing when closed.
    void close();
    /// Starts a stream. A recording whose stream has ended (a lost headset)
    /// is finished first: a recording holds one stream.
    Result start();
    /// Stops streaming, then finishes a recording.
    Result stop();
    Value getProperty(const std::string& name);
    Result setProperty(const std::string& name, int value);

    bool isOpen() const;
    /// Started, not stopped, and not ended on a lost headset (a reconnection
    /// under way is streaming).
    bool isStreaming() const;
    /// The event that ended the stream the application started (-1: none).
    int streamEndCode() const;

    /// The session's stream now, for ChunkReader::take().
    StreamState streamState() const;

    /// A stimulus marker on the stream now (session::Session::mark). Any
    /// thread, never waits.
    session::MarkResult mark(const std::string& text) { return link.mark(text); }

    /// Records the session's stream from now on into the EDF+ file `path`
    /// (session::Recording with formats::EdfWriter), on the recording's
    /// writer thread, until finishRecording(), stop() or close(). Needs the
    /// device open; reads the firmware versions and radio channels first
    /// when the session has none (up to a few seconds when the headset does
    /// not answer). Refuses a second recording. `error` says why it refused.
    RecordRefusal startRecording(const std::string& path, const Labels& labels, std::string& error);
    bool isRecording() const;
    /// Finishes the recording that runs, or hands over the one that stop(),
    /// start() or close() finished and nobody took; false when there is none.
    bool finishRecording(RecordingSummary& summary);

    /// Publishes the session's stream on the Lab Streaming Layer
    /// (session::LslPublisher) until stopPublishing() or close(). Needs the
    /// device open; reads the firmware versions and radio channels first
    /// when the session has none. `error` says why it refused.
    RecordRefusal startPublishing(const session::LslOptions& options, std::string& error);
    void stopPublishing();
    /// `running` false when not publishing.
    session::LslStatus publishingStatus() const;

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
    /// Under recordingMutex: finishes a running recording into `finished`.
    void endRecording();
    /// The firmware versions and radio channels, read when the session has none.
    formats::DeviceInfo deviceInfo();

    session::Session link;
    session::Tap tap;
    ChunkReader chunks;
    std::timed_mutex reading;
    mutable std::mutex eventMutex; // guards the two below
    long long eventCursor;
    long long eventsLost = 0;

    mutable std::mutex recordingMutex; // guards the five below
    std::unique_ptr<session::Recording> recording;
    RecordingSummary running;          // of `recording`, but the result
    int reconnectsBefore = 0;
    RecordingSummary finished;
    bool haveFinished = false;

    mutable std::mutex publisherMutex; // guards publisher
    std::unique_ptr<session::LslPublisher> publisher;
};

} // namespace python
} // namespace ondira

#endif
