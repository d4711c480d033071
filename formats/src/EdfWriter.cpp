#include <ondira/formats/EdfWriter.h>

#include <edflib.h>

#include <QDateTime>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

namespace ondira {
namespace formats {

namespace {

constexpr int DIGITAL_MIN = -32768;
constexpr int DIGITAL_MAX = 32767;
constexpr double MICROVOLTS_PER_STEP = EdfWriter::MAX_MICROVOLTS / (DIGITAL_MAX - DIGITAL_MIN);
constexpr long long TICKS_PER_SECOND = 10000;      // EDFlib's annotation unit: 100 µs
constexpr long long TICKS_PER_SAMPLE = TICKS_PER_SECOND / OndiraData::SAMPLE_RATE_HZ;
constexpr std::size_t MAX_ANNOTATION_BYTES = 40;   // EDFlib writes at most 40 bytes

// EDFlib keeps its open files in process-wide tables: opening and closing
// are not thread-safe.
std::mutex& edflibMutex()
{
    static std::mutex mutex;
    return mutex;
}

enum class Kind { Event, Note, Marker, Lost, OffsetChange, End };

struct Annotation {
    Annotation(long long onset, long long duration, std::string text, Kind kind)
        : onset(onset), duration(duration), text(std::move(text)), kind(kind)
    {
    }
    long long onset;     // ticks from the first sample
    long long duration;  // ticks, -1 for none
    std::string text;
    Kind kind;
    int channels = 0;    // OffsetChange: bit k for channel k (1..4)
    long long lost = 0;  // Lost: samples
    std::string base;    // Event: the whole text
    int count = 1;       // Event: identical events merged into this one
};

/// At most `MAX_ANNOTATION_BYTES` bytes of text; a longer one is cut after a
/// whole word and ends in "...". EDFlib 1.23 turns every byte outside ASCII
/// into '.', so the text keeps to ASCII: a character beyond it becomes one
/// '?' (the events file has the text whole).
std::string shorten(const std::string& text, std::size_t maxBytes = MAX_ANNOTATION_BYTES)
{
    std::string ascii;
    for (unsigned char c : text) {
        if (c >= 32 && c < 127)
            ascii += static_cast<char>(c);
        else if (c < 0x80 || c >= 0xC0)
            ascii += '?'; // a control character, or the first byte of a UTF-8 sequence
    }
    if (ascii.size() <= maxBytes)
        return ascii;
    std::string cut = ascii.substr(0, maxBytes - 3);
    const auto space = cut.find_last_of(' ');
    if (space != std::string::npos && space > maxBytes / 2)
        cut.resize(space);
    while (!cut.empty() && (cut.back() == ' ' || cut.back() == ',' || cut.back() == '.'))
        cut.pop_back();
    return cut + "...";
}

long long toTicks(double seconds)
{
    return std::llround(seconds * TICKS_PER_SECOND);
}

std::string channelList(const std::vector<int>& channels)
{
    std::string list;
    for (int channel : channels)
        list += (list.empty() ? "" : ",") + std::to_string(channel);
    return list;
}

/// How much an annotation is worth keeping when the file lacks room: a
/// marker is what the experiment is about, the notes exist only here, the
/// events are in the events file as well, offset changes in the CSV's flags.
int priority(Kind kind)
{
    switch (kind) {
    case Kind::Marker:
        return 4;
    case Kind::End:
    case Kind::Note:
        return 3;
    case Kind::Lost:
        return 2;
    case Kind::Event:
        return 1;
    case Kind::OffsetChange:
        return 0;
    }
    return 0;
}

/// Merges the annotations of `kind` that fall into the same second (events:
/// those with the same text) into one.
void mergePerSecond(std::vector<Annotation>& annotations, Kind kind)
{
    std::vector<Annotation> merged;
    for (const Annotation& a : annotations) {
        Annotation* same = nullptr;
        for (auto it = merged.rbegin(); it != merged.rend() && a.kind == kind; ++it) {
            if (it->onset / TICKS_PER_SECOND != a.onset / TICKS_PER_SECOND)
                break;
            if (it->kind == kind && (kind != Kind::Event || it->base == a.base)) {
                same = &*it;
                break;
            }
        }
        if (!same) {
            merged.push_back(a);
        } else if (kind == Kind::Lost) {
            same->lost += a.lost;
            same->duration = a.onset + a.duration - same->onset;
            same->text = std::to_string(same->lost) + " samples lost (runs merged)";
        } else if (kind == Kind::OffsetChange) {
            same->channels |= a.channels;
            std::vector<int> channels;
            for (int c = 1; c <= OndiraData::CHANNEL_COUNT; ++c) {
                if (same->channels & (1 << c))
                    channels.push_back(c);
            }
            same->text = "Offset changes, channel " + channelList(channels);
        } else {
            same->count += a.count;
            const std::string times = " (x" + std::to_string(same->count) + ")";
            same->text = shorten(same->base, MAX_ANNOTATION_BYTES - times.size()) + times;
        }
    }
    annotations = std::move(merged);
}

/// Makes the annotations, sorted by onset, fit into `room` slots: merges per
/// second the offset changes, then identical events, then runs of lost
/// samples; then leaves out the least worth keeping and says so.
void fitAnnotations(std::vector<Annotation>& annotations, std::size_t room, long long lastOnset)
{
    for (Kind kind : {Kind::OffsetChange, Kind::Event, Kind::Lost}) {
        if (annotations.size() <= room)
            return;
        mergePerSecond(annotations, kind);
    }
    if (annotations.size() <= room)
        return;
    std::stable_sort(annotations.begin(), annotations.end(), [](const Annotation& a, const Annotation& b) {
        return priority(a.kind) > priority(b.kind);
    });
    const std::size_t omitted = annotations.size() - room + 1;
    annotations.erase(annotations.begin() + static_cast<std::ptrdiff_t>(room - 1), annotations.end());
    annotations.emplace_back(lastOnset, -1, std::to_string(omitted) + " annotations omitted", Kind::Note);
    std::stable_sort(annotations.begin(), annotations.end(),
                     [](const Annotation& a, const Annotation& b) { return a.onset < b.onset; });
}

} // namespace

struct EdfWriter::State {
    int handle = -1;
    bool failed = false;
    bool started = false; // header fixed by the first data record written
    bool haveFirst = false;
    long long firstTimestampMs = 0; // the first sample's
    bool startKnown = false; // startsAt() came
    long long startWallNs = 0;
    /// Complete records kept back until the start time is known, per channel.
    std::vector<std::array<std::vector<short>, OndiraData::CHANNEL_COUNT>> pending;

