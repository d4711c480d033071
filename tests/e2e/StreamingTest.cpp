// Samples from the virtual headset to the consumers: values, timestamps,
// fillers for lost packets, stop and restart, ping.

#include "E2eFixture.h"

#include <QDateTime>

namespace ondira_e2e {
namespace {

using Streaming = E2eTest;

TEST_F(Streaming, SamplesCarryScaledValuesAndTimestampsFourMillisecondsApart)
{
    // Constant raw values make the scaling exact: raw 28672 -> 16875,
    // 0 -> 0, 65535 -> 38570, 1000 -> 588.
    configure("level=28672,0,65535,1000 alpha=0 noise=0");
    ASSERT_TRUE(ondira->openDevice());
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitForSamples(300));
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    const auto records = samples.samples();
    EXPECT_GE(records.front().getTimestamp(), before);
    EXPECT_LE(records.front().getTimestamp(), after);
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        const OndiraData& s = records[i];
        EXPECT_EQ(s.getChannel1(), 16875);
        EXPECT_EQ(s.getChannel2(), 0);
        EXPECT_EQ(s.getChannel3(), 38570);
        EXPECT_EQ(s.getChannel4(), 588);
        EXPECT_EQ(s.getFlag(), OndiraData::FLAG_NONE);
        EXPECT_EQ(s.getOffsetChangeIndex(), 0);
        if (i > 0) {
            EXPECT_EQ(s.getTimestamp(), records[i - 1].getTimestamp() + 4);
        }
    }
    // A poll that finds nothing yet right after the start repeats the start
    // command; the application's own start is the only one that found
    // streaming off.
    EXPECT_GE(streamCommands(0, 4092), 1);
    EXPECT_EQ(traces.count(QStringLiteral("resuming: false ")), 1);
}

TEST_F(Streaming, ArriveAtTwoHundredFiftySamplesPerSecond)
{
    configure("");
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitForSamples(25));
    const auto start = std::chrono::steady_clock::now();
    const std::size_t first = samples.sampleCount();
    QThread::msleep(1000);
    const std::size_t received = samples.sampleCount() - first;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The worker polls every 100 ms: allow a poll's worth either way.
    EXPECT_NEAR(received / seconds, 250.0, 40.0);
}

TEST_F(Streaming, LostPacketsBecomeFillersThatKeepTheTimeLine)
{
    // Packets 20, 21 and 22 never reach the host.
    configure("fast=1 drop=20,21,22 noise=200");
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitForSamples(200));
    ASSERT_TRUE(ondira->stopStreaming());

    const auto records = samples.samples();
    // Packets 0..19 give samples 0..99, then come 15 fillers for packets 20..22,
    // then packet 23 on. (In the fast mode the first packet may come before
    // the library is ready for it: count from where the fillers are.)
    std::size_t first = 0;
    while (first < records.size() && records[first].getFlag() != OndiraData::FLAG_LOST_SAMPLE)
        ++first;
    ASSERT_GE(first, 95u);
    ASSERT_EQ(first % 5, 0u);
    ASSERT_GE(records.size(), first + 20);
    const OndiraData& last = records[first - 1];
    for (std::size_t i = first; i < first + 15; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i].getFlag(), OndiraData::FLAG_LOST_SAMPLE);
        EXPECT_EQ(records[i].getOffsetChangeIndex(), 0);
        EXPECT_EQ(records[i].getChannel1(), last.getChannel1());
        EXPECT_EQ(records[i].getChannel2(), last.getChannel2());
        EXPECT_EQ(records[i].getChannel3(), last.getChannel3());
        EXPECT_EQ(records[i].getChannel4(), last.getChannel4());
    }
    for (std::size_t i = first + 15; i < records.size(); ++i)
        EXPECT_EQ(records[i].getFlag(), OndiraData::FLAG_NONE) << i;
    for (std::size_t i = 1; i < records.size(); ++i)
        EXPECT_EQ(records[i].getTimestamp(), records[i - 1].getTimestamp() + 4) << i;
}

