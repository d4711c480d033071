#ifndef ONDIRA_FORMATS_EVENTSCSVWRITER_H
#define ONDIRA_FORMATS_EVENTSCSVWRITER_H

#include <ondira/formats/Writer.h>

#include <memory>

namespace ondira {
namespace formats {

/// The status events: `timestamp_ms,code,type,text`, one row per event, the
/// timestamp taken when it arrived; texts quoted as CSV requires.
class EventsCsvWriter : public Writer
{
public:
    explicit EventsCsvWriter(std::string path);
    ~EventsCsvWriter() override;

    bool open() override;
    bool writeSamples(const Sample* samples, std::size_t count) override;
    bool writeEvent(const StatusEvent& event) override;
    bool close() override;
    void discard() override;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace formats
} // namespace ondira

#endif
