// Samples as the consumers get them: scaled values, the 4 ms time line,
// fillers for lost packets, the offset-change marks and the calibration step.

#include "EngineFixture.h"

#include "../protocol/PacketBytes.h"

namespace ondira_engine_test {
namespace {

using Samples = EngineTest;
using protocol_test::dataPacket;

void expectTimeLine(const std::vector<OndiraData>& records)
{
    for (std::size_t i = 1; i < records.size(); ++i)
        ASSERT_EQ(records[i].getTimestamp() - records[i - 1].getTimestamp(), 4) << "record " << i;
}

TEST_F(Samples, ValuesAreScaledAndFourMillisecondsApart_TheFirstAtTheClock)
{
    open("level=0,28672,65535,1000 alpha=0 noise=0");
    streamSamples(100);
    long long started = 0; // when the application's start went out
    for (const Command& c : fake->commands(0)) {
        if (c.bytes.size() == 19 && started == 0)
            started = FakeTransport::EPOCH_MS + c.atMs;
    }
    const std::vector<OndiraData> records = samples.samples();
    for (const OndiraData& s : records) {
        ASSERT_EQ(s.getChannel1(), 0);
        ASSERT_EQ(s.getChannel2(), 16875);
        ASSERT_EQ(s.getChannel3(), 38570);
        ASSERT_EQ(s.getChannel4(), 588); // 1000 x 2700000 / 4587520, truncated
        ASSERT_EQ(s.getFlag(), OndiraData::FLAG_NONE);
    }
    expectTimeLine(records);
    // The first sample reads the clock when it is read, after the first
    // packet (20 ms, plus the radio and the line) and at most one poll.
    EXPECT_GE(records.front().getTimestamp(), started + 20);
    EXPECT_LE(records.front().getTimestamp(), started + 20 + 10 + 100);
}

TEST_F(Samples, LostPacketsBecomeFiveFillersEach_RepeatingTheSampleBeforeTheGap)
{
    open("drop=4,5,6");
    streamSamples(60);
    const std::vector<OndiraData> records = samples.samples();
    expectTimeLine(records);
    // Packets 0-3 give samples 0-19; 15 fillers stand for packets 4-6.
    for (std::size_t i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        const bool filler = i >= 20 && i < 35;
        EXPECT_EQ(records[i].getFlag(), filler ? OndiraData::FLAG_LOST_SAMPLE : OndiraData::FLAG_NONE);
        if (filler) {
            EXPECT_EQ(records[i].getChannel1(), records[19].getChannel1());
            EXPECT_EQ(records[i].getChannel4(), records[19].getChannel4());
        }
    }
    EXPECT_NE(records[35].getChannel1(), records[19].getChannel1()); // noise: a new sample
}

// The headset confirms an offset change by flipping the toggle byte of its
// data packets; the first sample of such a packet is marked with the step and
// the distance, five samples per packet, from the packet that applied it.
TEST_F(Samples, ToggledPacket_MarksItsFirstSampleWithTheStepAndTheIndex)
{
    open("headset=off");
    struct Case {
        std::uint8_t sequence, offsetSequence, index;
    };
    for (const Case c : {Case{10, 8, 10}, Case{1, 255, 10}, Case{60, 0, 44}}) {
        SCOPED_TRACE(static_cast<int>(c.sequence));
        samples.clear();
        // Each start resets the parser, so the first packet's toggle is new.
        fake->answerNextStart(0, dataPacket(c.sequence,
                                            {{{1, 2, 3, 4}, {1, 2, 3, 4}, {1, 2, 3, 4},
                                              {1, 2, 3, 4}, {1, 2, 3, 4}}},
                                            1, c.offsetSequence));
        ASSERT_TRUE(engine->startStreaming());
        ASSERT_TRUE(waitForSamples(5));
        const std::vector<OndiraData> records = samples.samples();
        EXPECT_EQ(records[0].getOffsetChangeIndex(), c.index);
        EXPECT_EQ(records[0].getFlag(), 0); // no step was ever sent: the initial step
        for (std::size_t i = 1; i < 5; ++i)
            EXPECT_EQ(records[i].getOffsetChangeIndex(), 0);
        ASSERT_TRUE(engine->stopStreaming());
    }
}

TEST_F(Samples, Calibration_StepsOutOfBandChannelsUntilTheyAreCalibrated)
{
    // Channel 2 below the band, channel 3 above; a step of 7 moves a level
    // by 7 x 40 = 280.
    open("level=32768,600,64700,30000 offset_gain=40 alpha=0 noise=0");
    for (std::uint8_t channel = 0; channel < 4; ++channel)
        ASSERT_TRUE(engine->setChannelEnabled(channel, 1));
    ASSERT_TRUE(engine->startStreaming());
    ASSERT_TRUE(waitForStatus(StatusData::CHANNEL_2_CALIBRATED));
    ASSERT_TRUE(waitForStatus(StatusData::CHANNEL_3_CALIBRATED));
    ASSERT_TRUE(engine->stopStreaming());

    using Write = std::pair<std::uint32_t, std::uint16_t>;
    std::vector<Write> offsets;
    for (const Write& w : fake->registerWrites(0))
        if (w.first != 0x200)
            offsets.push_back(w);
    // 600 -> 880 -> 1160 for channel 2; 64700 -> 64420 -> 64140 -> 63860 for channel 3.
    EXPECT_EQ(offsets, (std::vector<Write>{{0x402, 505}, {0x404, 519}, {0x402, 498}, {0x404, 526},
                                           {0x404, 533}}));

    // One marked sample per applied step, with that step as its flag.
    std::vector<int> marks;
    for (const OndiraData& s : samples.samples())
        if (s.getFlag() != OndiraData::FLAG_NONE)
            marks.push_back(s.getFlag());
    EXPECT_EQ(marks, (std::vector<int>{OndiraData::FLAG_OFFSET_DOWN_CHANNEL_2,
                                       OndiraData::FLAG_OFFSET_UP_CHANNEL_3,
                                       OndiraData::FLAG_OFFSET_DOWN_CHANNEL_2,
                                       OndiraData::FLAG_OFFSET_UP_CHANNEL_3,
                                       OndiraData::FLAG_OFFSET_UP_CHANNEL_3}));
    for (const Codes::value_type code : statuses.statuses()) {
        EXPECT_NE(code, StatusData::DEVICE_IO_ERROR);
        EXPECT_FALSE(code >= StatusData::CHANNEL_1_SLOW_CALIBRATION
                     && code <= StatusData::CHANNEL_4_SLOW_CALIBRATION);
    }
}

} // namespace
} // namespace ondira_engine_test
