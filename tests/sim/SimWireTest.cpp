// What the virtual dongle and headset put on the wire: replies, data packets,
// offset confirmation, the signal and its pacing.

#include "SimPort.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>

using namespace sim_test;

namespace {

using Clock = std::chrono::steady_clock;

using Channels = std::array<int, 4>;
const Channels LEVELS{32768, 700, 64600, 30000}; // by default; index 1 and 2 outside 1000..64000

/// The four channel values of a record of a packet in a stream of packets.
Channels channels(const Bytes& stream, std::size_t packet, std::size_t record)
{
    const std::size_t at = PACKET_SIZE * packet + 9 + 10 * record + 2;
    Channels values;
    for (std::size_t i = 0; i < 4; ++i)
        values[i] = stream.at(at + 2 * i) << 8 | stream.at(at + 2 * i + 1);
    return values;
}

double elapsedMs(Clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

} // namespace

TEST(SimReplies, RequestsAnsweredToTheirSenderWithSwappedAddresses)
{
    configure("");
    void* port = openPort();
    ASSERT_NE(port, nullptr);
    const struct
    {
        Bytes request, reply;
    } exchanges[] = {
        {IDENTITY_REQUEST, {0x07, 0x00, 0x00, 0x00, 0x00, 0xCF, 0x12, 0x34}},
        {command(0xA0, DONGLE), {0x06, 0x12, 0x34, 0x12, 0x34, 0xC0, 12}},
        {command(0xA0), {0x06, 0x12, 0x34, 0x12, 0x35, 0xC0, 23}},
        {command(0xA8, DONGLE, DONGLE, {2}), {0x06, 0x12, 0x34, 0x12, 0x34, 0xC4, 9}},
        {command(0xA9, HEADSET, DONGLE, {2, 5}), {0x05, 0x12, 0x34, 0x12, 0x35, 0xC5}},
        {command(0xA8, HEADSET, DONGLE, {2}), {0x06, 0x12, 0x34, 0x12, 0x35, 0xC4, 5}},
    };
    std::size_t written = 0;
    for (const auto& exchange : exchanges) {
        SCOPED_TRACE("command " + std::to_string(exchange.request[5]));
        EXPECT_EQ(send(port, exchange.request), 0u);
        EXPECT_EQ(receive(port, exchange.reply.size()), exchange.reply);
        written += 126 + exchange.request.size();
    }
    EXPECT_EQ(state().headsetChannel, 5);

    // Nobody answers at a foreign address.
    EXPECT_EQ(send(port, command(0xA0, 0x4444)), 0u);
    EXPECT_TRUE(receive(port, 1, 0).empty());

    // Every command is recorded with the zeros before it, every byte kept.
    ASSERT_EQ(ondira_sim_command_count(0), 7);
    OndiraSimCommand recorded{};
    ASSERT_EQ(ondira_sim_get_command(0, 4, &recorded), 0);
    EXPECT_EQ(recorded.zeroPrefix, 126u);
    EXPECT_EQ(Bytes(recorded.bytes, recorded.bytes + recorded.length), exchanges[4].request);
    EXPECT_EQ(ondira_sim_written(0, nullptr, 0), written + 126 + 6);
}

TEST(SimStream, PacketsCarryLayoutAndSequenceModulo256_UntilStopped)
{
    configure("fast=1");
    void* port = openPort();
    ASSERT_EQ(send(port, START_STREAM), 0u);
    for (int n = 0; n < 300; ++n) {
        SCOPED_TRACE("packet " + std::to_string(n));
        const Bytes packet = receive(port, PACKET_SIZE);
        ASSERT_EQ(packet.size(), PACKET_SIZE);
        ASSERT_EQ(Bytes(packet.begin(), packet.begin() + 9),
                  (Bytes{0x3A, 0x12, 0x34, 0x12, 0x35, 0xD1, std::uint8_t(n), 0, 0}));
        for (int record = 0; record < 5; ++record)
            ASSERT_EQ(Bytes(packet.begin() + 9 + 10 * record, packet.begin() + 11 + 10 * record),
                      (Bytes{0x40, 0x0F}));
    }
    EXPECT_EQ(state().packetsSent, 300u);

    ASSERT_EQ(send(port, registerWrite(0x200, 0)), 0u);
    EXPECT_FALSE(state().streaming);
    EXPECT_TRUE(receive(port, 1, 0).empty());
}

// Without rhythm and noise each channel is its level. The headset applies an
// offset write at its next packet, flips the toggle from then on and names
// that packet in byte 8.
TEST(SimStream, OffsetWriteMovesTheLevel_FlipsToggleAndNamesThePacketThatAppliedIt)
{
    configure("fast=1 alpha=0 noise=0");
    void* port = openPort();
    send(port, START_STREAM);
    EXPECT_EQ(channels(receive(port, 3 * PACKET_SIZE), 2, 4), LEVELS);

    // Channel index 1 lowered by 10: its level rises by 10 x 40.
    send(port, registerWrite(0x402, 502));
    Bytes packet = receive(port, PACKET_SIZE);
    EXPECT_EQ(Bytes(packet.begin() + 6, packet.begin() + 9), (Bytes{3, 1, 3}));
    EXPECT_EQ(channels(packet, 0, 0), (Channels{32768, 1100, 64600, 30000}));
    packet = receive(port, PACKET_SIZE);
    EXPECT_EQ(Bytes(packet.begin() + 7, packet.begin() + 9), (Bytes{1, 3}));
    EXPECT_EQ(state().offsets[1], 502);

    send(port, registerWrite(0x406, 600));
    packet = receive(port, PACKET_SIZE);
    EXPECT_EQ(Bytes(packet.begin() + 7, packet.begin() + 9), (Bytes{0, 5}));
    EXPECT_EQ(channels(packet, 0, 4), (Channels{32768, 1100, 64600, 30000 - 88 * 40}));
}

// Rhythm and noise leave each channel's mean at its level; the seed decides them.
TEST(SimSignal, NoiseAroundTheLevels_TheSameForTheSameSeed)
{
    const auto record = [](const char* config) {
        configure(config);
        void* port = openPort();
        send(port, START_STREAM);
        return receive(port, 10 * PACKET_SIZE);
    };
    const Bytes stream = record("fast=1 seed=5");
    std::array<double, 4> means{};
    for (std::size_t p = 0; p < 10; ++p)
        for (std::size_t r = 0; r < 5; ++r)
            for (std::size_t c = 0; c < 4; ++c)
                means[c] += channels(stream, p, r)[c] / 50.0;
    for (std::size_t c = 0; c < 4; ++c)
        EXPECT_NEAR(means[c], LEVELS[c], 100) << "channel index " << c;

    EXPECT_EQ(record("fast=1 seed=5"), stream);
    EXPECT_NE(record("fast=1 seed=6"), stream);
}

// ondira_sim_sample gives every sample of every packet, the lost ones and
// those still to come included, for the device's own seed and settings.
TEST(SimSignal, SampleFunctionRecomputesEveryPacketSent)
{
    configure("fast=1 devices=2 drop=1,2 1.hum=50 1.address=0x1234 seed=9");
    const auto expected = [](int device, std::uint64_t n) {
        unsigned short raw[4] = {};
        EXPECT_EQ(ondira_sim_sample(device, n, raw), 0);
        return Channels{raw[0], raw[1], raw[2], raw[3]};
    };
    const Channels ahead = expected(0, 5 * 7 + 3);
    for (int device = 0; device < 2; ++device) {
        SCOPED_TRACE("device " + std::to_string(device));
        void* port = openPort(device);
        send(port, START_STREAM);
        const Bytes stream = receive(port, 8 * PACKET_SIZE);
        ASSERT_EQ(stream.size(), 8 * PACKET_SIZE);
        for (std::size_t p = 0; p < 8; ++p) {
            const std::uint8_t number = stream[PACKET_SIZE * p + 6]; // packets 1 and 2 were lost
            EXPECT_EQ(number, p == 0 ? 0 : p + 2);
            for (std::size_t r = 0; r < 5; ++r)
                EXPECT_EQ(channels(stream, p, r), expected(device, 5u * number + r)) << "packet " << p;
        }
    }
    EXPECT_EQ(expected(0, 5 * 7 + 3), ahead);
    EXPECT_NE(expected(1, 5 * 7 + 3), ahead);
    unsigned short raw[4];
    EXPECT_EQ(ondira_sim_sample(2, 0, raw), -1);
}

TEST(SimPacing, StreamRunsAt50PacketsPerSecondOfModelTime)
{
    for (const double timescale : {1.0, 10.0}) {
        SCOPED_TRACE("timescale " + std::to_string(timescale));
        configure(("timescale=" + std::to_string(timescale)).c_str());
        void* port = openPort();
        send(port, START_STREAM);
        const auto start = Clock::now();
        std::size_t bytes = 0;
        while (elapsedMs(start) < 400)
            bytes += receive(port, PACKET_SIZE, 0).size();
        const double before = elapsedMs(start);
        std::uint32_t waiting = 0, tx = 0, events = 0;
        FT_GetStatus(port, &waiting, &tx, &events);
        bytes += receive(port, waiting, 0).size();
        const double after = elapsedMs(start);

        // Packet n is complete 5 ms (radio) + 20 ms x (n + 1) + 4.6 ms (line) after the start.
        const double packets = double(bytes / PACKET_SIZE);
        EXPECT_GE(packets, (before * timescale - 30) / 20 - 1);
        EXPECT_LE(packets, after * timescale / 20);
    }
}

// A read waits for its bytes no longer than its timeout, and a waiting read
// does not hold up writes from another thread.
TEST(SimPacing, BytesArriveAtTheBaudRate_ReadWaitsUpToItsTimeoutWithoutBlockingWrites)
{
    configure("");
    void* port = openPort(0, 300, 5000);
    auto start = Clock::now();
    send(port, IDENTITY_REQUEST);
    // Eight bytes of ten bits at 300 baud take 267 ms.
    EXPECT_EQ(receive(port, 8, 0).size(), 8u);
    EXPECT_GE(elapsedMs(start), 265);
    EXPECT_LT(elapsedMs(start), 4000);

    FT_SetTimeouts(port, 150, 1000);
    start = Clock::now();
    EXPECT_TRUE(receive(port, 1, 0).empty());
    EXPECT_GE(elapsedMs(start), 150);

    FT_SetTimeouts(port, 10000, 1000);
    Bytes received;
    std::thread reader([&] { received = receive(port, 16, 0); });
    start = Clock::now();
    send(port, IDENTITY_REQUEST);
    send(port, IDENTITY_REQUEST);
    reader.join();
    EXPECT_EQ(received.size(), 16u);
    EXPECT_LT(elapsedMs(start), 5000);
}

// The moment each data packet's last byte reached the receive queue is kept:
// 5 ms of radio, 20 ms for the five samples, then 59 bytes on the line.
TEST(SimPacing, PacketArrivalIsWhenItsLastByteEnteredTheQueue_LostOnesHaveNone)
{
    configure("timescale=10 drop=2");
    void* port = openPort(0, 115200);
    const double before = ondira_sim_now_ms();
    send(port, START_STREAM);
    const double after = ondira_sim_now_ms();
    EXPECT_EQ(receive(port, 4 * PACKET_SIZE).size(), 4 * PACKET_SIZE);
    const double lineMs = 59 * 10 * 1000.0 / 115200; // 5.1 ms
    double arrived[5] = {};
    for (unsigned long long n : {0ull, 1ull, 3ull, 4ull})
        ASSERT_EQ(ondira_sim_packet_arrival(0, n, &arrived[n]), 0) << n;
    const double first = (5 + 20 + lineMs) / 10; // after the start command, in real ms
    EXPECT_GE(arrived[0], before + first - 0.01);
    EXPECT_LE(arrived[0], after + first + 0.01);
    EXPECT_NEAR(arrived[1] - arrived[0], 20.0 / 10, 0.01);
    EXPECT_NEAR(arrived[4] - arrived[3], 20.0 / 10, 0.01);
    double none = 0;
    EXPECT_EQ(ondira_sim_packet_arrival(0, 2, &none), -1);   // dropped on the radio
    EXPECT_EQ(ondira_sim_packet_arrival(0, 100, &none), -1); // not sent yet
    EXPECT_EQ(ondira_sim_packet_arrival(7, 0, &none), -1);   // no such device
}
