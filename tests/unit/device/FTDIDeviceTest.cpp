#include "device/FTDIDevice.h"

#include "TestSupport.h"
#include "ondira_sim.h"

#include <QByteArray>
#include <QLibrary>

#include <gtest/gtest.h>

#include <array>
#include <cstring>

using ondira::FTDIDevice;

namespace {

constexpr const char* LIBRARY_PATH_VARIABLE = "ONDIRA_FTD2XX_LIBRARY";

OndiraSimDeviceState simState(int device = 0)
{
    OndiraSimDeviceState state{};
    EXPECT_EQ(ondira_sim_get_state(device, &state), 0);
    return state;
}

/// Points devices constructed in its lifetime at another library file.
class ScopedLibraryPath
{
public:
    explicit ScopedLibraryPath(const char* path)
        : previous(qgetenv(LIBRARY_PATH_VARIABLE))
    {
        qputenv(LIBRARY_PATH_VARIABLE, path);
    }
    ~ScopedLibraryPath() { qputenv(LIBRARY_PATH_VARIABLE, previous); }

private:
    QByteArray previous;
};

const std::array<unsigned char, 126> ZEROS{};
const unsigned char IDENTITY_REQUEST[] = {0x05, 0x00, 0x00, 0x00, 0x00, 0xB7};

/// Writes the identity request as the engine does and waits for the reply.
bool requestIdentity(FTDIDevice& device)
{
    device.write(ZEROS.data(), ZEROS.size());
    device.write(IDENTITY_REQUEST, sizeof IDENTITY_REQUEST);
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

void expectDefaults(const FTDIDevice& device)
{
    EXPECT_EQ(device.getBaudRate(), 128000u);
    EXPECT_EQ(device.getWordLength(), 8u);
    EXPECT_EQ(device.getStopBits(), 0u);
    EXPECT_EQ(device.getParity(), 0u);
    EXPECT_EQ(device.getReadTimeout(), 50u);
    EXPECT_EQ(device.getLatencyTimer(), 16u);
}

} // namespace

TEST_F(FTDIDeviceTest, Load_FromEnvironmentPath_SharesTheConfiguredInstance)
{
    configure("devices=3");
    FTDIDevice device;
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
    EXPECT_EQ(device.getNumberOfDevices(), 3u);
    configure("devices=5");
    EXPECT_EQ(device.getNumberOfDevices(), 5u);
    expectDefaults(device);
}

TEST_F(FTDIDeviceTest, Load_MissingLibrary_RefusesEverythingAndKeepsRefusingAfterSetters)
{
    ScopedLibraryPath path("/nonexistent/libFtd2xx.so");
    FTDIDevice device;
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_LIBRARY_NOT_LOADED);
    expectDefaults(device);

    // No handle: each setter stores nothing usable and records "not open".
    EXPECT_FALSE(device.setBaudRate(9600));
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_NOT_OPEN);
    EXPECT_FALSE(device.setWordLength(7));
    EXPECT_FALSE(device.setStopBits(2));
    EXPECT_FALSE(device.setParity(1));
    EXPECT_FALSE(device.setReadTimeout(100));
    EXPECT_FALSE(device.setLatencyTimer(2));
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_NOT_OPEN);

    // The load failure still stops open although lastError no longer shows it.
    EXPECT_EQ(device.open(), FTDIDevice::HW_LIBRARY_NOT_LOADED);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_LIBRARY_NOT_LOADED);
    EXPECT_EQ(device.openByIndex(0), FTDIDevice::HW_LIBRARY_NOT_LOADED);
    EXPECT_EQ(device.getNumberOfDevices(), 0u);
    EXPECT_EQ(simState().openCount, 0u);
}

TEST_F(FTDIDeviceTest, Load_LibraryWithoutQueueStatus_SymbolMissingAndNothingCalled)
{
    ScopedLibraryPath path(ONDIRA_TEST_NOQUEUE_LIBRARY);
    FTDIDevice device;
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_LIBRARY_SYMBOL_MISSING);
    EXPECT_FALSE(device.setBaudRate(9600));
    EXPECT_EQ(device.open(), FTDIDevice::HW_LIBRARY_SYMBOL_MISSING);
    EXPECT_EQ(device.openByIndex(0), FTDIDevice::HW_LIBRARY_SYMBOL_MISSING);
    EXPECT_EQ(device.getNumberOfDevices(), 0u);

    // FT_Open resolves in that library, yet it was never called.
    QLibrary noqueue(QString::fromLatin1(ONDIRA_TEST_NOQUEUE_LIBRARY));
    ASSERT_TRUE(noqueue.load());
    EXPECT_NE(noqueue.resolve("FT_Open"), nullptr);
    EXPECT_EQ(noqueue.resolve("FT_GetQueueStatus"), nullptr);
    auto getState = reinterpret_cast<int (*)(int, OndiraSimDeviceState*)>(noqueue.resolve("ondira_sim_get_state"));
    ASSERT_NE(getState, nullptr);
    OndiraSimDeviceState state{};
    ASSERT_EQ(getState(0, &state), 0);
    EXPECT_EQ(state.openCount, 0u);
}

