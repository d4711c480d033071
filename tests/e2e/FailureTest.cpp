// Failures of library, dongle and headset, and the status events and traces
// they become.

#include "E2eFixture.h"

#include <cstdlib>
#include <stdlib.h>
#include <string>

namespace ondira_e2e {
namespace {

using Failure = E2eTest;
using Codes = std::vector<StatusData::statusCode>;

TEST(FailureLibrary, MissingDriverLibraryReportsOnlyTheLibraryError)
{
    ScopedWorkingDirectory cwd;
    ASSERT_EQ(setenv("ONDIRA_FTD2XX_LIBRARY", "/nonexistent/libFtd2xx.so", 1), 0);
    Ondira ondira;
    RecordingConsumer statuses(RecordingConsumer::Statuses);
    ondira.registerConsumer(IDataProcessor::STATUS_DATA, statuses);
    EXPECT_FALSE(ondira.openDevice());
    EXPECT_EQ(statuses.statuses(), Codes{StatusData::FTDI_LIBRARY_ERROR});
    // A setter overwrites the load failure in the device's last error; the
    // device still refuses to open and the event still names the library.
    EXPECT_FALSE(ondira.setProperty(Property("BaudRate", 115200)));
    EXPECT_FALSE(ondira.openDevice());
    EXPECT_EQ(statuses.statuses(),
              (Codes{StatusData::FTDI_LIBRARY_ERROR, StatusData::FTDI_LIBRARY_ERROR}));
    ondira.deregisterConsumer(IDataProcessor::STATUS_DATA, statuses);
}

TEST(FailureLibrary, DriverLibraryWithoutAnEntryPointReportsTheLibraryError)
{
    ScopedWorkingDirectory cwd;
    ASSERT_EQ(setenv("ONDIRA_FTD2XX_LIBRARY", ONDIRA_E2E_NOQUEUE_LIBRARY, 1), 0);
    Ondira ondira;
    RecordingConsumer statuses(RecordingConsumer::Statuses);
    ondira.registerConsumer(IDataProcessor::STATUS_DATA, statuses);
    EXPECT_FALSE(ondira.openDevice());
    EXPECT_EQ(statuses.statuses(), Codes{StatusData::FTDI_LIBRARY_ERROR});
    ondira.deregisterConsumer(IDataProcessor::STATUS_DATA, statuses);
}

TEST(FailureLibrary, DriverNamedForOneFacadeLeavesTheOthersAndTheEnvironmentAlone)
{
    ScopedWorkingDirectory cwd;
    const char* simulator = std::getenv("ONDIRA_FTD2XX_LIBRARY");
    ASSERT_NE(simulator, nullptr);
    const std::string environment = simulator;
    struct Case {
        const char* driver;
        bool opens;
    } const cases[] = {
        {"/nonexistent/libFtd2xx.so", false},
        {ONDIRA_E2E_NOQUEUE_LIBRARY, false},
        {nullptr, true},            // as Ondira(): the environment's choice
        {"", true},
        {environment.c_str(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.driver ? c.driver : "null");
        Ondira ondira(c.driver);
        RecordingConsumer statuses(RecordingConsumer::Statuses);
        ondira.registerConsumer(IDataProcessor::STATUS_DATA, statuses);
        EXPECT_EQ(ondira.openDevice(), c.opens);
        if (!c.opens) {
            EXPECT_EQ(statuses.statuses(), Codes{StatusData::FTDI_LIBRARY_ERROR});
        }
        ondira.closeDevice();
        ondira.deregisterConsumer(IDataProcessor::STATUS_DATA, statuses);
        EXPECT_EQ(std::getenv("ONDIRA_FTD2XX_LIBRARY"), environment);
    }
}

TEST_F(Failure, UnpluggedWhileStreamingEndsTheWorkerAndFailsTheStop)
{
    configure("fail_close=1");
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitForSamples(10));
    ondira_sim_unplug(0);

    ASSERT_TRUE(traces.waitForMessage(QStringLiteral("Unexpected end of thread (2) ")));
    EXPECT_EQ(statuses.statuses(), (Codes{StatusData::DEVICE_IO_ERROR, StatusData::DEVICE_IO_ERROR}));
    EXPECT_GE(traces.count(QStringLiteral("0 bytes! ( 0 ) ")), 1);

    ondira->closeDevice();
    EXPECT_EQ(traces.count(QStringLiteral("pausing WITH ANOTHER ERROR true ")), 1);
    EXPECT_EQ(traces.count(QStringLiteral("Thread stopped. Result = true ")), 0);
    // Stop failed, then the failing close: one more event each.
    EXPECT_EQ(statuses.statuses(),
              (Codes{StatusData::DEVICE_IO_ERROR, StatusData::DEVICE_IO_ERROR,
                     StatusData::DEVICE_IO_ERROR, StatusData::DEVICE_IO_ERROR}));
    EXPECT_FALSE(stateOf(0).open);

    // Opening again finds the dongle still unplugged.
    EXPECT_FALSE(ondira->openDevice());
}

TEST_F(Failure, UnpluggedWhileIdleGoesUnnoticedUntilClose)
{
    configure("");
    ASSERT_TRUE(ondira->openDevice());
    ondira_sim_unplug(0);
    QThread::msleep(400); // several polls of the worker
    EXPECT_EQ(statuses.statusCount(), 0u);
    ondira->closeDevice();
    EXPECT_EQ(traces.count(QStringLiteral("Thread stopped. Result = true ")), 1);
    EXPECT_EQ(statuses.statusCount(), 0u);
}

TEST_F(Failure, FailingCommandWriteEndsTheWorkerOnItsNextPoll)
{
    configure("");
    ASSERT_TRUE(ondira->openDevice());
    ASSERT_TRUE(ondira->startStreaming());
    ASSERT_TRUE(waitForSamples(5));
    ASSERT_EQ(ondira_sim_set(0, "fail=FT_Write"), 0);
    EXPECT_FALSE(ondira->stopStreaming());
    EXPECT_EQ(traces.count(QStringLiteral("pausing WITH ANOTHER ERROR true ")), 1);
    // The write error is sticky: the worker's next poll ends it.
    ASSERT_TRUE(traces.waitForMessage(QStringLiteral("Unexpected end of thread (1) ")));
    EXPECT_EQ(statuses.statuses(), (Codes{StatusData::DEVICE_IO_ERROR, StatusData::DEVICE_IO_ERROR}));
}

TEST_F(Failure, QueriesOnAClosedDeviceFailAtTheirWrite)
{
    configure("");
    EXPECT_EQ(ondira->getProperty(Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION), nullptr);
    EXPECT_EQ(ondira->getProperty(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL), nullptr);
    EXPECT_FALSE(ondira->ping());
    EXPECT_EQ(statuses.statuses(), Codes(6, StatusData::DEVICE_IO_ERROR));
    EXPECT_FALSE(ondira->setProperty(Property(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL, 3)));
    EXPECT_EQ(statuses.statusCount(), 7u);
}

} // namespace
} // namespace ondira_e2e
