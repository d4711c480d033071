#ifndef ONDIRA_BENCH_MEMORYTRANSPORT_H
#define ONDIRA_BENCH_MEMORYTRANSPORT_H

// A D2XX entry-point table over memory, for measuring the library alone: it
// answers the identity request, and between a start and a stop command it
// hands out a prepared realistic stream, cycling through 256 data packets,
// as fast as the host reads. No clock, no lock, no allocation after setup.
// One per process; the engine's worker is its only reader.

#include "device/D2xxLoader.h"

namespace ondira_bench {

/// Prepares the stream and returns the table.
ondira::D2xxBinding memoryTransport();

/// Bytes handed out so far.
unsigned long long memoryTransportBytesRead();

} // namespace ondira_bench

#endif
