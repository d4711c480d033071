#ifndef ONDIRA_FORMATS_WRITER_H
#define ONDIRA_FORMATS_WRITER_H

#include <ondira/formats/Records.h>

#include <cstddef>
#include <string>

namespace ondira {
namespace formats {

/// A file that a recording produces. The session calls, in this order:
/// open (before the headset is opened, so that an unwritable output is found
/// at once), describe, then writeSamples / writeEvent / writeNote /
/// writeMarker as the
/// recording goes on (on the session's writer thread), and close or, when
/// nothing was recorded, discard. A writer is used by one thread at a time.
///
/// Samples come in time-line order, fillers included: sample n of the
/// recording lies at n x 4 ms. Events, notes and markers carry their own
/// onset; they may come before or after the samples around them.
///
/// A writer that fails returns false and says why in error(); the session then
/// stops the recording and still closes every writer, so that what was written
/// stays a valid file.
class Writer
{
public:
    explicit Writer(std::string path) : filePath(std::move(path)) {}
    virtual ~Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    const std::string& path() const { return filePath; }
    /// What went wrong, with the file name; empty while all is well.
    const std::string& error() const { return lastError; }

    /// Creates the file. False when it cannot be written.
    virtual bool open() = 0;
    virtual void describe(const RecordingInfo& info) { (void)info; }
    virtual bool writeSamples(const Sample* samples, std::size_t count) = 0;
    virtual bool writeEvent(const StatusEvent& event) { (void)event; return true; }
    virtual bool writeNote(const Note& note) { (void)note; return true; }
    virtual bool writeMarker(const Marker& marker) { (void)marker; return true; }
    /// When the recording's first sample was taken, on the host's wall clock
    /// (ns since 1970-01-01 UTC), as the session's time line estimates it;
    /// once, before close, and possibly after samples were written. A writer
    /// that has not been told goes by the first sample's timestamp.
    virtual void startsAt(long long wallNs) { (void)wallNs; }
    /// The rate of the recording's samples on the host clock; once, at the end.
    virtual bool writeClock(const ClockSummary& clock)
    {
        (void)clock;
        return true;
    }
    /// Completes the file; it is valid afterwards, also after a failure.
    virtual bool close() = 0;
    /// Closes and deletes the file (nothing was recorded).
    virtual void discard() = 0;

protected:
    bool fail(const std::string& what);

private:
    std::string filePath;
    std::string lastError;
};

} // namespace formats
} // namespace ondira

#endif
