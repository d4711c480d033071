#ifndef ONDIRA_LSL_SAMPLEHISTORY_H
#define ONDIRA_LSL_SAMPLEHISTORY_H

#include <ondira/lsl/StreamInfo.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ondira {
namespace lsl {

/// The last samples of the stream, which every inlet's feed reads at its own
/// pace: sample number n (counted from the outlet's start) lies in slot
/// n % capacity while n >= oldest(). An inlet whose next sample has been
/// overwritten skips to the oldest one left: that is how an inlet that does
/// not keep up loses its oldest samples, and only it.
///
/// Owned by the outlet's data thread; nothing here is shared. Memory is taken
/// at construction: appending allocates nothing, except a string longer than
/// any its slot held before.
class SampleHistory
{
public:
    /// `rate`: the rate as inlets read it (rateAsSeen), 0 for irregular.
    SampleHistory(ChannelFormat format, int channelCount, std::size_t capacity, double rate);

    void appendFloat(const float* values, double timestamp);
    void appendString(const char* text, std::size_t length, double timestamp);

    /// The number the next sample will get (samples appended so far).
    std::uint64_t head() const { return next; }
    std::uint64_t oldest() const { return next > slots ? next - slots : 0; }
    std::size_t capacity() const { return slots; }

    /// Bytes sample n takes on the wire; `followsPrevious`: the inlet got
    /// sample n - 1, so that a timestamp that is the previous one plus one
    /// sampling period can be left for the inlet to deduce.
    std::size_t encodedSize(std::uint64_t n, bool followsPrevious) const;
    /// Writes sample n at `out` (room for encodedSize) and returns its size.
    std::size_t encode(std::uint64_t n, bool followsPrevious, std::uint8_t* out) const;

    double timestamp(std::uint64_t n) const { return timestamps[n % slots]; }

private:
    bool deduced(std::uint64_t n, bool followsPrevious) const
    {
        return followsPrevious && deducible[n % slots] != 0;
    }
    void stamp(double timestamp);

    ChannelFormat format;
    int channels;
    std::size_t slots;
    double period;
    std::uint64_t next = 0;
    double lastTimestamp = 0;
    std::vector<double> timestamps;
    std::vector<std::uint8_t> deducible;
    std::vector<float> values;
    std::vector<std::string> texts;
};

} // namespace lsl
} // namespace ondira

#endif
