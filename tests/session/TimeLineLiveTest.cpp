// A session streams the real-time virtual headset (its clock 1 % fast, three
// packets dropped) into a recording while markers are put from the test's
// thread: the time line converges, the markers land in the events file and
// the EDF+ within a few samples of the headset's own record of when each
// packet reached the receive queue, and the EDF+ starts when its first sample
// was taken. The bounds are loose: a loaded machine delays deliveries, never
// arrivals, and the fit must hold all the same. scripts/timing.sh measures
// the same thing closely.

#include "RecordingSupport.h"
#include "TestSupport.h"

#include <ondira/formats/EdfWriter.h>
#include <ondira/formats/EventsCsvWriter.h>
#include <ondira/session/Recording.h>
#include <ondira/session/Session.h>
#include <ondira/session/TimeLine.h>

#include "ondira_sim.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

using namespace ondira::session;
using ondira_test::waitFor;

namespace {

constexpr int SAMPLES_PER_PACKET = 5;

std::int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t wallMinusSteadyNs()
{
    const std::int64_t steady = steadyNs();
    const std::int64_t wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch())
                                  .count();
    return wall - steady;
}

TEST(TimeLineLive, ConvergesAndPlacesMarkersAndTheStartOnTheHeadsetsSamples)
{
    ondira_test::ScopedWorkingDirectory cwd;
    ASSERT_EQ(ondira_sim_configure("timescale=1.01 drop=120,121,400"), 0)
        << ondira_sim_last_error();
    // The virtual headset's clock against the steady clock.
    const std::int64_t before = steadyNs();
    const double simMs = ondira_sim_now_ms();
    const std::int64_t after = steadyNs();
    const double steadyMinusSimNs
        = static_cast<double>(before + (after - before) / 2) - simMs * 1e6;

    SessionOptions options;
    options.driver = Driver::virtualHeadset(ONDIRA_SIM_LIBRARY);
    options.calibrate = { { false, false, false, false } }; // the headset's values as computed
    Session session(options);
    const std::string base = QDir(cwd.path()).filePath(QStringLiteral("live")).toStdString();
    std::vector<std::unique_ptr<ondira::formats::Writer>> writers;
    writers.push_back(std::make_unique<ondira::formats::EdfWriter>(base + ".edf"));
    writers.push_back(std::make_unique<ondira::formats::EventsCsvWriter>(base + ".events.csv"));
    Recording recording(session, std::move(writers));
    std::string error;
    ASSERT_TRUE(recording.open(error)) << error;
    const CallResult opened = session.connect().result();
    ASSERT_TRUE(opened.ok) << opened.message;
    recording.start(opened.info);
    ASSERT_TRUE(session.start().result().ok);

    const TimeLine& timeLine = session.timeLine();
    const bool converged = waitFor(
        [&] { return timeLine.estimate().converged && session.status().timeline >= 2000; },
        std::chrono::seconds(30));
    // Markers now, each once another burst has come.
    struct Placed
    {
        std::int64_t ns;
        MarkResult result;
    };
    std::vector<Placed> markers;
    for (int i = 0; i < 20 && converged; ++i) {
        const std::int64_t now = steadyNs();
        markers.push_back(Placed{ now, session.mark("m" + std::to_string(i)) });
        const long long seen = session.status().timeline;
        ASSERT_TRUE(waitFor(
            [&] { return session.status().timeline >= seen + 25; }, std::chrono::seconds(10)));
    }
    const TimeLineEstimate estimate = timeLine.estimate();
    session.stop().wait();
    const RecordingResult written = recording.finish();
    session.close().wait();
    ASSERT_TRUE(converged) << "uncertainty " << timeLine.estimate().uncertaintyNs / 1e6 << " ms";
    ASSERT_TRUE(written.error.empty()) << written.error;

    // The truth: the virtual headset's arrivals lie on a line; with the
    // library's five fillers per lost packet, sample n is in packet n / 5.
    OndiraSimDeviceState state{};
    ASSERT_EQ(ondira_sim_get_state(0, &state), 0);
    ASSERT_EQ(state.packetsLost, 3u);
    double sx = 0, sy = 0, sxx = 0, sxy = 0, count = 0, y0 = 0;
    for (unsigned long long p = state.packetsSent > 4000 ? state.packetsSent - 4000 : 0;
         p < state.packetsSent; ++p) {
        double ms = 0;
        if (ondira_sim_packet_arrival(0, p, &ms) != 0)
            continue;
        const double x = static_cast<double>(p), y = ms * 1e6 + steadyMinusSimNs;
        if (count == 0)
            y0 = y;
        sx += x;
        sy += y - y0;
        sxx += x * x;
        sxy += x * (y - y0);
        ++count;
    }
    ASSERT_GT(count, 100);
    const double packetNs = (count * sxy - sx * sy) / (count * sxx - sx * sx);
    const double firstArrival = y0 + (sy - packetNs * sx) / count;
    const double period = packetNs / SAMPLES_PER_PACKET;
    const auto trueIndex
        = [&](double ns) { return (SAMPLES_PER_PACKET - 1) + (ns - firstArrival) / period; };

    EXPECT_NEAR(estimate.samplesPerSecond, 1e9 / period, 1e9 / period * 1e-3);
    EXPECT_EQ(estimate.fit, 1u);
    EXPECT_EQ(estimate.steps, 0u);
    // The markers where mark() put them, and in the events file: the
    // recording's first row is the stream's first sample.
    std::vector<double> onsets;
    for (const auto& row : ondira_test::readCsv(base + ".events.csv")) {
        if (row.size() == 6 && row[0] == "marker")
            onsets.push_back(std::stod(row[1]));
    }
    ASSERT_EQ(onsets.size(), markers.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < markers.size(); ++i) {
        ASSERT_TRUE(markers[i].result.placed());
        const double truth = trueIndex(static_cast<double>(markers[i].ns));
        worst = std::max({ worst, std::abs(markers[i].result.position - truth),
            std::abs(onsets[i] * 250.0 - truth) });
    }
    EXPECT_LE(worst, 3.0);
    RecordProperty("worstMarkerSamples", std::to_string(worst));

    // The EDF+ starts at the first sample's acquisition on the wall clock.
    const ondira_test::EdfContent edf = ondira_test::readEdf(base + ".edf");
    ASSERT_TRUE(edf.ok) << edf.error;
    const QDateTime start(
        QDate(edf.year, edf.month, edf.day), QTime(edf.hour, edf.minute, edf.second));
    const double startNs = static_cast<double>(start.toMSecsSinceEpoch()) * 1e6
        + static_cast<double>(edf.subsecond) * 100;
    const double sampleZero = firstArrival - (SAMPLES_PER_PACKET - 1) * period;
    EXPECT_NEAR(startNs - static_cast<double>(wallMinusSteadyNs()), sampleZero, 3 * period);
    EXPECT_NEAR(static_cast<double>(timeLine.timeOf(0.0).steadyNs), sampleZero, 3 * period);
}

} // namespace
