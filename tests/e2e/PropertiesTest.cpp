// Reading and changing settings through named properties.

#include "E2eFixture.h"

namespace ondira_e2e {
namespace {

using Properties = E2eTest;
using Codes = std::vector<StatusData::statusCode>;

QByteArray logEntry(const char* name, const char* value)
{
    return QByteArray(name) + " = " + value + "\r\n----------------\r\n";
}

TEST_F(Properties, FirmwareVersionsAreReadFromDongleAndHeadset)
{
    configure("fw_dongle=12 fw_headset=5");
    ASSERT_TRUE(ondira->openDevice());
    const QByteArray logBefore = cwd.readFile("log.txt");

    Property* usb = ondira->getProperty(Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION);
    ASSERT_NE(usb, nullptr);
    EXPECT_STREQ(usb->getValueAsString(), "2.4");
    EXPECT_FLOAT_EQ(usb->getValueAsFloat(), 2.4f);
    EXPECT_EQ(usb->getValueAsInteger(), 2);

    Property* headset = ondira->getProperty(Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION);
    ASSERT_NE(headset, nullptr);
    EXPECT_STREQ(headset->getValueAsString(), "1.7");
    EXPECT_EQ(headset->getValueAsInteger(), 1);

    const auto commands = commandsOf(0);
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[commands.size() - 2].bytes, bytes({0x05, 0x12, 0x34, 0x12, 0x34, 0xA0}));
    EXPECT_EQ(commands.back().bytes, bytes({0x05, 0x12, 0x35, 0x12, 0x34, 0xA0}));
    EXPECT_EQ(traces.count(QStringLiteral("asking USB FW version... ")), 1);
    EXPECT_EQ(traces.count(QStringLiteral("asking Ondira FW version ")), 1);
    // Firmware versions are floats: no log entry.
    EXPECT_EQ(cwd.readFile("log.txt"), logBefore);
    EXPECT_FALSE(ondira->setProperty(Property(Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION, 3)));
    EXPECT_FALSE(ondira->setProperty(Property(Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION, "1")));
}

TEST_F(Properties, RadioChannelsAreReadAndSetOnEitherUnit)
{
    configure("channel_dongle=9 channel_headset=11");
    ASSERT_TRUE(ondira->openDevice());

    Property* usb = ondira->getProperty(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL);
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->getValueAsInteger(), 9);
    EXPECT_EQ(commandsOf(0).back().bytes, bytes({0x06, 0x12, 0x34, 0x12, 0x34, 0xA8, 0x02}));
    Property* headset = ondira->getProperty(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL);
    ASSERT_NE(headset, nullptr);
    EXPECT_EQ(headset->getValueAsInteger(), 11);
    EXPECT_EQ(traces.count(QStringLiteral("Getting USB transmission channel ")), 1);

    ASSERT_TRUE(ondira->setProperty(Property(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL, 15)));
    EXPECT_EQ(commandsOf(0).back().bytes,
              bytes({0x07, 0x12, 0x35, 0x12, 0x34, 0xA9, 0x02, 0x0F}));
    EXPECT_EQ(traces.count(QStringLiteral("Sending Ondira transmission channel ")), 1);
    EXPECT_EQ(stateOf(0).headsetChannel, 15);
    // Only the low 8 bits count: 256 + 3 sets channel 3 on the dongle.
    ASSERT_TRUE(ondira->setProperty(Property(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL, 259)));
    EXPECT_EQ(stateOf(0).dongleChannel, 3);
    EXPECT_EQ(ondira->getProperty(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL)->getValueAsInteger(), 3);
    EXPECT_EQ(statuses.statusCount(), 0u);

    // Channel 16 is refused without a word on the wire.
    const int before = ondira_sim_command_count(0);
    EXPECT_FALSE(ondira->setProperty(Property(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL, 16)));
    EXPECT_EQ(ondira_sim_command_count(0), before);
    EXPECT_EQ(statuses.statusCount(), 0u);
}

TEST_F(Properties, SilentDongleLeavesTheChannelPropertyWithoutValue)
{
    configure("");
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_EQ(ondira_sim_set(0, "silent=1"), 0);
    EXPECT_EQ(ondira->getProperty(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL), nullptr);
    EXPECT_EQ(traces.count(QStringLiteral("Getting USB transmission channel ")), 7);
    EXPECT_EQ(statuses.statuses(), Codes{StatusData::TRANSCEIVER_CHANNEL_ERROR});
    // No acknowledgement after seven set requests: false, no event.
    EXPECT_FALSE(ondira->setProperty(Property(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL, 4)));
    EXPECT_EQ(statuses.statusCount(), 1u);
}

