// The viewer's core against the virtual headset, in-process: what reaches
// the display, the spectrum of the headset's signal, recordings, a lost
// headset, requests made at the wrong time, publishing on LSL.

#include "Acquisition.h"
#include "Psd.h"
#include "TraceBuffer.h"
#include "ViewTestSupport.h"

#include "RecordingSupport.h"
#include "TestInlet.h"
#include "TestSupport.h"
#include "ondira_sim.h"

#include <ondira/formats/Outputs.h>

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

using namespace ondira::view;
using namespace view_test;
using LogKind = LogEntry::Kind;
using ondira_test::waitFor;

namespace {

class AcquisitionTest : public ::testing::Test
{
protected:
    void start(const std::string& config, AcquisitionOptions options = simulatorOptions())
    {
        ASSERT_EQ(configure(config), "");
        link = std::make_unique<Acquisition>(options);
        link->connect(Source::VirtualHeadset, true);
        ASSERT_TRUE(until([&] { return link->status().link == Link::Streaming; })) << listOf(log);
    }

    /// Moves what the acquisition delivered into `buffer` and `log`.
    void pump()
    {
        std::vector<DisplaySample> batch(2048);
        for (;;) {
            const std::size_t n = link->takeSamples(batch.data(), batch.size());
            buffer.append(batch.data(), n);
            shown.insert(shown.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(n));
            if (n < batch.size())
                break;
        }
        for (LogEntry& entry : link->takeLog()) {
            // As the window does: markers onto the traces.
            if (entry.kind == LogKind::Marker)
                buffer.addMarker(entry.stream, entry.position, entry.text);
            log.push_back(std::move(entry));
        }
    }

    bool until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        return waitFor([&] {
            pump();
            return condition();
        }, timeout);
    }

    bool settled() { return until([&] { return link->idle(); }); }

    std::string base(const char* name) const { return QDir(cwd.path()).filePath(QString::fromLatin1(name)).toStdString(); }

    ondira_test::ScopedWorkingDirectory cwd; // log.txt and recordings
    std::unique_ptr<Acquisition> link;
    TraceBuffer buffer{20000};
    std::vector<DisplaySample> shown; // as the ring delivered them
    std::vector<LogEntry> log;
};

} // namespace

TEST_F(AcquisitionTest, Psd_VirtualHeadset_PeaksAtItsTenHertzRhythmWithAlphaLargest)
{
    start("timescale=4 seed=3");
    ASSERT_TRUE(until([&] { return buffer.size() >= 6 * OndiraData::SAMPLE_RATE_HZ; })) << listOf(log);
    Welch welch(OndiraData::SAMPLE_RATE_HZ, OndiraData::SAMPLE_RATE_HZ);
    std::vector<float> values(4 * OndiraData::SAMPLE_RATE_HZ);
    std::vector<unsigned char> marked(values.size());
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        SCOPED_TRACE(c + 1);
        const std::size_t n = buffer.lastRaw(c, values.size(), values.data(), marked.data());
        const Psd psd = welch.compute(values.data(), marked.data(), n);
        ASSERT_FALSE(psd.empty());
        EXPECT_EQ(peakFrequency(psd, 1.0, 60.0), 10.0);
        const auto powers = bandPowers(psd);
        for (std::size_t b = 0; b < BAND_COUNT; ++b) {
            if (b != 2) {
                EXPECT_GT(powers[2], 5 * powers[b]) << EEG_BANDS[b].name;
            }
        }
    }
}

TEST_F(AcquisitionTest, Display_GuiFallingBehind_SkippedSamplesKeepTheTimeAxisTrue)
{
    AcquisitionOptions options = simulatorOptions();
    options.displayCapacity = 64;
    ASSERT_EQ(configure("timescale=4"), "");
    link = std::make_unique<Acquisition>(options);
    link->connect(Source::VirtualHeadset, true);
    // Nobody reads the ring: it fills up, and the library's worker goes on.
    ASSERT_TRUE(waitFor([&] { return link->status().displaySkipped > 200; }));
    // Reading again: the next sample that fits carries the gap.
    ASSERT_TRUE(until([&] { return buffer.end() > 64 + 200 + 50; })) << listOf(log);
    link->stopStreaming();
    ASSERT_TRUE(settled());
    pump();

    // On the library's 4 ms time line, each sample shown lies as many steps
    // after the one before as it says were skipped, plus one.
    ASSERT_GT(shown.size(), 64u);
    long long carried = 0;
    for (std::size_t i = 1; i < shown.size(); ++i) {
        carried += shown[i].skippedBefore;
        ASSERT_EQ(shown[i].sample.timestampMs - shown[i - 1].sample.timestampMs, 4LL * (1 + shown[i].skippedBefore))
            << "sample " << i;
    }
    EXPECT_GE(carried, 200);
    // Those skipped after the last sample shown have no place to be drawn.
    EXPECT_LE(carried, link->status().displaySkipped);
    long long marked = 0;
    for (long long i = buffer.first(); i < buffer.end(); ++i)
        marked += (buffer.marks(i) & TraceBuffer::MARK_SKIPPED) ? 1 : 0;
    EXPECT_EQ(marked, carried);
    EXPECT_EQ(buffer.end(), static_cast<long long>(shown.size()) + carried);
}

