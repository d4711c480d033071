#ifndef ONDIRA_FORMATS_EDFWRITER_H
#define ONDIRA_FORMATS_EDFWRITER_H

#include <ondira/formats/Writer.h>

#include <memory>

namespace ondira {
namespace formats {

/// EDF+ through EDFlib: four signals at 250 Hz labelled "EEG <label>" in µV,
/// data records of one second, digital range -32768..32767 for 0..38570.4 µV
/// (every value comes back within half a digital step, 0.29 µV). Start date
/// and time (local time, to 100 ns) from startsAt(): the data records wait in
/// memory until it comes (at most BUFFERED_RECORDS of them; then, as without
/// it, the first sample's timestamp is taken); equipment from the firmware
/// versions. Annotations (UTF-8, at most 40 bytes each, as
/// EDFlib writes them; longer texts are shortened at a word and end in "…"):
/// every marker, every status event, every run of fillers ("N samples
/// lost"), every offset change ("Offset change, channel K"), the notes, and
/// "Recording ends" where a last partial second was completed by repeating
/// the last sample. Markers are kept before anything else when the file
/// lacks room.
class EdfWriter : public Writer
{
public:
    /// Annotation slots per data record: the file holds at most this many
    /// annotations per second of recording on average. Beyond that, runs of
    /// lost samples and then offset changes are merged per second, and what
    /// still does not fit is summed up in one last annotation.
    static constexpr int ANNOTATIONS_PER_RECORD = 4;
    /// The top of the physical range: the converter's full scale in µV,
    /// 65535 x 2700000 / 4587520 (the library truncates it to
    /// OndiraData::MAX_CHANNEL_VALUE).
    static constexpr double MAX_MICROVOLTS = 38570.4;
    /// Data records (seconds) kept back while the start time is not known.
    static constexpr int BUFFERED_RECORDS = 120;

    explicit EdfWriter(std::string path);
    ~EdfWriter() override;

    bool open() override;
    void describe(const RecordingInfo& info) override;
    bool writeSamples(const Sample* samples, std::size_t count) override;
    bool writeEvent(const StatusEvent& event) override;
    bool writeNote(const Note& note) override;
    bool writeMarker(const Marker& marker) override;
    void startsAt(long long wallNs) override;
    bool close() override;
    void discard() override;

    /// The digital value that stands for `microvolts`.
    static int toDigital(double microvolts);
    /// The µV value that a reader computes from `digital`.
    static double toMicrovolts(int digital);

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace formats
} // namespace ondira

#endif
