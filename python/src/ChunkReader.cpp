#include "ChunkReader.h"

#include <algorithm>

namespace ondira {
namespace python {

std::size_t ChunkReader::take(std::size_t rows, double* microvolts, std::int64_t* timestamps,
                              std::uint8_t* flags, std::uint8_t* offsetChanges, bool* dropped)
{
    if (batch.empty())
        batch.resize(4096);
    rows = std::min(rows, rowsReady());
    std::size_t row = 0;
    std::size_t fillers = 0;
    while (row < rows) {
        const std::size_t count = reader.take(batch.data(), std::min(batch.size(), rows - row));
        for (std::size_t i = 0; i < count; ++i, ++row) {
            const session::Row& r = batch[i];
            for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
                microvolts[row * OndiraData::CHANNEL_COUNT + static_cast<std::size_t>(c)] =
                    r.sample.microvolts[static_cast<std::size_t>(c)];
            timestamps[row] = r.sample.timestampMs;
            flags[row] = static_cast<std::uint8_t>(r.sample.flag);
            offsetChanges[row] = static_cast<std::uint8_t>(r.sample.offsetChangeIndex);
            dropped[row] = r.kind == session::Row::Kind::Dropped;
            fillers += dropped[row] ? 1 : 0;
        }
        if (count == 0)
            break;
    }
    return fillers;
}

} // namespace python
} // namespace ondira
