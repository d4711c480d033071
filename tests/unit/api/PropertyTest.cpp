#include <ondira/Property.h>

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <cmath>
#include <limits>
#include <string>
#include <type_traits>

using ondira_test::ScopedWorkingDirectory;

namespace {

QByteArray entry(const char* name, const char* value)
{
    return QByteArray(name) + " = " + value + "\r\n----------------\r\n";
}

struct ViewCase {
    const char* text;
    int integer;
    float number;
};

TEST(Property, TextValueFillsTheOtherViewsFromTheWholeText)
{
    ScopedWorkingDirectory cwd;
    const ViewCase cases[] = {
        {"42", 42, 42.0f},
        {"-17", -17, -17.0f},
        {"+8", 8, 8.0f},
        {"1.5", 0, 1.5f},
        {"-0.25", 0, -0.25f},
        {"2e3", 0, 2000.0f},
        {".5", 0, 0.5f},
        {"abc", 0, 0.0f},
        {"12abc", 0, 0.0f},
        {"", 0, 0.0f},
        {"+-5", 0, 0.0f},
        {"0x10", 0, 0.0f},
        {"inf", 0, 0.0f},
        {"nan", 0, 0.0f},
        {"1e", 0, 0.0f},
        {"99999999999", 0, 99999999999.0f}, // beyond int, still a number
        {"1e39", 0, 0.0f},                  // beyond float
    };
    for (const ViewCase& c : cases) {
        SCOPED_TRACE(c.text);
        Property property("name", c.text);
        EXPECT_STREQ(property.getValueAsString(), c.text);
        EXPECT_EQ(property.getValueAsInteger(), c.integer);
        EXPECT_FLOAT_EQ(property.getValueAsFloat(), c.number);
    }
    EXPECT_TRUE(cwd.readFile("log.txt").isEmpty());
}

TEST(Property, FloatValueTruncatesAndFormatsWithSixSignificantDigits)
{
    ScopedWorkingDirectory cwd;
    struct Case {
        float value;
        int integer;
        const char* text;
    };
    const Case cases[] = {
        {1.5f, 1, "1.5"},         {1.7f, 1, "1.7"},     {2.9f, 2, "2.9"},
        {-2.9f, -2, "-2.9"},      {123456.7f, 123456, "123457"},
        {1000000.0f, 1000000, "1e+06"},                 {0.00001f, 0, "1e-05"},
        {0.0f, 0, "0"},           {100.0f, 100, "100"}, {2.4f, 2, "2.4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Property property("name", c.value);
        EXPECT_EQ(property.getValueAsInteger(), c.integer);
        EXPECT_FLOAT_EQ(property.getValueAsFloat(), c.value);
        EXPECT_STREQ(property.getValueAsString(), c.text);
    }
    EXPECT_TRUE(cwd.readFile("log.txt").isEmpty());
}

TEST(Property, FloatOutsideTheIntRangeSaturatesTheIntegerView)
{
    ScopedWorkingDirectory cwd;
    EXPECT_EQ(Property("a", 3e9f).getValueAsInteger(), std::numeric_limits<int>::max());
    EXPECT_EQ(Property("a", -3e9f).getValueAsInteger(), std::numeric_limits<int>::min());
    EXPECT_EQ(Property("a", std::numeric_limits<float>::infinity()).getValueAsInteger(),
              std::numeric_limits<int>::max());
    EXPECT_EQ(Property("a", std::numeric_limits<float>::quiet_NaN()).getValueAsInteger(), 0);
    EXPECT_EQ(Property("a", -2147483648.0f).getValueAsInteger(), std::numeric_limits<int>::min());
    EXPECT_EQ(Property("a", 2147483520.0f).getValueAsInteger(), 2147483520);
}

TEST(Property, IntegerValueFillsAllViewsAndAppendsOneLogEntry)
{
    ScopedWorkingDirectory cwd;
    Property property("Minus", -7);
    EXPECT_EQ(property.getValueAsInteger(), -7);
    EXPECT_FLOAT_EQ(property.getValueAsFloat(), -7.0f);
    EXPECT_STREQ(property.getValueAsString(), "-7");
    EXPECT_EQ(cwd.readFile("log.txt"), entry("Minus", "-7"));

    property.setValue(-5);
    property.setValue(std::numeric_limits<int>::min());
    EXPECT_EQ(cwd.readFile("log.txt"),
              entry("Minus", "-7") + entry("Minus", "-5") + entry("Minus", "-2147483648"));
}

TEST(Property, LogEntryIsByteExact)
{
    ScopedWorkingDirectory cwd;
    Property("BaudRate", 128000);
    const QByteArray log = cwd.readFile("log.txt");
    EXPECT_EQ(log.size(), 37);
    EXPECT_EQ(log, QByteArray("BaudRate = 128000\r\n----------------\r\n"));
}

TEST(Property, OnlyIntegerAssignmentsAreLogged)
{
    ScopedWorkingDirectory cwd;
    Property property("p", "1");
    property.setValue(2.5f);
    property.setValue("3");
    EXPECT_TRUE(cwd.readFile("log.txt").isEmpty());
    property.setValue(4);
    EXPECT_EQ(cwd.readFile("log.txt"), entry("p", "4"));
}

TEST(Property, NamesAndTextsKeepTheirFirstFiftyCharacters)
{
    ScopedWorkingDirectory cwd;
    const std::string sixty(60, 'n');
    const std::string digits = std::string(59, '0') + "7"; // 60 characters, value 7
    Property property(sixty.c_str(), digits.c_str());
    EXPECT_EQ(std::string(property.getName()), sixty.substr(0, 50));
    EXPECT_EQ(std::string(property.getValueAsString()), digits.substr(0, 50));
    // The numeric views come from all sixty characters.
    EXPECT_EQ(property.getValueAsInteger(), 7);
    EXPECT_FLOAT_EQ(property.getValueAsFloat(), 7.0f);

    const std::string fifty(50, 'x');
    EXPECT_EQ(std::string(Property(fifty.c_str(), "v").getName()), fifty);
}

TEST(Property, NullNameOrTextIsTakenAsEmpty)
{
    ScopedWorkingDirectory cwd;
    Property fromText(nullptr, static_cast<const char*>(nullptr));
    EXPECT_STREQ(fromText.getName(), "");
    EXPECT_STREQ(fromText.getValueAsString(), "");
    EXPECT_EQ(fromText.getValueAsInteger(), 0);

    Property fromInt(nullptr, 3);
    EXPECT_STREQ(fromInt.getName(), "");
    EXPECT_EQ(cwd.readFile("log.txt"), entry("", "3"));

    fromInt.setValue(static_cast<const char*>(nullptr));
    EXPECT_STREQ(fromInt.getValueAsString(), "");
}

TEST(Property, IsTriviallyCopyable)
{
    EXPECT_TRUE(std::is_trivially_copyable<Property>::value);
    ScopedWorkingDirectory cwd;
    Property original("copy", "12");
    Property copy = original;
    EXPECT_STREQ(copy.getName(), "copy");
    EXPECT_EQ(copy.getValueAsInteger(), 12);
}

TEST(Property, UnwritableWorkingDirectoryLosesTheEntrySilently)
{
    ScopedWorkingDirectory cwd;
    // A folder named like the log file makes every append fail, also as root.
    ASSERT_TRUE(QDir(cwd.path()).mkdir(QStringLiteral("log.txt")));
    Property property("Parity", 3);
    EXPECT_EQ(property.getValueAsInteger(), 3);
    EXPECT_STREQ(property.getValueAsString(), "3");
}

} // namespace
