#ifndef ONDIRA_FORMATS_EVENTSCSVWRITER_H
#define ONDIRA_FORMATS_EVENTSCSVWRITER_H

#include <ondira/formats/Writer.h>

#include <memory>

namespace ondira {
namespace formats {

/// The events of a recording, one row each in the order they came:
/// `kind,onset_s,timestamp_ms,code,type,text`. `kind` is `status` (a status
/// event of the library, with its code and type), `marker` (a stimulus
/// marker) or `note` (a remark of the recording: a lost headset, dropped
/// samples); `onset_s` is where it lies on the recording's time line, in
/// seconds from the first sample; `timestamp_ms` the wall clock when it
/// happened. Texts whole, quoted as CSV requires.
class EventsCsvWriter : public Writer
{
public:
    explicit EventsCsvWriter(std::string path);
    ~EventsCsvWriter() override;

    bool open() override;
    bool writeSamples(const Sample* samples, std::size_t count) override;
    bool writeEvent(const StatusEvent& event) override;
    bool writeNote(const Note& note) override;
    bool writeMarker(const Marker& marker) override;
    /// A last `note`: the rate and drift the time line found.
    bool writeClock(const ClockSummary& clock) override;
    bool close() override;
    void discard() override;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace formats
} // namespace ondira

#endif
