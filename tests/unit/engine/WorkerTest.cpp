// The worker: its five error exits, the counters of empty polls and of stray
// samples, and the I/O lock that keeps command writes whole.

#include "EngineFixture.h"

#include "../protocol/PacketBytes.h"

namespace ondira_engine_test {
namespace {

using ondira_sim::EntryPoint;
using Worker = EngineTest;

constexpr std::uint16_t START = 4092;
constexpr std::uint16_t STOP = 0;

int identityRequests(FakeTransport& fake, int device)
{
    int count = 0;
    for (const Command& c : fake.commands(device))
        count += c.bytes.size() == 6 && c.bytes[5] == 0xB7;
    return count;
}

TEST_F(Worker, Exit0_ReadTimeoutRefused_WorkerEndsAndNothingIsIdentified)
{
    build("");
    fake->failWhen([this](EntryPoint entry) {
        return entry == ondira_sim::EP_SET_TIMEOUTS && engine->isWorkerThread();
    });
    EXPECT_FALSE(engine->openDevice());
    // The refusal is the device's sticky error: the identification fails at
    // its next request, if not at its first, and the device is closed again.
    EXPECT_LE(identityRequests(*fake, 0), 2);
    const Codes codes = events();
    EXPECT_GE(codes.size(), 2u);
    EXPECT_EQ(codes, Codes(codes.size(), StatusData::DEVICE_IO_ERROR));
    EXPECT_FALSE(engine->isWorkerRunning());
    EXPECT_FALSE(fake->state(0).open);
    // Closed, not stalled: a start finds no device.
    EXPECT_FALSE(engine->startStreaming());
    EXPECT_EQ(statuses.statuses().back(), StatusData::DEVICE_NOT_OPEN);
}

TEST_F(Worker, Exit1_ReadFails_WorkerEndsAndTheDeviceStaysOpen)
{
    open("");
    streamSamples(10);
    fake->failWhen([](EntryPoint entry) { return entry == ondira_sim::EP_READ; });
    ASSERT_TRUE(waitForStatus(StatusData::DEVICE_IO_ERROR));
    ASSERT_TRUE(waitUntil([&] { return !engine->isWorkerRunning(); }));
    EXPECT_EQ(events(), Codes{StatusData::DEVICE_IO_ERROR});
    EXPECT_TRUE(fake->state(0).open);
}

TEST_F(Worker, Exit2_StartResendFails_AfterTheStartsOwnEvent)
{
    open("");
    streamSamples(10);
    // Unplugged at a moment of fake time, never between a poll's status
    // query and its read (both happen at one moment).
    fake->setAt(fake->elapsedMs() + 300, 0, "unplug_after_ms=0");
    // The status query of an unplugged dongle reports nothing waiting, so the
    // poll is empty and the start command goes out again, and fails.
    ASSERT_TRUE(waitForStatus(StatusData::DEVICE_IO_ERROR, 2));
    ASSERT_TRUE(waitUntil([&] { return !engine->isWorkerRunning(); }));
    EXPECT_EQ(events(), (Codes{StatusData::DEVICE_IO_ERROR, StatusData::DEVICE_IO_ERROR}));
    EXPECT_TRUE(engine->isStreaming()); // the headset was never told to stop
}

TEST_F(Worker, Exit3_StopForStraySamplesFails)
{
    open("ignore_stop=1");
    streamSamples(10);
    ASSERT_TRUE(engine->stopStreaming());
    fake->failWhen([](EntryPoint entry) { return entry == ondira_sim::EP_WRITE; });
    ASSERT_TRUE(waitForStatus(StatusData::DEVICE_IO_ERROR, 2));
    ASSERT_TRUE(waitUntil([&] { return !engine->isWorkerRunning(); }));
    EXPECT_EQ(events(), (Codes{StatusData::DEVICE_IO_ERROR, StatusData::DEVICE_IO_ERROR}));
}

TEST_F(Worker, Exit4_FiftyOneStraySamples_EachFifthWithoutAStop)
{
    open("ignore_stop=1");
    streamSamples(10);
    ASSERT_TRUE(engine->stopStreaming());
    const std::size_t delivered = samples.sampleCount();
    ASSERT_TRUE(waitForStatus(StatusData::DEVICE_IO_ERROR));
    ASSERT_TRUE(waitUntil([&] { return !engine->isWorkerRunning(); }));
    // Stray samples 1-4, 6-9, ..., 46-49 get a stop command, 0, 5, ..., 45
    // none; the 51st ends the worker. None of them reaches the consumers.
    EXPECT_EQ(fake->streamCommands(0, STOP), 1 + 40);
    EXPECT_EQ(events(), Codes{StatusData::DEVICE_IO_ERROR});
    EXPECT_LE(samples.sampleCount(), delivered + 1); // at most the sample in flight at the stop
}

TEST_F(Worker, StraySamples_AnEmptyPollStartsTheCountAgain)
{
    open("ignore_stop=1");
    streamSamples(10);
    ASSERT_TRUE(engine->stopStreaming());
    // A 30-packet hole in the stray stream gives the worker empty polls.
    const OndiraSimDeviceState state = fake->state(0);
    const unsigned long long next = state.packetsSent + state.packetsLost;
    std::string drop = "drop=";
    for (unsigned long long n = next + 20; n < next + 50; ++n)
        drop += std::to_string(n) + (n + 1 < next + 50 ? "," : "");
    fake->set(0, drop);
    ASSERT_TRUE(waitForStatus(StatusData::DEVICE_IO_ERROR));
    EXPECT_GT(fake->streamCommands(0, STOP), 1 + 40);
}

// A stray sample is answered once per read; the rest of the read is parsed
// all the same, so that the parser keeps its place in the stream.
TEST_F(Worker, StraySample_TheRestOfItsPacketIsParsed_AReplyBehindItIsNotLost)
{
    open("");
    const protocol_test::Sample s{1, 2, 3, 4};
    fake->inject(0, protocol_test::dataPacket(7, {{s, s, s, s, s}}));
    EXPECT_EQ(engine->askOndiraFirmwareVersion(), 23);
    int requests = 0;
    for (const Command& c : fake->commands(0))
        requests += c.bytes[5] == 0xA0;
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(samples.sampleCount(), 0u);
}

TEST_F(Worker, EmptyPolls_StartIsSentAgain_TheFiftyFirstGivesUp)
{
    open("headset=off");
    ASSERT_TRUE(engine->startStreaming());
    ASSERT_TRUE(waitForStatus(StatusData::DEVICE_NOT_RESPONDING));
    // One start from the application, one more per empty poll but the last.
    EXPECT_EQ(fake->streamCommands(0, START), 51);
    EXPECT_FALSE(engine->isStreaming());
    EXPECT_EQ(events(), Codes{StatusData::DEVICE_NOT_RESPONDING});
    // The worker goes on polling without asking for the stream again.
    const long long then = fake->elapsedMs();
    ASSERT_TRUE(waitUntil([&] { return fake->elapsedMs() > then + 2000; }));
    EXPECT_EQ(fake->streamCommands(0, START), 51);
    EXPECT_TRUE(engine->isWorkerRunning());
}

TEST_F(Worker, EmptyPolls_ASampleInBetweenStartsTheCountAgain)
{
    open("headset=off");
    const long long t0 = fake->elapsedMs();
    fake->setAt(t0 + 300, 0, "headset=on");
    fake->setAt(t0 + 700, 0, "headset=off");
    ASSERT_TRUE(engine->startStreaming());
    ASSERT_TRUE(waitForStatus(StatusData::DEVICE_NOT_RESPONDING));
    ASSERT_GT(samples.sampleCount(), 0u);
    // Fifty starts after the last data the worker read, more before it.
    const long long lastRead = fake->readTimes().back();
    int after = 0;
    for (const Command& c : fake->commands(0))
        after += c.bytes.size() == 19 && c.bytes[15] == 0x0F && c.bytes[16] == 0xFC && c.atMs > lastRead;
    EXPECT_EQ(after, 50);
    EXPECT_GT(fake->streamCommands(0, START), 51);
}

// A command is 126 zero bytes and the command itself, written under the I/O
// lock: nothing the worker does may come between them or run alongside.
TEST_F(Worker, CommandWrites_HoldTheByteStream_NoPollRunsAlongside)
{
    open("");
    fake->holdPreambles(true); // each preamble waits for the worker to come in
    FakeTransport::Flow flow(*fake); // and the worker polls meanwhile
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(engine->startStreaming());
        ASSERT_TRUE(engine->stopStreaming());
    }
    EXPECT_TRUE(engine->isWorkerRunning());
    EXPECT_EQ(fake->overlaps(), 0);
}

} // namespace
} // namespace ondira_engine_test
