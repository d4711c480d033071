#include <ondira/OndiraData.h>
#include <ondira/PData.h>
#include <ondira/StatusData.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <type_traits>

namespace {

OndiraData sample(int c1 = 1, int c2 = 2, int c3 = 3, int c4 = 4)
{
    return OndiraData(c1, c2, c3, c4, OndiraData::FLAG_NONE, 0, 0);
}

TEST(OndiraData, ConstructorStoresEveryFieldUnchanged)
{
    const long long timestamp = (1LL << 40) + 123; // beyond 32 bits
    OndiraData data(-5, 0, 38570, 7, OndiraData::FLAG_LOST_SAMPLE, 0, timestamp);
    EXPECT_EQ(data.getChannel1(), -5);
    EXPECT_EQ(data.getChannel2(), 0);
    EXPECT_EQ(data.getChannel3(), 38570);
    EXPECT_EQ(data.getChannel4(), 7);
    EXPECT_EQ(data.getFlag(), OndiraData::FLAG_LOST_SAMPLE);
    EXPECT_EQ(data.getOffsetChangeIndex(), 0);
    EXPECT_EQ(data.getTimestamp(), timestamp);

    OndiraData marked(0, 0, 0, 0, OndiraData::FLAG_OFFSET_UP_CHANNEL_4, 255, -1);
    EXPECT_EQ(marked.getFlag(), 9);
    EXPECT_EQ(marked.getOffsetChangeIndex(), 255);
    EXPECT_EQ(marked.getTimestamp(), -1);
}

TEST(OndiraData, IndexedAccessCountsFromZeroAndFallsBackToChannelOne)
{
    OndiraData data = sample(10, 20, 30, 40);
    EXPECT_EQ(data.getDataFromChannel(0), 10);
    EXPECT_EQ(data.getDataFromChannel(1), 20);
    EXPECT_EQ(data.getDataFromChannel(2), 30);
    EXPECT_EQ(data.getDataFromChannel(3), 40);
    EXPECT_EQ(data.getDataFromChannel(4), 10);
    EXPECT_EQ(data.getDataFromChannel(255), 10);
}

TEST(OndiraData, SettersTruncateTowardZero)
{
    OndiraData data = sample();
    data.setChannel2(1000.999);
    EXPECT_EQ(data.getChannel2(), 1000);
    data.setDataToChannel(7.9, 0);
    EXPECT_EQ(data.getChannel1(), 7);
    data.setDataToChannel(-7.9, 3);
    EXPECT_EQ(data.getChannel4(), -7);
    data.setChannel3(-0.5);
    EXPECT_EQ(data.getChannel3(), 0);
}

TEST(OndiraData, SetDataToChannelIgnoresAnIndexAboveThree)
{
    OndiraData data = sample(1, 2, 3, 4);
    data.setDataToChannel(7.9, 4);
    data.setDataToChannel(7.9, 200);
    EXPECT_EQ(data.getChannel1(), 1);
    EXPECT_EQ(data.getChannel2(), 2);
    EXPECT_EQ(data.getChannel3(), 3);
    EXPECT_EQ(data.getChannel4(), 4);
}

TEST(OndiraData, SettersSaturateOutsideTheIntRangeAndMapNanToZero)
{
    const int max = std::numeric_limits<int>::max();
    const int min = std::numeric_limits<int>::min();
    OndiraData data = sample();
    data.setChannel1(1e12);
    data.setChannel2(-1e12);
    data.setChannel3(std::numeric_limits<double>::quiet_NaN());
    data.setChannel4(std::numeric_limits<double>::infinity());
    EXPECT_EQ(data.getChannel1(), max);
    EXPECT_EQ(data.getChannel2(), min);
    EXPECT_EQ(data.getChannel3(), 0);
    EXPECT_EQ(data.getChannel4(), max);

    data.setDataToChannel(-std::numeric_limits<double>::infinity(), 2);
    EXPECT_EQ(data.getChannel3(), min);
    // The limits themselves and values just inside them stay exact.
    data.setChannel1(2147483647.0);
    data.setChannel2(-2147483648.0);
    data.setChannel3(2147483646.9);
    EXPECT_EQ(data.getChannel1(), max);
    EXPECT_EQ(data.getChannel2(), min);
    EXPECT_EQ(data.getChannel3(), 2147483646);
}

TEST(Records, AreTriviallyCopyable)
{
    EXPECT_TRUE(std::is_trivially_copyable<OndiraData>::value);
    EXPECT_TRUE(std::is_trivially_copyable<StatusData>::value);
    EXPECT_EQ(sizeof(OndiraData::flagValue), 4u);
    EXPECT_EQ(sizeof(StatusData::statusCode), 4u);
}

struct StatusEntry {
    int code;
    const char* type;
    const char* text;
};

// The event texts and types are part of the library's contract: applications
// show and match them.
const StatusEntry kStatusTable[] = {
    {0, "ERROR", "Error while reading, writing or configuring the device. Please check that the device is plugged in, and not damaged and then open the device again."},
    {1, "ERROR", "Ondira is not responding, please check if the device is switched on and that the battery is charged"},
    {2, "WARNING", "Channel 1 is taking a long time to calibrate. Please check the contact with the skin"},
    {3, "WARNING", "Channel 2 is taking a long time to calibrate. Please check the contact with the skin"},
    {4, "WARNING", "Channel 3 is taking a long time to calibrate. Please check the contact with the skin"},
    {5, "WARNING", "Channel 4 is taking a long time to calibrate. Please check the contact with the skin"},
    {6, "ERROR", "Problem with the FTDI dynamic library. Please make sure the FTDI device drivers are installed correctly"},
    {7, "ERROR", "Cannot retrieve FW version."},
    {8, "ERROR", "Cannot retrieve tranceiver channel."},
    {9, "INFO", "Channel 1 is calibrated"},
    {10, "INFO", "Channel 2 is calibrated"},
    {11, "INFO", "Channel 3 is calibrated"},
    {12, "INFO", "Channel 4 is calibrated"},
    {13, "INFO", "Channel 1 is being calibrated"},
    {14, "INFO", "Channel 2 is being calibrated"},
    {15, "INFO", "Channel 3 is being calibrated"},
    {16, "INFO", "Channel 4 is being calibrated"},
    {17, "INFO", "Channel 1 is not being calibrated"},
    {18, "INFO", "Channel 2 is not being calibrated"},
    {19, "INFO", "Channel 3 is not being calibrated"},
    {20, "INFO", "Channel 4 is not being calibrated"},
    {21, "INFO", "Default channel state"},
    {22, "WARNING", "The device is not open. Please open the device before sending any other command"},
};

TEST(StatusData, EveryCodeHasItsTextAndType)
{
    for (const StatusEntry& entry : kStatusTable) {
        SCOPED_TRACE(entry.code);
        const auto code = static_cast<StatusData::statusCode>(entry.code);
        StatusData status(code);
        EXPECT_EQ(status.getCode(), code);
        EXPECT_STREQ(status.getString(), entry.text);
        EXPECT_STREQ(StatusData::getStringFromCode(code), entry.text);
        EXPECT_STREQ(StatusData::getTypeFromCode(code), entry.type);
        EXPECT_STREQ(StatusData::strStatus[entry.code], entry.text);
        EXPECT_STREQ(StatusData::strType[entry.code], entry.type);
    }
    EXPECT_STREQ(StatusData::strStatus[23], "Invalid status code");
    EXPECT_STREQ(StatusData::strType[23], "Invalid status code");
}

TEST(StatusData, CodesOutsideTheTableReadAsInvalidButKeepTheirValue)
{
    for (int value : {23, 24, 1000, -1, std::numeric_limits<int>::min()}) {
        SCOPED_TRACE(value);
        const auto code = static_cast<StatusData::statusCode>(value);
        StatusData status(code);
        EXPECT_EQ(static_cast<int>(status.getCode()), value);
        EXPECT_STREQ(status.getString(), "Invalid status code");
        EXPECT_STREQ(StatusData::getStringFromCode(code), "Invalid status code");
        EXPECT_STREQ(StatusData::getTypeFromCode(code), "Invalid status code");
    }
}

TEST(StatusData, TextsAreStaticAndStable)
{
    const char* first = StatusData(StatusData::DEVICE_NOT_OPEN).getString();
    const char* second = StatusData::getStringFromCode(StatusData::DEVICE_NOT_OPEN);
    EXPECT_EQ(first, second);
}

class CountingRecord
{
public:
    ~CountingRecord() { ++destroyed; }
    static int destroyed;
};
int CountingRecord::destroyed = 0;

TEST(PData, CarriesThePointerAndDoesNotOwnTheRecord)
{
    auto* record = new CountingRecord;
    {
        PData envelope(record);
        EXPECT_EQ(envelope.getData(), record);
    }
    EXPECT_EQ(CountingRecord::destroyed, 0);
    delete record;
    EXPECT_EQ(CountingRecord::destroyed, 1);
}

} // namespace
