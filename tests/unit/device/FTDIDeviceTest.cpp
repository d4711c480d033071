#include "device/FTDIDevice.h"

#include "TestSupport.h"
#include "ondira_sim.h"

#include <QByteArray>
#include <QLibrary>

#include <gtest/gtest.h>

#include <array>
#include <vector>

using ondira::FTDIDevice;

namespace {

using Bytes = std::vector<unsigned char>;
/// Baud rate, word length, stop bits, parity, read timeout, latency timer.
using Settings = std::array<unsigned, 6>;

const Settings DEFAULTS{128000, 8, 0, 0, 50, 16};
const std::array<unsigned char, 126> ZEROS{};
const unsigned char IDENTITY_REQUEST[] = {0x05, 0x00, 0x00, 0x00, 0x00, 0xB7};

OndiraSimDeviceState simState(int device = 0)
{
    OndiraSimDeviceState state{};
    EXPECT_EQ(ondira_sim_get_state(device, &state), 0);
    return state;
}

Settings held(const FTDIDevice& d)
{
    return {d.getBaudRate(), d.getWordLength(), d.getStopBits(), d.getParity(), d.getReadTimeout(),
            d.getLatencyTimer()};
}

Settings applied(const OndiraSimDeviceState& s)
{
    return {s.baudRate, s.wordLength, s.stopBits, s.parity, s.readTimeout, s.latencyTimer};
}

/// Writes the identity request as the engine does and waits for the reply.
bool requestIdentity(FTDIDevice& device)
{
    EXPECT_EQ(device.write(ZEROS.data(), ZEROS.size()), 126u);
    EXPECT_EQ(device.write(IDENTITY_REQUEST, sizeof IDENTITY_REQUEST), 6u);
    return ondira_test::waitFor([&] { return device.getBytesAvailable() >= 8; });
}

class FTDIDeviceTest : public ::testing::Test
{
protected:
    void SetUp() override { configure(""); }

    static void configure(const char* text)
    {
        ASSERT_EQ(ondira_sim_configure(text), 0) << ondira_sim_last_error();
    }
    static void set(const char* text) { ASSERT_EQ(ondira_sim_set(0, text), 0) << ondira_sim_last_error(); }
};

} // namespace

// The load outcome is kept apart from the last error: a setter's "not open"
// overwrites the error, yet the device still refuses to open and never calls
// the library.
TEST_F(FTDIDeviceTest, Load_MissingLibraryOrEntryPoint_RefusesEverythingEvenAfterASetter)
{
    const QByteArray previous = qgetenv("ONDIRA_FTD2XX_LIBRARY");
    const struct
    {
        const char* path;
        FTDIDevice::errorCode error;
    } cases[] = {{"/nonexistent/libFtd2xx.so", FTDIDevice::HW_LIBRARY_NOT_LOADED},
                 {ONDIRA_TEST_NOQUEUE_LIBRARY, FTDIDevice::HW_LIBRARY_SYMBOL_MISSING}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        qputenv("ONDIRA_FTD2XX_LIBRARY", c.path);
        FTDIDevice device;
        EXPECT_EQ(device.getLastError(), c.error);
        EXPECT_FALSE(device.setBaudRate(9600));
        EXPECT_EQ(device.getLastError(), FTDIDevice::HW_NOT_OPEN);
        EXPECT_EQ(device.open(), c.error);
        EXPECT_EQ(device.getLastError(), c.error);
        EXPECT_EQ(device.openByIndex(0), c.error);
        EXPECT_EQ(device.getNumberOfDevices(), 0u);
    }
    qputenv("ONDIRA_FTD2XX_LIBRARY", previous);

    // FT_Open resolves in the library without FT_GetQueueStatus, yet it was never called.
    QLibrary noqueue(QString::fromLatin1(ONDIRA_TEST_NOQUEUE_LIBRARY));
    ASSERT_TRUE(noqueue.load());
    ASSERT_NE(noqueue.resolve("FT_Open"), nullptr);
    auto getState = reinterpret_cast<int (*)(int, OndiraSimDeviceState*)>(noqueue.resolve("ondira_sim_get_state"));
    ASSERT_NE(getState, nullptr);
    OndiraSimDeviceState state{};
    ASSERT_EQ(getState(0, &state), 0);
    EXPECT_EQ(state.openCount, 0u);
}

