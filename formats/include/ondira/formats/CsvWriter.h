#ifndef ONDIRA_FORMATS_CSVWRITER_H
#define ONDIRA_FORMATS_CSVWRITER_H

#include <ondira/formats/Writer.h>

#include <memory>

namespace ondira {
namespace formats {

/// The samples as text: a header row
/// `timestamp_ms,<label1>_uV,<label2>_uV,<label3>_uV,<label4>_uV,flag,offset_change_index`,
/// then one row per sample. Every batch is handed to the operating system at
/// once; after a write failure the file is cut back to its last whole row.
class CsvWriter : public Writer
{
public:
    explicit CsvWriter(std::string path);
    ~CsvWriter() override;

    bool open() override;
    void describe(const RecordingInfo& info) override;
    bool writeSamples(const Sample* samples, std::size_t count) override;
    bool close() override;
    void discard() override;

private:
    struct State;
    std::unique_ptr<State> d;
};

/// `text` as one CSV field: quoted (quotes doubled) when it holds a comma,
/// a quote or a line break.
std::string csvField(const std::string& text);

} // namespace formats
} // namespace ondira

#endif
