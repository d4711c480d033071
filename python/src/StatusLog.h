#ifndef ONDIRA_PYTHON_STATUSLOG_H
#define ONDIRA_PYTHON_STATUSLOG_H

#include <ondira/IDataConsumer.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace ondira {
namespace python {

class SampleRing;

struct EventRecord {
    long long timestampMs; ///< wall clock when it arrived, ms since 1970-01-01 UTC
    int code;
};

/// The status consumer: keeps the library's status events for events(),
/// remembers which events a facade call raised (for the exception that
/// reports its failure), and notices when a stream has ended on an error.
///
/// receiveData runs on the library's worker thread, or on the thread of a
/// facade call; it never calls Python. Every other method may be called from
/// any thread.
class StatusLog : public IDataConsumer
{
public:
    /// Events kept for take(); beyond that the oldest are dropped and counted.
    static constexpr std::size_t EVENT_LIMIT = 10000;
    /// After DEVICE_IO_ERROR, a stream that delivers nothing for this long
    /// has ended: the worker that read it has stopped.
    static constexpr long long IO_ERROR_SILENCE_MS = 500;

    explicit StatusLog(SampleRing& ring) : ring(ring) {}

    void receiveData(PData& data) override;

    /// The events since the last call, oldest first.
    std::vector<EventRecord> take();
    /// Events dropped because nobody took them, since construction.
    long long dropped() const;

    /// A mark to pass to mostSevereSince.
    long long mark() const;
    /// Of the events after `mark`, the first of the most severe type
    /// (ERROR, then WARNING, then INFO); -1 when there is none.
    int mostSevereSince(long long mark) const;

    /// A new stream begins: forget how the last one ended.
    void streamStarted();
    /// The code of the event that ended the current stream (DEVICE_NOT_RESPONDING,
    /// or DEVICE_IO_ERROR followed by silence); -1 while it has not ended so.
    int streamEndCode(long long lastArrivalMs) const;

private:
    SampleRing& ring;
    mutable std::mutex mutex; // guards the four below
    std::vector<EventRecord> pending;
    std::deque<std::pair<long long, int>> recent; // (sequence, code) of the last events
    long long sequence = 0;
    long long droppedCount = 0;
    std::atomic<bool> notResponding{false};
    std::atomic<long long> ioErrorAtMs{0}; // steady clock; 0: none since the start
};

} // namespace python
} // namespace ondira

#endif
