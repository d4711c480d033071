#ifndef ONDIRA_BENCH_ALLOCATIONCOUNTER_H
#define ONDIRA_BENCH_ALLOCATIONCOUNTER_H

// Counts heap allocations (malloc, calloc, realloc, operator new) per thread,
// in every library of the process, by standing in for the allocator's entry
// points. Not available under the sanitizers, which own those entry points.

namespace ondira_bench {

/// False in sanitizer builds: nothing is counted there.
bool allocationsCounted();

/// Allocations made so far on the calling thread.
unsigned long long threadAllocations();

} // namespace ondira_bench

#endif
