#include "PacketBytes.h"

#include <gtest/gtest.h>

#include <string>

namespace ondira {

// Puts the machines into states that no input can reach.
class ZAREProtocolTestAccess
{
public:
    static void setStates(ZAREProtocol& parser, std::uint8_t receive, std::uint8_t sample)
    {
        parser.receiveState = receive;
        parser.sampleState = sample;
    }
};

} // namespace ondira

using namespace protocol_test;

namespace {

const Sample A{0x8000, 0x8001, 0x7FFF, 0x0010};
const Sample B{1, 2, 3, 4};
const Sample C{0xFFFF, 0, 0x0102, 0xA0B0};
const Sample D{1000, 20000, 30000, 40000};
const Sample E{0x4040, 0x0F0F, 0x400F, 0x3A05}; // sync and length bytes inside
const std::array<Sample, 5> FIVE{A, B, C, D, E};
const std::vector<Sample> ALL_FIVE(FIVE.begin(), FIVE.end());

/// Dongle and headset channels, dongle and headset firmware versions,
/// acknowledgement, sequence number, offset-change sequence, loss count.
using Fields = std::array<int, 8>;
const Fields NONE{100, 100, 0, 0, 1, -1, -1, 0}; // after construction and reset

Fields fields(P& p)
{
    return {p.getUsbTransmissionChannel(), p.getOndiraTransmissionChannel(), p.getUsbFirmwareVersion(),
            p.getOndiraFirmwareVersion(), p.getChannelAck(), p.getSequenceNumber(),
            p.getOffsetChangeSequence(), p.getLostPackets()};
}

// The example packets of the wire format, byte for byte.
TEST(Parser, ExamplePackets_FillTheirFields)
{
    P parser;
    EXPECT_EQ(fields(parser), NONE);
    EXPECT_FALSE(parser.offsetChangeToggled());
    EXPECT_EQ(sampleOf(parser.getLastSample()), Sample{});

    feed(parser, {0x07, 0x00, 0x00, 0x00, 0x00, 0xCF, 0x12, 0x34});
    EXPECT_EQ(parser.getUsbId(), 0x1234);
    EXPECT_EQ(parser.getOndiraId(), 0x1235);
    parser.setChannelAck(0);
    feed(parser, Bytes{0x06, 0x12, 0x34, 0x12, 0x35, 0xC0, 0x17} + Bytes{0x06, 0x12, 0x34, 0x12, 0x34, 0xC4, 0x09}
                     + Bytes{0x05, 0x12, 0x34, 0x12, 0x35, 0xC5});
    EXPECT_EQ(fields(parser), (Fields{9, 100, 0, 23, 1, -1, -1, 0}));

    Bytes data{0x3A, 0x12, 0x34, 0x12, 0x35, 0xD1, 0x07, 0x01, 0x05};
    std::vector<Event> expected;
    for (std::size_t i = 0; i < 5; ++i) {
        data = data + Bytes{0x40, 0x0F, 0x80, 0x00, 0x80, 0x01, 0x7F, 0xFF, 0x00, 0x10};
        expected.push_back({18 + 10 * i, 0, {32768, 32769, 32767, 16}}); // at each record's last byte
    }
    EXPECT_EQ(feed(parser, data), expected);
    EXPECT_EQ(fields(parser), (Fields{9, 100, 0, 23, 1, 7, 5, 0}));
    EXPECT_TRUE(parser.offsetChangeToggled());
}

TEST(Parser, Reset_ForgetsRepliesAndAHalfPacket_KeepsAddressesAndLastSample)
{
    P parser;
    identify(parser);
    feed(parser, firmwareReply(DONGLE, 41) + firmwareReply(HEADSET, 42) + parameterReply(DONGLE, 15)
                     + parameterReply(HEADSET, 16) + dataPacket(9, FIVE, 1, 4));
    parser.setChannelAck(0);
    ASSERT_EQ(fields(parser), (Fields{15, 16, 41, 42, 0, 9, 4, 0}));
    ASSERT_TRUE(parser.offsetChangeToggled());

    // Cut right after a loss report: neither the count nor the rest of the
    // packet may outlive the reset.
    const Bytes next = dataPacket(12, {A, B, C, D, A});
    ASSERT_EQ(feed(parser, slice(next, 0, 9)).size(), 1u);
    parser.reset();
    EXPECT_EQ(fields(parser), NONE);
    EXPECT_FALSE(parser.offsetChangeToggled());
    EXPECT_EQ(parser.getUsbId(), DONGLE);
    EXPECT_EQ(parser.getOndiraId(), HEADSET);
    EXPECT_EQ(sampleOf(parser.getLastSample()), E);
    EXPECT_TRUE(feed(parser, slice(next, 9, 50)).empty());

    // Toggle and toggle seen are both false again: a set toggle is a change.
    // The first packet after a reset reports no loss.
    EXPECT_EQ(samplesOf(feed(parser, dataPacket(11, FIVE, 1))), ALL_FIVE);
    EXPECT_TRUE(parser.offsetChangeToggled());
}

TEST(Parser, IsPacketStart_OnlyForTheFourLengthBytes)
{
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(P::isPacketStart(std::uint8_t(b)), b == 5 || b == 6 || b == 7 || b == 58) << b;
}

TEST(Parser, HeaderChecks_DropTheFailingByte_AndTheKindSetsTheExtent)
{
    P parser;
    identify(parser);
    // Garbage, then wrong destination, foreign source, unknown kind.
    feed(parser, Bytes{0x00, 0xFF, 0x05, 0x99, 0x99, 0x3A, 0x00, 0x01, 0xC0, 0x17}
                     + firmwareReply(HEADSET, 2, HEADSET) + firmwareReply(0x1236, 3)
                     + packet(6, DONGLE, HEADSET, 0xC1, {4}));
    EXPECT_EQ(fields(parser), NONE);

    // The byte that fails a check is not looked at again as a packet start:
    // if it were, the reply behind it would be read.
    const Bytes tail{0x12, 0x34, 0x12, 0x35, 0xC0, 0x09};
    feed(parser, Bytes{0x3A, 0x00, 0x06} + tail + Bytes{0x3A, 0x12, 0x34, 0x00, 0x06} + tail
                     + packet(6, DONGLE, HEADSET, 0x06) + tail);
    EXPECT_EQ(parser.getOndiraFirmwareVersion(), 0);
    // The byte after it is.
    feed(parser, Bytes{0x3A, 0x00, 0x00} + firmwareReply(HEADSET, 1));
    EXPECT_EQ(parser.getOndiraFirmwareVersion(), 1);

    // A data packet with length byte 5 is still 59 bytes long, a parameter
    // reply with 58 is 7, and an acknowledgement ends at its kind byte: the
    // packet right behind each is read.
    Bytes data = dataPacket(3, FIVE);
    data[0] = 5;
    Bytes parameter = parameterReply(HEADSET, 12);
    parameter[0] = 58;
    parser.setChannelAck(0);
    const std::vector<Event> events = feed(parser, data + firmwareReply(HEADSET, 33) + parameter
                                                       + packet(5, DONGLE, HEADSET, P::REPLY_SET_ACK)
                                                       + parameterReply(DONGLE, 11));
    EXPECT_EQ(samplesOf(events), ALL_FIVE);
    EXPECT_EQ(fields(parser), (Fields{11, 12, 0, 33, 1, 3, 0, 0}));
}

TEST(Parser, AddressRules_BeforeAndAfterIdentification)
{
    P parser;
    // Both addresses 0: only 0 -> 0 is accepted, and counts as the headset's.
    feed(parser, firmwareReply(0, 17, 0) + firmwareReply(DONGLE, 18, DONGLE));
    EXPECT_EQ(parser.getOndiraFirmwareVersion(), 17);
    EXPECT_EQ(parser.getUsbFirmwareVersion(), 0);

    identify(parser);
    feed(parser, firmwareReply(0, 19, 0));
    EXPECT_EQ(parser.getOndiraFirmwareVersion(), 17);

    // clearUsbId keeps the headset address: 0 -> 0 is now the dongle.
    parser.clearUsbId();
    EXPECT_EQ(parser.getUsbId(), 0);
    EXPECT_EQ(parser.getOndiraId(), HEADSET);
    feed(parser, firmwareReply(0, 21, 0) + firmwareReply(HEADSET, 22, 0));
    EXPECT_EQ(parser.getUsbFirmwareVersion(), 21);
    EXPECT_EQ(parser.getOndiraFirmwareVersion(), 22);

    // The headset address wraps: 0xFFFF + 1 is 0.
    feed(parser, identityReply(0xFFFF));
    EXPECT_EQ(parser.getUsbId(), 0xFFFF);
    EXPECT_EQ(parser.getOndiraId(), 0);
    feed(parser, firmwareReply(0, 23, 0xFFFF));
    EXPECT_EQ(parser.getOndiraFirmwareVersion(), 23);
}

// The second packet reports the packets missing between two sequence
// numbers (modulo 256) at its byte 8, with the sample from before the gap;
// its next byte clears the count. A repeat gives -1, never reported.
TEST(Parser, LossBetweenTwoDataPackets_ReportedAtByte8_ClearedByTheNextByte)
{
    const struct { int first, second, lost; } cases[] = {
        {10, 13, 2}, {10, 11, 0}, {254, 0, 1}, {255, 0, 0}, {7, 7, -1}, {200, 100, 155}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
        P parser;
        identify(parser);
        feed(parser, dataPacket(std::uint8_t(c.first), FIVE));
        const Bytes second = dataPacket(std::uint8_t(c.second), FIVE);
        const std::vector<Event> reported = feed(parser, slice(second, 0, 9));
        EXPECT_EQ(reported, c.lost > 0 ? (std::vector<Event>{{8, c.lost, E}}) : std::vector<Event>());
        EXPECT_EQ(parser.getLostPackets(), c.lost);
        parser.processByte(second[9]);
        EXPECT_EQ(parser.getLostPackets(), 0);
        EXPECT_EQ(parser.getSequenceNumber(), c.second);
    }
}

TEST(Parser, SetSequenceNumber_MinusOneForgetsTheLastPacket_OnlyItsLow16BitsCount)
{
    P parser;
    identify(parser);
    feed(parser, dataPacket(200, FIVE));
    parser.setSequenceNumber(-1); // what the engine does after a start: no loss reported
    EXPECT_EQ(samplesOf(feed(parser, dataPacket(90, FIVE))), ALL_FIVE);
    parser.setSequenceNumber(0x10005);
    EXPECT_EQ(parser.getSequenceNumber(), 5);
}

TEST(Parser, Decoder_WaitsFor40_0F_AndA40DoesNotRestartItself)
{
    P parser;
    identify(parser);
    // In 40 40 0F the second 40 is the wrong second byte and is not looked at
    // again: the record-like bytes after it must not be decoded.
    const Bytes payload = Bytes{0x00, 0x0F, 0x40, 0x40, 0x0F, 1, 2, 3, 4, 5, 6, 7, 8} + record(A)
                          + record(B) + record(C) + Bytes(7, 0x00);
    EXPECT_EQ(samplesOf(feed(parser, dataPacket(1, payload))), (std::vector<Sample>{A, B, C}));
}

TEST(Parser, OffsetChangeToggled_OncePerChangeOfTheToggleByte)
{
    P parser;
    identify(parser);
    const std::uint8_t toggles[] = {0, 1, 1, 0, 0, 5, 1, 0};
    const bool changed[] = {false, true, false, true, false, true, false, true};
    for (std::uint8_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(int(i));
        feed(parser, dataPacket(i, FIVE, toggles[i], i));
        EXPECT_EQ(parser.offsetChangeToggled(), changed[i]);
        EXPECT_FALSE(parser.offsetChangeToggled());
        EXPECT_EQ(parser.getOffsetChangeSequence(), i);
    }
}

TEST(Parser, ImpossibleStates_StartOver_OnlyTheReceiveStateSaysSo)
{
    P parser;
    identify(parser);
    ondira::ZAREProtocolTestAccess::setStates(parser, 14, 0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(parser.processByte(0x06));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "LOG: Went to default state");

    // Back to waiting for a packet start. A sample state beyond the last only
    // resets the decoder, so the first record (its 40 taken) is lost.
    ondira::ZAREProtocolTestAccess::setStates(parser, 0, 10);
    testing::internal::CaptureStdout();
    const std::vector<Event> events = feed(parser, dataPacket(1, FIVE));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(samplesOf(events), (std::vector<Sample>{B, C, D, E}));
}

} // namespace
