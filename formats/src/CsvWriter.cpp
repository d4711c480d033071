#include <ondira/formats/CsvWriter.h>

#include "TextFile.h"

namespace ondira {
namespace formats {

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

struct CsvWriter::State {
    explicit State(const std::string& path) : file(path) {}
    TextFile file;
    RecordingInfo info;
    bool headerWritten = false;
    bool failed = false;
    QByteArray buffer;
};

CsvWriter::CsvWriter(std::string path)
    : Writer(std::move(path))
    , d(new State(this->path()))
{
}

CsvWriter::~CsvWriter() = default;

bool CsvWriter::open()
{
    std::string error;
    return d->file.create(error) || fail(error);
}

void CsvWriter::describe(const RecordingInfo& info)
{
    d->info = info;
}

bool CsvWriter::writeSamples(const Sample* samples, std::size_t count)
{
    if (d->failed)
        return false;
    QByteArray& out = d->buffer;
    out.clear();
    if (!d->headerWritten) {
        out += "timestamp_ms";
        for (const std::string& label : d->info.labels)
            out += ',' + QByteArray::fromStdString(csvField(label + "_uV"));
        out += ",flag,offset_change_index\n";
        d->headerWritten = true;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const Sample& s = samples[i];
        out += QByteArray::number(s.timestampMs);
        for (int value : s.microvolts) {
            out += ',';
            out += QByteArray::number(value);
        }
        out += ',';
        out += QByteArray::number(s.flag);
        out += ',';
        out += QByteArray::number(s.offsetChangeIndex);
        out += '\n';
    }
    std::string error;
    if (d->file.append(out, error))
        return true;
    d->failed = true;
    return fail(error);
}

bool CsvWriter::close()
{
    bool ok = true;
    if (!d->headerWritten && !d->failed)
        ok = writeSamples(nullptr, 0);
    std::string error;
    if (!d->file.close(error))
        ok = fail(error);
    return ok && error.empty() && !d->failed;
}

void CsvWriter::discard()
{
    d->file.remove();
}

} // namespace formats
} // namespace ondira
