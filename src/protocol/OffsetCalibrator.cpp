#include "protocol/OffsetCalibrator.h"

// Placeholder until the offset calibrator lands.

namespace ondira {

OffsetCalibrator::OffsetCalibrator()
    : channelCount(0)
    , lowThreshold(LOW_THRESHOLD)
    , highThreshold(HIGH_THRESHOLD)
    , waiting(false)
    , position(0)
    , step(OFFSET_STEP)
{
}

OffsetCalibrator::~OffsetCalibrator() = default;

void OffsetCalibrator::setup(std::uint32_t count) { channelCount = count; }
void OffsetCalibrator::reset() {}

} // namespace ondira