TEST_F(AcquisitionTest, Recording_WritesWhatTheLibraryDeliveredAndNeverReplacesAFile)
{
    start("timescale=4 loss=0.02 seed=9");
    auto capture = std::make_shared<ondira_test::Capture>();
    RecordingRequest request;
    request.base = base("first.edf"); // the extension is optional
    request.extraWriters.push_back(std::make_unique<ondira_test::CaptureWriter>(capture));
    link->startRecording(std::move(request));
    ASSERT_TRUE(until([&] { return link->status().recordedSeconds >= 3.0; })) << listOf(log);
    link->stopRecording();
    ASSERT_TRUE(settled());
    ASSERT_FALSE(link->status().recording);
    pump();

    // The files hold what the writers were given: the library's samples, its
    // fillers among them, one every 4 ms.
    std::vector<ondira::formats::Sample> samples;
    {
        std::lock_guard<std::mutex> lock(capture->mutex);
        samples = capture->samples;
        EXPECT_EQ(capture->info.labels[2], "O1");
        EXPECT_EQ(capture->info.device.headsetFirmware, "3.5");
    }
    ASSERT_GE(samples.size(), 750u);
    long long fillers = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        fillers += ondira::formats::isFiller(samples[i]) ? 1 : 0;
        if (i > 0) {
            ASSERT_EQ(samples[i].timestampMs - samples[i - 1].timestampMs, 4) << "sample " << i;
        }
    }
    EXPECT_GT(fillers, 0) << "loss=0.02 loses packets";
    EXPECT_EQ(fillers % 5, 0) << "five fillers per lost packet";
    const std::string files = base("first");
    const auto csv = ondira_test::readCsv(files + ".csv");
    ASSERT_EQ(csv.size(), samples.size() + 1);
    EXPECT_EQ(csv[0][1], "Fp1_uV");
    const auto edf = ondira_test::readEdf(files + ".edf");
    ASSERT_TRUE(edf.ok) << edf.error;
    EXPECT_EQ(edf.labels[3], "EEG O2");
    EXPECT_EQ(edf.records, static_cast<long long>((samples.size() + 249) / 250));
    for (std::size_t i = 0; i < samples.size(); i += 97)
        EXPECT_NEAR(edf.microvolts[1][i], samples[i].microvolts[1], 0.3) << "sample " << i;
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(files + ".events.csv")));
    EXPECT_TRUE(logHas(log, LogKind::Note, "Recorded ")) << listOf(log);

    // The same name again: refused, nothing touched.
    const qint64 size = QFileInfo(QString::fromStdString(files + ".edf")).size();
    RecordingRequest again;
    again.base = files;
    link->startRecording(std::move(again));
    ASSERT_TRUE(settled());
    pump();
    EXPECT_TRUE(logHas(log, LogKind::Failure, "already exists")) << listOf(log);
    EXPECT_FALSE(link->status().recording);
    EXPECT_EQ(QFileInfo(QString::fromStdString(files + ".edf")).size(), size);

    // A second recording starts where it was started: nothing of the first
    // one's queue leaks into it.
    auto second = std::make_shared<ondira_test::Capture>();
    RecordingRequest next;
    next.base = base("second");
    next.csv = false;
    next.extraWriters.push_back(std::make_unique<ondira_test::CaptureWriter>(second));
    link->startRecording(std::move(next));
    ASSERT_TRUE(until([&] { return link->status().recordedSeconds >= 1.0; })) << listOf(log);
    link->stopRecording();
    ASSERT_TRUE(settled());
    std::lock_guard<std::mutex> lock(second->mutex);
    ASSERT_FALSE(second->samples.empty());
    EXPECT_GT(second->samples.front().timestampMs, samples.back().timestampMs);
    for (std::size_t i = 1; i < second->samples.size(); ++i)
        ASSERT_EQ(second->samples[i].timestampMs - second->samples[i - 1].timestampMs, 4) << "sample " << i;
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(base("second") + ".csv")));
}

