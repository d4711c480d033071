#ifndef ONDIRA_LSL_CLOCK_H
#define ONDIRA_LSL_CLOCK_H

namespace ondira {
namespace lsl {

/// LSL's clock on this host: seconds of the monotonic clock
/// (std::chrono::steady_clock, CLOCK_MONOTONIC on Linux), the clock every LSL
/// program on the machine stamps its samples with. A time point of the
/// session's steady-clock time line converts with steadySeconds(). Any thread.
double localClock();

/// A steady_clock reading in nanoseconds since its epoch, as LSL's seconds:
/// the whole seconds and the rest are converted apart, so that no precision is
/// lost for a clock that has run for a long time.
double steadySeconds(long long nanosecondsSinceEpoch);

} // namespace lsl
} // namespace ondira

#endif
