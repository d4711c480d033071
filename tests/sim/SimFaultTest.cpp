// The virtual headset's fault switches, handle checks and configuration errors.

#include "SimPort.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

using namespace sim_test;

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
    void* port = openPort(0);
    void* timed = openPort(1);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(status(timed), 0u);

    ondira_sim_unplug(0);
    std::uint32_t count = 0;
    unsigned char byte = 0;
    EXPECT_NE(status(port), 0u);
    EXPECT_NE(FT_Read(port, &byte, 1, &count), 0u);
    EXPECT_NE(FT_Write(port, &byte, 1, &count), 0u);
    EXPECT_TRUE(state(0).unplugged);
    void* handle = nullptr;
    EXPECT_EQ(FT_Close(port), 0u);
    EXPECT_NE(FT_Open(0, &handle), 0u);

    // One second of model time is 100 ms at ten times real time.
    EXPECT_TRUE(ondira_test::waitFor([&] { return status(timed) != 0; }));
    EXPECT_TRUE(state(1).unplugged);
}

// A re-plugged device opens again; the handle held across the unplug stays
// dead until closed, and the headset's stream goes on. The timed switches
// fire once: the device does not unplug again after it was re-plugged.
TEST(SimFaults, ReplugOpensAgainAndTheOldHandleStaysDead)
{
    configure("fast=1");
    void* port = openPort();
    send(port, START_STREAM);
    ASSERT_EQ(receive(port, PACKET_SIZE).size(), PACKET_SIZE);
    ondira_sim_unplug(0);
    ondira_sim_replug(0);
    EXPECT_FALSE(state().unplugged);
    EXPECT_NE(status(port), 0u) << "a handle from before the unplug";
    void* handle = nullptr;
    EXPECT_NE(FT_Open(0, &handle), 0u) << "the old handle still holds the index";
    EXPECT_EQ(FT_Close(port), 0u);
    port = openPort();
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(state().streaming);
    EXPECT_EQ(receive(port, PACKET_SIZE).size(), PACKET_SIZE);
    EXPECT_EQ(state().openCount, 2u);

    configure("unplug_after_ms=1000 replug_after_ms=2000 timescale=20");
    port = openPort();
    EXPECT_TRUE(ondira_test::waitFor([&] { return status(port) != 0; })); // 50 ms
    EXPECT_TRUE(state().unplugged);
    EXPECT_TRUE(ondira_test::waitFor([&] { return !state().unplugged; })); // 100 ms more
    EXPECT_NE(status(port), 0u);
    FT_Close(port);
    port = openPort();
    ASSERT_NE(port, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // 2 s of model time
    EXPECT_EQ(status(port), 0u) << "unplug_after_ms fires once";
}

// fail= fails the entry points it names and no other; a failing close still
// releases the handle; overcount adds one to the count a read or write
// reports; writes fail once fail_writes_after commands arrived.
TEST(SimFaults, EntryPointSwitches_FailOrMiscountOnlyWhatTheyName)
{
    configure("fail_close=1 fail=FT_Purge,FT_SetBaudRate overcount=1 fail_writes_after=2");
    void* handle = nullptr;
    ASSERT_EQ(FT_Open(0, &handle), 0u);
    EXPECT_NE(FT_Purge(handle, 3), 0u);
    EXPECT_NE(FT_SetBaudRate(handle, 9600), 0u);
    EXPECT_EQ(FT_SetTimeouts(handle, 1000, 1000), 0u);
    EXPECT_EQ(FT_ResetDevice(handle), 0u);

    Bytes request = IDENTITY_REQUEST;
    unsigned char reply[8] = {};
    std::uint32_t count = 0;
    EXPECT_EQ(FT_Write(handle, request.data(), 6, &count), 0u);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(FT_Read(handle, reply, 8, &count), 0u);
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(reply[7], 0x34);
    EXPECT_EQ(FT_Write(handle, request.data(), 6, &count), 0u);
    EXPECT_NE(FT_Write(handle, request.data(), 6, &count), 0u);
    EXPECT_EQ(state().commandCount, 2u);

    EXPECT_NE(FT_Close(handle), 0u);
    EXPECT_FALSE(state().open);

    std::uint32_t devices = 0;
    EXPECT_EQ(FT_ListDevices(&devices, nullptr, ONDIRA_SIM_LIST_NUMBER_ONLY), 0u);
    EXPECT_EQ(devices, 1u);
    configure("list_fails=1");
    EXPECT_NE(FT_ListDevices(&devices, nullptr, ONDIRA_SIM_LIST_NUMBER_ONLY), 0u);
}

// silent quiets the dongle, headset=off the headset (and ends a stream),
// ignore_stop keeps a stream going, dongle_index leaves the other devices
// without an answering dongle.
TEST(SimFaults, HeadsetSwitches_SilenceOneSideOrKeepStreaming)
{
    configure("silent=1");
    void* port = openPort();
    for (const Bytes& request : {IDENTITY_REQUEST, command(0xA0, DONGLE), command(0xA0)})
        send(port, request);
    EXPECT_EQ(receive(port, 7), (Bytes{0x06, 0x12, 0x34, 0x12, 0x35, 0xC0, 23}));
    EXPECT_TRUE(receive(port, 1, 0).empty());

    configure("headset=off");
    port = openPort();
    for (const Bytes& request : {command(0xA0), START_STREAM, command(0xA0, DONGLE)})
        send(port, request);
    EXPECT_EQ(receive(port, 7), (Bytes{0x06, 0x12, 0x34, 0x12, 0x34, 0xC0, 12}));
    EXPECT_TRUE(receive(port, 1, 0).empty());
    EXPECT_FALSE(state().streaming);

    configure("fast=1 ignore_stop=1");
    port = openPort();
    send(port, START_STREAM);
    send(port, registerWrite(0x200, 0));
    EXPECT_TRUE(state().streaming);
    EXPECT_EQ(receive(port, PACKET_SIZE).size(), PACKET_SIZE);
    ASSERT_EQ(ondira_sim_set(0, "headset=off"), 0);
    EXPECT_FALSE(state().streaming);

    configure("devices=2 dongle_index=1");
    void* plain = openPort(0);
    port = openPort(1);
    send(plain, IDENTITY_REQUEST);
    send(port, IDENTITY_REQUEST);
    EXPECT_EQ(receive(port, 8), (Bytes{0x07, 0x00, 0x00, 0x00, 0x00, 0xCF, 0x12, 0x44})); // its own address
    EXPECT_TRUE(receive(plain, 1, 0).empty());
}

// hold stops a stream's packets until it is released, and it then goes on
// with the next packet number; unplug_after_packets unplugs the device
// instead of packet N, every packet before it reaching the host.
TEST(SimFaults, StreamSwitches_HoldThePacketsOrUnplugAfterN)
{
    configure("fast=1 hold=1 unplug_after_packets=3");
    void* port = openPort();
    send(port, START_STREAM);
    EXPECT_TRUE(state().streaming);
    EXPECT_TRUE(receive(port, 1, 0).empty()) << "held";
    ASSERT_EQ(ondira_sim_set(0, "hold=0"), 0);
    for (unsigned sequence = 0; sequence < 3; ++sequence) {
        const Bytes packet = receive(port, PACKET_SIZE);
        ASSERT_EQ(packet.size(), PACKET_SIZE);
        EXPECT_EQ(packet[6], sequence) << "the numbers go on where they were held";
    }
    std::uint32_t count = 0;
    unsigned char byte = 0;
    EXPECT_NE(FT_Read(port, &byte, 1, &count), 0u) << "unplugged instead of the fourth packet";
    EXPECT_TRUE(state().unplugged);
    EXPECT_EQ(state().packetsSent, 3u);
}

// drop and loss lose data packets on the radio link, whose sequence numbers
// stay used; garbage puts runs of 1..16 bytes before packets.
TEST(SimFaults, RadioSwitches_LoseOrGarblePackets)
{
    configure("fast=1 drop=2,3,7");
    void* port = openPort();
    send(port, START_STREAM);
    std::vector<int> sequence;
    for (int i = 0; i < 6; ++i)
        sequence.push_back(receive(port, PACKET_SIZE).at(6));
    EXPECT_EQ(sequence, (std::vector<int>{0, 1, 4, 5, 6, 8}));
    EXPECT_EQ(state().packetsLost, 3u);

    configure("fast=1 loss=1");
    port = openPort();
    send(port, START_STREAM);
    EXPECT_TRUE(receive(port, 1, 0).empty());
    EXPECT_GT(state().packetsLost, 0u);
    EXPECT_EQ(state().packetsSent, 0u);

    configure("fast=1 garbage=1 seed=7");
    port = openPort();
    send(port, START_STREAM);
    const Bytes stream = receive(port, 4000);
    const Bytes header = {0x3A, 0x12, 0x34, 0x12, 0x35, 0xD1};
    auto position = stream.begin();
    int packets = 0;
    for (;;) {
        const auto found = std::search(position, stream.end(), header.begin(), header.end());
        if (stream.end() - found < std::ptrdiff_t(PACKET_SIZE))
            break;
        EXPECT_GE(found - position, 1);
        EXPECT_LE(found - position, 16);
        EXPECT_EQ(found[6], std::uint8_t(packets));
        position = found + PACKET_SIZE;
        ++packets;
    }
    EXPECT_GT(packets, 40);
}

TEST(SimConfig, InvalidKeyOrValue_ReportedWithValidKeysAndNothingOpens)
{
    for (const char* bad : {"devcies=2", "loss=2", "devices=2 3.silent=1", "fail=FT_Nothing", "headset=1",
                            "dongle_index=1", "seed"}) {
        SCOPED_TRACE(bad);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ondira_sim_configure(bad), -1);
        const std::string printed = testing::internal::GetCapturedStderr();
        const std::string message = ondira_sim_last_error();
        EXPECT_NE(printed.find(message), std::string::npos);
        EXPECT_NE(message.find("Valid keys: devices dongle_index"), std::string::npos) << message;
        void* handle = nullptr;
        EXPECT_NE(FT_Open(0, &handle), 0u);
    }
    EXPECT_NE(std::string(ondira_sim_last_error()).find("seed"), std::string::npos);

    configure("devices=2 1.address=0x2000");
    EXPECT_STREQ(ondira_sim_last_error(), "");
    EXPECT_EQ(state(1).dongleAddress, 0x2000u);
    EXPECT_NE(openPort(1), nullptr);

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
    send(openPort(), IDENTITY_REQUEST);
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