TEST_F(AcquisitionTest, Recording_SlowDisk_OverflowBecomesFillersWithANote)
{
    AcquisitionOptions options = simulatorOptions();
    options.recordCapacity = 32;
    start("timescale=4", options);
    auto capture = std::make_shared<ondira_test::Capture>();
    RecordingRequest request;
    request.base = base("slow");
    request.csv = false;
    request.extraWriters.push_back(std::make_unique<ondira_test::CaptureWriter>(capture, -1, 150));
    link->startRecording(std::move(request));
    ASSERT_TRUE(until([&] { return link->status().recordedSeconds >= 2.0; })) << listOf(log);
    link->stopRecording();
    ASSERT_TRUE(settled());

    std::lock_guard<std::mutex> lock(capture->mutex);
    long long fillers = 0;
    for (std::size_t i = 1; i < capture->samples.size(); ++i) {
        ASSERT_EQ(capture->samples[i].timestampMs - capture->samples[i - 1].timestampMs, 4) << "sample " << i;
        fillers += ondira::formats::isFiller(capture->samples[i]) ? 1 : 0;
    }
    EXPECT_GT(fillers, 0);
    long long noted = 0;
    for (const auto& note : capture->notes) {
        const auto at = note.text.find(" samples dropped: recording queue full");
        if (at != std::string::npos)
            noted += std::stoll(note.text.substr(0, at));
    }
    EXPECT_EQ(noted, fillers) << "every dropped sample is noted (the headset lost none)";
}

TEST_F(AcquisitionTest, HeadsetLost_WhileRecording_ClosesTheFilesAndSaysWhatToDo)
{
    AcquisitionOptions noReconnect = simulatorOptions();
    noReconnect.reconnectSeconds = 0;
    start("timescale=4", noReconnect);
    auto capture = std::make_shared<ondira_test::Capture>();
    RecordingRequest request;
    request.base = base("lost");
    request.extraWriters.push_back(std::make_unique<ondira_test::CaptureWriter>(capture));
    link->startRecording(std::move(request));
    ASSERT_TRUE(until([&] { return link->status().recordedSeconds >= 1.0; })) << listOf(log);
    ondira_sim_unplug(0);
    ASSERT_TRUE(until([&] { return link->status().link == Link::Disconnected && link->idle(); })) << listOf(log);
    pump();
    EXPECT_FALSE(link->status().recording);
    EXPECT_TRUE(logHas(log, LogKind::Failure, "The headset was lost")) << listOf(log);
    EXPECT_TRUE(logHas(log, LogKind::Failure, "files are valid")) << listOf(log);
    {
        std::lock_guard<std::mutex> lock(capture->mutex);
        EXPECT_TRUE(capture->closed);
        ASSERT_FALSE(capture->notes.empty());
        EXPECT_EQ(capture->notes.back().text, "Headset lost");
    }
    const auto edf = ondira_test::readEdf(base("lost") + ".edf");
    ASSERT_TRUE(edf.ok) << edf.error;
    EXPECT_GE(edf.records, 1);

    // Plugged in again, it connects as before.
    ondira_sim_replug(0);
    link->connect(Source::VirtualHeadset, true);
    EXPECT_TRUE(until([&] { return link->status().link == Link::Streaming; })) << listOf(log);
}

