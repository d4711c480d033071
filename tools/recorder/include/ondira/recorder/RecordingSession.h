#ifndef ONDIRA_RECORDER_RECORDINGSESSION_H
#define ONDIRA_RECORDER_RECORDINGSESSION_H

#include <ondira/recorder/Records.h>
#include <ondira/recorder/Writer.h>

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ondira {
namespace recorder {

struct SessionOptions {
    /// Length of the recording's time line in seconds (fillers included);
    /// 0 records until requestStop().
    double seconds = 0.0;
    /// Channels whose offset calibration is switched on.
    std::array<bool, CHANNEL_COUNT> calibrate{{true, true, true, true}};
    std::array<std::string, CHANNEL_COUNT> labels{{"Ch1", "Ch2", "Ch3", "Ch4"}};
    /// How long to keep trying to reopen a lost headset; 0 gives up at once.
    double reconnectSeconds = 60.0;
    /// Pause between two attempts to reopen a lost headset.
    double reconnectIntervalSeconds = 2.0;
    /// Samples the queue between the library's worker and the writer thread
    /// holds; beyond it samples are dropped (counted, and written as fillers).
    std::size_t queueCapacity = 60 * SAMPLE_RATE_HZ;
};

enum class SessionState {
    Idle,          ///< not started
    Opening,       ///< opening the headset
    Recording,
    Reconnecting,  ///< the headset was lost; trying to reopen it
    Stopping,
    Finished       ///< the session's threads have ended; call finish()
};

enum class Outcome {
    Completed,       ///< the time line reached SessionOptions::seconds
    Stopped,         ///< requestStop() ended it
    NothingRecorded, ///< stopped before the first sample: the files were deleted
    HeadsetFailed,   ///< the headset could not be opened, or was lost for good
    OutputFailed     ///< a file could not be created or written
};

struct Progress {
    SessionState state = SessionState::Idle;
    double recordedSeconds = 0.0;   ///< time line written so far
    double totalSeconds = 0.0;      ///< SessionOptions::seconds (0: open-ended)
    long long samples = 0;          ///< on the time line, fillers included
    long long samplesLost = 0;      ///< fillers: radio losses, headset gaps, queue overflow
    std::string lastStatus;         ///< text of the last status event
};

struct Summary {
    Outcome outcome = Outcome::Completed;
    /// For HeadsetFailed and OutputFailed: what happened and what to do.
    std::string message;
    /// For HeadsetFailed: the status code of the library's event that said
    /// why (the first error among those of the failed step, or the event that
    /// reported the headset lost); -1 when no event did.
    int failureCode = -1;
    long long samples = 0;          ///< written, fillers included
    long long fillers = 0;          ///< all fillers written
    long long librarySamples = 0;   ///< delivered by the library (its fillers included)
    long long afterEnd = 0;         ///< delivered after the time line was full, not written
    long long overflowed = 0;       ///< dropped because the queue was full
    int reconnects = 0;             ///< times the headset was lost and came back
    std::map<std::string, int> eventsByType;
    double recordedSeconds = 0.0;
    /// Samples that the headset sent (not fillers) per second of wall clock,
    /// from the first to the last one received.
    double effectiveRate = 0.0;
    DeviceInfo device;
    std::vector<std::string> files;  ///< the files written (empty when deleted)
};

/// One recording: owns the library's facade, the consumers registered with
/// it, the bounded queue from the library's worker to a writer thread of its
/// own, and the writers.
///
/// A session thread opens the headset, switches calibration on, starts
/// streaming, and watches the recording: when the library reports the headset
/// gone (DEVICE_IO_ERROR, DEVICE_NOT_RESPONDING) it notes "Headset lost",
/// closes, and tries to reopen it every reconnectIntervalSeconds for
/// reconnectSeconds; when the headset is back, the time between is written as
/// fillers and noted "Headset back after N s". The consumers never call the
/// library and never block.
///
/// Before start(), set ONDIRA_FTD2XX_LIBRARY (useDriverLibrary) if needed.
///
///     RecordingSession session(options);
///     for (auto& writer : makeWriters("recordings/demo", ALL_FORMATS))
///         session.addWriter(std::move(writer));
///     if (session.start())
///         while (!session.waitUntilFinished(200))
///             show(session.progress());    // or requestStop() on Ctrl-C
///     Summary summary = session.finish();
///
/// All methods are for one controlling thread, except progress(),
/// deviceInfo(), takeEvents() and requestStop(), which any thread may call.
class RecordingSession
{
public:
    explicit RecordingSession(const SessionOptions& options);
    /// Stops and finishes a session still running.
    ~RecordingSession();
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    /// Before start(). A writer of your own (a live display, say) is called on
    /// the writer thread like the file writers.
    void addWriter(std::unique_ptr<Writer> writer);

    /// Opens every writer's file; false (and finish() tells why, with
    /// Outcome::OutputFailed) when one cannot be written. Then starts the
    /// session thread, which opens the headset, and returns at once.
    bool start();

    /// Ends the recording soon: streaming stops, what was received is written.
    void requestStop();
    /// Waits up to `timeoutMs` for the session threads to end; true once they have.
    bool waitUntilFinished(int timeoutMs);

    Progress progress() const;
    /// The firmware versions and channels, once the headset was opened.
    bool deviceInfo(DeviceInfo& info) const;
    /// The status events that arrived since the last call.
    std::vector<StatusEvent> takeEvents();

    /// Waits for the session to end (call requestStop() first to cut it
    /// short), closes every file and returns what happened.
    Summary finish();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

/// "Completed", "HeadsetFailed", ...
const char* outcomeName(Outcome outcome);

} // namespace recorder
} // namespace ondira

#endif
