#include <ondira/session/Recording.h>

#include <ondira/session/TimeLine.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

namespace ondira {
namespace session {

namespace {

constexpr std::chrono::milliseconds WRITE_PERIOD(25);
constexpr std::size_t WRITE_BATCH = 1024;

double seconds(double samples)
{
    return samples / OndiraData::SAMPLE_RATE_HZ;
}

} // namespace

std::string droppedNote(long long samples)
{
    return std::to_string(samples) + " samples dropped: recording queue full";
}

std::string backNote(double seconds)
{
    char text[64];
    std::snprintf(text, sizeof text, "Headset back after %.1f s", seconds);
    return text;
}

struct Recording::Impl {
    Impl(Session& session, std::vector<std::unique_ptr<formats::Writer>> writers, RecordingOptions options)
        : session(session)
        , writers(std::move(writers))
        , options(options)
        , tap(options.queueCapacity)
        , reader(tap)
        , cursor(session.log().next())
        , rows(WRITE_BATCH)
    {
        out.reserve(WRITE_BATCH);
    }

    // --- the writer thread
    void run();
    void drainRows();
    void drainEntries();
    void writeEntry(const LogEntry& entry, double onset);
    void closeDropRun();
    void tellStart(bool atEnd);
    void tellClock();
    void dispatchSamples();
    void dispatchNote(const formats::Note& note);
    void fail(const formats::Writer& writer);

    Session& session;
    std::vector<std::unique_ptr<formats::Writer>> writers;
    const RecordingOptions options;
    Tap tap;
    TapReader reader;
    long long cursor;

    std::mutex mutex;                 // guards finishing
    std::condition_variable wake;
    bool finishing = false;
    std::thread thread;
    std::atomic<bool> attached{false};

    std::atomic<long long> written{0};
    std::atomic<long long> fillersWritten{0};
    std::atomic<bool> full{false};
    std::atomic<unsigned> firstStream{0};     // 0: no row yet
    std::atomic<long long> firstRow{0};
    std::atomic<bool> failed{false};

