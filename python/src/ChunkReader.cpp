#include "ChunkReader.h"

#include <algorithm>

namespace ondira {
namespace python {

namespace {
constexpr long long SAMPLE_PERIOD_MS = 4;
constexpr std::uint8_t FLAG_LOST_SAMPLE = 1;
constexpr std::size_t COMPACT_AFTER = 4096; // handed-out records kept before the front is erased
} // namespace

void ChunkReader::collect()
{
    const std::size_t before = carry.size();
    ring.popInto(carry, ring.available());
    for (std::size_t i = before; i < carry.size(); ++i)
        readyRows += 1 + carry[i].droppedBefore;
}

std::size_t ChunkReader::take(std::size_t rows, double* microvolts, std::int64_t* timestamps,
                              std::uint8_t* flags, std::uint8_t* offsetChanges, bool* dropped)
{
    rows = std::min(rows, readyRows);
    std::size_t row = 0;
    std::size_t fillers = 0;
    const auto emit = [&](const RingRecord& values, long long timestamp, std::uint8_t flag, std::uint8_t index,
                          bool filler) {
        for (int c = 0; c < CHANNEL_COUNT; ++c)
            microvolts[row * CHANNEL_COUNT + c] = values.microvolts[c];
        timestamps[row] = timestamp;
        flags[row] = flag;
        offsetChanges[row] = index;
        dropped[row] = filler;
        ++row;
    };

    while (row < rows) {
        RingRecord& record = carry[head];
        if (record.droppedBefore > 0) {
            const std::size_t count = std::min<std::size_t>(record.droppedBefore, rows - row);
            const RingRecord& repeated = haveLast ? last : record;
            for (std::size_t k = 0; k < count; ++k) {
                const long long before = static_cast<long long>(record.droppedBefore - k);
                emit(repeated, record.timestampMs - SAMPLE_PERIOD_MS * before, FLAG_LOST_SAMPLE, 0, true);
            }
            record.droppedBefore -= static_cast<std::uint32_t>(count);
            fillers += count;
            if (row == rows)
                break;
        }
        emit(record, record.timestampMs, record.flag, record.offsetChangeIndex, false);
        last = record;
        haveLast = true;
        ++head;
    }
    readyRows -= rows;

    if (head == carry.size()) {
        carry.clear();
        head = 0;
    } else if (head >= COMPACT_AFTER) {
        carry.erase(carry.begin(), carry.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
    return fillers;
}

} // namespace python
} // namespace ondira
