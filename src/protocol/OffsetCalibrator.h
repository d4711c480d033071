#ifndef ONDIRA_PROTOCOL_OFFSETCALIBRATOR_H
#define ONDIRA_PROTOCOL_OFFSETCALIBRATOR_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include <ondira/StatusData.h>

namespace ondira {

/// Keeps each channel's electrode offset inside the converter's range.
///
/// It tracks a running average of each channel's raw values; a pass of
/// `calibrate` visits the channels from the current position and steps the
/// offset of the first enabled channel whose average lies outside
/// [low threshold, high threshold], then waits until the headset confirms the
/// change (setWaiting(false) and advance, done by the engine).
///
/// Step codes of calibrate: 0 nothing to change; 1 waiting for the headset;
/// 2..5 offset of channel 0..3 lowered; 6..9 raised; the negative of those
/// when the new offset left 25..1000 and was set to 512 instead.
///
/// Threading: calibrate, updateAverages, setWaiting and advance run on the
/// engine's worker; setEnabled/isEnabled and reset on the application's
/// thread. The enable flags are atomics (setEnabled and isEnabled never
/// block); every other operation takes a short internal lock, so that a reset
/// never splits a pass. The lock is never held while calling out, so calls may
/// be made while holding any engine lock. setup must run before the object is
/// shared (the engine calls it in its constructor).
///
/// A channel index at or above the channel count is answered as a disabled
/// channel fresh from setup (state 21, offset 512, average 32500); setEnabled
/// ignores it. updateAverages reads one value per channel.
class OffsetCalibrator
{
public:
    static constexpr std::int32_t LOW_THRESHOLD = 1000;
    static constexpr std::int32_t HIGH_THRESHOLD = 64000;
    static constexpr std::uint8_t OFFSET_STEP = 7;
    static constexpr std::int16_t DEFAULT_OFFSET = 512;
    static constexpr std::int16_t MIN_OFFSET = 25;
    static constexpr std::int16_t MAX_OFFSET = 1000;

    // Step codes returned by calibrate. A lowered or raised offset is the
    // first code plus the channel index; the same numbers flag the sample at
    // which the headset applied the step.
    static constexpr std::int8_t STEP_NONE = 0;
    static constexpr std::int8_t STEP_WAITING = 1;
    static constexpr std::int8_t STEP_LOWERED = 2; ///< + channel index
    static constexpr std::int8_t STEP_RAISED = 6;  ///< + channel index

    OffsetCalibrator();
    ~OffsetCalibrator();

    OffsetCalibrator(const OffsetCalibrator&) = delete;
    OffsetCalibrator& operator=(const OffsetCalibrator&) = delete;

    /// Thresholds, step, and fresh arrays for `channelCount` channels.
    void setup(std::uint32_t channelCount);
    /// States back to the default, position 0, not waiting.
    void reset();
    /// One pass; returns the step code.
    std::int8_t calibrate();
    /// average := (value + average) / 2 for each channel.
    void updateAverages(const std::int32_t* values);

    void setEnabled(std::uint8_t channel, bool enabled);
    bool isEnabled(std::uint8_t channel) const;
    StatusData::statusCode getChannelState(std::uint8_t channel) const;
    std::uint8_t getPosition() const;
    void advance();
    std::int16_t getOffset(std::uint8_t channel) const;
    void setWaiting(bool value);
    bool isWaiting() const;
    std::int32_t getAverage(std::uint8_t channel) const;
    std::uint32_t getChannelCount() const;

private:
    void advanceLocked();

    mutable std::mutex mutex;
    std::uint32_t channelCount;
    std::int32_t lowThreshold;
    std::int32_t highThreshold;
    bool waiting;
    std::unique_ptr<std::atomic<bool>[]> enabled;
    std::unique_ptr<std::int32_t[]> average;
    std::uint8_t position;
    std::unique_ptr<std::int16_t[]> offset;
    std::unique_ptr<StatusData::statusCode[]> state;
    std::uint8_t step;
};

} // namespace ondira

#endif
