// What the virtual dongle and headset put on the wire: replies, data packets,
// offset confirmation, the signal and its pacing.

#include "SimPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace sim_test;

namespace {

using Clock = std::chrono::steady_clock;

void configure(const char* text)
{
    ASSERT_EQ(ondira_sim_configure(text), 0) << ondira_sim_last_error();
}

int channel(const Bytes& packet, int record, int index)
{
    const std::size_t at = 9 + 10 * std::size_t(record) + 2 + 2 * std::size_t(index);
    return packet[at] << 8 | packet[at + 1];
}

double elapsedMs(Clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

} // namespace

TEST(SimReplies, RequestsAnsweredToTheirSenderWithSwappedAddresses)
{
    configure("devices=2");
    Port port;
    ASSERT_TRUE(port.isOpen());
    const auto exchange = [&](const Bytes& command, std::size_t replySize) {
        EXPECT_EQ(port.send(command), 0u);
        return port.readExactly(replySize);
    };

    EXPECT_EQ(exchange(shortCommand(0, 0, 0xB7), 8), (Bytes{0x07, 0x00, 0x00, 0x00, 0x00, 0xCF, 0x12, 0x34}));
    EXPECT_EQ(exchange(shortCommand(DONGLE, DONGLE, 0xA0), 7), (Bytes{0x06, 0x12, 0x34, 0x12, 0x34, 0xC0, 12}));
    EXPECT_EQ(exchange(shortCommand(HEADSET, DONGLE, 0xA0), 7), (Bytes{0x06, 0x12, 0x34, 0x12, 0x35, 0xC0, 23}));
    EXPECT_EQ(exchange(getParameter(DONGLE, DONGLE), 7), (Bytes{0x06, 0x12, 0x34, 0x12, 0x34, 0xC4, 9}));
    EXPECT_EQ(exchange(setParameter(HEADSET, DONGLE, 5), 6), (Bytes{0x05, 0x12, 0x34, 0x12, 0x35, 0xC5}));
    EXPECT_EQ(exchange(getParameter(HEADSET, DONGLE), 7), (Bytes{0x06, 0x12, 0x34, 0x12, 0x35, 0xC4, 5}));
    EXPECT_EQ(state().headsetChannel, 5);
    EXPECT_EQ(state().dongleChannel, 9);

    // Nobody answers at a foreign address.
    EXPECT_EQ(port.send(shortCommand(0x4444, DONGLE, 0xA0)), 0u);
    EXPECT_TRUE(port.read(1).empty());

    // Every command is recorded with the zeros before it, every byte kept.
    ASSERT_EQ(ondira_sim_command_count(0), 7);
    OndiraSimCommand command{};
    ASSERT_EQ(ondira_sim_get_command(0, 4, &command), 0);
    EXPECT_EQ(command.zeroPrefix, 126u);
    EXPECT_EQ(Bytes(command.bytes, command.bytes + command.length), setParameter(HEADSET, DONGLE, 5));
    EXPECT_EQ(ondira_sim_written(0, nullptr, 0), 7 * 126u + 6 + 6 + 6 + 7 + 8 + 7 + 6);

    // The second device has its own dongle address.
    Port second(1);
    EXPECT_EQ(second.send(shortCommand(0, 0, 0xB7)), 0u);
    EXPECT_EQ(second.readExactly(8), (Bytes{0x07, 0x00, 0x00, 0x00, 0x00, 0xCF, 0x12, 0x44}));
}

TEST(SimReplies, SilentDongleHeadsetOffAndForeignDevices_StayQuiet)
{
    configure("silent=1");
    {
        Port port;
        port.send(shortCommand(0, 0, 0xB7));
        port.send(shortCommand(DONGLE, DONGLE, 0xA0));
        port.send(shortCommand(HEADSET, DONGLE, 0xA0));
        // Only the headset's reply comes through.
        EXPECT_EQ(port.readExactly(7), (Bytes{0x06, 0x12, 0x34, 0x12, 0x35, 0xC0, 23}));
        EXPECT_TRUE(port.read(1).empty());
    }

    configure("headset=off");
    {
        Port port;
        port.send(shortCommand(HEADSET, DONGLE, 0xA0));
        port.send(startStream());
        port.send(shortCommand(DONGLE, DONGLE, 0xA0));
        EXPECT_EQ(port.readExactly(7), (Bytes{0x06, 0x12, 0x34, 0x12, 0x34, 0xC0, 12}));
        EXPECT_TRUE(port.read(1).empty());
        EXPECT_FALSE(state().streaming);
    }

    configure("devices=2 dongle_index=1");
    Port plain(0);
    Port dongle(1);
    plain.send(shortCommand(0, 0, 0xB7));
    dongle.send(shortCommand(0, 0, 0xB7));
    EXPECT_EQ(dongle.readExactly(8).size(), 8u);
    EXPECT_TRUE(plain.read(1).empty());
}

TEST(SimStream, PacketsCarryLayoutAndSequenceModulo256)
{
    configure("fast=1");
    Port port;
    ASSERT_EQ(port.send(startStream()), 0u);
    for (int n = 0; n < 300; ++n) {
        const Bytes packet = port.readExactly(PACKET_SIZE);
        ASSERT_EQ(packet.size(), PACKET_SIZE) << "packet " << n;
        ASSERT_EQ(Bytes(packet.begin(), packet.begin() + 9),
                  (Bytes{0x3A, 0x12, 0x34, 0x12, 0x35, 0xD1, std::uint8_t(n), 0, 0}))
            << "packet " << n;
        for (int record = 0; record < 5; ++record) {
            ASSERT_EQ(packet[9 + 10 * record], 0x40);
            ASSERT_EQ(packet[10 + 10 * record], 0x0F);
        }
    }
    EXPECT_EQ(state().packetsSent, 300u);

    ASSERT_EQ(port.send(stopStream()), 0u);
    EXPECT_FALSE(state().streaming);
    EXPECT_TRUE(port.read(1).empty());
}

TEST(SimStream, LostPacketsConsumeTheirSequenceNumbers)
{
    configure("fast=1 drop=2,3,7");
    Port port;
    port.send(startStream());
    std::vector<int> sequence;
    for (int i = 0; i < 5; ++i)
        sequence.push_back(port.readExactly(PACKET_SIZE).at(6));
    EXPECT_EQ(sequence, (std::vector<int>{0, 1, 4, 5, 6}));
    EXPECT_EQ(port.readExactly(PACKET_SIZE).at(6), 8);
    EXPECT_EQ(state().packetsLost, 3u);

    configure("fast=1 loss=1");
    Port lossy;
    lossy.send(startStream());
    EXPECT_TRUE(lossy.read(1).empty());
    EXPECT_GT(state().packetsLost, 0u);
    EXPECT_EQ(state().packetsSent, 0u);
}

TEST(SimStream, GarbageComesInRunsOfOneToSixteenBeforePackets)
{
    configure("fast=1 garbage=1 seed=7");
    Port port;
    port.send(startStream());
    const Bytes stream = port.readExactly(4000);
    const Bytes header = {0x3A, 0x12, 0x34, 0x12, 0x35, 0xD1};
    std::size_t position = 0;
    int packets = 0;
    for (;;) {
        const auto found = std::search(stream.begin() + std::ptrdiff_t(position), stream.end(), header.begin(), header.end());
        if (stream.end() - found < std::ptrdiff_t(PACKET_SIZE))
            break;
        const std::size_t gap = std::size_t(found - stream.begin()) - position;
        EXPECT_GE(gap, 1u);
        EXPECT_LE(gap, 16u);
        EXPECT_EQ(found[6], std::uint8_t(packets));
        position = std::size_t(found - stream.begin()) + PACKET_SIZE;
        ++packets;
    }
    EXPECT_GT(packets, 40);
}

TEST(SimStream, OffsetWriteFlipsToggleAndNamesThePacketThatAppliedIt)
{
    configure("fast=1 alpha=0 noise=0");
    Port port;
    port.send(startStream());
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(channel(port.readExactly(PACKET_SIZE), 0, 1), 700);

    // Channel index 1 lowered by 10: its level rises by 10 x 40.
    port.send(registerWrite(0x402, 502));
    Bytes packet = port.readExactly(PACKET_SIZE);
    EXPECT_EQ(packet[6], 3);
    EXPECT_EQ(packet[7], 1);
    EXPECT_EQ(packet[8], 3);
    EXPECT_EQ(channel(packet, 0, 1), 1100);
    EXPECT_EQ(channel(packet, 0, 2), 64600);
    packet = port.readExactly(PACKET_SIZE);
    EXPECT_EQ(packet[7], 1);
    EXPECT_EQ(packet[8], 3);
    EXPECT_EQ(state().offsets[1], 502);

    port.send(registerWrite(0x406, 600));
    packet = port.readExactly(PACKET_SIZE);
    EXPECT_EQ(packet[7], 0);
    EXPECT_EQ(packet[8], 5);
    EXPECT_EQ(channel(packet, 4, 3), 30000 - 88 * 40);
}

TEST(SimSignal, DefaultsLeaveChannels2And3OutOfBand_SeedDecidesTheNoise)
{
    const auto record = [](const char* config, int packets) {
        configure(config);
        Port port;
        port.send(startStream());
        return port.readExactly(PACKET_SIZE * std::size_t(packets));
    };
    const Bytes stream = record("fast=1", 50);
    ASSERT_EQ(stream.size(), 50 * PACKET_SIZE);
    double sums[4] = {};
    for (std::size_t p = 0; p < 50; ++p) {
        const Bytes packet(stream.begin() + std::ptrdiff_t(p * PACKET_SIZE), stream.begin() + std::ptrdiff_t((p + 1) * PACKET_SIZE));
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 4; ++c)
                sums[c] += channel(packet, r, c);
    }
    EXPECT_NEAR(sums[0] / 250, 32768, 100);
    EXPECT_LT(sums[1] / 250, 1000);
    EXPECT_GT(sums[2] / 250, 64000);
    EXPECT_NEAR(sums[3] / 250, 30000, 100);

