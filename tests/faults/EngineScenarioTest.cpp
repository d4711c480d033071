// Fault scenarios in fake time. Each streams from the virtual headset's model
// through the engine and accounts for every sample the headset sent: it
// reached the consumer in order with its value, or exactly one filler stands
// in its place, and the records lie exactly 4 ms apart. Fake time makes the
// accounting exact and a minute of stream take a fraction of a second; the
// bounds stated here are in fake time, i.e. what the engine itself waits.

#include "ScenarioFixture.h"

#include <algorithm>

namespace ondira_faults {
namespace {

using ondira_test::account;
using std::chrono::seconds;

/// A status consumer that notes the fake time at which `code` first arrived.
class EventClock : public IDataConsumer
{
public:
    EventClock(StatusData::statusCode code, FakeTransport& fake) : code(code), fake(fake) {}
    void receiveData(PData& data) override
    {
        const auto& status = *static_cast<const StatusData*>(data.getData());
        if (status.getCode() == code && at.load() < 0)
            at = fake.elapsedMs();
    }
    std::atomic<long long> at{-1};

private:
    const StatusData::statusCode code;
    FakeTransport& fake;
};

// --- Radio loss, bursts and garbage: counted by sequence number -------------

TEST_F(Scenario, LossBurstsAndGarbage_EverySampleArrivesInOrderOrIsOneFiller)
{
    struct Case {
        const char* name;
        std::string config;
        long long droppedPackets; // -1: random loss, as the headset counted it
        bool garbage;
    };
    const Case cases[] = {
        {"1 % loss", "loss=0.01", -1, false},
        {"10 % loss", "loss=0.1", -1, false},
        {"bursts of 1, 3, 50 and 200 packets", dropBursts({{300, 1}, {400, 3}, {900, 50}, {1500, 200}}), 254,
         false},
        {"garbage before 10 % of the packets", "garbage=0.1", -1, true},
        {"garbage and loss", "garbage=0.3 loss=0.05 seed=4", -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        samples.clear();
        statuses.clear();
        open(c.config);
        ASSERT_TRUE(streamed(12000)); // 48 s of stream
        ASSERT_TRUE(engine->stopStreaming());

        const Accounting a = accountSession();
        ASSERT_TRUE(a.exact) << a.failure;
        EXPECT_EQ(a.silenceFillers, 0u);
        EXPECT_GT(a.lossFillers, 0u);
        EXPECT_EQ(events(), Codes{});
        if (c.droppedPackets >= 0) {
            EXPECT_EQ(a.lossFillers, 5u * static_cast<std::size_t>(c.droppedPackets));
            continue;
        }
        // Against the headset's own count: the packets lost before the
        // session's first sample or after its last (stray at the stop) have
        // no filler. Garbage that ends in a byte that can start a packet
        // hides the packet behind it, which then counts as lost too.
        const unsigned long long lost = fake->state(0).packetsLost;
        const unsigned long long before = (a.firstSample - sessionFrom) / 5;
        const unsigned long long after = packetsGenerated(0) - a.endSample / 5;
        EXPECT_GE(a.lossFillers / 5 + before + after, lost);
        if (!c.garbage) {
            EXPECT_LE(a.lossFillers / 5 + before, lost);
        }
    }
}

// --- A headset switched off and on: a silence, filled by time ---------------

TEST_F(Scenario, HeadsetOffAndOnUnderLoss_SilencesFilledByTime_LossesBySequence)
{
    open("loss=0.05 seed=3");
    const long long t0 = fake->elapsedMs();
    fake->setAt(t0 + 2000, 0, "headset=off");
    fake->setAt(t0 + 4000, 0, "headset=on");
    fake->setAt(t0 + 6000, 0, "headset=off");
    fake->setAt(t0 + 6400, 0, "headset=on");
    startSession();
    ASSERT_TRUE(waitUntil([&] { return fake->elapsedMs() > t0 + 9000; }));
    ASSERT_TRUE(engine->stopStreaming());

    const Accounting a = accountSession();
    ASSERT_TRUE(a.exact) << a.failure;
    EXPECT_GT(a.lossFillers, 0u);
    // The headset sent nothing while it was off: no sample is missing, and
    // each silence is filled to within a poll (100 ms) and the radio's delay
    // in answering the start that the engine sent again on an empty poll.
    ASSERT_EQ(a.silences.size(), 2u);
    EXPECT_NEAR(4.0 * a.silences[0].fillers, 2000, 130);
    EXPECT_NEAR(4.0 * a.silences[1].fillers, 400, 130);
    EXPECT_EQ(events(), Codes{});
}

// --- A radio dropout: the 8-bit sequence number and the silence watch -------

TEST_F(Scenario, RadioDropoutOf240Packets_ExactlyTheirFillers)
{
    // 4.8 s without a packet: the engine asks for the stream again on every
    // empty poll, and the sequence number then counts all 240 packets.
    open(dropBursts({{100, 240}}));
    ASSERT_TRUE(streamed(2500));
    ASSERT_TRUE(engine->stopStreaming());
    const Accounting a = accountSession();
    ASSERT_TRUE(a.exact) << a.failure;
    EXPECT_EQ(a.lossFillers, 5u * 240);
    EXPECT_EQ(a.silenceFillers, 0u);
    EXPECT_EQ(events(), Codes{});
}

TEST_F(Scenario, RadioDropoutOf255Packets_SequenceNumberRepeats_FilledByTimeWithinAPoll)
{
    // Packet 355 carries the sequence number of packet 99: no loss can be
    // counted. The engine saw 50 empty polls and fills the 5.1 s by time.
    open(dropBursts({{100, 255}}));
    ASSERT_TRUE(streamed(3000));
    ASSERT_TRUE(engine->stopStreaming());
    EXPECT_EQ(events(), Codes{});

    const std::vector<ondira_test::Record> records = ondira_test::toRecords(samples.samples());
    const auto firstFiller = std::find_if(records.begin(), records.end(),
                                          [](const ondira_test::Record& r) { return r.flag != 0; });
    const auto after = std::find_if(firstFiller, records.end(),
                                    [](const ondira_test::Record& r) { return r.flag == 0; });
    ASSERT_EQ(firstFiller - records.begin(), 500);
    EXPECT_NEAR(static_cast<double>(after - firstFiller), 255 * 5, 100 / 4);
    const auto signal = [this](std::uint64_t n) { return fake->sample(0, n); };
    const Accounting rest = account({after, records.end()}, signal, 5 * 355, 5 * 355 + 1);
    EXPECT_TRUE(rest.exact) << rest.failure;
    EXPECT_EQ(rest.silenceFillers, 0u);
}

TEST_F(Scenario, RadioSilentForSixSeconds_NotRespondingAtTheFiftyFirstEmptyPoll_NothingAfterIt)
{
    build(dropBursts({{100, 300}}));
    EventClock notResponding(StatusData::DEVICE_NOT_RESPONDING, *fake);
    engine->getStatusProducer().registerConsumer(notResponding);
    ASSERT_TRUE(engine->openDevice());
    const long long started = fake->elapsedMs();
    startSession();
    ASSERT_TRUE(waitForStatus(StatusData::DEVICE_NOT_RESPONDING));
    const std::size_t delivered = samples.sampleCount();
    ASSERT_TRUE(waitUntil([&] { return fake->elapsedMs() > notResponding.at + 3000; }));

    EXPECT_EQ(samples.sampleCount(), delivered);
    EXPECT_FALSE(engine->isStreaming());
    EXPECT_FALSE(fake->state(0).streaming); // what came back was stray, and stopped
    EXPECT_EQ(events(), Codes{StatusData::DEVICE_NOT_RESPONDING});
    const Accounting a = accountSession();
    ASSERT_TRUE(a.exact) << a.failure;
    EXPECT_EQ(a.endSample, 5u * 100);
    // Fifty-one empty polls of 100 ms after the poll that read the last
    // packet (sent 5 ms radio delay and 100 packet periods after the start).
    const long long lastPacketAt = started + 5 + 100 * 20;
    EXPECT_GE(notResponding.at - lastPacketAt, 5100);
    EXPECT_LE(notResponding.at - lastPacketAt, 5100 + 100);
}

// The limit of an 8-bit sequence number: a dropout of 256 packets or more
// cannot be counted. The silence watch sees it (5.12 s without a byte),
// unless noise on the line keeps every poll busy; then the gap vanishes from
// the time line. Lockstep lets a noise byte arrive before every poll.
TEST(ScenarioLimits, DropoutOf256PacketsUnderNoise_IsNotSeen)
{
    FakeTransport fake(dropBursts({{50, 256}}), FakeTransport::Stepping::Lockstep);
    ondira::FTDIDevice device(fake.binding());
    ondira::ZAREProtocol protocol;
    ondira_test::RecordingConsumer samples(ondira_test::RecordingConsumer::Samples);
    {
        ondira::ReaderEngine engine(&device, &protocol, fake.clock());
        fake.attach(&engine);
        engine.getSampleProducer().registerConsumer(samples);
        ASSERT_TRUE(engine.openDevice());
        ASSERT_TRUE(engine.startStreaming());
        while (fake.elapsedMs() < 12000) {
            fake.inject(0, {0x00}); // not a packet start: skipped by the parser
            fake.step();
        }
        ASSERT_TRUE(engine.stopStreaming());
        engine.closeDevice();
    }

    const std::vector<ondira_test::Record> records = ondira_test::toRecords(samples.samples());
    const auto signal = [&fake](std::uint64_t n) { return fake.sample(0, n); };
    ASSERT_GT(records.size(), 250u);
    for (const ondira_test::Record& r : records)
        ASSERT_EQ(r.flag, 0) << "no filler anywhere";
    // Samples 0..249 and then, without a gap, samples from 1530 on.
    const std::vector<ondira_test::Record> before(records.begin(), records.begin() + 250);
    const std::vector<ondira_test::Record> after(records.begin() + 250, records.end());
    EXPECT_TRUE(account(before, signal, 0, 1).exact);
    const Accounting rest = account(after, signal, 5 * (50 + 256), 5 * (50 + 256) + 1);
    EXPECT_TRUE(rest.exact) << rest.failure;
    EXPECT_EQ(after.front().timestamp - before.back().timestamp, 4);
}

// --- The dongle unplugged ----------------------------------------------------

TEST_F(Scenario, DongleUnpluggedWhileStreaming_ErrorWithinAPoll_ReopenOnAnotherDevice)
{
    build("devices=2 loss=0.02");
    EventClock ioError(StatusData::DEVICE_IO_ERROR, *fake);
    engine->getStatusProducer().registerConsumer(ioError);
    ASSERT_TRUE(engine->openDevice());
    ASSERT_TRUE(streamed(1000, 0));
    const long long unplugAt = fake->elapsedMs() + 50;
    fake->setAt(unplugAt, 0, "unplug_after_ms=0");
    ASSERT_TRUE(waitUntil([&] { return !engine->isWorkerRunning(); }));

    // The next empty poll asks for the stream again; that write fails.
    EXPECT_GE(ioError.at - unplugAt, 0);
    EXPECT_LE(ioError.at - unplugAt, 200);
    EXPECT_EQ(events(), Codes(2, StatusData::DEVICE_IO_ERROR));
    const Accounting first = accountSession();
    ASSERT_TRUE(first.exact) << first.failure;
    const std::size_t delivered = samples.sampleCount();

    // The stop fails, and so does the one that the close tries first.
    const long long before = fake->elapsedMs();
    returnsWithin(seconds(10), [&] {
        EXPECT_FALSE(engine->stopStreaming());
        engine->closeDevice();
    });
    EXPECT_EQ(fake->elapsedMs(), before); // neither waited
    EXPECT_EQ(events(), Codes(4, StatusData::DEVICE_IO_ERROR));
    EXPECT_EQ(samples.sampleCount(), delivered);

    // The unplugged dongle does not open: the search takes the other one.
    ASSERT_TRUE(engine->openDevice());
    EXPECT_TRUE(fake->state(1).open);
    ASSERT_TRUE(streamed(1000, 1));
    ASSERT_TRUE(engine->stopStreaming());
    const Accounting second = accountSession();
    ASSERT_TRUE(second.exact) << second.failure;
    EXPECT_EQ(events(), Codes(4, StatusData::DEVICE_IO_ERROR));
}

TEST_F(Scenario, DongleUnpluggedWhileIdle_NoticedAtTheNextCommand_BackOnceReplugged)
{
    open("devices=2");
    const long long unplugAt = fake->elapsedMs();
    fake->set(0, "unplug_after_ms=0");
    ASSERT_TRUE(waitUntil([&] { return fake->elapsedMs() > unplugAt + 1000; }));
    EXPECT_EQ(statuses.statusCount(), 0u); // an idle worker cannot tell

    EXPECT_FALSE(engine->startStreaming());
    ASSERT_TRUE(waitUntil([&] { return !engine->isWorkerRunning(); }));
    EXPECT_EQ(events(), Codes(2, StatusData::DEVICE_IO_ERROR)); // the start, the worker's end
    engine->closeDevice();

    ASSERT_TRUE(engine->openDevice());
    EXPECT_TRUE(fake->state(1).open);
    ASSERT_TRUE(streamed(500, 1));
    engine->closeDevice();
    const Accounting other = accountSession();
    ASSERT_TRUE(other.exact) << other.failure;

    fake->set(0, "replug_after_ms=0"); // plugged in again now
    ASSERT_TRUE(engine->openDevice());
    EXPECT_TRUE(fake->state(0).open);
    ASSERT_TRUE(streamed(500, 0));
    engine->closeDevice();
    const Accounting again = accountSession();
    ASSERT_TRUE(again.exact) << again.failure;
    EXPECT_EQ(events(), Codes(2, StatusData::DEVICE_IO_ERROR));
}

// --- Stop, and what is on its way when it comes ------------------------------

TEST_F(Scenario, SamplesInFlightAtStop_NoneDelivered_TheNextSessionStartsClean)
{
    // The headset hears the stop 150 ms late and streams on meanwhile.
    open("radio_delay_ms=150 loss=0.02");
    for (int session = 0; session < 3; ++session) {
        SCOPED_TRACE("session " + std::to_string(session));
        ASSERT_TRUE(streamed(500));
        ASSERT_TRUE(engine->stopStreaming());
        // At most the record being delivered while the stop was written.
        const std::size_t atStop = samples.sampleCount();
        const long long stoppedAt = fake->elapsedMs();
        ASSERT_TRUE(waitUntil([&] { return fake->elapsedMs() > stoppedAt + 1000; }));
        EXPECT_LE(samples.sampleCount(), atStop + 1);
        EXPECT_FALSE(fake->state(0).streaming);
        const Accounting a = accountSession();
        ASSERT_TRUE(a.exact) << a.failure;
    }
    EXPECT_EQ(events(), Codes{});
}

// --- Failing writes and a failing close ---------------------------------------

TEST_F(Scenario, WritesFailMidStream_StopAndWorkerReportIt_CloseAndOpenRecover)
{
    open("");
    ASSERT_TRUE(streamed(500));
    fake->set(0, "fail_writes_after=" + std::to_string(fake->state(0).commandCount));
    const long long before = fake->elapsedMs();
    EXPECT_FALSE(engine->stopStreaming());
    EXPECT_EQ(fake->elapsedMs(), before);
    // The write error is the device's sticky error: the worker's next poll
    // ends it, and nothing is delivered after.
    ASSERT_TRUE(waitUntil([&] { return !engine->isWorkerRunning(); }));
    EXPECT_EQ(events(), Codes(2, StatusData::DEVICE_IO_ERROR));
    const Accounting a = accountSession();
    ASSERT_TRUE(a.exact) << a.failure;
    EXPECT_FALSE(engine->startStreaming()); // stalled: said so, nothing written
    EXPECT_EQ(events(), Codes(3, StatusData::DEVICE_IO_ERROR));

    // The device's error is sticky until it is opened again: the stop that
    // the close tries first fails too, though the write itself goes through.
    fake->set(0, "fail_writes_after=1000000");
    engine->closeDevice();
    EXPECT_EQ(events(), Codes(4, StatusData::DEVICE_IO_ERROR));
    ASSERT_TRUE(engine->openDevice());
    ASSERT_TRUE(streamed(500));
    ASSERT_TRUE(engine->stopStreaming());
    const Accounting again = accountSession();
    ASSERT_TRUE(again.exact) << again.failure;
    EXPECT_EQ(events(), Codes(4, StatusData::DEVICE_IO_ERROR));
}

TEST_F(Scenario, CloseFails_ReportedOnce_HandleReleased_ReopenStreamsExactly)
{
    open("fail_close=1 loss=0.02");
    for (int session = 0; session < 2; ++session) {
        SCOPED_TRACE("session " + std::to_string(session));
        ASSERT_TRUE(streamed(500));
        returnsWithin(seconds(10), [&] { engine->closeDevice(); });
        EXPECT_FALSE(fake->state(0).open);
        EXPECT_EQ(events(), Codes(session + 1, StatusData::DEVICE_IO_ERROR));
        const Accounting a = accountSession();
        ASSERT_TRUE(a.exact) << a.failure;
        ASSERT_TRUE(engine->openDevice());
    }
}

} // namespace
} // namespace ondira_faults
