#include "protocol/OffsetCalibrator.h"

namespace ondira {

namespace {

// Each kind of channel state has one status code per channel, numbered on
// from the code of the first channel.
StatusData::statusCode stateFor(StatusData::statusCode firstChannel, std::uint32_t channel)
{
    return static_cast<StatusData::statusCode>(static_cast<std::int64_t>(firstChannel) + channel);
}

// Where every average starts: the middle of the band.
constexpr std::int32_t MIDDLE_AVERAGE =
    (OffsetCalibrator::HIGH_THRESHOLD - OffsetCalibrator::LOW_THRESHOLD) / 2
    + OffsetCalibrator::LOW_THRESHOLD;

} // namespace

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

// The arrays and the channel count change only here; setup runs before the
// calibrator is shared between threads (the engine calls it in its
// constructor), which is what lets setEnabled and isEnabled read them without
// the lock.
void OffsetCalibrator::setup(std::uint32_t count)
{
    std::lock_guard<std::mutex> lock(mutex);
    channelCount = count;
    lowThreshold = LOW_THRESHOLD;
    highThreshold = HIGH_THRESHOLD;
    step = OFFSET_STEP;
    enabled = std::make_unique<std::atomic<bool>[]>(count);
    average = std::make_unique<std::int32_t[]>(count);
    offset = std::make_unique<std::int16_t[]>(count);
    state = std::make_unique<StatusData::statusCode[]>(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        enabled[i].store(false, std::memory_order_relaxed);
        average[i] = MIDDLE_AVERAGE;
        offset[i] = DEFAULT_OFFSET;
        state[i] = StatusData::DEFAULT_CHANNEL_STATE;
    }
    position = 0;
    waiting = false;
}

void OffsetCalibrator::reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    for (std::uint32_t i = 0; i < channelCount; ++i)
        state[i] = StatusData::DEFAULT_CHANNEL_STATE;
    position = 0;
    waiting = false;
}

std::int8_t OffsetCalibrator::calibrate()
{
    std::lock_guard<std::mutex> lock(mutex);
    // A pass visits each channel at most once, starting at the position. It
    // stops on the first channel that needs a change or waits for one; when it
    // has visited them all it has come back to where it began.
    for (std::uint32_t visited = 0; visited < channelCount; ++visited) {
        const std::uint8_t p = position;
        if (!enabled[p].load(std::memory_order_relaxed)) {
            // Disabling the channel under calibration cancels its wait.
            waiting = false;
            state[p] = stateFor(StatusData::CHANNEL_1_NOT_CALIBRATING, p);
            advanceLocked();
            continue;
        }
        if (waiting) {
            state[p] = stateFor(StatusData::CHANNEL_1_CALIBRATING, p);
            return STEP_WAITING;
        }

        std::int8_t code;
        if (average[p] < lowThreshold) {
            offset[p] = static_cast<std::int16_t>(offset[p] - step);
            code = static_cast<std::int8_t>(STEP_LOWERED + p);
        } else if (average[p] > highThreshold) {
            offset[p] = static_cast<std::int16_t>(offset[p] + step);
            code = static_cast<std::int8_t>(STEP_RAISED + p);
        } else {
            state[p] = stateFor(StatusData::CHANNEL_1_CALIBRATED, p);
            advanceLocked();
            continue;
        }

        // An offset that left the usable range starts again from the middle;
        // the negative code tells the engine to warn about the channel.
        const std::uint16_t stepped = static_cast<std::uint16_t>(offset[p]);
        if (stepped < static_cast<std::uint16_t>(MIN_OFFSET)
            || stepped > static_cast<std::uint16_t>(MAX_OFFSET)) {
            offset[p] = DEFAULT_OFFSET;
            code = static_cast<std::int8_t>(-code);
        }
        waiting = true;
        state[p] = stateFor(StatusData::CHANNEL_1_CALIBRATING, p);
        return code;
    }
    return STEP_NONE;
}

void OffsetCalibrator::updateAverages(const std::int32_t* values)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (std::uint32_t i = 0; i < channelCount; ++i) {
        // Summed in 64 bits: two 32-bit values may overflow, their mean never.
        // Division truncates toward zero.
        const std::int64_t sum = static_cast<std::int64_t>(values[i]) + average[i];
        average[i] = static_cast<std::int32_t>(sum / 2);
    }
}

void OffsetCalibrator::setEnabled(std::uint8_t channel, bool value)
{
    if (channel < channelCount)
        enabled[channel].store(value, std::memory_order_relaxed);
}

bool OffsetCalibrator::isEnabled(std::uint8_t channel) const
{
    return channel < channelCount && enabled[channel].load(std::memory_order_relaxed);
}

StatusData::statusCode OffsetCalibrator::getChannelState(std::uint8_t channel) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return channel < channelCount ? state[channel] : StatusData::DEFAULT_CHANNEL_STATE;
}

std::uint8_t OffsetCalibrator::getPosition() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return position;
}

void OffsetCalibrator::advance()
{
    std::lock_guard<std::mutex> lock(mutex);
    advanceLocked();
}

void OffsetCalibrator::advanceLocked()
{
    const std::uint32_t next = position + 1u;
    position = next >= channelCount ? 0 : static_cast<std::uint8_t>(next);
}

std::int16_t OffsetCalibrator::getOffset(std::uint8_t channel) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return channel < channelCount ? offset[channel] : DEFAULT_OFFSET;
}

void OffsetCalibrator::setWaiting(bool value)
{
    std::lock_guard<std::mutex> lock(mutex);
    waiting = value;
}

bool OffsetCalibrator::isWaiting() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return waiting;
}

std::int32_t OffsetCalibrator::getAverage(std::uint8_t channel) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return channel < channelCount ? average[channel] : MIDDLE_AVERAGE;
}

std::uint32_t OffsetCalibrator::getChannelCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return channelCount;
}

} // namespace ondira