// The library named by ONDIRA_FTD2XX_LIBRARY is the instance this test
// configures. Open takes the first device that opens.
TEST_F(FTDIDeviceTest, Open_FirstDeviceThatOpens_OrReportsNoneOrAFailingCount)
{
    configure("devices=3 0.refuse_open=1");
    FTDIDevice device;
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
    EXPECT_EQ(device.getNumberOfDevices(), 3u);
    EXPECT_EQ(device.open(), FTDIDevice::HW_OK);
    EXPECT_FALSE(simState(0).open);
    EXPECT_TRUE(simState(1).open);

    configure("devices=0");
    FTDIDevice absent;
    EXPECT_EQ(absent.open(), FTDIDevice::HW_DEVICE_UNAVAILABLE);
    EXPECT_EQ(absent.getLastError(), FTDIDevice::HW_DEVICE_UNAVAILABLE);

    configure("list_fails=1");
    EXPECT_EQ(absent.open(), FTDIDevice::HW_LIST_DEVICES_FAILED);
    EXPECT_EQ(absent.getLastError(), FTDIDevice::HW_LIST_DEVICES_FAILED);
    EXPECT_EQ(absent.getNumberOfDevices(), 0u);
}

TEST_F(FTDIDeviceTest, Open_ResetsPurgesAndAppliesSettings_ReopenKeepsTheHandle)
{
    ondira_test::TraceCapture traces;
    FTDIDevice device;
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    const OndiraSimDeviceState state = simState();
    EXPECT_EQ(state.openCount, 1u);
    EXPECT_EQ(state.resetCount, 2u);
    EXPECT_EQ(state.purgeCount, 2u);
    EXPECT_EQ(state.lastPurgeMask, 0u);
    EXPECT_EQ(applied(state), DEFAULTS);
    EXPECT_EQ(state.writeTimeout, 1000u);
    // "readTimeout: " is one item, the value another; each ends in a blank.
    EXPECT_EQ(traces.count(QStringLiteral("readTimeout:  50 ")), 2);
}

// A value outside its range is refused silently; one inside is stored, with
// or without a device, and applied to the device when there is one.
TEST_F(FTDIDeviceTest, Setters_RefuseOutOfRange_StoreWithoutDevice_ApplyWithOne)
{
    FTDIDevice device;
    EXPECT_FALSE(device.setBaudRate(299) || device.setBaudRate(921601) || device.setLatencyTimer(1)
                 || device.setLatencyTimer(256) || device.setWordLength(4) || device.setWordLength(9)
                 || device.setStopBits(3) || device.setParity(5));
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
    EXPECT_EQ(held(device), DEFAULTS);

    EXPECT_FALSE(device.setBaudRate(300) || device.setWordLength(5) || device.setStopBits(2)
                 || device.setParity(4) || device.setReadTimeout(100) || device.setLatencyTimer(255));
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_NOT_OPEN);
    EXPECT_EQ(held(device), (Settings{300, 5, 2, 4, 100, 255}));
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    EXPECT_EQ(applied(simState()), (Settings{300, 5, 2, 4, 100, 255}));

    EXPECT_TRUE(device.setBaudRate(921600) && device.setWordLength(7) && device.setStopBits(1)
                && device.setParity(1) && device.setReadTimeout(70) && device.setLatencyTimer(2));
    EXPECT_EQ(applied(simState()), (Settings{921600, 7, 1, 1, 70, 2}));

    set("fail=FT_SetBaudRate");
    EXPECT_FALSE(device.setBaudRate(9600));
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_CONFIGURATION_FAILED);
    EXPECT_EQ(device.getBaudRate(), 9600u);
}

