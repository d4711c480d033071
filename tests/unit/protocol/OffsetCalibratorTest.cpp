#include "protocol/OffsetCalibrator.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>

using ondira::OffsetCalibrator;

namespace {

constexpr std::int32_t MIDDLE = 32500;
using Four = std::array<int, 4>;

class Calibrator : public ::testing::Test
{
protected:
    void SetUp() override { calibrator.setup(4); }

    void enable(const Four& flags)
    {
        for (std::uint8_t i = 0; i < 4; ++i)
            calibrator.setEnabled(i, flags[i] != 0);
    }
    // One update brings each average to its target: (v + a) / 2 = t for v = 2t - a.
    void setAverages(const Four& targets)
    {
        std::int32_t values[4];
        for (std::uint8_t i = 0; i < 4; ++i)
            values[i] = 2 * targets[i] - calibrator.getAverage(i);
        calibrator.updateAverages(values);
    }
    Four states() const { return four(&OffsetCalibrator::getChannelState); }
    Four offsets() const { return four(&OffsetCalibrator::getOffset); }
    template <typename Getter>
    Four four(Getter getter) const
    {
        Four values;
        for (std::uint8_t i = 0; i < 4; ++i)
            values[i] = (calibrator.*getter)(i);
        return values;
    }

    OffsetCalibrator calibrator;
};

// Default averages and enable flags show in the passes and updates below.
TEST_F(Calibrator, SetupGivesDefaults_ResetKeepsOffsetsAveragesAndFlags)
{
    EXPECT_EQ(calibrator.getChannelCount(), 4u);
    EXPECT_EQ(states(), (Four{21, 21, 21, 21}));
    EXPECT_EQ(offsets(), (Four{512, 512, 512, 512}));

    enable({1, 1, 1, 1});
    setAverages({MIDDLE, 500, MIDDLE, MIDDLE});
    ASSERT_EQ(calibrator.calibrate(), 3);
    calibrator.reset();
    EXPECT_EQ(states(), (Four{21, 21, 21, 21}));
    EXPECT_EQ(calibrator.getPosition(), 0);
    EXPECT_FALSE(calibrator.isWaiting());
    EXPECT_EQ(offsets(), (Four{512, 505, 512, 512})); // offsets, averages, flags stay
    EXPECT_EQ(calibrator.getAverage(1), 500);
    EXPECT_TRUE(calibrator.isEnabled(3));
}

TEST_F(Calibrator, PassWithNothingToDo_VisitsAllFourAndEndsWhereItBegan)
{
    calibrator.advance();
    calibrator.advance();
    calibrator.setWaiting(true);
    EXPECT_EQ(calibrator.calibrate(), 0);
    EXPECT_EQ(states(), (Four{17, 18, 19, 20}));
    EXPECT_FALSE(calibrator.isWaiting()); // a disabled channel ends any wait
    EXPECT_EQ(calibrator.getPosition(), 2);

    enable({1, 1, 0, 1});
    setAverages({1000, 64000, MIDDLE, 5000}); // both thresholds belong to the band
    EXPECT_EQ(calibrator.calibrate(), 0);
    EXPECT_EQ(states(), (Four{9, 10, 19, 12}));
    EXPECT_EQ(calibrator.getPosition(), 2);
    EXPECT_EQ(offsets(), (Four{512, 512, 512, 512}));
}

TEST_F(Calibrator, PassStopsAtTheFirstChannelOutsideTheBand_AndWaitsThere)
{
    enable({1, 0, 1, 1});
    setAverages({MIDDLE, MIDDLE, 64001, 999});
    EXPECT_EQ(calibrator.calibrate(), 8); // index 2 raised
    EXPECT_EQ(offsets(), (Four{512, 512, 519, 512}));
    EXPECT_EQ(states(), (Four{9, 18, 15, 21}));
    EXPECT_EQ(calibrator.getPosition(), 2);
    EXPECT_TRUE(calibrator.isWaiting());

    for (int pass = 0; pass < 3; ++pass) // until the headset confirms
        EXPECT_EQ(calibrator.calibrate(), 1);
    EXPECT_EQ(offsets(), (Four{512, 512, 519, 512}));

    calibrator.setWaiting(false); // confirmed: the engine moves on
    calibrator.advance();
    EXPECT_EQ(calibrator.calibrate(), 5); // index 3 lowered
    EXPECT_EQ(offsets(), (Four{512, 512, 519, 505}));
    EXPECT_EQ(calibrator.getChannelState(3), 16);

    // Disabling the waiting channel cancels the wait; the same pass goes on.
    calibrator.setEnabled(3, false);
    setAverages({500, MIDDLE, MIDDLE, MIDDLE});
    EXPECT_EQ(calibrator.calibrate(), 2);
    EXPECT_EQ(states(), (Four{13, 18, 15, 20}));
    EXPECT_EQ(calibrator.getPosition(), 0);
}

// Offsets move by 7 from 512: the lowest reachable in range is 29, the
// highest 995. One step further gives 22 or 1002, outside 25..1000: the
// offset goes back to 512 and the code turns negative.
TEST_F(Calibrator, OffsetLeavingTheRange_GoesBackTo512WithANegativeCode)
{
    const struct { std::uint8_t channel; int average, code, step, last; } cases[] = {
        {0, 999, 2, -7, 29}, {3, 64001, 9, +7, 995}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.channel));
        calibrator.setup(4);
        calibrator.setEnabled(c.channel, true);
        Four targets{MIDDLE, MIDDLE, MIDDLE, MIDDLE};
        targets[c.channel] = c.average;
        setAverages(targets);
        for (int expected = 512 + c.step; expected >= 25 && expected <= 1000; expected += c.step) {
            ASSERT_EQ(calibrator.calibrate(), c.code);
            ASSERT_EQ(calibrator.getOffset(c.channel), expected);
            calibrator.setWaiting(false);
        }
        EXPECT_EQ(calibrator.getOffset(c.channel), c.last);
        EXPECT_EQ(calibrator.calibrate(), -c.code);
        EXPECT_EQ(calibrator.getOffset(c.channel), 512);
        EXPECT_EQ(calibrator.getChannelState(c.channel), 13 + c.channel);
    }
}