    /// Fixes the header's start: startsAt()'s time, or else the first sample's.
    void fixStart(int handle)
    {
        const long long ns = startKnown ? startWallNs : firstTimestampMs * 1000000LL;
        const long long ms = ns >= 0 ? ns / 1000000 : -((-ns + 999999) / 1000000);
        // Local time, as EDF+ wants it, to 100 ns.
        const QDateTime start = QDateTime::fromMSecsSinceEpoch(ms);
        const QDate date = start.date();
        const QTime time = start.time();
        edf_set_startdatetime(handle, date.year(), date.month(), date.day(), time.hour(),
            time.minute(), time.second());
        edf_set_subsecond_starttime(
            handle, static_cast<int>((ns - ms * 1000000) / 100 + time.msec() * 10000LL));
        started = true;
    }
    /// Writes one record of every channel; false with errno's reason.
    bool writeRecord(int handle,
        const std::array<std::vector<short>, OndiraData::CHANNEL_COUNT>& channels, std::string& why)
    {
        for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
            errno = 0;
            if (edfwrite_digital_short_samples(handle, const_cast<short*>(channels[c].data()))
                != 0) {
                why = errno != 0 ? std::strerror(errno) : "EDFlib write error";
                return false;
            }
        }
        ++records;
        return true;
    }
    /// Fixes the header and writes the records kept back.
    bool flush(int handle, std::string& why)
    {
        if (!started)
            fixStart(handle);
        for (const auto& kept : pending) {
            if (!writeRecord(handle, kept, why))
                return false;
        }
        pending.clear();
        return true;
    }
    std::array<std::string, OndiraData::CHANNEL_COUNT> labels{{"Ch1", "Ch2", "Ch3", "Ch4"}};
    std::string equipment;
    std::array<std::vector<short>, OndiraData::CHANNEL_COUNT> record;
    int filled = 0;                 // samples in the record being built
    long long samples = 0;          // samples taken, padding not included
    long long records = 0;          // data records written
    Sample last;
    long long runStart = -1;        // first filler of the current run
    std::vector<Annotation> annotations;