TEST_F(FTDIDeviceTest, Open_NoDeviceOrFailingCount_ReportsWhy)
{
    configure("devices=0");
    FTDIDevice device;
    EXPECT_EQ(device.open(), FTDIDevice::HW_DEVICE_UNAVAILABLE);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_DEVICE_UNAVAILABLE);

    configure("list_fails=1");
    EXPECT_EQ(device.open(), FTDIDevice::HW_LIST_DEVICES_FAILED);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_LIST_DEVICES_FAILED);
    EXPECT_EQ(device.getNumberOfDevices(), 0u);
}

TEST_F(FTDIDeviceTest, Open_FirstIndexRefuses_HoldsTheSecond)
{
    configure("devices=2 0.refuse_open=1");
    FTDIDevice device;
    EXPECT_EQ(device.open(), FTDIDevice::HW_OK);
    EXPECT_FALSE(simState(0).open);
    EXPECT_TRUE(simState(1).open);
}

TEST_F(FTDIDeviceTest, Open_ResetsPurgesAndAppliesSettings_ReopenKeepsTheHandle)
{
    ondira_test::TraceCapture traces;
    FTDIDevice device;
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    OndiraSimDeviceState state = simState();
    EXPECT_EQ(state.openCount, 1u);
    EXPECT_EQ(state.resetCount, 1u);
    EXPECT_EQ(state.purgeCount, 1u);
    EXPECT_EQ(state.lastPurgeMask, 0u);
    EXPECT_EQ(state.baudRate, 128000u);
    EXPECT_EQ(state.wordLength, 8u);
    EXPECT_EQ(state.stopBits, 0u);
    EXPECT_EQ(state.parity, 0u);
    EXPECT_EQ(state.readTimeout, 50u);
    EXPECT_EQ(state.writeTimeout, 1000u);
    EXPECT_EQ(state.latencyTimer, 16u);
    // "readTimeout: " is one item, the value another; each ends in a blank.
    EXPECT_EQ(traces.count(QStringLiteral("readTimeout:  50 ")), 1);

    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    state = simState();
    EXPECT_EQ(state.openCount, 1u);
    EXPECT_EQ(state.resetCount, 2u);
    EXPECT_EQ(state.purgeCount, 2u);
    EXPECT_EQ(traces.count(QStringLiteral("readTimeout:  50 ")), 2);
}

TEST_F(FTDIDeviceTest, Open_AfterFailedRead_ClosesAndOpensAfresh)
{
    FTDIDevice device;
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    set("fail=FT_Read");
    unsigned char buffer[8];
    EXPECT_EQ(device.read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_READ_FAILED);

    set("fail=");
    EXPECT_EQ(device.open(), FTDIDevice::HW_OK);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
    const OndiraSimDeviceState state = simState();
    EXPECT_EQ(state.closeCount, 1u);
    EXPECT_EQ(state.openCount, 2u);
}

TEST_F(FTDIDeviceTest, Setters_OutOfRange_RefusedSilently)
{
    FTDIDevice device;
    EXPECT_FALSE(device.setBaudRate(299));
    EXPECT_FALSE(device.setBaudRate(921601));
    EXPECT_FALSE(device.setLatencyTimer(1));
    EXPECT_FALSE(device.setLatencyTimer(256));
    EXPECT_FALSE(device.setWordLength(4));
    EXPECT_FALSE(device.setWordLength(9));
    EXPECT_FALSE(device.setStopBits(3));
    EXPECT_FALSE(device.setParity(5));
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
    expectDefaults(device);
}