TEST_F(Calibrator, UpdateAverages_NewValueWeighsHalf_TruncatingTowardZero)
{
    // -1 / 2 is 0 toward zero (not -1), 98035 / 2 is 49017; values far
    // beyond 16 bits neither overflow the sum nor lose their mean.
    const std::int32_t values[4] = {-32501, INT_MAX, INT_MIN, 65535};
    calibrator.updateAverages(values);
    EXPECT_EQ(calibrator.getAverage(0), 0);
    EXPECT_EQ(calibrator.getAverage(1), (std::int64_t(INT_MAX) + MIDDLE) / 2);
    EXPECT_EQ(calibrator.getAverage(2), (std::int64_t(INT_MIN) + MIDDLE) / 2);
    EXPECT_EQ(calibrator.getAverage(3), 49017);
    calibrator.updateAverages(values); // the stored average is the next one's base
    EXPECT_EQ(calibrator.getAverage(3), 57276);
}

TEST_F(Calibrator, ChannelBeyondTheCount_ReadsAsAFreshDisabledChannel)
{
    calibrator.setEnabled(4, true);
    EXPECT_FALSE(calibrator.isEnabled(4));
    EXPECT_EQ(calibrator.getChannelState(4), 21);
    EXPECT_EQ(calibrator.getOffset(4), 512);
    EXPECT_EQ(calibrator.getAverage(200), MIDDLE);

    OffsetCalibrator empty; // no channels before setup
    const std::int32_t values[4] = {1, 2, 3, 4};
    empty.updateAverages(values);
    empty.advance();
    empty.setWaiting(true);
    EXPECT_EQ(empty.calibrate(), 0);
    EXPECT_EQ(empty.getPosition(), 0);
    EXPECT_TRUE(empty.isWaiting()); // no channel was visited
}

} // namespace