TEST_F(Streaming, HeadsetOffForASecond_TheGapIsFilledAndTheTimeLineKeepsToTheClock)
{
    configure("");
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitForSamples(50));
    ASSERT_EQ(ondira_sim_set(0, "headset=off"), 0);
    QThread::msleep(1000); // the silence itself, not a wait for a condition
    ASSERT_EQ(ondira_sim_set(0, "headset=on"), 0);
    auto resumed = [&] {
        const auto records = samples.samples();
        std::size_t after = 0;
        for (auto it = records.rbegin(); it != records.rend(); ++it, ++after) {
            if (it->getFlag() == OndiraData::FLAG_LOST_SAMPLE)
                return after >= 100;
        }
        return false;
    };
    ASSERT_TRUE(waitFor(resumed));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();

    const auto records = samples.samples();
    std::size_t fillers = 0;
    for (std::size_t i = 1; i < records.size(); ++i) {
        ASSERT_EQ(records[i].getTimestamp() - records[i - 1].getTimestamp(), 4) << i;
        fillers += records[i].getFlag() == OndiraData::FLAG_LOST_SAMPLE;
    }
    // A second of silence is about 250 samples, give or take a poll; the
    // newest sample is stamped about when it was read, not a second behind.
    EXPECT_NEAR(static_cast<double>(fillers), 250.0, 50.0);
    EXPECT_NEAR(static_cast<double>(now - records.back().getTimestamp()), 0.0, 300.0);
    EXPECT_EQ(statuses.countStatus(StatusData::DEVICE_NOT_RESPONDING), 0);
    EXPECT_EQ(statuses.countStatus(StatusData::DEVICE_IO_ERROR), 0);
}

TEST_F(Streaming, RestartReadsTheWallClockAgain)
{
    configure("");
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitForSamples(20));
    ASSERT_TRUE(ondira->stopStreaming());
    QThread::msleep(300);
    const std::size_t firstRun = samples.sampleCount();
    const qint64 restart = QDateTime::currentMSecsSinceEpoch();
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitForSamples(firstRun + 20));

    const auto records = samples.samples();
    EXPECT_GE(records[firstRun].getTimestamp(), restart);
    EXPECT_GE(records[firstRun].getTimestamp(), records[firstRun - 1].getTimestamp() + 250);
    EXPECT_EQ(records[firstRun + 1].getTimestamp(), records[firstRun].getTimestamp() + 4);
    EXPECT_EQ(traces.count(QStringLiteral("pausing NO ERROR: false ")), 1);
}

TEST_F(Streaming, PingAnswersAtOnceWhileStreamingAndAsksTheHeadsetOtherwise)
{
    configure("");
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->startStreaming());
    // Until the headset's first samples come, a poll that finds nothing
    // sends the start again (seen under the thread sanitizer): count from
    // the first sample on.
    ASSERT_TRUE(waitForSamples(1));
    const auto written = [] { // what went out, for a failure's message
        std::string text;
        for (const WireCommand& c : commandsOf(0)) {
            for (unsigned char b : c.bytes)
                text += std::to_string(b) + " ";
            text += "@" + std::to_string(c.timeMs) + " ms; ";
        }
        return text;
    };
    const int before = ondira_sim_command_count(0);
    EXPECT_TRUE(ondira->ping());
    EXPECT_EQ(ondira_sim_command_count(0), before) << written();

    ASSERT_TRUE(ondira->stopStreaming());
    const int stopped = ondira_sim_command_count(0);
    const int asked = traces.count(QStringLiteral("asking Ondira FW version "));
    EXPECT_TRUE(ondira->ping());
    // The ping asks the headset for its firmware (0x1235, from the dongle
    // 0x1234), once more for each reply that came late on a busy machine;
    // samples still on their way after the stop are answered with stops.
    const std::vector<unsigned char> request = bytes({ 0x05, 0x12, 0x35, 0x12, 0x34, 0xA0 });
    const auto commands = commandsOf(0);
    int requests = 0;
    for (std::size_t i = static_cast<std::size_t>(stopped); i < commands.size(); ++i) {
        const std::vector<unsigned char>& c = commands[i].bytes;
        const bool stop = c.size() == 19 && c[5] == 0xD0 && c[7] == 0 && c[8] == 0 && c[9] == 0x02
            && c[10] == 0x00 && c[15] == 0 && c[16] == 0; // register 0x200 := 0
        requests += c == request ? 1 : 0;
        EXPECT_TRUE(c == request || stop) << written();
    }
    EXPECT_GE(requests, 1) << written();
    EXPECT_EQ(traces.count(QStringLiteral("asking Ondira FW version ")) - asked, requests);
}

} // namespace
} // namespace ondira_e2e
