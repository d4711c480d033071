#include "SampleRing.h"

#include <ondira/OndiraData.h>
#include <ondira/PData.h>

#include <chrono>
#include <limits>
#include <type_traits>

namespace ondira {
namespace python {

static_assert(std::is_trivially_copyable<RingRecord>::value, "the ring copies records into raw slots");

long long steadyNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

SampleRing::SampleRing(std::size_t capacity)
    : slots(capacity)
    , queue(capacity)
{
}

void SampleRing::receiveData(PData& data)
{
    const OndiraData& sample = *static_cast<const OndiraData*>(data.getData());
    const unsigned stream = generation.load(std::memory_order_relaxed);
    if (stream != streamSeen) {
        streamSeen = stream;
        droppedRun = 0;
    }
    RingRecord record;
    record.timestampMs = sample.getTimestamp();
    record.microvolts[0] = sample.getChannel1();
    record.microvolts[1] = sample.getChannel2();
    record.microvolts[2] = sample.getChannel3();
    record.microvolts[3] = sample.getChannel4();
    record.droppedBefore = droppedRun;
    record.flag = static_cast<std::uint8_t>(sample.getFlag());
    record.offsetChangeIndex = sample.getOffsetChangeIndex();

    if (queue.push(record)) {
        droppedRun = 0;
    } else {
        if (droppedRun < std::numeric_limits<std::uint32_t>::max())
            ++droppedRun;
        overflowCount.fetch_add(1, std::memory_order_relaxed);
    }
    receivedCount.fetch_add(1, std::memory_order_relaxed);
    lastArrival.store(steadyNowMs(), std::memory_order_relaxed);

    // The producer's view of the fill level: capacity minus free slots.
    const std::size_t wanted = wantedCount.load(std::memory_order_acquire);
    if (wanted != 0 && slots - queue.write_available() >= wanted)
        wakeUp.notify_one();
}

std::size_t SampleRing::popInto(std::vector<RingRecord>& out, std::size_t max)
{
    const std::size_t count = std::min(max, queue.read_available());
    if (count == 0)
        return 0;
    const std::size_t start = out.size();
    out.resize(start + count);
    return queue.pop(out.data() + start, count);
}

void SampleRing::waitFor(std::size_t wanted, long long timeoutMs)
{
    std::unique_lock<std::mutex> lock(wakeMutex);
    // More than the ring holds can never wait in it: wake when it is full.
    wantedCount.store(std::max<std::size_t>(1, std::min(wanted, slots)), std::memory_order_release);
    if (queue.read_available() < wanted)
        wakeUp.wait_for(lock, std::chrono::milliseconds(timeoutMs));
    wantedCount.store(0, std::memory_order_release);
}

void SampleRing::wake()
{
    std::lock_guard<std::mutex> lock(wakeMutex);
    wakeUp.notify_all();
}

} // namespace python
} // namespace ondira
