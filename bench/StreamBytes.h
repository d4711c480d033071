#ifndef ONDIRA_BENCH_STREAMBYTES_H
#define ONDIRA_BENCH_STREAMBYTES_H

// A realistic received byte stream: data packets from the headset with
// consecutive sequence numbers, now and then a reply of the dongle or the
// headset, and a few garbage bytes between packets, as a radio link delivers.

#include <cstdint>
#include <vector>

namespace ondira_bench {

constexpr std::uint16_t DONGLE = 0x1234;
constexpr std::uint16_t HEADSET = 0x1235;
constexpr int DATA_PACKET_SIZE = 59;
constexpr int SAMPLES_PER_PACKET = 5;

/// The identity reply that teaches a parser the two addresses above.
std::vector<std::uint8_t> identityReply();

/// `packets` data packets with a firmware reply after every 50th and 1 to 16
/// garbage bytes before every 20th; the same bytes for the same seed.
std::vector<std::uint8_t> realisticStream(int packets, std::uint64_t seed = 1);

} // namespace ondira_bench

#endif
