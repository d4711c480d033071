#ifndef ONDIRA_VIEW_RECORDING_H
#define ONDIRA_VIEW_RECORDING_H

// The writer thread of a recording made from the viewer, and the queues that
// feed it from the library's worker.

#include "DisplaySample.h"

#include <ondira/recorder/Writer.h>

#include <boost/lockfree/queue.hpp>
#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ondira {
namespace view {

/// A sample for the recording of number `generation`, with the samples
/// before it that the queue had no room for.
struct RecordItem {
    Sample sample;
    int generation = 0;
    long long droppedBefore = 0;
};

/// A status event: for the GUI's log, and for the recording of `generation`
/// (0: none) at `onsetSeconds` on its time line.
struct EventItem {
    long long sequence = 0;
    long long wallMs = 0;
    double onsetSeconds = 0.0;
    int generation = 0;
    int code = 0;
};

using RecordQueue = boost::lockfree::spsc_queue<RecordItem>;
constexpr std::size_t EVENT_QUEUE_CAPACITY = 4096;
using EventQueue = boost::lockfree::queue<EventItem, boost::lockfree::capacity<EVENT_QUEUE_CAPACITY>>;

/// One recording: its writers, and a thread that alone touches them, fed by
/// the sample queue (items of other generations are stale and skipped) and the
/// event queue. Samples come as the library delivered them, on its 4 ms time
/// line; samples the queue had no room for become fillers with a note.
class RecordingThread
{
public:
    struct Result {
        long long samples = 0;   ///< written, fillers included
        long long fillers = 0;
        std::vector<std::string> files;
        std::string error;       ///< the first write failure
    };

    RecordingThread(int generation, std::vector<std::unique_ptr<recorder::Writer>> writers, RecordQueue& samples,
                    EventQueue& events);
    /// Finishes the recording if finish() was not called.
    ~RecordingThread();
    RecordingThread(const RecordingThread&) = delete;
    RecordingThread& operator=(const RecordingThread&) = delete;

    /// A note of the viewer ("Headset lost"), written after what is queued now.
    void addNote(const recorder::Note& note);
    bool failed() const { return writeFailed.load(); }
    long long written() const { return writtenCount.load(); }
    long long fillers() const { return fillerCount.load(); }

    /// Writes what is queued, stops the thread and closes the files (or
    /// deletes them when no sample was written).
    Result finish();

private:
    void run();
    void drain();
    void appendFillers(long long count);
    void dispatch();
    void fail(const recorder::Writer& writer);

    const int generation;
    std::vector<std::unique_ptr<recorder::Writer>> writers;
    RecordQueue& samples;
    EventQueue& events;

    std::mutex mutex;                  // guards the three below
    std::condition_variable wake;
    bool finishing = false;
    std::vector<recorder::Note> notes;

    std::atomic<bool> writeFailed{false};
    std::atomic<long long> writtenCount{0};
    std::atomic<long long> fillerCount{0};

    // The writer thread's own.
    std::vector<RecordItem> batch;
    std::vector<Sample> out;
    std::vector<recorder::Note> dropNotes;
    Sample last;
    bool haveLast = false;
    std::string error;

    bool finished = false;
    std::thread thread;
};

} // namespace view
} // namespace ondira

#endif
