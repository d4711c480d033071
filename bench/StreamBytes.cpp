#include "StreamBytes.h"

#include <cmath>

namespace ondira_bench {

namespace {

void header(std::vector<std::uint8_t>& out, std::uint8_t length, std::uint16_t source, std::uint8_t kind)
{
    out.insert(out.end(), {length, std::uint8_t(DONGLE >> 8), std::uint8_t(DONGLE & 0xFF),
                           std::uint8_t(source >> 8), std::uint8_t(source & 0xFF), kind});
}

std::uint64_t next(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

std::vector<std::uint8_t> identityReply()
{
    return {7, 0, 0, 0, 0, 0xCF, std::uint8_t(DONGLE >> 8), std::uint8_t(DONGLE & 0xFF)};
}

std::vector<std::uint8_t> realisticStream(int packets, std::uint64_t seed)
{
    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(packets) * (DATA_PACKET_SIZE + 2));
    std::uint64_t state = seed;
    for (int n = 0; n < packets; ++n) {
        if (n % 20 == 19) {
            const int garbage = 1 + static_cast<int>(next(state) % 16);
            for (int i = 0; i < garbage; ++i)
                out.push_back(static_cast<std::uint8_t>(next(state)));
        }
        header(out, 58, HEADSET, 0xD1);
        out.insert(out.end(), {std::uint8_t(n & 0xFF), 0, 0});
        for (int s = 0; s < SAMPLES_PER_PACKET; ++s) {
            out.push_back(0x40);
            out.push_back(0x0F);
            for (int channel = 0; channel < 4; ++channel) {
                const double t = (n * SAMPLES_PER_PACKET + s) * 0.004;
                const auto value = static_cast<std::uint16_t>(32768 + 60 * std::sin(62.83 * t + channel)
                                                              + static_cast<int>(next(state) % 41) - 20);
                out.push_back(std::uint8_t(value >> 8));
                out.push_back(std::uint8_t(value & 0xFF));
            }
        }
        if (n % 50 == 49) {
            header(out, 6, HEADSET, 0xC0);
            out.push_back(23);
        }
    }
    return out;
}

} // namespace ondira_bench