    // The writer thread's own (and the controlling thread's once it has ended).
    std::vector<Row> rows;
    std::vector<formats::Sample> out;
    std::vector<formats::Note> notes;
    std::vector<LogEntry> entries;
    std::vector<LogEntry> held;      // entries of the stream before its first row came
    bool haveFirst = false;
    unsigned stream = 0;
    long long firstIndex = 0;
    long long deliveredRows = 0;
    long long droppedRows = 0;
    formats::Sample lastSample;
    long long awayRun = 0;
    long long dropRun = 0;
    long long dropRunStart = 0;
    long long dropRunWall = 0;
    long long entriesLost = 0;
    long long markersWritten = 0;
    bool startTold = false; // the writers know when the first row was taken
    std::map<std::string, int> eventsByType;
    std::string error;
};

void Recording::Impl::fail(const formats::Writer& writer)
{
    if (error.empty())
        error = writer.error().empty() ? "cannot write " + writer.path() : writer.error();
    failed.store(true);
}

void Recording::Impl::dispatchSamples()
{
    if (out.empty() || failed.load())
        return;
    for (auto& writer : writers) {
        if (!writer->writeSamples(out.data(), out.size())) {
            fail(*writer);
            return;
        }
    }
    long long fill = 0;
    for (const formats::Sample& s : out)
        fill += formats::isFiller(s) ? 1 : 0;
    fillersWritten.fetch_add(fill);
    written.fetch_add(static_cast<long long>(out.size()));
}

void Recording::Impl::dispatchNote(const formats::Note& note)
{
    if (failed.load())
        return;
    for (auto& writer : writers) {
        if (!writer->writeNote(note)) {
            fail(*writer);
            return;
        }
    }
}

void Recording::Impl::closeDropRun()
{
    if (dropRun == 0)
        return;
    notes.push_back(formats::Note{seconds(static_cast<double>(dropRunStart)), seconds(static_cast<double>(dropRun)),
                                  droppedNote(dropRun), dropRunWall});
    dropRun = 0;
}

/// The writers learn when the first row was taken once the time line knows
/// it to within half a sample. A stream it never settles on (a rate beyond
/// the range it fits, as the virtual headset's fast modes) leaves them with
/// the first sample's timestamp.
void Recording::Impl::tellStart(bool atEnd)
{
    if (startTold || !haveFirst)
        return;
    const TimeLine& line = session.timeLine();
    if (!line.estimate().converged) {
        startTold = atEnd;
        return;
    }
    startTold = true;
    const Instant first = line.timeOf(static_cast<double>(firstIndex));
    if (first.place != Place::Within && first.place != Place::AfterEnd)
        return;
    for (auto& writer : writers)
        writer->startsAt(first.wallNs);
}

/// The stream's rate on the host clock and its drift, at the end.
void Recording::Impl::tellClock()
{
    const TimeLineEstimate line = session.timeLine().estimate();
    if (!haveFirst || line.samplesPerSecond <= 0 || failed.load())
        return;
    const formats::ClockSummary clock{ line.samplesPerSecond, line.ratePpm, line.rateUncertaintyPpm,
        line.converged, seconds(static_cast<double>(written.load())), wallNowMs() };
    for (auto& writer : writers) {
        if (!writer->writeClock(clock)) {
            fail(*writer);
            return;
        }
    }
}

void Recording::Impl::drainRows()
{
    for (;;) {
        reader.collect();
        const std::size_t count = reader.take(rows.data(), rows.size());
        out.clear();
        notes.clear();
        for (std::size_t i = 0; i < count; ++i) {
            const Row& row = rows[i];
            if (!haveFirst) {
                haveFirst = true;
                stream = row.stream;
                firstIndex = row.index;
                firstRow.store(firstIndex);
                firstStream.store(stream);
            }
            // A recording holds one stream, and no more than its length.
            if (row.stream != stream || full.load())
                continue;
            const long long at = written.load() + static_cast<long long>(out.size());
            if (row.kind == Row::Kind::Dropped) {
                if (dropRun++ == 0) {
                    dropRunStart = at;
                    dropRunWall = row.sample.timestampMs;
                }
            } else {
                closeDropRun();
            }
            if (row.kind == Row::Kind::Away) {
                ++awayRun;
            } else if (row.resumed) {
                notes.push_back(formats::Note{seconds(static_cast<double>(at)), -1.0,
                                              backNote(seconds(static_cast<double>(awayRun + 1))),
                                              row.sample.timestampMs});
                awayRun = 0;
            }
            out.push_back(row.sample);
            lastSample = row.sample;
            deliveredRows += row.kind == Row::Kind::Delivered ? 1 : 0;
            droppedRows += row.kind == Row::Kind::Dropped ? 1 : 0;
            if (options.maxSamples > 0 && at + 1 >= options.maxSamples)
                full.store(true);
        }
        if (full.load()) {
            closeDropRun();
            // The time line is full: nothing more is taken from the session.
            if (attached.exchange(false))
                session.detach(tap);
        }
        dispatchSamples();
        for (const formats::Note& note : notes)
            dispatchNote(note);
        tellStart(false);
        if (count < rows.size())
            return;
    }
}

void Recording::Impl::writeEntry(const LogEntry& entry, double onset)
{
    if (entry.kind == LogEntry::Kind::Status) {
        const formats::StatusEvent event{entry.wallMs, onset, entry.code, entry.type(), entry.text};
        ++eventsByType[event.type];
        if (failed.load())
            return;
        for (auto& writer : writers) {
            if (!writer->writeEvent(event)) {
                fail(*writer);
                return;
            }
        }
    } else if (entry.kind == LogEntry::Kind::Note) {
        dispatchNote(formats::Note{onset, -1.0, entry.text, entry.wallMs});
    } else if (entry.kind == LogEntry::Kind::Marker) {
        ++markersWritten;
        if (failed.load())
            return;
        const formats::Marker marker{onset, entry.wallMs, entry.text};
        for (auto& writer : writers) {
            if (!writer->writeMarker(marker)) {
                fail(*writer);
                return;
            }
        }
    }
}

void Recording::Impl::drainEntries()
{
    entries.clear();
    entriesLost += session.log().read(cursor, entries);
    std::vector<LogEntry> waiting;
    waiting.swap(held);
    waiting.insert(waiting.end(), std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
    for (const LogEntry& entry : waiting) {
        if (entry.kind == LogEntry::Kind::Info || entry.kind == LogEntry::Kind::Failure)
            continue;
        if (entry.stream == 0 || entry.position < 0) {
            writeEntry(entry, 0.0); // before the stream's first sample
        } else if (!haveFirst) {
            held.push_back(entry); // the first row tells where the recording begins
        } else if (entry.stream == stream) {
            writeEntry(entry, std::max(0.0, seconds(entry.position - static_cast<double>(firstIndex))));
        } else if (entry.stream < stream) {
            writeEntry(entry, 0.0);
        }
        // Entries of a later stream come after the recording's end.
    }
}

void Recording::Impl::run()
{
    for (;;) {
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, WRITE_PERIOD, [this] { return finishing; });
            last = finishing;
        }
        // Samples first, so that the events and notes after them find their
        // place on a time line that is already written.
        drainRows();
        drainEntries();
        if (last)
            break;
    }
    for (const LogEntry& entry : held)
        writeEntry(entry, 0.0);
    held.clear();
    notes.clear();
    // Samples dropped at the very end: no later sample announced them.
    out.clear();
    long long trailing = tap.trailingDropped();
    if (haveFirst && !full.load() && options.maxSamples > 0)
        trailing = std::min(trailing, options.maxSamples - written.load());
    for (long long k = 0; haveFirst && !full.load() && k < trailing; ++k) {
        if (dropRun++ == 0) {
            dropRunStart = written.load() + static_cast<long long>(out.size());
            dropRunWall = lastSample.timestampMs + OndiraData::SAMPLE_PERIOD_MS;
        }
        lastSample.timestampMs += OndiraData::SAMPLE_PERIOD_MS;
        lastSample.flag = OndiraData::FLAG_LOST_SAMPLE;
        lastSample.offsetChangeIndex = 0;
        out.push_back(lastSample);
        ++droppedRows;
    }
    dispatchSamples();
    closeDropRun();
    for (const formats::Note& note : notes)
        dispatchNote(note);
    tellStart(true);
    tellClock();
    if (entriesLost > 0)
        dispatchNote(formats::Note{seconds(static_cast<double>(written.load())), -1.0,
                                   std::to_string(entriesLost) + " status events not recorded: too many"});
}

// ---------------------------------------------------------------------------

Recording::Recording(Session& session, std::vector<std::unique_ptr<formats::Writer>> writers,
                     RecordingOptions options)
    : d(new Impl(session, std::move(writers), options))
{
}

Recording::~Recording()
{
    if (writing)
        finish();
}

bool Recording::open(std::string& error)
{
    for (std::size_t i = 0; i < d->writers.size(); ++i) {
        if (!d->writers[i]->open()) {
            error = d->writers[i]->error().empty() ? "cannot write " + d->writers[i]->path() : d->writers[i]->error();
            for (std::size_t k = 0; k < i; ++k)
                d->writers[k]->discard();
            d->writers.clear();
            return false;
        }
    }
    return true;
}

void Recording::start(const formats::DeviceInfo& info)
{
    if (writing)
        return;
    formats::RecordingInfo recordingInfo;
    recordingInfo.labels = d->options.labels;
    recordingInfo.device = info;
    for (auto& writer : d->writers)
        writer->describe(recordingInfo);
    d->attached.store(d->session.attach(d->tap));
    if (!d->attached.load()) {
        d->error = "the session has no room for another recording";
        d->failed.store(true);
    }
    writing = true;
    d->thread = std::thread([this] { d->run(); });
}

RecordingProgress Recording::progress() const
{
    RecordingProgress p;
    p.samples = d->written.load();
    p.fillers = d->fillersWritten.load();
    p.full = d->full.load();
    p.failed = d->failed.load();
    return p;
}

double Recording::onsetOf(const LogEntry& entry) const
{
    const unsigned stream = d->firstStream.load();
    if (stream == 0 || entry.stream != stream || entry.position < 0)
        return 0.0;
    return std::max(0.0, seconds(entry.position - static_cast<double>(d->firstRow.load())));
}

RecordingResult Recording::finish()
{
    RecordingResult result;
    if (writing) {
        if (d->attached.exchange(false))
            d->session.detach(d->tap);
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            d->finishing = true;
        }
        d->wake.notify_all();
        d->thread.join();
        writing = false;
    } else {
        // Never started: the entries so far still go to the files.
        d->drainEntries();
        for (const LogEntry& entry : d->held)
            d->writeEntry(entry, 0.0);
        d->held.clear();
    }
    result.samples = d->written.load();
    result.fillers = d->fillersWritten.load();
    result.received = d->tap.received();
    result.dropped = d->droppedRows;
    result.afterEnd = result.received - d->deliveredRows - d->droppedRows;
    result.eventsByType = d->eventsByType;
    result.markers = d->markersWritten;
    result.error = d->error;
    for (auto& writer : d->writers) {
        if (result.samples == 0) {
            writer->discard();
            continue;
        }
        if (!writer->close() && result.error.empty())
            result.error = writer->error();
        // A writer may remove a file it could not complete (a partial picture).
        std::error_code missing;
        if (std::filesystem::exists(writer->path(), missing))
            result.files.push_back(writer->path());
    }
    d->writers.clear();
    return result;
}

} // namespace session
} // namespace ondira
