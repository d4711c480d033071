// The packet parser, fed what a radio link may deliver.
//
// The first byte picks one of two runs:
// - even: the rest of the input as raw bytes (after an identity reply when
//   bit 1 is set, so that data packets reach the sample decoder). After every
//   byte: the last sample changes only when a sample completes; a loss is
//   reported only when it is positive (1..254) and right after the sequence
//   number that caused it; completed samples lie at least a record (10
//   bytes) apart, and the last byte of a sample is the byte just fed unless a
//   pending loss made the channel keep its value.
// - odd: a round trip. The input describes genuine data packets (sequence
//   steps, sample values) with noise that cannot start a packet and firmware
//   replies in between; the parser must report exactly the losses and the
//   samples that were put in, in order.

#include "FuzzInput.h"

#include "protocol/ZAREProtocol.h"

#include <array>
#include <cstring>
#include <vector>

namespace {

using ondira::ZAREProtocol;
using ondira_fuzz::FuzzInput;
using Bytes = std::vector<std::uint8_t>;
using Sample = std::array<std::uint8_t, ZAREProtocol::SAMPLE_SIZE>;

constexpr const char* TARGET = "parser";
constexpr std::uint16_t DONGLE = 0x1234;
constexpr std::uint16_t HEADSET = 0x1235;

void check(bool holds, const std::string& what)
{
    if (!holds)
        ondira_fuzz::broken(TARGET, what);
}

Sample lastSample(ZAREProtocol& parser)
{
    Sample s;
    std::memcpy(s.data(), parser.getLastSample(), s.size());
    return s;
}

Bytes identityReply()
{
    return {7, 0, 0, 0, 0, ZAREProtocol::REPLY_ID, DONGLE >> 8, DONGLE & 0xFF};
}

void rawBytes(FuzzInput& input, bool identify)
{
    ZAREProtocol parser;
    Bytes fed;
    if (identify) {
        for (std::uint8_t b : identityReply())
            parser.processByte(b);
    }
    long long lastCompletion = -100;
    while (!input.empty()) {
        const std::uint8_t b = input.byte();
        fed.push_back(b);
        const long long at = static_cast<long long>(fed.size()) - 1;
        const Sample before = lastSample(parser);
        const bool event = parser.processByte(b);
        const int lost = parser.getLostPackets();
        const Sample after = lastSample(parser);
        const std::string where = " at byte " + std::to_string(at);
        if (!event) {
            check(after == before, "the last sample changed without an event" + where);
            continue;
        }
        check(lost >= 0, "a negative loss was reported" + where);
        if (lost > 0) {
            check(lost <= 254, "a loss of " + std::to_string(lost) + " packets" + where);
            check(after == before, "a loss report changed the last sample" + where);
            check(at >= 2 && parser.getSequenceNumber() == fed[static_cast<std::size_t>(at - 2)],
                  "a loss reported away from its sequence number" + where);
            continue;
        }
        check(at - lastCompletion >= 10, "two samples completed less than a record apart" + where);
        lastCompletion = at;
        check(after[7] == b || (after[6] == before[6] && after[7] == before[7]),
              "a completed sample does not end in the byte that completed it" + where);
        check(parser.getSequenceNumber() >= -1 && parser.getSequenceNumber() <= 255,
              "sequence number out of range" + where);
    }
}

struct Event {
    int lost; // 0: a sample
    Sample sample;
    bool operator==(const Event& o) const { return lost == o.lost && sample == o.sample; }
};

void roundTrip(FuzzInput& input)
{
    ZAREProtocol parser;
    Bytes stream = identityReply();
    std::vector<Event> expected;
    int sequence = input.byte();
    bool first = true;
    std::uint8_t firmware = 0;
    while (!input.empty()) {
        const std::uint8_t choice = input.byte();
        if (choice % 8 == 0) {
            // Noise between packets: none of its bytes may start a packet.
            const unsigned count = input.pick(24);
            for (unsigned i = 0; i < count; ++i) {
                const std::uint8_t b = input.byte();
                stream.push_back(ZAREProtocol::isPacketStart(b) ? 0 : b);
            }
            continue;
        }
        if (choice % 8 == 1) {
            firmware = static_cast<std::uint8_t>(input.byte() | 1); // 0 means "no answer"
            for (std::uint8_t b : Bytes{6, DONGLE >> 8, DONGLE & 0xFF, HEADSET >> 8, HEADSET & 0xFF,
                                        ZAREProtocol::REPLY_FIRMWARE_VERSION, firmware})
                stream.push_back(b);
            continue;
        }
        // A data packet, `skipped` packets after the last one.
        const int skipped = first ? 0 : static_cast<int>(input.pick(4) == 0 ? input.pick(255) : 0);
        sequence = (sequence + 1 + skipped) % 256;
        // A loss is reported with the sample from before the gap.
        if (skipped > 0)
            expected.push_back(Event{skipped, expected.back().sample});
        first = false;
        Bytes packet{58, DONGLE >> 8, DONGLE & 0xFF, HEADSET >> 8, HEADSET & 0xFF, ZAREProtocol::PACKET_DATA,
                     static_cast<std::uint8_t>(sequence), 0, 0};
        for (int record = 0; record < 5; ++record) {
            Sample s;
            for (std::uint8_t& b : s)
                b = input.byte();
            packet.push_back(0x40);
            packet.push_back(0x0F);
            packet.insert(packet.end(), s.begin(), s.end());
            expected.push_back(Event{0, s});
        }
        stream.insert(stream.end(), packet.begin(), packet.end());
    }

    std::vector<Event> reported;
    for (std::uint8_t b : stream) {
        if (parser.processByte(b))
            reported.push_back(Event{parser.getLostPackets(), lastSample(parser)});
    }
    check(reported.size() == expected.size(),
          std::to_string(reported.size()) + " events for " + std::to_string(expected.size()) + " put in");
    for (std::size_t i = 0; i < expected.size(); ++i)
        check(reported[i] == expected[i], "event " + std::to_string(i) + " is not the one put in");
    check(parser.getOndiraFirmwareVersion() == firmware, "the last firmware reply was not taken");
    check(parser.getUsbId() == DONGLE && parser.getOndiraId() == HEADSET, "the identity reply was not taken");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t mode = input.byte();
    if (mode % 2 == 0)
        rawBytes(input, (mode & 2) != 0);
    else
        roundTrip(input);
    return 0;
}
