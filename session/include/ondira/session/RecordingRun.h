#ifndef ONDIRA_SESSION_RECORDINGRUN_H
#define ONDIRA_SESSION_RECORDINGRUN_H

// One run of a recording program (ondira record, Python's ondira.record):
// open the files, open the headset, record until the time is up, a stop is
// asked for or the headset is lost for good, and say what happened.

#include <ondira/session/LslPublisher.h>
#include <ondira/session/Recording.h>
#include <ondira/session/Session.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ondira {
namespace session {

struct RunOptions {
    Driver driver;
    /// Length of the recording's time line in seconds (fillers included);
    /// 0 records until requestStop().
    double seconds = 0.0;
    /// Channels whose offset calibration is switched on.
    std::array<bool, OndiraData::CHANNEL_COUNT> calibrate{{true, true, true, true}};
    std::array<std::string, OndiraData::CHANNEL_COUNT> labels{{"Ch1", "Ch2", "Ch3", "Ch4"}};
    /// How long to keep trying to reopen a lost headset; 0 gives up at once.
    double reconnectSeconds = 60.0;
    /// Pause between two attempts to reopen a lost headset.
    double reconnectIntervalSeconds = 2.0;
    /// Samples on their way to the writer thread; beyond it samples are
    /// dropped (counted, and written as fillers).
    std::size_t queueCapacity = 60 * OndiraData::SAMPLE_RATE_HZ;
    /// Also publishes the stream on the Lab Streaming Layer, from before the
    /// first sample (`lsl.labels` are taken from `labels`).
    bool publish = false;
    LslOptions lsl;
};

enum class RunState {
    Idle,          ///< not started
    Opening,       ///< opening the headset
    Recording,
    Reconnecting,  ///< the headset was lost; trying to reopen it
    Stopping,
    Finished       ///< the run's thread has ended; call finish()
};

enum class Outcome {
    Completed, ///< the time line reached RunOptions::seconds
    Stopped, ///< requestStop() ended it
    NothingRecorded, ///< stopped before the first sample: the files were deleted
    HeadsetFailed, ///< the headset could not be opened, or was lost for good
    OutputFailed, ///< a file could not be created or written
    PublishFailed ///< the stream could not be published on LSL (nothing was recorded)
};
/// "Completed", "HeadsetFailed", ...
const char* outcomeName(Outcome outcome);

struct Progress {
    RunState state = RunState::Idle;
    double recordedSeconds = 0.0;   ///< time line written so far
    double totalSeconds = 0.0;      ///< RunOptions::seconds (0: open-ended)
    long long samples = 0;          ///< on the time line, fillers included
    long long samplesLost = 0;      ///< of which fillers: radio losses, headset gaps, queue overflow
    std::string lastStatus;         ///< text of the last status event
    LslStatus lsl; ///< when publishing
};

struct Summary {
    Outcome outcome = Outcome::Completed;
    /// For HeadsetFailed and OutputFailed: what happened and why.
    std::string message;
    /// For HeadsetFailed: the status code of the event that said why (the
    /// most severe of the failed step's, or the one that reported the headset
    /// lost); -1 when no event did.
    int failureCode = -1;
    long long samples = 0;          ///< written, fillers included
    long long fillers = 0;          ///< all fillers written
    long long librarySamples = 0;   ///< delivered by the library (its fillers included)
    long long afterEnd = 0;         ///< delivered after the time line was full, not written
    long long overflowed = 0;       ///< dropped because the queue was full
    int reconnects = 0;             ///< times the headset was lost and came back
    std::map<std::string, int> eventsByType;
    double recordedSeconds = 0.0;
    /// The stream's rate on the host's steady clock (SessionStatus::effectiveRate),
    /// and how far it lies from the nominal 250 samples/s in ppm, with the
    /// uncertainty of that; `rateSettled` once the time line had converged.
    double effectiveRate = 0.0;
    double driftPpm = 0.0;
    double driftUncertaintyPpm = 0.0;
    bool rateSettled = false;
    DeviceInfo device;
    std::vector<std::string> files;  ///< the files written (empty when deleted)
    LslStatus lsl; ///< at the end, when publishing
};

///     RecordingRun run(options);
///     for (auto& writer : formats::makeWriters("recordings/demo", formats::ALL_FORMATS))
///         run.addWriter(std::move(writer));
///     if (run.start())
///         while (!run.waitUntilFinished(200))
///             show(run.progress());    // or requestStop() on Ctrl-C
///     Summary summary = run.finish();
///
/// All methods are for one controlling thread, except progress(),
/// deviceInfo(), takeEvents() and requestStop(), which any thread may call.
class RecordingRun
{
public:
    explicit RecordingRun(const RunOptions& options);
    /// Stops and finishes a run still going.
    ~RecordingRun();
    RecordingRun(const RecordingRun&) = delete;
    RecordingRun& operator=(const RecordingRun&) = delete;

    /// Before start(). A writer of your own is called on the writer thread
    /// like the file writers.
    void addWriter(std::unique_ptr<formats::Writer> writer);

    /// Opens every writer's file; false (and finish() tells why, with
    /// Outcome::OutputFailed) when one cannot be written. Then opens the
    /// headset and records, on threads of its own, and returns at once.
    bool start();

    /// Ends the recording soon: streaming stops, what was received is written.
    void requestStop();
    /// Waits up to `timeoutMs` for the run to end; true once it has.
    bool waitUntilFinished(int timeoutMs);

    Progress progress() const;
    /// The firmware versions and channels, once the headset was opened.
    bool deviceInfo(DeviceInfo& info) const;
    /// The status events that arrived since the last call, with their
    /// onsets on the recording's time line.
    std::vector<formats::StatusEvent> takeEvents();

    /// Waits for the run to end (call requestStop() first to cut it short),
    /// closes every file and returns what happened.
    Summary finish();

    /// The session the run records (for a program that also reads it).
    Session& session();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace session
} // namespace ondira

#endif