TEST_F(AcquisitionTest, HeadsetLost_WhileRecording_ReconnectsAndTheRecordingGoesOn)
{
    AcquisitionOptions options = simulatorOptions();
    options.reconnectIntervalSeconds = 0.2;
    start("replug_after_ms=300", options);
    auto capture = std::make_shared<ondira_test::Capture>();
    RecordingRequest request;
    request.base = base("through");
    request.extraWriters.push_back(std::make_unique<ondira_test::CaptureWriter>(capture));
    link->startRecording(std::move(request));
    ASSERT_TRUE(until([&] { return link->status().recordedSeconds >= 1.0; })) << listOf(log);
    ondira_sim_unplug(0);
    ASSERT_TRUE(until([&] { return link->status().link == Link::Reconnecting; })) << listOf(log);
    ASSERT_TRUE(until([&] { return link->status().link == Link::Streaming && link->status().recordedSeconds >= 3.0; }))
        << listOf(log);
    EXPECT_TRUE(link->status().recording) << "the recording goes on through the loss";
    link->stopRecording();
    ASSERT_TRUE(settled());
    pump();

    std::lock_guard<std::mutex> lock(capture->mutex);
    std::vector<std::string> notes;
    for (const auto& note : capture->notes)
        notes.push_back(note.text);
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes[0], "Headset lost");
    EXPECT_EQ(notes[1].rfind("Headset back after ", 0), 0u) << notes[1];
    // The time away is a run of fillers on the one 4 ms time line.
    long long longestRun = 0, run = 0;
    for (std::size_t i = 1; i < capture->samples.size(); ++i) {
        ASSERT_EQ(capture->samples[i].timestampMs - capture->samples[i - 1].timestampMs, 4) << "sample " << i;
        run = ondira::formats::isFiller(capture->samples[i]) ? run + 1 : 0;
        longestRun = std::max(longestRun, run);
    }
    EXPECT_GE(longestRun, 50) << "at least 200 ms away";
    EXPECT_TRUE(logHas(log, LogKind::Note, "The headset is back")) << listOf(log);
}

TEST_F(AcquisitionTest, Requests_AtTheWrongTime_AreRefusedWithAReason)
{
    ASSERT_EQ(configure("timescale=4"), "");
    link = std::make_unique<Acquisition>(simulatorOptions());
    struct Case {
        const char* what;
        std::function<void()> request;
        const char* failure;
    };
    auto expectRefused = [&](const Case& c, Link stays) {
        SCOPED_TRACE(c.what);
        log.clear();
        c.request();
        ASSERT_TRUE(settled());
        pump();
        EXPECT_TRUE(logHas(log, LogKind::Failure, c.failure)) << listOf(log);
        EXPECT_EQ(link->status().link, stays);
    };
    const Case beforeConnecting[] = {
        {"start", [&] { link->startStreaming(); }, "Not connected"},
        {"record", [&] { link->startRecording(RecordingRequest{base("x"), true, {}}); }, "Not streaming"},
        {"mark", [&] { link->mark("go"); }, "Marker 'go' not placed: start streaming first."},
    };
    for (const Case& c : beforeConnecting)
        expectRefused(c, Link::Disconnected);
    // Calibration switched off while disconnected holds for the connection.
    link->setCalibration(0, false);
    link->connect(Source::VirtualHeadset, true);
    ASSERT_TRUE(until([&] { return link->status().link == Link::Streaming; })) << listOf(log);
    EXPECT_TRUE(until([&] { return link->status().calibration[0] == Calibration::Off; })) << listOf(log);

    const Case whileStreaming[] = {
        {"connect again", [&] { link->connect(Source::VirtualHeadset); }, "Already connected"},
        {"an empty file name", [&] { link->startRecording(RecordingRequest{" ", true, {}}); }, "Choose a file name"},
        {"a missing folder", [&] { link->startRecording(RecordingRequest{base("no/such/folder/x"), true, {}}); },
         "does not exist"},
        {"an empty marker", [&] { link->mark(""); }, "Marker not placed: type its text first."},
        {"a marker not UTF-8", [&] { link->mark("caf\xe9"); }, "its text is refused (not UTF-8)"},
    };
    for (const Case& c : whileStreaming)
        expectRefused(c, Link::Streaming);
}