    /// Ends the run of fillers that began at runStart, `lost` samples long.
    void addLost(long long lost)
    {
        annotations.emplace_back(runStart * TICKS_PER_SAMPLE, lost * TICKS_PER_SAMPLE,
                                 std::to_string(lost) + " samples lost", Kind::Lost);
        annotations.back().lost = lost;
        runStart = -1;
    }
};

EdfWriter::EdfWriter(std::string path)
    : Writer(std::move(path))
    , d(new State)
{
    for (auto& channel : d->record)
        channel.assign(OndiraData::SAMPLE_RATE_HZ, 0);
}

EdfWriter::~EdfWriter()
{
    if (d->handle >= 0) {
        std::lock_guard<std::mutex> lock(edflibMutex());
        edfclose_file(d->handle);
    }
}

int EdfWriter::toDigital(double microvolts)
{
    const long digital = std::lround(microvolts / MICROVOLTS_PER_STEP) + DIGITAL_MIN;
    return static_cast<int>(std::clamp<long>(digital, DIGITAL_MIN, DIGITAL_MAX));
}

double EdfWriter::toMicrovolts(int digital)
{
    return (digital - DIGITAL_MIN) * MICROVOLTS_PER_STEP;
}

bool EdfWriter::open()
{
    // EDFlib says only "no such file or directory" for every failure to
    // create the file; ask the system for the real reason first.
    {
        QFile probe(QString::fromStdString(path()));
        if (!probe.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail("cannot create " + path() + ": " + probe.errorString().toStdString());
    }
    std::lock_guard<std::mutex> lock(edflibMutex());
    d->handle = edfopen_file_writeonly(path().c_str(), EDFLIB_FILETYPE_EDFPLUS, OndiraData::CHANNEL_COUNT);
    if (d->handle < 0) {
        d->failed = true;
        return fail("cannot create " + path() + ": EDFlib error " + std::to_string(d->handle));
    }
    bool ok = edf_set_number_of_annotation_signals(d->handle, ANNOTATIONS_PER_RECORD) == 0;
    for (int signal = 0; signal < OndiraData::CHANNEL_COUNT; ++signal) {
        ok = ok && edf_set_samplefrequency(d->handle, signal, OndiraData::SAMPLE_RATE_HZ) == 0
            && edf_set_physical_maximum(d->handle, signal, EdfWriter::MAX_MICROVOLTS) == 0
            && edf_set_physical_minimum(d->handle, signal, 0.0) == 0
            && edf_set_digital_maximum(d->handle, signal, DIGITAL_MAX) == 0
            && edf_set_digital_minimum(d->handle, signal, DIGITAL_MIN) == 0
            && edf_set_physical_dimension(d->handle, signal, "uV") == 0
            && edf_set_label(d->handle, signal, ("EEG " + d->labels[signal]).c_str()) == 0;
    }
    if (!ok) {
        d->failed = true;
        return fail("cannot set up the EDF+ header of " + path());
    }
    return true;
}

void EdfWriter::describe(const RecordingInfo& info)
{
    d->labels = info.labels;
    d->equipment = info.device.equipment();
    if (d->handle < 0 || d->started)
        return; // the header is written
    for (int signal = 0; signal < OndiraData::CHANNEL_COUNT; ++signal)
        edf_set_label(d->handle, signal, ("EEG " + d->labels[signal]).c_str());
    edf_set_equipment(d->handle, d->equipment.c_str());
}

bool EdfWriter::writeSamples(const Sample* samples, std::size_t count)
{
    if (d->failed || d->handle < 0)
        return fail("cannot write " + path() + ": the file is not open");
    for (std::size_t i = 0; i < count; ++i) {
        const Sample& s = samples[i];
        if (!d->haveFirst) {
            d->haveFirst = true;
            d->firstTimestampMs = s.timestampMs;
        }

        // Annotations that the samples carry.
        const long long index = d->samples;
        if (isFiller(s)) {
            if (d->runStart < 0)
                d->runStart = index;
        } else if (d->runStart >= 0) {
            const long long lost = index - d->runStart;
            d->addLost(lost);
            d->runStart = -1;
        }
        if (const int channel = offsetChangeChannel(s)) {
            d->annotations.emplace_back(index * TICKS_PER_SAMPLE, -1, "Offset change, channel " + std::to_string(channel),
                                        Kind::OffsetChange);
            d->annotations.back().channels = 1 << channel;
        }

        for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
            d->record[c][d->filled] = static_cast<short>(toDigital(s.microvolts[c]));
        d->last = s;
        ++d->samples;
        if (++d->filled == OndiraData::SAMPLE_RATE_HZ) {
            d->filled = 0;
            // The header's start time is fixed with the first record written:
            // keep records back while it is not known.
            if (!d->started && !d->startKnown
                && d->pending.size() < static_cast<std::size_t>(BUFFERED_RECORDS)) {
                d->pending.push_back(d->record);
                continue;
            }
            std::string why;
            if (!d->flush(d->handle, why) || !d->writeRecord(d->handle, d->record, why)) {
                d->failed = true;
                return fail("cannot write " + path() + ": " + why);
            }
        }
    }
    return true;
}

bool EdfWriter::writeEvent(const StatusEvent& event)
{
    d->annotations.emplace_back(toTicks(event.onsetSeconds), -1, shorten(event.text), Kind::Event);
    d->annotations.back().base = event.text;
    return !d->failed;
}

bool EdfWriter::writeNote(const Note& note)
{
    d->annotations.emplace_back(toTicks(note.onsetSeconds), note.durationSeconds < 0 ? -1 : toTicks(note.durationSeconds),
                                shorten(note.text), Kind::Note);
    return !d->failed;
}

void EdfWriter::startsAt(long long wallNs)
{
    if (d->started || d->startKnown)
        return;
    d->startKnown = true;
    d->startWallNs = wallNs;
    std::string why;
    if (!d->failed && d->handle >= 0 && !d->pending.empty() && !d->flush(d->handle, why)) {
        d->failed = true;
        fail("cannot write " + path() + ": " + why);
    }
}

bool EdfWriter::writeMarker(const Marker& marker)
{
    d->annotations.emplace_back(toTicks(marker.onsetSeconds), -1, shorten(marker.text), Kind::Marker);
    return !d->failed;
}

bool EdfWriter::close()
{
    if (d->handle < 0)
        return !d->failed;
    bool ok = !d->failed;

    if (d->runStart >= 0) {
        const long long lost = d->samples - d->runStart;
        d->addLost(lost);
        d->runStart = -1;
    }
    std::string why;
    if (ok && d->haveFirst && !d->flush(d->handle, why)) {
        d->failed = true;
        ok = fail("cannot write " + path() + ": " + why);
    }
    // A last partial second: completed with the last sample, its true end marked.
    if (ok && d->filled > 0) {
        const long long end = d->samples;
        Sample pad = d->last;
        pad.flag = OndiraData::FLAG_NONE;
        const long long samples = d->samples;
        while (ok && d->filled != 0)
            ok = writeSamples(&pad, 1);
        d->samples = samples;
        d->annotations.emplace_back(end * TICKS_PER_SAMPLE, -1, "Recording ends", Kind::End);
    }

    // Onsets within the data; then at most what the file has room for.
    const long long lastOnset = std::max(0LL, d->samples - 1) * TICKS_PER_SAMPLE;
    for (Annotation& a : d->annotations) {
        if (a.kind != Kind::End)
            a.onset = std::clamp(a.onset, 0LL, lastOnset);
    }
    std::stable_sort(d->annotations.begin(), d->annotations.end(),
                     [](const Annotation& a, const Annotation& b) { return a.onset < b.onset; });
    fitAnnotations(d->annotations, static_cast<std::size_t>(std::max(1LL, d->records)) * ANNOTATIONS_PER_RECORD,
                   lastOnset);
    for (const Annotation& a : d->annotations) {
        if (edfwrite_annotation_utf8(d->handle, a.onset, a.duration, a.text.c_str()) != 0)
            ok = fail("cannot add the annotation \"" + a.text + "\" to " + path());
    }

    std::lock_guard<std::mutex> lock(edflibMutex());
    if (edfclose_file(d->handle) != 0)
        ok = fail("cannot complete " + path());
    d->handle = -1;
    return ok;
}

void EdfWriter::discard()
{
    if (d->handle >= 0) {
        std::lock_guard<std::mutex> lock(edflibMutex());
        edfclose_file(d->handle);
        d->handle = -1;
    }
    QFile::remove(QString::fromStdString(path()));
}

} // namespace formats
} // namespace ondira