    EXPECT_EQ(record("fast=1 seed=5", 10), record("fast=1 seed=5", 10));
    EXPECT_NE(record("fast=1 seed=5", 10), record("fast=1 seed=6", 10));
}

TEST(SimPacing, StreamRunsAt50PacketsPerSecondOfModelTime)
{
    for (const double timescale : {1.0, 10.0}) {
        const std::string config = "timescale=" + std::to_string(timescale);
        configure(config.c_str());
        Port port;
        port.send(startStream());
        const auto start = Clock::now();
        std::size_t bytes = 0;
        while (elapsedMs(start) < 400)
            bytes += port.read(PACKET_SIZE).size();
        const double before = elapsedMs(start);
        bytes += port.read(port.available()).size();
        const double after = elapsedMs(start);

        // Packet n is complete 5 ms (radio) + 20 ms x (n + 1) + 4.6 ms (line) after the start.
        const double packets = double(bytes / PACKET_SIZE);
        EXPECT_GE(packets, (before * timescale - 30) / 20 - 1) << "timescale " << timescale;
        EXPECT_LE(packets, after * timescale / 20) << "timescale " << timescale;
    }
}

TEST(SimPacing, BytesArriveAtTheBaudRate_ReadReturnsAtItsTimeout)
{
    configure("");
    Port slow(0, 300, 5000);
    auto start = Clock::now();
    slow.send(shortCommand(0, 0, 0xB7));
    // Eight bytes of ten bits at 300 baud take 267 ms.
    EXPECT_EQ(slow.read(8).size(), 8u);
    EXPECT_GE(elapsedMs(start), 265);
    EXPECT_LT(elapsedMs(start), 4000);

    FT_SetTimeouts(slow.get(), 150, 1000);
    start = Clock::now();
    EXPECT_TRUE(slow.read(1).empty());
    EXPECT_GE(elapsedMs(start), 150);
}

TEST(SimPacing, WaitingReadDoesNotHoldUpWrites)
{
    configure("");
    Port port(0, 128000, 10000);
    Bytes received;
    std::thread reader([&] { received = port.read(16); });
    const auto start = Clock::now();
    port.send(shortCommand(0, 0, 0xB7));
    port.send(shortCommand(0, 0, 0xB7));
    reader.join();
    EXPECT_EQ(received.size(), 16u);
    EXPECT_LT(elapsedMs(start), 5000);
}
