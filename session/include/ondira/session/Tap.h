#ifndef ONDIRA_SESSION_TAP_H
#define ONDIRA_SESSION_TAP_H

// A tap: a bounded lock-free queue from the library's worker to one reader
// (a display, Python's reads, a recording, an outlet), and the reader's side,
// which hands out rows 4 ms apart: every sample as the library delivered it,
// and a filler row for every sample the tap had no room for and for every
// sample that was due while a lost headset was away.

#include <ondira/formats/Records.h>

#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace ondira {
namespace session {

/// One sample on its way to a reader, numbered on its stream's time line.
/// Trivially copyable: the queue copies it into slotCount allocated up front.
struct TapRecord {
    long long index;               ///< on the stream's time line from 0, fillers included
    /// The library's timestamp; after a lost headset came back, shifted so
    /// that the stream stays 4 ms apart across the gap (by less than a
    /// sample period, unless the library's time line had run ahead of the
    /// clock).
    long long timestampMs;
    std::int32_t microvolts[OndiraData::CHANNEL_COUNT];
    std::int64_t deliveredNs;      ///< steady clock when the library delivered it
    std::uint32_t stream;          ///< from 1; a new one at every start of streaming
    std::uint32_t droppedBefore;   ///< samples of this stream the tap had no room for just before
    std::uint8_t flag;             ///< OndiraData::flagValue (1: the library's filler)
    std::uint8_t offsetChangeIndex;
    std::uint8_t resumed;          ///< the first sample after a lost headset came back
};

/// The queue. The session's sample consumer is its only producer: push()
/// never waits and never allocates; when the queue is full the sample is
/// dropped and counted, and the next one that fits says how many went
/// before it. Everything else is for one reading thread, but the counters,
/// which any thread may read.
class Tap
{
public:
    explicit Tap(std::size_t capacity);
    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

    /// The library's worker (through the session).
    void push(const TapRecord& record);

    std::size_t capacity() const { return slotCount; }
    /// Records waiting (reader).
    std::size_t available() const { return queue.read_available(); }
    /// Moves up to `max` records into `out` (reader).
    std::size_t pop(TapRecord* out, std::size_t max) { return queue.pop(out, max); }

    /// Blocks the reader until `count` records wait, wake() is called, or
    /// `timeoutMs` pass. The producer never takes a lock, so a wake-up can
    /// come late by up to `timeoutMs`: wait in short slices.
    void waitFor(std::size_t count, long long timeoutMs);
    /// Wakes a waiting reader (any thread).
    void wake();

    /// Samples dropped because the queue was full, since construction.
    long long dropped() const { return droppedCount.load(std::memory_order_relaxed); }
    /// Samples pushed (dropped ones included), since construction.
    long long received() const { return receivedCount.load(std::memory_order_relaxed); }
    /// Samples of the last stream dropped after the last record that fit:
    /// no record tells the reader of them. Read it once the tap is detached.
    long long trailingDropped() const { return droppedRun; }

private:
    const std::size_t slotCount;
    boost::lockfree::spsc_queue<TapRecord> queue;
    // The producer's own.
    std::uint32_t droppedRun = 0;
    std::uint32_t runStream = 0;
    bool resumedCarry = false;
    std::atomic<long long> droppedCount{0};
    std::atomic<long long> receivedCount{0};
    std::atomic<std::size_t> wanted{0}; // 0: nobody waits
    std::mutex wakeMutex;               // guards wakeCount
    unsigned long long wakeCount = 0;
    std::condition_variable wakeUp;
};

/// One row of a tap's reader.
struct Row {
    enum class Kind : std::uint8_t {
        Delivered,  ///< as the library delivered it (its own fillers have flag 1)
        Dropped,    ///< a filler for a sample the tap had no room for
        Away        ///< a filler for time the headset was lost
    };
    formats::Sample sample;
    long long index = 0;          ///< on the stream's time line
    unsigned stream = 0;
    Kind kind = Kind::Delivered;
    bool resumed = false;         ///< the first row after a lost headset came back
};

/// The reading side of a tap: collects its records and hands them out as
/// rows. A filler row repeats the row before it (the sample after it, when
/// there is none before) with flag 1 and offset-change index 0, its timestamp
/// 4 ms after the one before. Rows collected but not handed out stay for the
/// next take(), so that nothing is lost between reads of different sizes.
/// For one thread at a time.
class TapReader
{
public:
    explicit TapReader(Tap& tap) : tap(tap) {}

    /// Moves what waits in the tap behind what was collected before; returns
    /// rowsReady().
    std::size_t collect();
    /// Rows collected and not handed out yet, fillers included.
    long long rowsReady() const { return readyRows; }
    /// Writes up to `max` of the next rows into `out`; returns how many.
    std::size_t take(Row* out, std::size_t max);
    /// Drops every row collected so far.
    void clear();

    Tap& source() { return tap; }

private:
    struct Item {
        TapRecord record;
        long long away;      // filler rows before it: the headset was lost
        long long dropped;   // then: the tap had no room
        bool resume;         // the next row that is not Away is marked resumed
    };

    Tap& tap;
    std::vector<TapRecord> batch;
    std::vector<Item> items;
    std::size_t head = 0;
    long long readyRows = 0;
    // What collect() saw last, to number the fillers of the next record.
    bool seenAny = false;
    std::uint32_t seenStream = 0;
    long long seenIndex = 0;
    // What take() handed out last.
    Row last;
    bool haveLast = false;
};

} // namespace session
} // namespace ondira

#endif
