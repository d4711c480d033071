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

TEST_F(Calibrator, SetupAndReset)
{
    EXPECT_EQ(calibrator.getChannelCount(), 4u);
    EXPECT_EQ(states(), (Four{21, 21, 21, 21}));
    EXPECT_EQ(offsets(), (Four{512, 512, 512, 512}));
    for (std::uint8_t i = 0; i < 4; ++i) {
        EXPECT_FALSE(calibrator.isEnabled(i));
        EXPECT_EQ(calibrator.getAverage(i), MIDDLE);
    }

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
    enable({1, 0, 0, 1});
    setAverages({999, MIDDLE, MIDDLE, 64001});
    for (int expected = 512 - 7; expected >= 25; expected -= 7) {
        ASSERT_EQ(calibrator.calibrate(), 2);
        ASSERT_EQ(calibrator.getOffset(0), expected);
        calibrator.setWaiting(false);
    }
    EXPECT_EQ(calibrator.getOffset(0), 29);
    EXPECT_EQ(calibrator.calibrate(), -2);
    EXPECT_EQ(calibrator.getOffset(0), 512);
    EXPECT_EQ(calibrator.getChannelState(0), 13);

    calibrator.setEnabled(0, false);
    for (int expected = 512 + 7; expected <= 1000; expected += 7) {
        ASSERT_EQ(calibrator.calibrate(), 9);
        ASSERT_EQ(calibrator.getOffset(3), expected);
        calibrator.setWaiting(false);
    }
    EXPECT_EQ(calibrator.getOffset(3), 995);
    EXPECT_EQ(calibrator.calibrate(), -9);
    EXPECT_EQ(calibrator.getOffset(3), 512);
}

TEST_F(Calibrator, UpdateAverages_NewValueWeighsHalf_TruncatingTowardZero)
{
    const std::int32_t zeros[4] = {0, 0, 0, 0};
    for (std::int32_t expected : {16250, 8125, 4062, 2031}) {
        calibrator.updateAverages(zeros);
        EXPECT_EQ(calibrator.getAverage(2), expected);
    }
    // -1 / 2 is 0 toward zero (not -1); values far beyond 16 bits neither
    // overflow the sum nor lose their mean.
    calibrator.setup(4);
    const std::int32_t values[4] = {-32501, INT_MAX, INT_MIN, 65535};
    calibrator.updateAverages(values);
    EXPECT_EQ(calibrator.getAverage(0), 0);
    EXPECT_EQ(calibrator.getAverage(1), (std::int64_t(INT_MAX) + MIDDLE) / 2);
    EXPECT_EQ(calibrator.getAverage(2), (std::int64_t(INT_MIN) + MIDDLE) / 2);
    EXPECT_EQ(calibrator.getAverage(3), (65535 + MIDDLE) / 2);
}

TEST_F(Calibrator, ChannelBeyondTheCount_ReadsAsAFreshDisabledChannel)
{
    for (int position : {1, 2, 3, 0}) {
        calibrator.advance();
        EXPECT_EQ(calibrator.getPosition(), position);
    }
    calibrator.setEnabled(4, true);
    calibrator.setEnabled(255, true);
    EXPECT_FALSE(calibrator.isEnabled(4));
    EXPECT_FALSE(calibrator.isEnabled(255));
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
