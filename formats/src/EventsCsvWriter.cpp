#include <ondira/formats/CsvWriter.h>
#include <ondira/formats/EventsCsvWriter.h>

#include "TextFile.h"

#include <cstdio>

namespace ondira {
namespace formats {

namespace {

std::string onsetText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", seconds);
    return text;
}

} // namespace

struct EventsCsvWriter::State {
    explicit State(const std::string& path) : file(path) {}
    TextFile file;
    bool failed = false;

    bool append(const std::string& row, std::string& error)
    {
        if (failed)
            return false;
        if (file.append(QByteArray::fromStdString(row), error))
            return true;
        failed = true;
        return false;
    }
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
    if (!d->file.create(error) || !d->file.append("kind,onset_s,timestamp_ms,code,type,text\n", error)) {
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
    std::string error;
    return d->append("status," + onsetText(event.onsetSeconds) + ',' + std::to_string(event.timestampMs) + ','
                         + std::to_string(event.code) + ',' + csvField(event.type) + ',' + csvField(event.text) + '\n',
                     error)
        || (!error.empty() && fail(error));
}

bool EventsCsvWriter::writeNote(const Note& note)
{
    std::string error;
    return d->append("note," + onsetText(note.onsetSeconds) + ',' + std::to_string(note.wallMs) + ",,,"
                         + csvField(note.text) + '\n',
                     error)
        || (!error.empty() && fail(error));
}

bool EventsCsvWriter::writeClock(const ClockSummary& clock)
{
    return writeNote(Note{ clock.onsetSeconds, -1.0, clockText(clock), clock.wallMs });
}

bool EventsCsvWriter::writeMarker(const Marker& marker)
{
    std::string error;
    return d->append("marker," + onsetText(marker.onsetSeconds) + ',' + std::to_string(marker.wallMs) + ",,,"
                         + csvField(marker.text) + '\n',
                     error)
        || (!error.empty() && fail(error));
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
