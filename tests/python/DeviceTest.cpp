// The Python module's device without Python, against the virtual headset:
// a reader thread takes chunks while another thread places markers and the
// test records, as a script's threads would. Run by the sanitizers too.

#include "Device.h"
#include "TestSupport.h"
#include "ondira_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace ondira::python;
using ondira_test::waitFor;

namespace {

constexpr std::size_t MARKERS = 20;

class DeviceTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(ondira_sim_configure(""), 0) << ondira_sim_last_error(); }
    ondira_test::ScopedWorkingDirectory cwd;
};

} // namespace

TEST_F(DeviceTest, MarksFromAThreadWhileReadingAndRecording_EachInOneChunkAndTheRecording)
{
    Device device(ondira::session::Driver::virtualHeadset(ONDIRA_SIM_LIBRARY),
        60 * OndiraData::SAMPLE_RATE_HZ);
    ASSERT_TRUE(device.open().ok);
    const std::string path = (cwd.path() + "/marked.edf").toStdString();
    std::string error;
    ASSERT_EQ(device.startRecording(path, {{"Fp1", "Fp2", "O1", "O2"}}, error),
              Device::RecordRefusal::None)
        << error;
    ASSERT_TRUE(device.start().ok);

    // The reader: every chunk's markers, at their rows counted from the start.
    std::atomic<bool> reading{true};
    std::map<std::string, double> found;
    std::size_t foundCount = 0;
    std::thread reader([&] {
        std::vector<double> microvolts(4 * 4096);
        std::vector<std::int64_t> timestamps(4096);
        std::vector<std::uint8_t> flags(4096), offsets(4096);
        std::unique_ptr<bool[]> dropped(new bool[4096]);
        const ChunkArrays out{microvolts.data(), timestamps.data(), flags.data(), offsets.data(),
                              dropped.get()};
        std::vector<ChunkMarker> markers;
        double rowsBefore = 0;
        for (bool last = false; !last || device.reader().rowsReady() > 0;) {
            last = !reading.load();
            device.samples().waitFor(25, 20);
            std::lock_guard<std::timed_mutex> lock(device.readMutex());
            device.reader().collect();
            const std::size_t rows = std::min<std::size_t>(device.reader().rowsReady(), 4096);
            const StreamState state = device.streamState();
            const std::size_t taken = device.reader().take(rows, out, state, markers);
            for (const ChunkMarker& m : markers) {
                found[m.text] = rowsBefore + m.position;
                ++foundCount;
            }
            rowsBefore += static_cast<double>(taken);
        }
    });

    std::map<std::string, double> placed;
    std::thread marker([&] {
        ASSERT_TRUE(waitFor([&] { return device.session().status().timeline > 0; }));
        for (std::size_t k = 0; k < MARKERS; ++k) {
            const std::string text = "stimulus " + std::to_string(k);
            const ondira::session::MarkResult r = device.mark(text);
            ASSERT_TRUE(r.placed()) << r.reason;
            placed[text] = r.position;
            std::this_thread::sleep_for(std::chrono::milliseconds(7)); // pacing, not waiting
        }
    });
    marker.join();
    // The rows of every marker have come: none lies past the stream's end.
    double last = 0;
    for (const auto& entry : placed)
        last = std::max(last, entry.second);
    ASSERT_TRUE(waitFor([&] { return device.session().status().timeline > last + 1; }));
    ASSERT_TRUE(device.stop().ok);
    reading.store(false);
    reader.join();
    EXPECT_FALSE(device.isRecording()) << "stop() ended the recording";
    RecordingSummary summary;
    ASSERT_TRUE(device.finishRecording(summary));
    EXPECT_FALSE(device.finishRecording(summary)) << "handed over once";

    ASSERT_EQ(placed.size(), MARKERS);
    EXPECT_EQ(foundCount, MARKERS) << "each marker once";
    for (const auto& [text, position] : placed) {
        ASSERT_EQ(found.count(text), 1u) << text;
        // Exactly where it was placed, or late by a row or two when its row
        // was handed out before it reached the log.
        EXPECT_GE(found[text], position - 1e-6) << text;
        EXPECT_LT(found[text], position + 3.0) << text;
    }
    EXPECT_TRUE(summary.result.error.empty()) << summary.result.error;
    EXPECT_EQ(summary.result.markers, static_cast<long long>(MARKERS));
}
