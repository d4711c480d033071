#ifndef ONDIRA_ENGINE_ENGINECLOCK_H
#define ONDIRA_ENGINE_ENGINECLOCK_H

#include <functional>

namespace ondira {

/// The engine's time: the wall clock that timestamps samples and times
/// command writes, and the sleep of the worker's poll and of the waits between
/// requests. Production uses the system's; unit tests inject a fake clock so
/// that the worker, the exchanges and sample assembly run without real waits.
/// Both callables may be called from the application's thread and from the
/// worker at once.
struct EngineClock {
    std::function<long long()> nowMs;                ///< milliseconds since 1970-01-01 UTC
    std::function<void(unsigned long ms)> sleepMs;

    static EngineClock system();
};

} // namespace ondira

#endif
