// The Python module's C++ half without Python, against the virtual headset:
// the library's worker filling the ring while another thread reads it, and
// facade calls from a third. Run in every preset, so that the thread and
// address sanitizers see these threads, which the Python tests cannot.

#include "Device.h"

#include "TestSupport.h"
#include "ondira_sim.h"

#include <ondira/StatusData.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace ondira::python;
using ondira_test::waitFor;

namespace {

struct Rows {
    std::vector<double> microvolts;
    std::vector<std::int64_t> timestamps;
    std::vector<std::uint8_t> flags;
    std::vector<std::uint8_t> offsetChanges;
    std::unique_ptr<bool[]> dropped;

    explicit Rows(std::size_t n)
        : microvolts(n * CHANNEL_COUNT), timestamps(n), flags(n), offsetChanges(n), dropped(new bool[n])
    {
    }
    std::size_t take(ChunkReader& reader, std::size_t n)
    {
        return reader.take(n, microvolts.data(), timestamps.data(), flags.data(), offsetChanges.data(),
                           dropped.get());
    }
};

class DeviceTest : public ::testing::Test
{
protected:
    ondira_test::ScopedWorkingDirectory cwd;
};

} // namespace

// The worker overflows a small ring while a reader thread takes rows out of
// it: every dropped sample comes back as a filler on one 4 ms time line.
TEST_F(DeviceTest, Overflow_ReaderThreadGetsFillersOnOneTimeLine)
{
    ASSERT_EQ(ondira_sim_configure("fast=1"), 0);
    Device device("", 50);
    ASSERT_TRUE(device.open().ok);
    ASSERT_TRUE(device.start().ok);

    constexpr std::size_t WANTED = 20000;
    Rows rows(WANTED);
    std::size_t got = 0;
    std::size_t fillers = 0;
    std::thread reader([&] {
        ChunkReader& chunks = device.reader();
        while (got < WANTED && device.isStreaming()) {
            device.samples().waitFor(WANTED - got, 50);
            chunks.collect();
            // Small takes, so that runs of fillers are split between them.
            const std::size_t n = std::min<std::size_t>({chunks.rowsReady(), 100, WANTED - got});
            Rows part(n);
            fillers += part.take(chunks, n);
            std::copy(part.timestamps.begin(), part.timestamps.end(), rows.timestamps.begin() + got);
            got += n;
        }
    });
    reader.join();
    EXPECT_TRUE(device.stop().ok);
    device.close();

    ASSERT_EQ(got, WANTED);
    EXPECT_GT(device.samples().overflows(), 0);
    EXPECT_GT(fillers, 0u);
    for (std::size_t i = 1; i < WANTED; ++i)
        ASSERT_EQ(rows.timestamps[i] - rows.timestamps[i - 1], 4) << "row " << i;
}

// Stop, close and property calls from one thread while another waits for
// samples: the waiting reader is woken and ends, nothing hangs.
TEST_F(DeviceTest, CallsFromAnotherThread_WakeAWaitingReader)
{
    ASSERT_EQ(ondira_sim_configure(""), 0);
    Device device("", 15000);
    ASSERT_TRUE(device.open().ok);
    ASSERT_TRUE(device.start().ok);

    std::atomic<bool> readerDone{false};
    std::thread reader([&] {
        while (device.isStreaming()) {
            device.samples().waitFor(1000000, 50);
            device.reader().collect();
        }
        readerDone = true;
    });
    ASSERT_TRUE(waitFor([&] { return device.samples().received() >= 50; }));
    const Device::Value timeout = device.getProperty("Read Timeout");
    EXPECT_TRUE(timeout.ok);
    EXPECT_EQ(timeout.integer, 100);
    EXPECT_TRUE(device.setProperty("Channel 1 Enabled", 1).ok);
    device.close();
    EXPECT_TRUE(waitFor([&] { return readerDone.load(); }, std::chrono::seconds(5)));
    reader.join();
    EXPECT_FALSE(device.isOpen());
}

// A dongle unplugged while streaming: the stream ends with DEVICE_IO_ERROR
// once nothing more arrives, and a start is refused with that code.
TEST_F(DeviceTest, Unplugged_StreamEndsWithTheEventThatSaidWhy)
{
    ASSERT_EQ(ondira_sim_configure(""), 0);
    Device device("", 15000);
    ASSERT_TRUE(device.open().ok);
    ASSERT_TRUE(device.start().ok);
    ASSERT_TRUE(waitFor([&] { return device.samples().received() >= 25; }));
    ondira_sim_unplug(0);
    ASSERT_TRUE(waitFor([&] { return !device.isStreaming(); }));
    EXPECT_EQ(device.streamEndCode(), StatusData::DEVICE_IO_ERROR);
    const Device::Result again = device.start();
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(again.code, StatusData::DEVICE_IO_ERROR);
    device.close();
}
