#include "Recording.h"

#include <ondira/StatusData.h>

#include <QFileInfo>
#include <QString>

#include <chrono>

namespace ondira {
namespace view {

namespace {
constexpr std::chrono::milliseconds WRITE_PERIOD(25);
constexpr std::size_t WRITE_BATCH = 1024;
} // namespace

RecordingThread::RecordingThread(int generation, std::vector<std::unique_ptr<recorder::Writer>> writers,
                                 RecordQueue& samples, EventQueue& events)
    : generation(generation)
    , writers(std::move(writers))
    , samples(samples)
    , events(events)
    , batch(WRITE_BATCH)
{
    out.reserve(WRITE_BATCH);
    thread = std::thread([this] { run(); });
}

RecordingThread::~RecordingThread()
{
    if (!finished)
        finish();
}

void RecordingThread::addNote(const recorder::Note& note)
{
    std::lock_guard<std::mutex> lock(mutex);
    notes.push_back(note);
}

void RecordingThread::run()
{
    for (;;) {
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, WRITE_PERIOD, [this] { return finishing; });
            last = finishing;
        }
        drain();
        if (last)
            return;
    }
}

void RecordingThread::fail(const recorder::Writer& writer)
{
    if (error.empty())
        error = writer.error().empty() ? "cannot write " + writer.path() : writer.error();
    writeFailed.store(true);
}

void RecordingThread::appendFillers(long long count)
{
    for (long long k = 0; k < count; ++k) {
        Sample filler = last;
        filler.flag = recorder::FLAG_LOST_SAMPLE;
        filler.offsetChangeIndex = 0;
        filler.timestampMs += recorder::SAMPLE_PERIOD_MS;
        out.push_back(filler);
        last = filler;
    }
}

void RecordingThread::dispatch()
{
    if (!out.empty() && !writeFailed.load()) {
        for (auto& writer : writers) {
            if (!writer->writeSamples(out.data(), out.size())) {
                fail(*writer);
                break;
            }
        }
        if (!writeFailed.load()) {
            long long fillers = 0;
            for (const Sample& s : out)
                fillers += recorder::isFiller(s) ? 1 : 0;
            writtenCount.fetch_add(static_cast<long long>(out.size()));
            fillerCount.fetch_add(fillers);
        }
    }
    out.clear();
    for (const recorder::Note& note : dropNotes) {
        for (auto& writer : writers) {
            if (!writeFailed.load() && !writer->writeNote(note))
                fail(*writer);
        }
    }
    dropNotes.clear();
}

void RecordingThread::drain()
{
    // Samples first, so that the notes and events after them find their
    // place on a time line that is already written.
    for (;;) {
        const std::size_t count = samples.pop(batch.data(), batch.size());
        for (std::size_t i = 0; i < count; ++i) {
            const RecordItem& item = batch[i];
            if (item.generation != generation)
                continue; // left over from an earlier recording
            if (item.droppedBefore > 0) {
                if (!haveLast) {
                    last = item.sample;
                    last.timestampMs -= recorder::SAMPLE_PERIOD_MS * (item.droppedBefore + 1);
                    haveLast = true;
                }
                const long long at = writtenCount.load() + static_cast<long long>(out.size());
                dropNotes.push_back(recorder::Note{
                    static_cast<double>(at) / SAMPLE_RATE_HZ,
                    static_cast<double>(item.droppedBefore) / SAMPLE_RATE_HZ,
                    std::to_string(item.droppedBefore) + " samples dropped: recording queue full"});
                appendFillers(item.droppedBefore);
            }
            out.push_back(item.sample);
            last = item.sample;
            haveLast = true;
        }
        dispatch();
        if (count < batch.size())
            break;
    }

    EventItem event;
    while (events.pop(event)) {
        if (event.generation != generation || writeFailed.load())
            continue;
        const auto code = static_cast<StatusData::statusCode>(event.code);
        const recorder::StatusEvent status{event.wallMs, event.onsetSeconds, event.code,
                                           StatusData::getTypeFromCode(code), StatusData::getStringFromCode(code)};
        for (auto& writer : writers) {
            if (!writer->writeEvent(status)) {
                fail(*writer);
                break;
            }
        }
    }

    std::vector<recorder::Note> pending;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pending.swap(notes);
    }
    for (const recorder::Note& note : pending) {
        for (auto& writer : writers) {
            if (!writeFailed.load() && !writer->writeNote(note))
                fail(*writer);
        }
    }
}

RecordingThread::Result RecordingThread::finish()
{
    Result result;
    if (finished)
        return result;
    {
        std::lock_guard<std::mutex> lock(mutex);
        finishing = true;
    }
    wake.notify_all();
    thread.join();
    finished = true;

    result.samples = writtenCount.load();
    result.fillers = fillerCount.load();
    result.error = error;
    for (auto& writer : writers) {
        if (result.samples == 0) {
            writer->discard();
            continue;
        }
        if (!writer->close() && result.error.empty())
            result.error = writer->error();
        if (QFileInfo::exists(QString::fromStdString(writer->path())))
            result.files.push_back(writer->path());
    }
    return result;
}

} // namespace view
} // namespace ondira
