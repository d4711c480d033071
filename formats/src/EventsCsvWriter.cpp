#include <ondira/formats/CsvWriter.h>
#include <ondira/formats/EventsCsvWriter.h>

#include "TextFile.h"

namespace ondira {
namespace formats {

struct EventsCsvWriter::State {
    explicit State(const std::string& path) : file(path) {}
    TextFile file;
    bool failed = false;
};

EventsCsvWriter::EventsCsvWriter(std::string path)
    : Writer(std::move(path))
    , d(new State(this->path()))
{
}

EventsCsvWriter::~EventsCsvWriter() = default;

bool EventsCsvWriter::open()
{
    std::string error;
    if (!d->file.create(error) || !d->file.append("timestamp_ms,code,type,text\n", error)) {
        d->failed = true;
        return fail(error);
    }
    return true;
}

bool EventsCsvWriter::writeSamples(const Sample*, std::size_t)
{
    return !d->failed;
}

bool EventsCsvWriter::writeEvent(const StatusEvent& event)
{
    if (d->failed)
        return false;
    const std::string row = std::to_string(event.timestampMs) + ',' + std::to_string(event.code) + ','
        + csvField(event.type) + ',' + csvField(event.text) + '\n';
    std::string error;
    if (d->file.append(QByteArray::fromStdString(row), error))
        return true;
    d->failed = true;
    return fail(error);
}

bool EventsCsvWriter::close()
{
    std::string error;
    if (!d->file.close(error))
        return fail(error);
    return !d->failed;
}

void EventsCsvWriter::discard()
{
    d->file.remove();
}

} // namespace formats
} // namespace ondira
