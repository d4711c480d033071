#include <ondira/session/Tap.h>

#include <algorithm>
#include <chrono>

namespace ondira {
namespace session {

Tap::Tap(std::size_t capacity)
    : slotCount(std::max<std::size_t>(1, capacity))
    , queue(slotCount)
{
}

void Tap::push(const TapRecord& record)
{
    receivedCount.fetch_add(1, std::memory_order_relaxed);
    if (record.stream != runStream) {
        // Samples dropped at the end of a stream are counted only.
        runStream = record.stream;
        droppedRun = 0;
        resumedCarry = false;
    }
    TapRecord queued = record;
    queued.droppedBefore = droppedRun;
    queued.resumed = record.resumed || resumedCarry;
    if (queue.push(queued)) {
        droppedRun = 0;
        resumedCarry = false;
        const std::size_t waiting = wanted.load(std::memory_order_acquire);
        if (waiting > 0 && queue.read_available() >= waiting)
            wakeUp.notify_all();
        return;
    }
    droppedCount.fetch_add(1, std::memory_order_relaxed);
    if (droppedRun < UINT32_MAX)
        ++droppedRun;
    resumedCarry = queued.resumed;
}

void Tap::waitFor(std::size_t count, long long timeoutMs)
{
    std::unique_lock<std::mutex> lock(wakeMutex);
    const unsigned long long woken = wakeCount;
    wanted.store(std::max<std::size_t>(1, count), std::memory_order_release);
    wakeUp.wait_for(lock, std::chrono::milliseconds(std::max(0LL, timeoutMs)),
                    [&] { return queue.read_available() >= count || wakeCount != woken; });
    wanted.store(0, std::memory_order_release);
}

void Tap::wake()
{
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        ++wakeCount;
    }
    wakeUp.notify_all();
}

std::size_t TapReader::collect()
{
    if (batch.empty())
        batch.resize(1024);
    // Forget what was handed out, so that the items do not grow for ever.
    if (head > 0 && head == items.size()) {
        items.clear();
        head = 0;
    }
    for (;;) {
        const std::size_t count = tap.pop(batch.data(), batch.size());
        for (std::size_t i = 0; i < count; ++i) {
            const TapRecord& r = batch[i];
            Item item{r, 0, r.droppedBefore, r.resumed != 0};
            if (seenAny && r.stream == seenStream) {
                const long long gap = r.index - seenIndex - 1;
                item.away = std::max(0LL, gap - static_cast<long long>(r.droppedBefore));
            }
            seenAny = true;
            seenStream = r.stream;
            seenIndex = r.index;
            readyRows += 1 + item.away + item.dropped;
            items.push_back(item);
        }
        if (count < batch.size())
            break;
    }
    return static_cast<std::size_t>(readyRows);
}

std::size_t TapReader::take(Row* out, std::size_t max)
{
    std::size_t written = 0;
    while (written < max && head < items.size()) {
        Item& item = items[head];
        const TapRecord& r = item.record;
        const long long fill = item.away + item.dropped;
        if (fill > 0 && (!haveLast || last.stream != r.stream)) {
            // Fillers before a stream's first row repeat that row, back in time.
            last = Row();
            last.stream = r.stream;
            last.index = r.index - fill - 1;
            last.sample.timestampMs = r.timestampMs - OndiraData::SAMPLE_PERIOD_MS * (fill + 1);
            std::copy(r.microvolts, r.microvolts + OndiraData::CHANNEL_COUNT, last.sample.microvolts.begin());
            haveLast = true;
        }
        Row row;
        if (fill > 0) {
            row = last;
            row.kind = item.away > 0 ? Row::Kind::Away : Row::Kind::Dropped;
            row.index = last.index + 1;
            row.sample.timestampMs += OndiraData::SAMPLE_PERIOD_MS;
            row.sample.flag = OndiraData::FLAG_LOST_SAMPLE;
            row.sample.offsetChangeIndex = 0;
            --(item.away > 0 ? item.away : item.dropped);
        } else {
            row.sample.timestampMs = r.timestampMs;
            std::copy(r.microvolts, r.microvolts + OndiraData::CHANNEL_COUNT, row.sample.microvolts.begin());
            row.sample.flag = r.flag;
            row.sample.offsetChangeIndex = r.offsetChangeIndex;
            row.index = r.index;
            row.stream = r.stream;
            row.kind = Row::Kind::Delivered;
            ++head;
        }
        // The first row after the headset's absence says that it is back.
        row.resumed = item.resume && row.kind != Row::Kind::Away;
        if (row.resumed)
            item.resume = false;
        out[written++] = row;
        last = row;
        haveLast = true;
        --readyRows;
    }
    return written;
}

void TapReader::clear()
{
    items.clear();
    head = 0;
    readyRows = 0;
}

} // namespace session
} // namespace ondira
