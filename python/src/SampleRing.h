#ifndef ONDIRA_PYTHON_SAMPLERING_H
#define ONDIRA_PYTHON_SAMPLERING_H

#include <ondira/IDataConsumer.h>

#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace ondira {
namespace python {

constexpr int CHANNEL_COUNT = 4;

/// One sample on its way from the library's worker to read(). Trivially
/// copyable: the ring copies it into slots allocated up front.
struct RingRecord {
    long long timestampMs;
    std::int32_t microvolts[CHANNEL_COUNT];
    /// Samples the ring had no room for just before this one.
    std::uint32_t droppedBefore;
    std::uint8_t flag;
    std::uint8_t offsetChangeIndex;
};

/// The sample consumer: copies each record into a bounded single-producer,
/// single-consumer ring, without locking and without allocating. When the
/// ring is full the sample is dropped and counted, and the next sample that
/// fits carries the number dropped before it, so that the reader can put
/// fillers in their place. Samples dropped at the end of a stream, with no
/// sample of that stream after them, are counted only: the next stream's
/// first sample does not carry them.
///
/// receiveData runs on the library's worker thread (the only producer; the
/// workers of successive sessions are joined in between). Everything else is
/// for one reading thread at a time, except the counters, which any thread
/// may read.
class SampleRing : public IDataConsumer
{
public:
    explicit SampleRing(std::size_t capacity);

    void receiveData(PData& data) override;
    /// A new stream begins (before the library is asked to start it).
    void newStream() { generation.fetch_add(1, std::memory_order_relaxed); }

    std::size_t capacity() const { return slots; }
    /// Samples waiting in the ring (reader).
    std::size_t available() const { return queue.read_available(); }
    /// Moves up to `max` records to the end of `out` (reader).
    std::size_t popInto(std::vector<RingRecord>& out, std::size_t max);

    /// Samples dropped because the ring was full, since construction.
    long long overflows() const { return overflowCount.load(std::memory_order_relaxed); }
    /// Samples delivered by the library, since construction.
    long long received() const { return receivedCount.load(std::memory_order_relaxed); }
    /// Steady-clock milliseconds of the last delivery; 0 before the first.
    long long lastArrivalMs() const { return lastArrival.load(std::memory_order_relaxed); }

    /// Blocks the reader until `wanted` samples wait, wake() is called, or
    /// `timeoutMs` pass. A wake-up can come late by at most `timeoutMs`:
    /// the producer never takes the mutex.
    void waitFor(std::size_t wanted, long long timeoutMs);
    /// Wakes a waiting reader (any thread).
    void wake();

private:
    const std::size_t slots;
    boost::lockfree::spsc_queue<RingRecord> queue;
    std::uint32_t droppedRun = 0; // worker only
    unsigned streamSeen = 0;      // worker only
    std::atomic<unsigned> generation{0};
    std::atomic<long long> overflowCount{0};
    std::atomic<long long> receivedCount{0};
    std::atomic<long long> lastArrival{0};
    std::atomic<std::size_t> wantedCount{0}; // 0: nobody waits
    std::mutex wakeMutex;
    std::condition_variable wakeUp;
};

/// Steady-clock milliseconds.
long long steadyNowMs();

} // namespace python
} // namespace ondira

#endif
