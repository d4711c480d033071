#ifndef ONDIRA_PYTHON_CHUNKREADER_H
#define ONDIRA_PYTHON_CHUNKREADER_H

#include "SampleRing.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ondira {
namespace python {

/// The reading side of the ring: collects records out of it and hands them
/// out as rows of a chunk, with a filler row in place of every sample the
/// ring had no room for. Records collected but not yet handed out stay for
/// the next chunk, so that a read that is interrupted, or asks for more than
/// the ring holds, loses nothing.
///
/// For one thread at a time (the Python binding holds a mutex around it).
class ChunkReader
{
public:
    explicit ChunkReader(SampleRing& ring) : ring(ring) {}

    /// Moves everything waiting in the ring behind what was collected before.
    void collect();
    /// Rows collected and not yet handed out, fillers for dropped samples included.
    std::size_t rowsReady() const { return readyRows; }

    /// Writes the first `rows` (at most rowsReady()) rows into the arrays
    /// (`microvolts` row-major, four per row) and forgets them. `dropped`
    /// marks the fillers for samples that the ring had no room for; returns
    /// how many there are.
    ///
    /// Such a filler repeats the last sample before it (the sample after it
    /// when there was none before) with flag 1 (a lost sample, as the library
    /// marks its own fillers) and offset-change index 0, on the 4 ms time
    /// line that ends at the sample after it.
    std::size_t take(std::size_t rows, double* microvolts, std::int64_t* timestamps, std::uint8_t* flags,
                     std::uint8_t* offsetChanges, bool* dropped);

private:
    SampleRing& ring;
    std::vector<RingRecord> carry;
    std::size_t head = 0;       // first record of carry not handed out
    std::size_t readyRows = 0;
    RingRecord last{};          // the last real sample handed out
    bool haveLast = false;
};

} // namespace python
} // namespace ondira

#endif