TEST_F(FTDIDeviceTest, Configure_DataCharacteristicsFail_FalseWithoutRecording)
{
    FTDIDevice device;
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    set("fail=FT_SetDataCharacteristics");
    EXPECT_FALSE(device.configure());
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
    EXPECT_EQ(device.open(), FTDIDevice::HW_DEVICE_UNAVAILABLE);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
}

TEST_F(FTDIDeviceTest, ReadWrite_WithoutDevice_RecordNotOpen)
{
    unsigned char buffer[4] = {};
    FTDIDevice reader, writer, poller;
    EXPECT_EQ(reader.read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(writer.write(buffer, sizeof buffer), 0u);
    EXPECT_EQ(poller.getBytesAvailable(), 0u);
    for (FTDIDevice* device : {&reader, &writer, &poller})
        EXPECT_EQ(device->getLastError(), FTDIDevice::HW_NOT_OPEN);
}

// With a driver that reports one byte more than it moved, the counts are
// clamped to the length asked for (requestIdentity checks the writes').
TEST_F(FTDIDeviceTest, ReadWrite_ExchangeWithTheDongle_CountNeverAboveTheLength)
{
    for (const char* driver : {"overcount=0", "overcount=1"}) {
        SCOPED_TRACE(driver);
        configure(driver);
        FTDIDevice device;
        ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
        ASSERT_TRUE(requestIdentity(device));
        unsigned char reply[8] = {};
        EXPECT_EQ(device.read(reply, 4), 4u);
        EXPECT_EQ(device.read(reply + 4, 4), 4u);
        EXPECT_EQ(Bytes(reply, reply + 8), (Bytes{0x07, 0x00, 0x00, 0x00, 0x00, 0xCF, 0x12, 0x34}));
        EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
    }
}

// A failed read or write stays recorded through later successful I/O; the
// next open closes the device and opens it afresh.
TEST_F(FTDIDeviceTest, ReadOrWriteFailure_StaysRecorded_NextOpenStartsAfresh)
{
    for (const bool reading : {true, false}) {
        SCOPED_TRACE(reading ? "read" : "write");
        configure("");
        FTDIDevice device;
        ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
        set(reading ? "fail=FT_Read" : "fail=FT_Write");
        unsigned char buffer[8] = {};
        EXPECT_EQ(reading ? device.read(buffer, 8) : device.write(IDENTITY_REQUEST, 6), 0u);
        const FTDIDevice::errorCode failure = reading ? FTDIDevice::HW_READ_FAILED : FTDIDevice::HW_WRITE_FAILED;
        EXPECT_EQ(device.getLastError(), failure);

        set("fail=");
        ASSERT_TRUE(requestIdentity(device));
        EXPECT_EQ(device.read(buffer, 8), 8u);
        EXPECT_EQ(device.getLastError(), failure);
        EXPECT_EQ(device.open(), FTDIDevice::HW_OK);
        EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
        EXPECT_EQ(simState().closeCount, 1u);
        EXPECT_EQ(simState().openCount, 2u);
    }
}

TEST_F(FTDIDeviceTest, Close_Fails_RecordedAndHandleReleased)
{
    FTDIDevice device;
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    set("fail_close=1");
    EXPECT_EQ(device.close(), FTDIDevice::HW_CLOSE_FAILED);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_CLOSE_FAILED);
    EXPECT_FALSE(simState().open);
    EXPECT_EQ(device.getBytesAvailable(), 0u);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_NOT_OPEN);
    EXPECT_EQ(device.close(), FTDIDevice::HW_OK);
}

TEST_F(FTDIDeviceTest, OpenByIndex_ReleasesTheDeviceHeldBefore_EvenWhenTheNewOpenFails)
{
    configure("devices=2");
    FTDIDevice device;
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    EXPECT_EQ(device.openByIndex(1), FTDIDevice::HW_OK);
    EXPECT_FALSE(simState(0).open);
    EXPECT_TRUE(simState(1).open);

    set("refuse_open=1");
    EXPECT_EQ(device.openByIndex(0), FTDIDevice::HW_DEVICE_UNAVAILABLE);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
    EXPECT_FALSE(simState(1).open);
    EXPECT_EQ(simState(1).closeCount, 1u);
}
