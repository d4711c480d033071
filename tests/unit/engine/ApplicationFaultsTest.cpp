// Faults found by driving the engine as applications do: consumers that call
// back into it, a worker that ended on an error, a session closed after one,
// and a headset that falls silent for a while.

#include "EngineFixture.h"

#include "../protocol/PacketBytes.h"

namespace ondira_engine_test {
namespace {

using ondira_sim::EntryPoint;
using Faults = EngineTest;
using std::chrono::seconds;

constexpr std::uint16_t START = 4092;
constexpr std::uint16_t STOP = 0;

// --- A status consumer may call start and stop -------------------------------

TEST_F(Faults, ConsumerStopsOnTheErrorOfAnUnpluggedDongle_NothingHangs)
{
    build("");
    Reaction stop(StatusData::DEVICE_IO_ERROR, [this] { EXPECT_FALSE(engine->stopStreaming()); });
    engine->getStatusProducer().registerConsumer(stop);
    ASSERT_TRUE(engine->openDevice());
    streamSamples(10);
    fake->setAt(fake->elapsedMs() + 300, 0, "unplug_after_ms=0");
    returnsWithin(seconds(30), [&] {
        ASSERT_TRUE(waitUntil([&] { return stop.happened() && !engine->isWorkerRunning(); }));
        engine->closeDevice();
    });
    // The start the worker sent again failed, the consumer's stop failed
    // (delivered during its call), the worker ended, and the close's stop
    // failed: in the order they happened.
    EXPECT_EQ(events(), Codes(4, StatusData::DEVICE_IO_ERROR));
    EXPECT_FALSE(engine->isStreaming());
}

TEST_F(Faults, ConsumerStopsOnTheErrorOfAHeadsetThatIgnoredStop_NothingHangs)
{
    build("ignore_stop=1");
    Reaction stop(StatusData::DEVICE_IO_ERROR, [this] { EXPECT_TRUE(engine->stopStreaming()); });
    engine->getStatusProducer().registerConsumer(stop);
    ASSERT_TRUE(engine->openDevice());
    streamSamples(10);
    returnsWithin(seconds(30), [&] {
        ASSERT_TRUE(engine->stopStreaming());
        ASSERT_TRUE(waitUntil([&] { return stop.happened(); }));
        engine->closeDevice();
    });
    EXPECT_EQ(events(), Codes{StatusData::DEVICE_IO_ERROR});
}

TEST_F(Faults, ConsumerStartsAgainWhenTheHeadsetIsNotResponding_NothingHangs)
{
    build("headset=off");
    Reaction start(StatusData::DEVICE_NOT_RESPONDING, [this] { EXPECT_TRUE(engine->startStreaming()); });
    engine->getStatusProducer().registerConsumer(start);
    ASSERT_TRUE(engine->openDevice());
    returnsWithin(seconds(30), [&] {
        ASSERT_TRUE(engine->startStreaming());
        ASSERT_TRUE(waitForStatus(StatusData::DEVICE_NOT_RESPONDING, 2));
        engine->closeDevice();
    });
    EXPECT_TRUE(start.happened());
    // Each round: the start, fifty more on empty polls, none on the 51st.
    EXPECT_EQ(fake->streamCommands(0, START), 2 * 51);
}

TEST_F(Faults, ConsumerStopsOnNotOpenDuringAStartBeforeOpen_NothingHangs)
{
    build("");
    Reaction stop(StatusData::DEVICE_NOT_OPEN, [this] { EXPECT_FALSE(engine->stopStreaming()); });
    engine->getStatusProducer().registerConsumer(stop);
    returnsWithin(seconds(10), [&] { EXPECT_FALSE(engine->startStreaming()); });
    EXPECT_TRUE(stop.happened());
    EXPECT_EQ(events(), (Codes{StatusData::DEVICE_NOT_OPEN, StatusData::DEVICE_NOT_OPEN}));
}

// --- A sample consumer may stop the stream ------------------------------------

/// Stops streaming at the first filler it receives, as an application that
/// will not record across a gap might.
class StopAtFirstFiller : public IDataConsumer
{
public:
    explicit StopAtFirstFiller(ondira::ReaderEngine& engine) : engine(engine) {}
    void receiveData(PData& data) override
    {
        const auto& sample = *static_cast<const OndiraData*>(data.getData());
        if (sample.getFlag() == OndiraData::FLAG_LOST_SAMPLE && !stopped.exchange(true)) {
            EXPECT_TRUE(engine.stopStreaming());
        }
    }
    std::atomic<bool> stopped{false};

private:
    ondira::ReaderEngine& engine;
};

TEST_F(Faults, SampleConsumerStopsAtTheFirstFillerOfAGap_NothingArrivesAfterItsStop)
{
    struct Case {
        const char* name;
        const char* config;
    };
    // A burst of lost packets, counted by sequence number; a silence, filled by time.
    for (const Case c : {Case{"lost packets", "drop=20,21,22"}, Case{"silence", ""}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        samples.clear();
        build(c.config);
        StopAtFirstFiller stopper(*engine);
        engine->getSampleProducer().registerConsumer(stopper);
        ASSERT_TRUE(engine->openDevice());
        const long long t0 = fake->elapsedMs();
        if (std::string(c.name) == "silence") {
            fake->setAt(t0 + 500, 0, "headset=off");
            fake->setAt(t0 + 1500, 0, "headset=on");
        }
        ASSERT_TRUE(engine->startStreaming());
        ASSERT_TRUE(waitUntil([&] { return stopper.stopped.load(); }));
        ASSERT_TRUE(waitUntil([&] { return fake->elapsedMs() > t0 + 3000; }));

        // The filler that made the consumer stop is the last record.
        const std::vector<OndiraData> records = samples.samples();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().getFlag(), OndiraData::FLAG_LOST_SAMPLE);
        EXPECT_EQ(records[records.size() - 2].getFlag(), OndiraData::FLAG_NONE);
        EXPECT_FALSE(engine->isStreaming());
        engine->getSampleProducer().deregisterConsumer(stopper);
    }
}

// A stop that cannot be written leaves the stream running until the worker
// notices the device's error at its next poll: the samples it still delivers
// from the read under way belong to the session and keep its time line.
TEST_F(Faults, StatusConsumerStopsWhileWritesFail_TheRestOfTheReadKeepsTheTimeLine)
{
    // Hand-made packets only, in the receive queue at once (fast), behind 11
    // noise bytes: the worker's 59-byte reads then hold the end of one packet
    // and most of the next. The first calibration pass reports the channel
    // states after the 100th sample, the last of packet 19, in such a read.
    open("fast=1 headset=off");
    Reaction stop(StatusData::CHANNEL_1_NOT_CALIBRATING, [this] {
        fake->failWhen([](EntryPoint entry) { return entry == ondira_sim::EP_WRITE; });
        EXPECT_FALSE(engine->stopStreaming());
    });
    engine->getStatusProducer().registerConsumer(stop);
    ASSERT_TRUE(engine->startStreaming());
    std::vector<unsigned char> stream(11, 0x00);
    for (std::uint8_t n = 0; n < 21; ++n) {
        const protocol_test::Sample s{n, n, n, n};
        const auto packet = protocol_test::dataPacket(n, {{s, s, s, s, s}});
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    fake->inject(0, stream);
    ASSERT_TRUE(waitUntil([&] { return stop.happened() && !engine->isWorkerRunning(); }));

    // Packet 20's first three samples were in the read with the stop.
    const std::vector<OndiraData> records = samples.samples();
    ASSERT_EQ(records.size(), 103u);
    for (std::size_t i = 1; i < records.size(); ++i)
        ASSERT_EQ(records[i].getTimestamp() - records[i - 1].getTimestamp(), 4) << "record " << i;
    EXPECT_EQ(events(), Codes(2, StatusData::DEVICE_IO_ERROR)); // the stop, the worker's end
    engine->getStatusProducer().deregisterConsumer(stop);
}

// --- A worker that ended on an error reads nothing: no success is claimed ----

TEST_F(Faults, AfterTheWorkerEnded_StartPingAndQueriesFailAtOnce_CloseAndOpenRecover)
{
    struct Cause {
        const char* name;
        const char* config;
        std::function<void()> trigger;
    };
    const Cause causes[] = {
        {"read error", "",
         [this] { fake->failWhen([](EntryPoint entry) { return entry == ondira_sim::EP_READ; }); }},
        {"headset ignores stop", "ignore_stop=1", [this] { ASSERT_TRUE(engine->stopStreaming()); }},
    };
    for (const Cause& cause : causes) {
        SCOPED_TRACE(cause.name);
        TearDown();
        samples.clear();
        open(cause.config);
        streamSamples(10);
        cause.trigger();
        ASSERT_TRUE(waitForStatus(StatusData::DEVICE_IO_ERROR));
        ASSERT_TRUE(waitUntil([&] { return !engine->isWorkerRunning(); }));
        fake->failWhen(nullptr);
        fake->set(0, "ignore_stop=0");
        statuses.clear();

        const int starts = fake->streamCommands(0, START);
        const std::size_t commands = fake->commands(0).size();
        const long long before = fake->elapsedMs();
        EXPECT_FALSE(engine->startStreaming());
        EXPECT_FALSE(engine->ping());
        EXPECT_EQ(engine->askOndiraFirmwareVersion(), 0);
        EXPECT_FALSE(engine->sendUsbTransmissionChannel(3));
        EXPECT_EQ(events(), Codes(4, StatusData::DEVICE_IO_ERROR));
        EXPECT_EQ(fake->streamCommands(0, START), starts);
        EXPECT_EQ(fake->commands(0).size(), commands); // nothing was sent
        EXPECT_EQ(fake->elapsedMs(), before);          // nor waited for

        engine->closeDevice();
        ASSERT_TRUE(engine->openDevice());
        samples.clear();
        streamSamples(10);
    }
}

// --- Closed is closed ---------------------------------------------------------

TEST_F(Faults, CloseAfterTheWorkerEnded_EndsStreaming_ANewSessionWaitsForItsStart)
{
    open("");
    streamSamples(10);
    // The dongle fails for a while: the worker ends, and the stop does not
    // reach the headset, which goes on streaming.
    fake->failWhen([](EntryPoint entry) {
        return entry == ondira_sim::EP_READ || entry == ondira_sim::EP_WRITE;
    });
    ASSERT_TRUE(waitForStatus(StatusData::DEVICE_IO_ERROR));
    ASSERT_TRUE(waitUntil([&] { return !engine->isWorkerRunning(); }));
    EXPECT_FALSE(engine->stopStreaming());
    engine->closeDevice();
    fake->failWhen(nullptr);
    EXPECT_FALSE(engine->isStreaming());

    statuses.clear();
    EXPECT_FALSE(engine->ping()); // closed: the request cannot be written
    EXPECT_EQ(events(), (Codes{StatusData::DEVICE_IO_ERROR, StatusData::DEVICE_IO_ERROR}));

    // The headset still streams into the new session, unasked: the worker
    // tells it to stop and delivers nothing.
    ASSERT_TRUE(fake->state(0).streaming);
    const int stops = fake->streamCommands(0, STOP);
    samples.clear();
    ASSERT_TRUE(engine->openDevice());
    ASSERT_TRUE(waitUntil([&] { return fake->streamCommands(0, STOP) > stops; }));
    EXPECT_EQ(samples.sampleCount(), 0u);
    streamSamples(10);
}

// --- A silence keeps its place on the time line -----------------------------

/// The read that ended the longest gap between reads since `since`.
long long readAfterLongestGap(const std::vector<long long>& reads, long long since)
{
    long long gap = 0, after = 0;
    for (std::size_t i = 1; i < reads.size(); ++i) {
        if (reads[i - 1] >= since && reads[i] - reads[i - 1] > gap) {
            gap = reads[i] - reads[i - 1];
            after = reads[i];
        }
    }
    return after;
}

TEST_F(Faults, HeadsetSilentForTwoSeconds_GapBecomesFillers_TimeLineStaysOnTheClock)
{
    open("");
    const long long t0 = fake->elapsedMs();
    fake->setAt(t0 + 1000, 0, "headset=off");
    fake->setAt(t0 + 3000, 0, "headset=on");
    ASSERT_TRUE(engine->startStreaming());
    ASSERT_TRUE(waitUntil([&] { return fake->elapsedMs() > t0 + 4000 && samples.sampleCount() > 900; }));
    ASSERT_TRUE(engine->stopStreaming());
    EXPECT_EQ(events(), Codes{});

    const std::vector<OndiraData> records = samples.samples();
    std::size_t first = 0, fillers = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (i > 0) {
            ASSERT_EQ(records[i].getTimestamp() - records[i - 1].getTimestamp(), 4) << i;
        }
        if (records[i].getFlag() == OndiraData::FLAG_LOST_SAMPLE) {
            if (fillers++ == 0)
                first = i;
            EXPECT_EQ(records[i].getChannel2(), records[first - 1].getChannel2());
        }
    }
    // One run of fillers for the two silent seconds (within a poll) ...
    ASSERT_GT(first, 0u);
    EXPECT_EQ(records[first + fillers - 1].getFlag(), OndiraData::FLAG_LOST_SAMPLE);
    EXPECT_NEAR(static_cast<double>(fillers), 2000.0 / 4, 100.0 / 4 + 10);
    // ... after which the first sample lies on the clock of its reading.
    const long long resumedAt = FakeTransport::EPOCH_MS + readAfterLongestGap(fake->readTimes(), t0);
    const long long resumed = records[first + fillers].getTimestamp();
    EXPECT_GE(resumedAt - resumed, 0);
    EXPECT_LT(resumedAt - resumed, 4);
}

TEST_F(Faults, RadioDropoutCountedBySequence_FiveFillersPerPacketAndNoMore)
{
    std::string drop = "drop=";
    for (int n = 50; n < 80; ++n)
        drop += std::to_string(n) + (n < 79 ? "," : "");
    open(drop);
    streamSamples(500);
    ASSERT_TRUE(engine->stopStreaming());
    const std::vector<OndiraData> records = samples.samples();
    std::size_t fillers = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const bool filler = i >= 250 && i < 400;
        EXPECT_EQ(records[i].getFlag() == OndiraData::FLAG_LOST_SAMPLE, filler) << i;
        fillers += records[i].getFlag() == OndiraData::FLAG_LOST_SAMPLE;
    }
    EXPECT_EQ(fillers, 30u * 5);
}

} // namespace
} // namespace ondira_engine_test
