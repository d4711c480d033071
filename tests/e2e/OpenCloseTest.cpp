// Opening, identifying and closing the device; start and stop around them.

#include "E2eFixture.h"

#include <QThreadPool>

namespace ondira_e2e {
namespace {

const auto REQUEST_ID = bytes({0x05, 0x00, 0x00, 0x00, 0x00, 0xB7});

int identityRequests(int device)
{
    int n = 0;
    for (const WireCommand& c : commandsOf(device))
        n += c.bytes == REQUEST_ID ? 1 : 0;
    return n;
}

using OpenClose = E2eTest;

TEST_F(OpenClose, AnsweringDongleIsIdentifiedWithOneRequestAndConfigured)
{
    configure("address=0x1234");
    ASSERT_TRUE(ondira->openDevice());

    const auto commands = commandsOf(0);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].bytes, REQUEST_ID);
    EXPECT_EQ(commands[0].zeroPrefix, 126u);
    EXPECT_EQ(traces.count(QStringLiteral("requesting ID (retries =  0 ) ")), 1);
    EXPECT_EQ(traces.count(QStringLiteral("USB id =  4660 ")), 1);
    EXPECT_EQ(traces.indexOf(QStringLiteral("Not an Ondira, let's do an exhaustive search ")), -1);
    EXPECT_EQ(statuses.statusCount(), 0u);

    const OndiraSimDeviceState state = stateOf(0);
    EXPECT_TRUE(state.open);
    EXPECT_EQ(state.baudRate, 128000u);
    EXPECT_EQ(state.wordLength, 8u);
    EXPECT_EQ(state.stopBits, 0u);
    EXPECT_EQ(state.parity, 0u);
    EXPECT_EQ(state.latencyTimer, 16u);
    EXPECT_EQ(state.writeTimeout, 1000u);
    EXPECT_EQ(state.lastPurgeMask, 0u);
    // The worker sets 100 ms when it starts; configure afterwards re-applies
    // the device's stored value, which is then 100 too.
    EXPECT_TRUE(waitFor([] { return stateOf(0).readTimeout == 100u; }));
    EXPECT_TRUE(traces.waitForMessage(QStringLiteral("Starting thread ")));
}

TEST_F(OpenClose, SilentFirstDeviceLeadsToASearchThatFindsTheSecond)
{
    configure("devices=2 dongle_index=1");
    ASSERT_TRUE(ondira->openDevice());

    EXPECT_EQ(identityRequests(0), 7);
    EXPECT_EQ(identityRequests(1), 1);
    const int timeout = traces.indexOf(QStringLiteral("Timeout requesting ID "));
    const int stopped = traces.indexOf(QStringLiteral("Thread stopped. Result = true "), timeout);
    const int search =
        traces.indexOf(QStringLiteral("Not an Ondira, let's do an exhaustive search "), stopped);
    const int found = traces.indexOf(QStringLiteral("USB id =  4676 "), search); // 0x1244
    EXPECT_GE(timeout, 0);
    EXPECT_GT(stopped, timeout);
    EXPECT_GT(search, stopped);
    EXPECT_GT(found, search);
    EXPECT_FALSE(stateOf(0).open);
    EXPECT_TRUE(stateOf(1).open);
    EXPECT_EQ(statuses.statusCount(), 0u);

    // The seven requests to the silent device went out 200 ms apart.
    std::vector<double> times;
    for (const WireCommand& c : commandsOf(0))
        times.push_back(c.timeMs);
    ASSERT_EQ(times.size(), 7u);
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], 195.0) << i;
}

TEST_F(OpenClose, StartAndStopBeforeOpenReportThatTheDeviceIsNotOpen)
{
    configure("");
    EXPECT_FALSE(ondira->startStreaming());
    EXPECT_EQ(traces.count(QStringLiteral("resuming: false ")), 1);
    EXPECT_FALSE(ondira->stopStreaming());
    EXPECT_EQ(traces.count(QStringLiteral("pausing WITH NO DEVICE ERROR false ")), 1);
    EXPECT_EQ(statuses.statuses(), (std::vector<StatusData::statusCode>{
                                       StatusData::DEVICE_NOT_OPEN, StatusData::DEVICE_NOT_OPEN}));
    EXPECT_EQ(ondira_sim_command_count(0), 0);
}

TEST_F(OpenClose, CloseOfANeverOpenedDeviceDoesNothing)
{
    configure("");
    ondira->closeDevice();
    EXPECT_EQ(traces.indexOf(QStringLiteral("Thread stopped. Result = true ")), -1);
    EXPECT_EQ(statuses.statusCount(), 0u);
    EXPECT_EQ(ondira_sim_command_count(0), 0);
}

TEST_F(OpenClose, CloseWhileStreamingSendsFourStopCommandsAndJoinsTheWorker)
{
    openOrFail();
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitForSamples(10));
    ondira->closeDevice();

    const auto stops = registerWrites(0, 0x200);
    ASSERT_EQ(streamCommands(0, 0), 4);
    for (const WireCommand& c : stops)
        EXPECT_EQ(c.zeroPrefix, 126u);
    EXPECT_EQ(traces.count(QStringLiteral("pausing NO ERROR: false ")), 4);
    EXPECT_EQ(traces.count(QStringLiteral("Thread stopped. Result = true ")), 1);
    EXPECT_FALSE(stateOf(0).open);
    EXPECT_EQ(statuses.statusCount(), 0u);

    // No sample arrives after the close.
    const std::size_t count = samples.sampleCount();
    QThread::msleep(100);
    EXPECT_EQ(samples.sampleCount(), count);
}

TEST_F(OpenClose, DestroyingAStreamingFacadeStopsAndClosesBeforeReturning)
{
    openOrFail();
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitForSamples(10));
    ondira.reset();
    EXPECT_FALSE(stateOf(0).open);
    EXPECT_EQ(streamCommands(0, 0), 4);
    EXPECT_EQ(traces.count(QStringLiteral("Thread stopped. Result = true ")), 1);
}

// Not a supported use, but it must neither hang nor crash: the worker cannot
// wait for itself, so it only stops once the consumer has returned.
class ClosingConsumer : public IDataConsumer
{
public:
    explicit ClosingConsumer(Ondira& ondira) : ondira(ondira) {}
    void receiveData(PData&) override
    {
        if (calls++ == 0)
            ondira.closeDevice();
    }
    Ondira& ondira;
    std::atomic<int> calls{0};
};

TEST_F(OpenClose, CloseFromInsideASampleConsumerStopsTheWorkerWithoutWaitingForItself)
{
    configure("");
    ClosingConsumer closer(*ondira);
    ondira->registerConsumer(IDataProcessor::SAMPLE_DATA, closer);
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitFor([&] { return closer.calls.load() > 0; }));
    ASSERT_TRUE(waitFor([] { return !stateOf(0).open; }));
    EXPECT_EQ(streamCommands(0, 0), 4);
    ondira.reset(); // joins the worker, which has ended by itself
    EXPECT_EQ(traces.count(QStringLiteral("Thread stopped. Result = true ")), 0);
}

TEST_F(OpenClose, ReopeningAfterCloseWorks)
{
    openOrFail();
    ondira->closeDevice();
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->startStreaming());
    EXPECT_TRUE(waitForSamples(5));
    EXPECT_EQ(stateOf(0).openCount, 2u);
}

} // namespace
} // namespace ondira_e2e
