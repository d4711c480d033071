// The virtual headset's fault switches, handle checks and configuration errors.

#include "SimPort.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

using namespace sim_test;

namespace {

void configure(const char* text)
{
    ASSERT_EQ(ondira_sim_configure(text), 0) << ondira_sim_last_error();
}

std::uint32_t status(void* handle)
{
    std::uint32_t rx = 0, tx = 0, events = 0;
    return FT_GetStatus(handle, &rx, &tx, &events);
}

} // namespace

TEST(SimFaults, OpenRulesAndHandleChecks)
{
    configure("devices=3 2.refuse_open=1");
    void* first = nullptr;
    void* again = nullptr;
    ASSERT_EQ(FT_Open(0, &first), 0u);
    EXPECT_NE(FT_Open(0, &again), 0u) << "an index already open";
    EXPECT_NE(FT_Open(2, &again), 0u) << "refuse_open";
    EXPECT_NE(FT_Open(3, &again), 0u) << "no such index";
    EXPECT_NE(FT_Open(-1, &again), 0u);

    EXPECT_EQ(FT_Close(first), 0u);
    EXPECT_NE(status(first), 0u) << "a closed handle";
    EXPECT_NE(FT_Close(first), 0u);
    EXPECT_NE(status(reinterpret_cast<void*>(0x1234)), 0u) << "an unknown handle";

    ASSERT_EQ(FT_Open(0, &first), 0u);
    EXPECT_EQ(status(first), 0u);
    configure("");
    EXPECT_NE(status(first), 0u) << "a handle from before the configuration";
    EXPECT_EQ(state().openCount, 0u);
}

TEST(SimFaults, UnpluggedDeviceFailsIoAndStaysAway)
{
    configure("devices=2 1.unplug_after_ms=1000 timescale=10");
    Port port(0);
    Port timed(1);
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(status(timed.get()), 0u);

    ondira_sim_unplug(0);
    std::uint32_t count = 0;
    unsigned char byte = 0;
    EXPECT_NE(status(port.get()), 0u);
    EXPECT_NE(FT_Read(port.get(), &byte, 1, &count), 0u);
    EXPECT_NE(FT_Write(port.get(), &byte, 1, &count), 0u);
    EXPECT_TRUE(state(0).unplugged);
    void* handle = nullptr;
    EXPECT_EQ(FT_Close(port.get()), 0u);
    EXPECT_NE(FT_Open(0, &handle), 0u);

    // One second of model time is 100 ms at ten times real time.
    EXPECT_TRUE(ondira_test::waitFor([&] { return status(timed.get()) != 0; }));
    EXPECT_TRUE(state(1).unplugged);
}

TEST(SimFaults, WritesFailOnceNCommandsArrived)
{
    configure("fail_writes_after=2");
    Port port;
    EXPECT_EQ(port.send(shortCommand(DONGLE, DONGLE, 0xA0)), 0u);
    EXPECT_EQ(port.send(shortCommand(HEADSET, DONGLE, 0xA0)), 0u);
    EXPECT_NE(port.send(shortCommand(0, 0, 0xB7)), 0u);
    EXPECT_EQ(state().commandCount, 2u);
}

TEST(SimFaults, FailingCloseNamedEntryPointsAndCount)
{
    configure("fail_close=1 fail=FT_Purge,FT_SetBaudRate");
    void* handle = nullptr;
    ASSERT_EQ(FT_Open(0, &handle), 0u);
    EXPECT_NE(FT_Purge(handle, 3), 0u);
    EXPECT_NE(FT_SetBaudRate(handle, 9600), 0u);
    EXPECT_EQ(FT_SetTimeouts(handle, 100, 1000), 0u);
    EXPECT_EQ(FT_ResetDevice(handle), 0u);
    EXPECT_NE(FT_Close(handle), 0u);
    EXPECT_FALSE(state().open) << "a failing close still releases the handle";
    ASSERT_EQ(FT_Open(0, &handle), 0u);

    std::uint32_t devices = 0;
    EXPECT_EQ(FT_ListDevices(&devices, nullptr, ONDIRA_SIM_LIST_NUMBER_ONLY), 0u);
    EXPECT_EQ(devices, 1u);
    configure("list_fails=1");
    EXPECT_NE(FT_ListDevices(&devices, nullptr, ONDIRA_SIM_LIST_NUMBER_ONLY), 0u);
}

TEST(SimFaults, IgnoreStopKeepsTheHeadsetStreaming)
{
    configure("fast=1 ignore_stop=1");
    Port port;
    port.send(startStream());
    port.send(stopStream());
    EXPECT_TRUE(state().streaming);
    EXPECT_EQ(port.readExactly(PACKET_SIZE).size(), PACKET_SIZE);

    // Switching the headset off ends the stream.
    ASSERT_EQ(ondira_sim_set(0, "headset=off"), 0);
    EXPECT_FALSE(state().streaming);
}

TEST(SimConfig, InvalidKeyOrValue_ReportedWithValidKeysAndNothingOpens)
{
    for (const char* bad : {"devcies=2", "loss=2", "devices=2 3.silent=1", "fail=FT_Nothing", "headset=1",
                            "dongle_index=1", "seed"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(ondira_sim_configure(bad), -1) << bad;
        const std::string printed = testing::internal::GetCapturedStderr();
        const std::string message = ondira_sim_last_error();
        EXPECT_NE(printed.find(message), std::string::npos) << bad;
        EXPECT_NE(message.find("Valid keys: devices dongle_index"), std::string::npos) << message;
        void* handle = nullptr;
        EXPECT_NE(FT_Open(0, &handle), 0u) << bad;
    }
    EXPECT_NE(std::string(ondira_sim_last_error()).find("seed"), std::string::npos);

    configure("devices=2 1.address=0x2000");
    EXPECT_STREQ(ondira_sim_last_error(), "");
    EXPECT_EQ(state(1).dongleAddress, 0x2000u);
    Port port(1);
    EXPECT_TRUE(port.isOpen());

    // A running device takes per-device keys only, and a typo still closes the door.
    testing::internal::CaptureStderr();
    EXPECT_EQ(ondira_sim_set(1, "seed=3"), -1);
    EXPECT_EQ(ondira_sim_set(0, "radio_delay=3"), -1);
    testing::internal::GetCapturedStderr();
    void* handle = nullptr;
    EXPECT_NE(FT_Open(0, &handle), 0u);
}

TEST(SimConfig, CaptureRecordsEveryHostByteWithTime)
{
    QTemporaryDir dir;
    const std::string path = QDir(dir.path()).filePath(QStringLiteral("capture.txt")).toStdString();
    configure(("capture=" + path).c_str());
    {
        Port port;
        port.send(shortCommand(0, 0, 0xB7));
    }
    configure(""); // closes the file

    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> fields = file.readAll().trimmed().split(' ');
    ASSERT_EQ(fields.size(), 2 + 126 + 6);
    bool isNumber = false;
    EXPECT_GE(fields[0].toDouble(&isNumber), 0.0);
    EXPECT_TRUE(isNumber);
    EXPECT_EQ(fields[1], "0");
    EXPECT_EQ(fields[2], "00");
    EXPECT_EQ(fields.mid(128).join(' '), "05 00 00 00 00 B7");
}