TEST_F(AcquisitionTest, Publishing_FollowsTheConnection_AFailureTurnsTheSwitchOff)
{
    ASSERT_EQ(configure(""), "");
    AcquisitionOptions options = simulatorOptions();
    options.lsl.name = "OndiraView" + std::to_string(getpid());
    options.lsl.interfaceAddress = "127.0.0.1";
    link = std::make_unique<Acquisition>(options);
    link->setPublishing(true); // before connecting: from the connection on
    link->connect(Source::VirtualHeadset, true);
    ASSERT_TRUE(until([&] { return link->status().lsl.running; })) << listOf(log);
    EXPECT_TRUE(logHas(log, LogKind::Note, "Publishing '" + options.lsl.name + "' and"))
        << listOf(log);
    std::vector<lsltest::Resolved> found;
    ASSERT_TRUE(lsltest::waitUntil([&] {
        found = lsltest::resolve("name='" + options.lsl.name + "'", 0.3, 1);
        return !found.empty();
    }));
    lsltest::Inlet inlet;
    std::string error;
    ASSERT_TRUE(inlet.connect(found.front(), {}, error)) << error;
    std::vector<float> values;
    double stamp = 0;
    ASSERT_TRUE(inlet.readFloat(values, stamp, 10));
    EXPECT_EQ(values.size(), 4u);
    EXPECT_TRUE(until([&] { return link->status().lsl.inlets == 1; }));

    // The stream describes one connection's dongle: it closes with it and
    // opens again with the next.
    link->disconnect();
    ASSERT_TRUE(settled());
    EXPECT_FALSE(link->status().lsl.running);
    EXPECT_TRUE(link->status().publishWanted);
    link->connect(Source::VirtualHeadset);
    ASSERT_TRUE(until([&] { return link->status().lsl.running; })) << listOf(log);
    link->setPublishing(false);
    ASSERT_TRUE(settled());
    EXPECT_FALSE(link->status().lsl.running);
    link.reset();

    log.clear();
    options.lsl.interfaceAddress = "192.0.2.254"; // not this machine's
    link = std::make_unique<Acquisition>(options);
    link->connect(Source::VirtualHeadset);
    link->setPublishing(true);
    ASSERT_TRUE(settled());
    pump();
    EXPECT_TRUE(logHas(log, LogKind::Failure, "Could not publish the stream on LSL: "))
        << listOf(log);
    EXPECT_FALSE(link->status().publishWanted);
    EXPECT_EQ(link->status().link, Link::Connected);
}

TEST_F(AcquisitionTest, Marker_WhileRecording_LandsInTheFilesAndTheTracesAtItsSample)
{
    start("timescale=4");
    link->startRecording(RecordingRequest{base("marked"), true, {}});
    ASSERT_TRUE(until([&] { return link->status().recordedSeconds >= 1.0; })) << listOf(log);
    ASSERT_FALSE(shown.empty());
    const DisplaySample newest = shown.back();
    const long long newestAt = buffer.end() - 1;
    ASSERT_TRUE(link->mark("stimulus A"));
    ASSERT_TRUE(until([&] { return buffer.markers().size() == 1; })) << listOf(log);
    // Placed at the time line's "now": at or just after the newest sample
    // shown (the worker may have delivered a packet since); there on the traces.
    const auto marker = std::find_if(log.begin(), log.end(),
                                     [](const LogEntry& e) { return e.kind == LogKind::Marker; });
    ASSERT_NE(marker, log.end());
    const double ahead = marker->position - static_cast<double>(newest.index);
    EXPECT_GE(ahead, 0.0);
    EXPECT_LT(ahead, 0.5 * OndiraData::SAMPLE_RATE_HZ);
    EXPECT_NEAR(buffer.markers()[0].at, static_cast<double>(newestAt) + ahead, 1e-9);
    EXPECT_TRUE(until([&] { return buffer.markers()[0].at < static_cast<double>(buffer.end()); }))
        << "drawn once its sample is there";
    ASSERT_TRUE(until([&] { return link->status().recordedSeconds >= 2.0; })) << listOf(log);
    link->stopRecording();
    ASSERT_TRUE(settled());

    // In the files, as far after the sample shown last as on the traces.
    const auto samples = ondira_test::readCsv(base("marked") + ".csv");
    const auto row = std::find_if(samples.begin(), samples.end(), [&](const auto& r) {
        return r[0] == std::to_string(newest.sample.timestampMs);
    });
    ASSERT_NE(row, samples.end());
    const double rowIndex = static_cast<double>(row - samples.begin() - 1); // after the header
    const double onset = (rowIndex + ahead) / OndiraData::SAMPLE_RATE_HZ;
    const auto events = ondira_test::readCsv(base("marked") + ".events.csv");
    const auto marked = std::find_if(events.begin(), events.end(), [](const auto& r) {
        return r[0] == "marker" && r.back() == "stimulus A";
    });
    ASSERT_NE(marked, events.end());
    EXPECT_NEAR(std::stod((*marked)[1]), onset, 1e-4);
    const auto edf = ondira_test::readEdf(base("marked") + ".edf");
    EXPECT_TRUE(std::any_of(edf.annotations.begin(), edf.annotations.end(), [&](const auto& a) {
        return a.text == "stimulus A" && std::fabs(a.onset - onset) < 2e-4;
    })) << edf.error;
}
