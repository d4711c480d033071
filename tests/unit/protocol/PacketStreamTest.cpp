// The parser over longer streams: sample records cut by packet boundaries,
// and a long random stream of packets, damaged packets and garbage.

#include "PacketBytes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace protocol_test;

namespace {

// No byte of these channel values is 0x12, so no payload holds the dongle
// address's 12 34 (see the random stream below).
Sample randomSample(std::mt19937& rng)
{
    Sample sample;
    for (std::uint16_t& channel : sample) {
        do
            channel = std::uint16_t(rng());
        while ((channel >> 8) == 0x12 || (channel & 0xFF) == 0x12);
    }
    return sample;
}

// The headset's records run on from packet to packet, so a packet boundary
// may fall at any byte of a record. Over all leads every cut position occurs.
TEST(PacketStream, RecordsCutByPacketBoundaries_AreJoinedAtEveryPosition)
{
    std::mt19937 rng(1234);
    for (std::size_t lead = 0; lead < 50; ++lead) {
        std::vector<Event> expected;
        Bytes records(lead, 0x00);
        while (records.size() + 10 <= 200) {
            const Sample sample = randomSample(rng);
            records = records + record(sample);
            const std::size_t end = records.size() - 1; // reported at the record's last byte
            expected.push_back({end / 50 * 59 + 9 + end % 50, 0, sample});
        }
        records.resize(200, 0x00);
        Bytes stream;
        for (std::uint8_t q = 0; q < 4; ++q)
            stream = stream + dataPacket(q, slice(records, q * 50u, 50));

        P parser;
        identify(parser);
        EXPECT_EQ(feed(parser, stream), expected) << "lead " << lead;
    }
}

// A record is cut by a packet boundary and the next packet to arrive is not
// the next in sequence (packets were lost, or the last came again). Where the
// cut falls between a channel's two bytes, that channel keeps its previous
// value rather than join a high byte from before the gap with a low byte from
// after it; any other cut joins the record as it comes (as it does when no
// packet is missing, above).
TEST(PacketStream, RecordCutByALoss_NeverJoinsAChannelsBytesAcrossTheGap)
{
    const Sample before{0x1111, 0x2222, 0x3333, 0x4444};
    const Sample cut{0xA1A2, 0xB1B2, 0xC1C2, 0xD1D2};
    for (std::size_t prefix = 1; prefix < 10; ++prefix) {
        const Bytes first = dataPacket(20, Bytes(40 - prefix, 0) + record(before) + slice(record(cut), 0, prefix));
        const Bytes second = slice(record(cut), prefix, 10 - prefix) + Bytes(40 + prefix, 0);
        Sample joined = cut;
        if (prefix >= 3 && prefix % 2 == 1)
            joined[(prefix - 3) / 2] = before[(prefix - 3) / 2];

        // Two packets lost (reported first, with the whole sample from before
        // the gap although a record is half received), and the last packet
        // again (not reported, same rule).
        for (std::uint8_t sequence : {23, 20}) {
            SCOPED_TRACE(std::to_string(prefix) + " bytes before the cut, sequence " + std::to_string(sequence));
            P parser;
            identify(parser);
            feed(parser, first);
            std::vector<Event> expected{{18 - prefix, 0, joined}};
            if (sequence == 23)
                expected.insert(expected.begin(), {8, 2, before});
            EXPECT_EQ(feed(parser, dataPacket(sequence, second)), expected);
        }
    }
}

// A reset abandons a record after its first channel. When a later record is
// cut inside that channel by a loss, the channel returns to the last complete
// sample, both bytes of it.
TEST(PacketStream, LossAfterAnAbandonedRecord_RestoresTheWholeChannel)
{
    const Sample complete{0x1111, 0x2222, 0x3333, 0x4444};
    P parser;
    identify(parser);
    feed(parser, dataPacket(1, Bytes(40, 0) + record(complete)));
    feed(parser, slice(dataPacket(2, Bytes{0x40, 0x0F, 0xAA, 0xBB} + Bytes(46, 0)), 0, 13));
    parser.reset();
    feed(parser, dataPacket(10, Bytes(47, 0) + Bytes{0x40, 0x0F, 0xCC}));
    EXPECT_EQ(feed(parser, dataPacket(14, Bytes{0xDD, 0x55, 0x55, 0x66, 0x66, 0x77, 0x77} + Bytes(43, 0))),
              (std::vector<Event>{{8, 3, complete}, {15, 0, {0x1111, 0x5555, 0x6666, 0x7777}}}));
}

// Quiet garbage can do nothing: it is no length byte, no byte of either
// address (12, 34, 35), no reply kind, and not 40 or 0F. Read as part of a
// header it fails the check; read as payload it never starts a record.
bool isQuiet(std::uint8_t b)
{
    for (std::uint8_t loud : {5, 6, 7, 58, 0x12, 0x34, 0x35, 0xC0, 0xC4, 0xC5, 0xCF, 0xD1, 0x40, 0x0F})
        if (b == loud)
            return false;
    return true;
}

// The stream is garbage, data packets and firmware replies. A packet may be
// damaged in two ways, and the test knows which packets are:
// - Cut short, before its kind byte or (data) at a record boundary, and
//   followed by enough quiet garbage to finish it: no byte of the packet is
//   left for garbage to stand in. Records before the cut still count.
// - Swallowed: noisy garbage holds length bytes, and each one that the parser
//   meets while waiting for a packet starts a false header whose destination
//   takes the next two bytes (and fails, since nothing puts 12 34 behind it).
//   When those are a packet's first bytes, the packet is lost and its other
//   bytes are garbage too.
// Every other packet must come through: each sample and loss report in
// order, and each firmware version.
TEST(PacketStream, LongRandomStream_EveryUndamagedPacketIsDecoded)
{
    std::mt19937 rng(20240611);
    const auto below = [&](unsigned n) { return rng() % n; };
    const auto quiet = [&] {
        std::uint8_t b;
        do
            b = std::uint8_t(rng());
        while (!isQuiet(b));
        return b;
    };
    int pending = 0; // bytes that a false header will still swallow
    const auto track = [&](std::uint8_t b) { pending = pending > 0 ? pending - 1 : P::isPacketStart(b) ? 2 : 0; };

    P parser;
    identify(parser);
    int lastSequence = -1, sequence = 0, firmware = 0;
    Sample last{};
    int samples = 0, losses = 0, swallowed = 0;
    for (int item = 0; item < 6000; ++item) {
        Bytes bytes;
        std::vector<Event> expected;
        const unsigned kind = below(10);
        if (kind < 3) {
            bytes.resize(below(13));
            for (std::uint8_t& b : bytes) {
                b = below(4) == 0 ? std::uint8_t(std::array<int, 4>{5, 6, 7, 58}[below(4)]) : quiet();
                track(b);
            }
        } else {
            const bool isData = kind < 9;
            const unsigned jump = below(20); // mostly the next number; some lost, some repeated
            sequence = (sequence + (jump < 16 ? 1 : jump < 18 ? 2 + jump % 5 : jump == 18 ? 0 : jump * 7)) & 0xFF;
            std::array<Sample, 5> five;
            for (Sample& s : five)
                s = randomSample(rng);
            const std::uint8_t value = std::uint8_t(rng());
            const Bytes whole = isData ? dataPacket(std::uint8_t(sequence), five, std::uint8_t(std::array<int, 3>{0, 1, 0x80}[below(3)]), value)
                                       : firmwareReply(HEADSET, value);
            std::size_t fed = whole.size();
            if (below(100) < 15) {
                const unsigned c = below(isData ? 10 : 5);
                fed = c < 5 ? c + 1 : 9 + 10 * (c - 5);
            }
            bytes = slice(whole, 0, fed);

            if (pending > 0) {
                ++swallowed;
                for (std::uint8_t b : bytes)
                    track(b);
            } else if (isData && fed >= 9) {
                const int lost = lastSequence < 0 ? 0 : sequence == lastSequence ? -1 : (sequence - lastSequence - 1) & 0xFF;
                lastSequence = sequence;
                if (lost > 0) {
                    expected.push_back({8, lost, last});
                    ++losses;
                }
                for (std::size_t r = 0; r < (fed - 9) / 10; ++r)
                    expected.push_back({18 + 10 * r, 0, last = five[r]});
            } else if (!isData && fed == whole.size()) {
                firmware = value;
            }
            if (fed < whole.size()) {
                for (int i = 0; i < 60; ++i)
                    bytes.push_back(quiet());
                pending = 0;
            }
        }

        ASSERT_EQ(feed(parser, bytes), expected) << "item " << item;
        ASSERT_EQ(parser.getOndiraFirmwareVersion(), firmware) << "item " << item;
        ASSERT_EQ(parser.getSequenceNumber(), lastSequence) << "item " << item;
        samples += int(expected.size());
    }
    // The stream did exercise what it is for.
    EXPECT_GT(samples, 10000);
    EXPECT_GT(losses, 200);
    EXPECT_GT(swallowed, 50);
}

} // namespace
