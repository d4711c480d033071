#ifndef ONDIRA_SESSION_RECORDING_H
#define ONDIRA_SESSION_RECORDING_H

// A recording of a session into files: a tap of the session feeds a writer
// thread of the recording's own, which alone touches the writers.

#include <ondira/formats/Writer.h>
#include <ondira/session/Session.h>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ondira {
namespace session {

struct RecordingOptions {
    std::array<std::string, OndiraData::CHANNEL_COUNT> labels{{"Ch1", "Ch2", "Ch3", "Ch4"}};
    /// The time line's length in samples (fillers included); 0: until finish().
    long long maxSamples = 0;
    /// Samples the tap holds for the writer thread; beyond it samples are
    /// dropped (counted, written as fillers and noted).
    std::size_t queueCapacity = 60 * OndiraData::SAMPLE_RATE_HZ;
};

struct RecordingProgress {
    long long samples = 0;      ///< on the recording's time line, fillers included
    long long fillers = 0;
    bool full = false;          ///< maxSamples are written
    bool failed = false;        ///< a writer failed: nothing more is written
};

struct RecordingResult {
    long long samples = 0;      ///< written, fillers included
    long long fillers = 0;      ///< every filler written
    long long received = 0;     ///< samples the library delivered while recording (its fillers included)
    long long dropped = 0;      ///< of which the tap had no room for: written as fillers
    long long afterEnd = 0;     ///< of which came after the time line was full: not written
    std::map<std::string, int> eventsByType;
    long long markers = 0;      ///< markers written
    std::vector<std::string> files;  ///< written (empty when nothing was recorded)
    /// The first failure of a writer, with its file's name; empty if none.
    std::string error;
};

/// One recording: the writers, the tap that feeds them and the thread that
/// writes. Every program records through it, with one rule for where an
/// annotation lies and one set of texts:
/// - samples are written in time-line order, fillers included: row n lies at
///   n x 4 ms from the first row;
/// - a status event, a note or a marker of the session lies at its position
///   on the stream's time line (LogEntry::position) counted from the first
///   row; entries from before the first row lie at 0;
/// - "N samples dropped: recording queue full" over the fillers for samples
///   the tap had no room for (also those at the very end, which no later
///   sample announces); "Headset back after N s" at the first row after
///   a lost headset came back; the session's "Headset lost" where it was lost.
///
/// Call order: open (before the headset is opened, so that an unwritable
/// output is found at once), start, then progress() as it goes, and finish().
/// One controlling thread; progress() from any thread.
class Recording
{
public:
    /// Entries of the session's log from now on go into the recording.
    Recording(Session& session, std::vector<std::unique_ptr<formats::Writer>> writers,
              RecordingOptions options = RecordingOptions());
    /// Finishes a recording still running.
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    /// Creates every file. False with the reason (the files created are
    /// removed again).
    bool open(std::string& error);
    /// Tells the writers what they record and starts writing every sample
    /// that the session delivers from now on.
    void start(const formats::DeviceInfo& info);
    bool started() const { return writing; }

    RecordingProgress progress() const;
    /// Where `entry` of the session's log lies on the recording's time line,
    /// in seconds from its first row (0 before it). Any thread.
    double onsetOf(const LogEntry& entry) const;

    /// Writes what is on its way, closes every file (or removes them when no
    /// sample was written) and says what was written.
    RecordingResult finish();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
    bool writing = false;
};

/// "Headset back after 4.2 s" and the other texts a recording writes.
std::string droppedNote(long long samples);
std::string backNote(double seconds);

} // namespace session
} // namespace ondira

#endif
