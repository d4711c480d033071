// Offset calibration against the virtual headset, whose DC levels move with
// the offsets the library writes. The headset runs in its fast mode: a faster
// clock would hand the worker a backlog of packets older than each offset
// write, long enough for the next calibration pass to come before the
// headset's confirmation, which a real link at 250 samples/s never does.

#include "E2eFixture.h"

namespace ondira_e2e {
namespace {

using Calibration = E2eTest;
using Codes = std::vector<StatusData::statusCode>;

int offsetWrites(int channel)
{
    return static_cast<int>(registerWrites(0, 0x400 + 2 * channel).size());
}

void enableAll(Ondira& ondira)
{
    for (const char* name : {Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, Ondira::STR_PROPERTY_ENABLE_CHANNEL_2,
                             Ondira::STR_PROPERTY_ENABLE_CHANNEL_3, Ondira::STR_PROPERTY_ENABLE_CHANNEL_4})
        ASSERT_TRUE(ondira.setProperty(Property(name, 1)));
}

TEST_F(Calibration, ConvergesWithStatusEventsAndFlaggedSamples)
{
    // Channel 2 starts below the band, channel 3 above it, with margins
    // wider than the rhythm's amplitude around every threshold; each offset step
    // of 7 moves the level by 7 x 40 = 280 raw units.
    configure("fast=1 level=32768,600,64700,30000 offset_gain=40 alpha=50 noise=0");
    ASSERT_TRUE(ondira->openDevice());
    enableAll(*ondira);
    ASSERT_TRUE(ondira->startStreaming());

    ASSERT_TRUE(statuses.waitForStatus(StatusData::CHANNEL_2_CALIBRATED, 1, std::chrono::seconds(40)));
    ASSERT_TRUE(statuses.waitForStatus(StatusData::CHANNEL_3_CALIBRATED, 1, std::chrono::seconds(40)));
    ondira->stopStreaming();

    const Codes events = statuses.statuses();
    // Channel 1 and 4 were in the band at once; 2 and 3 went through
    // "being calibrated" before they were calibrated.
    auto first = [&](StatusData::statusCode code) {
        return std::find(events.begin(), events.end(), code) - events.begin();
    };
    EXPECT_LT(first(StatusData::CHANNEL_1_CALIBRATED), static_cast<long>(events.size()));
    EXPECT_LT(first(StatusData::CHANNEL_2_CALIBRATING), first(StatusData::CHANNEL_2_CALIBRATED));
    EXPECT_LT(first(StatusData::CHANNEL_3_CALIBRATING), first(StatusData::CHANNEL_3_CALIBRATED));
    for (auto code : events) {
        EXPECT_NE(code, StatusData::DEVICE_IO_ERROR);
        EXPECT_FALSE(code >= StatusData::CHANNEL_1_SLOW_CALIBRATION
                     && code <= StatusData::CHANNEL_4_SLOW_CALIBRATION);
    }

    // The headset's registers moved: channel 2 down (level up), channel 3 up.
    const OndiraSimDeviceState state = stateOf(0);
    EXPECT_EQ(state.offsets[0], 512);
    EXPECT_EQ(state.offsets[1], 512 - 7 * 2); // 600 -> 880 -> 1160
    EXPECT_EQ(state.offsets[2], 512 + 7 * 3); // 64700 -> 64420 -> 64140 -> 63860
    EXPECT_EQ(state.offsets[3], 512);
    EXPECT_GE(offsetWrites(1), 2);
    EXPECT_GE(offsetWrites(2), 3);
    EXPECT_EQ(offsetWrites(0), 0);
    EXPECT_EQ(offsetWrites(3), 0);

    // Each applied step marks one sample: flag 3 (channel 2 down) twice and
    // flag 8 (channel 3 up) three times, with the offset-change index.
    int down2 = 0, up3 = 0;
    for (const OndiraData& s : samples.samples()) {
        if (s.getFlag() == OndiraData::FLAG_OFFSET_DOWN_CHANNEL_2)
            ++down2;
        else if (s.getFlag() == OndiraData::FLAG_OFFSET_UP_CHANNEL_3)
            ++up3;
        else {
            EXPECT_EQ(s.getFlag(), OndiraData::FLAG_NONE);
        }
        if (s.getFlag() != OndiraData::FLAG_NONE) {
            EXPECT_EQ(s.getOffsetChangeIndex() % 5, 0);
        }
    }
    EXPECT_EQ(down2, 2);
    EXPECT_EQ(up3, 3);

    // The offset commands carry the new value big-endian, 126 zeros ahead.
    const auto channel3 = registerWrites(0, 0x404);
    ASSERT_FALSE(channel3.empty());
    EXPECT_EQ(channel3.front().bytes,
              bytes({0x12, 0x12, 0x35, 0x12, 0x34, 0xD0, 0x40, 0x00, 0x00, 0x04, 0x04, 0x0B, 0x00,
                     0xFF, 0x21, 0x02, 0x07, 0x00, 0x00})); // 519
    EXPECT_EQ(channel3.front().zeroPrefix, 126u);
}

TEST_F(Calibration, DisabledChannelsAreReportedAsNotCalibratedAndLeftAlone)
{
    configure("fast=1");
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(statuses.waitForStatus(StatusData::CHANNEL_4_NOT_CALIBRATING));
    EXPECT_EQ(statuses.statuses(),
              (Codes{StatusData::CHANNEL_1_NOT_CALIBRATING, StatusData::CHANNEL_2_NOT_CALIBRATING,
                     StatusData::CHANNEL_3_NOT_CALIBRATING, StatusData::CHANNEL_4_NOT_CALIBRATING}));
    for (int channel = 0; channel < 4; ++channel)
        EXPECT_EQ(offsetWrites(channel), 0);
}

TEST_F(Calibration, OffsetLeavingItsRangeIsResetWithASlowCalibrationWarning)
{
    // A level so low that no offset within 25..1000 brings it into the band.
    configure("fast=1 level=32768,0,32768,32768 offset_gain=1");
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->setProperty(Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_2, 1)));
    ASSERT_TRUE(ondira->startStreaming());
    // 512 - 7 x 70 = 22 leaves the range on the 70th step.
    ASSERT_TRUE(statuses.waitForStatus(StatusData::CHANNEL_2_SLOW_CALIBRATION, 1,
                                       std::chrono::seconds(60)));
    ondira->stopStreaming();
    const auto writes = registerWrites(0, 0x402);
    ASSERT_GE(writes.size(), 70u);
    auto value = [](const WireCommand& c) { return (c.bytes[15] << 8) | c.bytes[16]; };
    EXPECT_EQ(value(writes[0]), 505);
    EXPECT_EQ(value(writes[68]), 29);
    EXPECT_EQ(value(writes[69]), 512); // back to the middle, not 22
}

} // namespace
} // namespace ondira_e2e
