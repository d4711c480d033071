// Fault scenarios with the shipped library against the real-time virtual
// headset: several headsets with different faults at once, each with every
// sample accounted for; the events an application sees; and how long each
// call takes. The bounds below are what docs/RELIABILITY.md promises, with
// room for the sanitizers on a busy machine.

#include "E2eFixture.h"
#include "ShippedLibrary.h"

#include <functional>

namespace ondira_faults {
namespace {

using namespace ondira_e2e;
using Clock = std::chrono::steady_clock;
using Codes = std::vector<StatusData::statusCode>;
using ondira_test::Accounting;

// Upper bounds in milliseconds of real time.
constexpr double OPEN_MS = 1000;          // an answering dongle: one request and its 200 ms wait
constexpr double COMMAND_MS = 500;        // start or stop: one command write
constexpr double CLOSE_MS = 1000;         // the stops, and the worker's last poll
constexpr double IDENTIFY_MS = 1200;      // seven requests 200 ms apart, per silent dongle
constexpr double IDENTIFY_SLACK_MS = 800;
constexpr double DEVICE_ERROR_MS = 1000;  // from an unplug to DEVICE_IO_ERROR: a poll or two
constexpr double SILENCE_WATCH_MS = 5100; // 51 empty polls of 100 ms

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Milliseconds that `call` took.
double timed(const std::function<void()>& call)
{
    const auto start = Clock::now();
    call();
    return msSince(start);
}

/// Status events without the channel states of the calibration passes.
Codes events(const RecordingConsumer& statuses)
{
    Codes result;
    for (StatusData::statusCode code : statuses.statuses()) {
        if (code < StatusData::CHANNEL_1_CALIBRATED || code > StatusData::DEFAULT_CHANNEL_STATE)
            result.push_back(code);
    }
    return result;
}

/// One facade with its consumers, on the virtual device of the same number.
struct Headset {
    explicit Headset(int device) : device(device) {}

    void start()
    {
        from = 5 * ondira_test::simPacketsGenerated(device);
        firstRecord = samples.sampleCount();
        EXPECT_LE(timed([&] { EXPECT_TRUE(facade.startStreaming()); }), COMMAND_MS);
    }
    std::size_t records() const { return samples.sampleCount() - firstRecord; }
    Accounting account() const
    {
        const std::vector<OndiraData> all = samples.samples();
        return ondira_test::account(
            ondira_test::toRecords({all.begin() + static_cast<std::ptrdiff_t>(firstRecord), all.end()}),
            ondira_test::simSignal(device), from, from + 5 * 300);
    }

