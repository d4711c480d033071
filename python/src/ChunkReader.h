#ifndef ONDIRA_PYTHON_CHUNKREADER_H
#define ONDIRA_PYTHON_CHUNKREADER_H

#include <ondira/session/Tap.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ondira {
namespace python {

/// Rows of a tap as the arrays of a chunk: the tap's reader hands out every
/// sample and a filler row for every sample that the tap had no room for or
/// that was due while a lost headset was away (session::TapReader). Rows
/// collected but not handed out stay for the next chunk, so that a read that
/// is interrupted, or asks for more than the tap holds, loses nothing.
///
/// For one thread at a time (the Python binding holds a mutex around it).
class ChunkReader
{
public:
    explicit ChunkReader(session::Tap& tap) : reader(tap) {}

    /// Moves everything waiting in the tap behind what was collected before.
    void collect() { reader.collect(); }
    /// Rows collected and not yet handed out, fillers included.
    std::size_t rowsReady() const { return static_cast<std::size_t>(reader.rowsReady()); }

    /// Writes the first `rows` (at most rowsReady()) rows into the arrays
    /// (`microvolts` row-major, four per row) and forgets them. `dropped`
    /// marks the fillers for samples that the tap had no room for; returns
    /// how many there are.
    std::size_t take(std::size_t rows, double* microvolts, std::int64_t* timestamps, std::uint8_t* flags,
                     std::uint8_t* offsetChanges, bool* dropped);

private:
    session::TapReader reader;
    std::vector<session::Row> batch;
};

} // namespace python
} // namespace ondira

#endif
