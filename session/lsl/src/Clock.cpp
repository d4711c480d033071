#include <ondira/lsl/Clock.h>

#include <chrono>

namespace ondira {
namespace lsl {

double steadySeconds(long long nanosecondsSinceEpoch)
{
    const long long perSecond = 1000000000LL;
    return static_cast<double>(nanosecondsSinceEpoch / perSecond)
        + static_cast<double>(nanosecondsSinceEpoch % perSecond) / static_cast<double>(perSecond);
}

double localClock()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return steadySeconds(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

} // namespace lsl
} // namespace ondira
