#include "SampleHistory.h"

#include <ondira/lsl/Wire.h>

#include <algorithm>
#include <cstring>

namespace ondira {
namespace lsl {

namespace {
// What a string slot holds without reallocating: markers and status texts.
constexpr std::size_t STRING_RESERVE = 64;
} // namespace

SampleHistory::SampleHistory(
    ChannelFormat format, int channelCount, std::size_t capacity, double rate)
    : format(format)
    , channels(channelCount)
    , slots(std::max<std::size_t>(capacity, 1))
    , period(rate > 0 ? 1.0 / rate : 0)
    , timestamps(slots)
    , deducible(slots)
{
    if (format == ChannelFormat::Float32) {
        values.resize(slots * static_cast<std::size_t>(channels));
    } else {
        texts.resize(slots);
        for (auto& text : texts)
            text.reserve(STRING_RESERVE);
    }
}

void SampleHistory::stamp(double timestamp)
{
    const std::size_t slot = next % slots;
    // Exactly what the inlet computes for a deduced timestamp, so that it gets
    // the very value pushed.
    deducible[slot] = next > 0 && period > 0 && timestamp == lastTimestamp + period;
    timestamps[slot] = timestamp;
    lastTimestamp = timestamp;
}

void SampleHistory::appendFloat(const float* sample, double timestamp)
{
    stamp(timestamp);
    const std::size_t width = static_cast<std::size_t>(channels);
    std::memcpy(&values[(next % slots) * width], sample, width * sizeof(float));
    ++next;
}

void SampleHistory::appendString(const char* text, std::size_t length, double timestamp)
{
    stamp(timestamp);
    texts[next % slots].assign(text, length);
    ++next;
}

std::size_t SampleHistory::encodedSize(std::uint64_t n, bool followsPrevious) const
{
    const bool leaveOut = deduced(n, followsPrevious);
    if (format == ChannelFormat::Float32)
        return wire::floatSampleSize(channels, leaveOut);
    return wire::stringSampleSize(texts[n % slots].size(), leaveOut);
}

std::size_t SampleHistory::encode(std::uint64_t n, bool followsPrevious, std::uint8_t* out) const
{
    const std::size_t slot = n % slots;
    const bool leaveOut = deduced(n, followsPrevious);
    if (format == ChannelFormat::Float32) {
        return wire::encodeFloatSample(out, &values[slot * static_cast<std::size_t>(channels)],
            channels, timestamps[slot], leaveOut);
    }
    const std::string& text = texts[slot];
    return wire::encodeStringSample(out, text.data(), text.size(), timestamps[slot], leaveOut);
}

} // namespace lsl
} // namespace ondira