TEST_F(Properties, ChannelSwitchesAcceptOnlyZeroAndOneInTheLowByte)
{
    configure("");
    auto enabled = [&](const char* name) { return ondira->getProperty(name)->getValueAsInteger(); };
    EXPECT_EQ(enabled(Ondira::STR_PROPERTY_ENABLE_CHANNEL_2), 0);
    EXPECT_FALSE(ondira->setProperty(Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_2, 2)));
    EXPECT_EQ(enabled(Ondira::STR_PROPERTY_ENABLE_CHANNEL_2), 0);
    EXPECT_TRUE(ondira->setProperty(Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_2, 1)));
    EXPECT_EQ(enabled(Ondira::STR_PROPERTY_ENABLE_CHANNEL_2), 1);
    EXPECT_EQ(enabled(Ondira::STR_PROPERTY_ENABLE_CHANNEL_1), 0);

    EXPECT_TRUE(ondira->setProperty(Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, 1)));
    EXPECT_TRUE(ondira->setProperty(Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, 256)));
    EXPECT_EQ(enabled(Ondira::STR_PROPERTY_ENABLE_CHANNEL_1), 0);
    EXPECT_TRUE(ondira->setProperty(Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_4, "1")));
    EXPECT_EQ(enabled(Ondira::STR_PROPERTY_ENABLE_CHANNEL_4), 1);
    EXPECT_EQ(enabled(Ondira::STR_PROPERTY_ENABLE_CHANNEL_3), 0);
}

TEST_F(Properties, SerialSettingsAreKeptWhileClosedAndAppliedAtOpen)
{
    configure("");
    Property* readTimeout = ondira->getProperty("Read Timeout");
    ASSERT_NE(readTimeout, nullptr);
    EXPECT_EQ(readTimeout->getValueAsInteger(), 50); // the device's, not the table's 10

    EXPECT_FALSE(ondira->setProperty(Property("BaudRate", 921600))); // no device yet
    EXPECT_EQ(ondira->getProperty("BaudRate")->getValueAsInteger(), 921600);
    EXPECT_FALSE(ondira->setProperty(Property("BaudRate", 299)));
    EXPECT_EQ(ondira->getProperty("BaudRate")->getValueAsInteger(), 921600);
    EXPECT_FALSE(ondira->setProperty(Property("Parity", 257))); // reaches the device as 1
    EXPECT_EQ(ondira->getProperty("Parity")->getValueAsInteger(), 1);
    EXPECT_FALSE(ondira->setProperty(Property("LatencyTimer", 1)));
    EXPECT_EQ(ondira->getProperty("LatencyTimer")->getValueAsInteger(), 16);

    ASSERT_TRUE(ondira->openDevice());
    OndiraSimDeviceState state = stateOf(0);
    EXPECT_EQ(state.baudRate, 921600u);
    EXPECT_EQ(state.parity, 1u);
    EXPECT_EQ(ondira->getProperty("Read Timeout")->getValueAsInteger(), 100);

    EXPECT_TRUE(ondira->setProperty(Property("BaudRate", 115200)));
    EXPECT_TRUE(ondira->setProperty(Property("WordLength", 7)));
    EXPECT_TRUE(ondira->setProperty(Property("StopBits", 2)));
    EXPECT_TRUE(ondira->setProperty(Property("Parity", 0)));
    EXPECT_TRUE(ondira->setProperty(Property("LatencyTimer", 255)));
    EXPECT_TRUE(ondira->setProperty(Property("Read Timeout", 300))); // low byte: 44
    EXPECT_FALSE(ondira->setProperty(Property("WordLength", 9)));
    state = stateOf(0);
    EXPECT_EQ(state.baudRate, 115200u);
    EXPECT_EQ(state.wordLength, 7u);
    EXPECT_EQ(state.stopBits, 2u);
    EXPECT_EQ(state.parity, 0u);
    EXPECT_EQ(state.latencyTimer, 255u);
    EXPECT_EQ(state.readTimeout, 44u);
    EXPECT_EQ(ondira->getProperty("WordLength")->getValueAsInteger(), 7);
    EXPECT_EQ(statuses.statusCount(), 0u);
}

TEST_F(Properties, LookupIsExactAndEntriesAreStable)
{
    configure("");
    EXPECT_EQ(ondira->getProperty("baudrate"), nullptr);
    EXPECT_EQ(ondira->getProperty("BaudRate "), nullptr);
    EXPECT_EQ(ondira->getProperty("Unknown"), nullptr);
    EXPECT_EQ(ondira->getProperty(nullptr), nullptr);
    Property* first = ondira->getProperty("Parity");
    EXPECT_EQ(ondira->getProperty("Parity"), first);
    EXPECT_TRUE(ondira->setProperty(Property("Unknown", 5)));
    EXPECT_TRUE(ondira->setProperty(Property(nullptr, 5)));
}

TEST_F(Properties, EveryIntegerReadAppendsOneLogEntry)
{
    configure("");
    const QByteArray constructed = cwd.readFile("log.txt");
    ondira->getProperty("BaudRate");
    ondira->getProperty("BaudRate");
    ondira->getProperty(Ondira::STR_PROPERTY_ENABLE_CHANNEL_3);
    EXPECT_EQ(cwd.readFile("log.txt"),
              constructed + logEntry("BaudRate", "128000") + logEntry("BaudRate", "128000")
                  + logEntry("Channel 3 Enabled", "0"));
    // A transmission channel that cannot be read gives no entry.
    ondira->getProperty(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL);
    EXPECT_EQ(cwd.readFile("log.txt").size(),
              (constructed + logEntry("BaudRate", "128000") + logEntry("BaudRate", "128000")
               + logEntry("Channel 3 Enabled", "0")).size());
}

} // namespace
} // namespace ondira_e2e