    const int device;
    Ondira facade;
    RecordingConsumer samples{RecordingConsumer::Samples};
    RecordingConsumer statuses{RecordingConsumer::Statuses};
    ondira_test::ConsumerRegistration registration{facade, samples, statuses};
    std::uint64_t from = 0;
    std::size_t firstRecord = 0;
};

TEST(LibraryScenario, FiveHeadsetsWithDifferentFaultsAtOnce_EachAccountedExactly_CallsWithinBounds)
{
    ScopedWorkingDirectory cwd;
    std::string burst = "1.drop=";
    for (int n = 150; n < 180; ++n)
        burst += std::to_string(n) + (n < 179 ? "," : "");
    ASSERT_EQ(ondira_sim_configure(("devices=5 0.loss=0.1 1.garbage=0.2 " + burst + " 4.fail_close=1").c_str()), 0)
        << ondira_sim_last_error();
    enum { LOSS, GARBAGE, OFF_AND_ON, UNPLUGGED, FAILING_WRITES, COUNT };

    // Each facade takes the first device that opens: facade k device k.
    std::vector<std::unique_ptr<Headset>> headsets;
    for (int k = 0; k < COUNT; ++k) {
        headsets.push_back(std::make_unique<Headset>(k));
        EXPECT_LE(timed([&] { ASSERT_TRUE(headsets[k]->facade.openDevice()); }), OPEN_MS);
        ASSERT_TRUE(stateOf(k).open);
    }
    for (auto& h : headsets)
        h->start();
    for (auto& h : headsets)
        ASSERT_TRUE(waitFor([&] { return h->records() >= 250; }));

    ASSERT_EQ(ondira_sim_set(OFF_AND_ON, "headset=off"), 0);
    const auto unplugged = Clock::now();
    ondira_sim_unplug(UNPLUGGED);
    ASSERT_EQ(ondira_sim_set(FAILING_WRITES, ("fail_writes_after=" + std::to_string(stateOf(FAILING_WRITES).commandCount)).c_str()), 0);
    Headset& lost = *headsets[UNPLUGGED];
    ASSERT_TRUE(lost.statuses.waitForStatus(StatusData::DEVICE_IO_ERROR));
    EXPECT_LE(msSince(unplugged), DEVICE_ERROR_MS);
    ASSERT_TRUE(waitFor([&] { return msSince(unplugged) > 1000; }));
    ASSERT_EQ(ondira_sim_set(OFF_AND_ON, "headset=on"), 0);
    for (int k : {LOSS, GARBAGE, OFF_AND_ON})
        ASSERT_TRUE(waitFor([&] { return headsets[k]->records() >= 1000; })) << k;

    for (int k = 0; k < COUNT; ++k) {
        SCOPED_TRACE("headset " + std::to_string(k));
        Headset& h = *headsets[k];
        const bool healthy = k == LOSS || k == GARBAGE || k == OFF_AND_ON;
        EXPECT_LE(timed([&] { EXPECT_EQ(h.facade.stopStreaming(), healthy); }), COMMAND_MS);
        const Accounting a = h.account();
        ASSERT_TRUE(a.exact) << a.failure;
        EXPECT_GE(a.samples, 250u);
        EXPECT_LE(timed([&] { h.facade.closeDevice(); }), CLOSE_MS);
        if (healthy) {
            EXPECT_EQ(events(h.statuses), Codes{});
        }
        if (k == LOSS || k == GARBAGE) {
            EXPECT_GT(a.lossFillers, 0u);
        }
        if (k != OFF_AND_ON) {
            EXPECT_EQ(a.silenceFillers, 0u);
        }
    }
    // About a second of silence, filled to within a poll and the radio delay.
    const Accounting offAndOn = headsets[OFF_AND_ON]->account();
    ASSERT_EQ(offAndOn.silences.size(), 1u);
    EXPECT_NEAR(4.0 * offAndOn.silences[0].fillers, 1000, 250);
    // The unplugged dongle: the worker's start on an empty poll failed and
    // ended it; then the stop, and the stop of the close. The failing
    // writes: the stop, the worker's end, the close's stop (the error is
    // sticky), the close.
    EXPECT_EQ(events(headsets[UNPLUGGED]->statuses), Codes(4, StatusData::DEVICE_IO_ERROR));
    EXPECT_EQ(events(headsets[FAILING_WRITES]->statuses), Codes(4, StatusData::DEVICE_IO_ERROR));
}

TEST(LibraryScenario, DongleSilentDuringIdentification_OpenGivesUpAfterSevenRequestsPerDevice)
{
    struct Case {
        const char* config;
        bool opens;
        int silentDongles;
    };
    for (const Case c : {Case{"devices=2 silent=1", false, 2}, Case{"devices=2 0.silent=1", true, 1}}) {
        SCOPED_TRACE(c.config);
        ScopedWorkingDirectory cwd;
        ASSERT_EQ(ondira_sim_configure(c.config), 0);
        Headset h(0);
        const double ms = timed([&] { EXPECT_EQ(h.facade.openDevice(), c.opens); });
        EXPECT_GE(ms, c.silentDongles * IDENTIFY_MS);
        EXPECT_LE(ms, c.silentDongles * IDENTIFY_MS + IDENTIFY_SLACK_MS);
        EXPECT_EQ(events(h.statuses), c.opens ? Codes{} : Codes{StatusData::DEVICE_IO_ERROR});
        EXPECT_FALSE(stateOf(0).open);
    }
}

TEST(LibraryScenario, HeadsetSwitchedOff_NotRespondingAfterFiftyOneEmptyPolls_StartAgainOnceItIsBack)
{
    ScopedWorkingDirectory cwd;
    ASSERT_EQ(ondira_sim_configure("loss=0.02"), 0);
    Headset h(0);
    ASSERT_TRUE(h.facade.openDevice());
    h.start();
    ASSERT_TRUE(waitFor([&] { return h.records() >= 250; }));
    ASSERT_EQ(ondira_sim_set(0, "headset=off"), 0);
    const auto off = Clock::now();
    ASSERT_TRUE(h.statuses.waitForStatus(StatusData::DEVICE_NOT_RESPONDING));
    const double ms = msSince(off);
    EXPECT_GE(ms, SILENCE_WATCH_MS - 100);
    EXPECT_LE(ms, SILENCE_WATCH_MS + 1500);
    const Accounting before = h.account();
    ASSERT_TRUE(before.exact) << before.failure;

    ASSERT_EQ(ondira_sim_set(0, "headset=on"), 0);
    h.start();
    ASSERT_TRUE(waitFor([&] { return h.records() >= 250; }));
    EXPECT_LE(timed([&] { EXPECT_TRUE(h.facade.stopStreaming()); }), COMMAND_MS);
    const Accounting after = h.account();
    ASSERT_TRUE(after.exact) << after.failure;
    EXPECT_EQ(events(h.statuses), Codes{StatusData::DEVICE_NOT_RESPONDING});
}

} // namespace
} // namespace ondira_faults