TEST_F(FTDIDeviceTest, Setters_StoreWithoutDeviceAndApplyWithOne)
{
    FTDIDevice device;
    EXPECT_FALSE(device.setBaudRate(300));
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_NOT_OPEN);
    EXPECT_EQ(device.getBaudRate(), 300u);
    EXPECT_FALSE(device.setLatencyTimer(255));
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    EXPECT_EQ(simState().baudRate, 300u);
    EXPECT_EQ(simState().latencyTimer, 255u);

    EXPECT_TRUE(device.setBaudRate(921600));
    EXPECT_TRUE(device.setLatencyTimer(2));
    EXPECT_TRUE(device.setWordLength(7));
    EXPECT_TRUE(device.setStopBits(2));
    EXPECT_TRUE(device.setParity(4));
    EXPECT_TRUE(device.setReadTimeout(100));
    OndiraSimDeviceState state = simState();
    EXPECT_EQ(state.baudRate, 921600u);
    EXPECT_EQ(state.latencyTimer, 2u);
    EXPECT_EQ(state.wordLength, 7u);
    EXPECT_EQ(state.stopBits, 2u);
    EXPECT_EQ(state.parity, 4u);
    EXPECT_EQ(state.readTimeout, 100u);
    EXPECT_EQ(state.writeTimeout, 1000u);

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
    FTDIDevice reader;
    EXPECT_EQ(reader.read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(reader.getLastError(), FTDIDevice::HW_NOT_OPEN);
    FTDIDevice writer;
    EXPECT_EQ(writer.write(buffer, sizeof buffer), 0u);
    EXPECT_EQ(writer.getLastError(), FTDIDevice::HW_NOT_OPEN);
    FTDIDevice poller;
    EXPECT_EQ(poller.getBytesAvailable(), 0u);
    EXPECT_EQ(poller.getLastError(), FTDIDevice::HW_NOT_OPEN);
    EXPECT_EQ(poller.close(), FTDIDevice::HW_OK);
    EXPECT_EQ(simState().openCount, 0u);
}

TEST_F(FTDIDeviceTest, ReadWrite_ExchangeWithTheDongle)
{
    FTDIDevice device;
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    EXPECT_EQ(device.write(ZEROS.data(), ZEROS.size()), 126u);
    EXPECT_EQ(device.write(IDENTITY_REQUEST, sizeof IDENTITY_REQUEST), 6u);
    ASSERT_TRUE(ondira_test::waitFor([&] { return device.getBytesAvailable() == 8; }));

    unsigned char reply[59] = {};
    ASSERT_EQ(device.read(reply, device.getBytesAvailable()), 8u);
    const unsigned char expected[] = {0x07, 0x00, 0x00, 0x00, 0x00, 0xCF, 0x12, 0x34};
    EXPECT_EQ(std::memcmp(reply, expected, sizeof expected), 0);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);

    OndiraSimCommand command{};
    ASSERT_EQ(ondira_sim_get_command(0, 0, &command), 0);
    EXPECT_EQ(command.zeroPrefix, 126u);
    EXPECT_EQ(command.length, 6u);
}

TEST_F(FTDIDeviceTest, ReadWrite_DriverReportsMoreThanAsked_CountClampedToLength)
{
    FTDIDevice device;
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    set("overcount=1");
    ASSERT_TRUE(requestIdentity(device));
    unsigned char buffer[4] = {};
    EXPECT_EQ(device.read(buffer, sizeof buffer), 4u);
    EXPECT_EQ(device.write(IDENTITY_REQUEST, sizeof IDENTITY_REQUEST), 6u);
}

TEST_F(FTDIDeviceTest, Write_Failure_StaysRecordedUntilReset)
{
    FTDIDevice device;
    ASSERT_EQ(device.open(), FTDIDevice::HW_OK);
    set("fail=FT_Write");
    EXPECT_EQ(device.write(IDENTITY_REQUEST, sizeof IDENTITY_REQUEST), 0u);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_WRITE_FAILED);

    set("fail=");
    ASSERT_TRUE(requestIdentity(device));
    unsigned char buffer[8] = {};
    EXPECT_EQ(device.read(buffer, sizeof buffer), 8u);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_WRITE_FAILED);
    EXPECT_EQ(device.reset(), FTDIDevice::HW_OK);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
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

    ASSERT_EQ(ondira_sim_set(0, "refuse_open=1"), 0);
    EXPECT_EQ(device.openByIndex(0), FTDIDevice::HW_DEVICE_UNAVAILABLE);
    EXPECT_EQ(device.getLastError(), FTDIDevice::HW_OK);
    EXPECT_FALSE(simState(1).open);
    EXPECT_EQ(simState(1).closeCount, 1u);
}
