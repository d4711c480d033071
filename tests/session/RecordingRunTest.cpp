// The recording session against the virtual headset, in-process: the library
// loads the very simulator instance that the test configures.

#include "RecordingSupport.h"
#include "TestSupport.h"
#include "ondira_sim.h"

#include <ondira/formats/EdfWriter.h>
#include <ondira/formats/Outputs.h>
#include <ondira/session/RecordingRun.h>

#include <ondira/StatusData.h>

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>

using namespace ondira::formats;
using namespace ondira::session;
using namespace ondira_test;
using ondira_test::waitFor;

namespace {

struct Recorded {
    Summary summary;
    std::shared_ptr<Capture> capture = std::make_shared<Capture>();
    std::string base;
    std::vector<std::vector<std::string>> csv;     // header included
    std::vector<std::vector<std::string>> events;  // header included
    EdfContent edf;
};

class RecordingRunTest : public ::testing::Test
{
protected:
    void SetUp() override { ensureGuiApplication(); }

    void configure(const std::string& config)
    {
        ASSERT_EQ(ondira_sim_configure(config.c_str()), 0) << ondira_sim_last_error();
    }

    /// Records with `options` into the working directory; `during` runs on
    /// this thread while the session records.
    Recorded record(RunOptions options, unsigned formats = ALL_FORMATS,
               const std::function<void(RecordingRun&)>& during = {}, int failAfter = -1, int delayMs = 0,
               const std::string& base = "rec")
    {
        Recorded run;
        run.base = QDir(cwd.path()).filePath(QString::fromStdString(base)).toStdString();
        RecordingRun session(options);
        for (auto& writer : makeWriters(run.base, formats))
            session.addWriter(std::move(writer));
        session.addWriter(std::make_unique<CaptureWriter>(run.capture, failAfter, delayMs));
        if (session.start() && during)
            during(session);
        EXPECT_TRUE(session.waitUntilFinished(60000)) << "the session did not end";
        run.summary = session.finish();
        run.csv = readCsv(outputPath(run.base, FORMAT_CSV));
        run.events = readCsv(outputPath(run.base, FORMAT_EVENTS));
        if (QFile::exists(QString::fromStdString(outputPath(run.base, FORMAT_EDF))))
            run.edf = readEdf(outputPath(run.base, FORMAT_EDF));
        return run;
    }

    ondira_test::ScopedWorkingDirectory cwd; // log.txt and the files
};

std::vector<const EdfAnnotation*> annotationsStartingWith(const EdfContent& edf, const std::string& prefix)
{
    std::vector<const EdfAnnotation*> found;
    for (const EdfAnnotation& a : edf.annotations) {
        if (a.text.compare(0, prefix.size(), prefix) == 0)
            found.push_back(&a);
    }
    return found;
}

std::string listOf(const EdfContent& edf)
{
    std::string list = "annotations:";
    for (const EdfAnnotation& a : edf.annotations)
        list += "\n  " + std::to_string(a.onset) + " " + a.text;
    return list;
}

/// [first, length) of each run of flag-1 rows (row 1 is sample 0).
std::vector<std::pair<long long, long long>> fillerRuns(const std::vector<std::vector<std::string>>& csv)
{
    std::vector<std::pair<long long, long long>> runs;
    for (std::size_t row = 1; row < csv.size(); ++row) {
        if (csv[row][5] != "1")
            continue;
        const long long index = static_cast<long long>(row) - 1;
        if (!runs.empty() && runs.back().first + runs.back().second == index)
            ++runs.back().second;
        else
            runs.push_back({index, 1});
    }
    return runs;
}

void expectCsvMatchesCapture(const Recorded& run)
{
    ASSERT_EQ(run.csv.size(), run.capture->samples.size() + 1);
    for (std::size_t i = 0; i < run.capture->samples.size(); ++i) {
        const Sample& s = run.capture->samples[i];
        const std::vector<std::string>& row = run.csv[i + 1];
        ASSERT_EQ(row.size(), 7u);
        ASSERT_EQ(row[0], std::to_string(s.timestampMs)) << "row " << i;
        for (int c = 0; c < 4; ++c)
            ASSERT_EQ(row[1 + c], std::to_string(s.microvolts[c])) << "row " << i;
        ASSERT_EQ(row[5], std::to_string(s.flag));
        ASSERT_EQ(row[6], std::to_string(s.offsetChangeIndex));
    }
}

void expectEdfMatchesCsv(const Recorded& run)
{
    ASSERT_TRUE(run.edf.ok) << run.edf.error;
    ASSERT_EQ(run.edf.signalCount, 4);
    const std::size_t rows = run.csv.size() - 1;
    const double halfStep = EdfWriter::MAX_MICROVOLTS / 65535.0 / 2 + 1e-9;
    EXPECT_EQ(run.edf.records, static_cast<long long>((rows + 249) / 250));
    for (int c = 0; c < 4; ++c) {
        ASSERT_EQ(run.edf.microvolts[c].size(), static_cast<std::size_t>(run.edf.records * 250));
        for (std::size_t i = 0; i < run.edf.microvolts[c].size(); ++i) {
            const double expected = std::stod(run.csv[std::min(i, rows - 1) + 1][1 + c]);
            ASSERT_NEAR(run.edf.microvolts[c][i], expected, halfStep) << "channel " << c << " sample " << i;
        }
    }
    const auto ends = annotationsStartingWith(run.edf, "Recording ends");
    if (rows % 250 != 0) {
        ASSERT_EQ(ends.size(), 1u) << listOf(run.edf);
        EXPECT_NEAR(ends[0]->onset, rows * 0.004, 1e-4);
    } else {
        EXPECT_TRUE(ends.empty());
    }
}

} // namespace

// Losses at known packets and calibration on: the CSV holds what the library
// delivered, the EDF+ the same values; filler runs, offset changes and status
// events are annotated where they happened; the events CSV matches.
TEST_F(RecordingRunTest, LossesAndCalibration_CsvEdfAndEventsAgree)
{
    configure("fast=1 drop=100,101,150 seed=3");
    RunOptions options;
    // Long enough that the file has room for every annotation (the writer
    // merges them only when four per second of recording do not suffice).
    options.seconds = 5.5;
    options.labels = {{"Fp1", "Fp2", "O1", "O2"}};
    const Recorded run = record(options);

    EXPECT_EQ(run.summary.outcome, Outcome::Completed) << run.summary.message;
    EXPECT_EQ(run.summary.samples, 1375);
    EXPECT_EQ(run.summary.librarySamples - run.summary.afterEnd, 1375) << "written = delivered";
    EXPECT_EQ(run.summary.fillers, 15);
    EXPECT_EQ(run.summary.overflowed, 0);
    EXPECT_EQ(run.summary.files.size(), 4u);
    EXPECT_EQ(run.capture->info.labels[3], "O2");
    EXPECT_EQ(run.capture->info.device.headsetFirmware, "3.5");
    ASSERT_NO_FATAL_FAILURE(expectCsvMatchesCapture(run));
    EXPECT_EQ(run.csv[0][1], "Fp1_uV");

    // Packets 100 and 101 (samples 500..509) and 150 (750..754) were lost:
    // fillers repeating the sample before, on the 4 ms time line.
    EXPECT_EQ(fillerRuns(run.csv), (std::vector<std::pair<long long, long long>>{{500, 10}, {750, 5}}));
    for (long long i : {500LL, 509LL, 750LL, 754LL})
        EXPECT_EQ(std::vector<std::string>(run.csv[i + 1].begin() + 1, run.csv[i + 1].begin() + 5),
                  std::vector<std::string>(run.csv[i].begin() + 1, run.csv[i].begin() + 5));
    for (std::size_t row = 2; row < run.csv.size(); ++row)
        ASSERT_EQ(std::stoll(run.csv[row][0]) - std::stoll(run.csv[row - 1][0]), 4) << "row " << row;

    ASSERT_NO_FATAL_FAILURE(expectEdfMatchesCsv(run));
    EXPECT_EQ(run.edf.labels[0], "EEG Fp1");
    const auto lost = annotationsStartingWith(run.edf, "10 samples lost");
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_NEAR(lost[0]->onset, 2.0, 1e-4);
    EXPECT_NEAR(lost[0]->duration, 0.04, 1e-4);
    const auto lost5 = annotationsStartingWith(run.edf, "5 samples lost");
    ASSERT_EQ(lost5.size(), 1u);
    EXPECT_NEAR(lost5[0]->onset, 3.0, 1e-4);

    // Offset changes: one annotation per flagged sample, at its time.
    std::vector<std::pair<double, std::string>> offsetRows;
    for (std::size_t row = 1; row < run.csv.size(); ++row) {
        const int flag = std::stoi(run.csv[row][5]);
        if (flag >= 2)
            offsetRows.push_back({(row - 1) * 0.004, "Offset change, channel " + std::to_string((flag - 2) % 4 + 1)});
    }
    EXPECT_FALSE(offsetRows.empty()) << "calibration moved no offset";
    ASSERT_LT(run.edf.annotations.size(), 6 * EdfWriter::ANNOTATIONS_PER_RECORD) << "annotations merged for lack of room";
    const auto offsets = annotationsStartingWith(run.edf, "Offset change");
    ASSERT_EQ(offsets.size(), offsetRows.size());
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        EXPECT_NEAR(offsets[i]->onset, offsetRows[i].first, 1e-4);
        EXPECT_EQ(offsets[i]->text, offsetRows[i].second);
    }

    // Status events: the events CSV, the writers' events and the EDF+
    // annotations hold the same, in order, at the same onsets.
    ASSERT_FALSE(run.capture->events.empty());
    std::vector<std::vector<std::string>> statusRows;
    for (std::size_t row = 1; row < run.events.size(); ++row) {
        if (run.events[row][0] == "status")
            statusRows.push_back(run.events[row]);
    }
    ASSERT_EQ(statusRows.size(), run.capture->events.size());
    std::vector<const EdfAnnotation*> eventAnnotations;
    for (const EdfAnnotation& a : run.edf.annotations) {
        if (a.text.rfind("Channel ", 0) == 0 || a.text.rfind("Error", 0) == 0 || a.text.rfind("Ondira", 0) == 0)
            eventAnnotations.push_back(&a);
    }
    ASSERT_EQ(eventAnnotations.size(), run.capture->events.size());
    for (std::size_t i = 0; i < run.capture->events.size(); ++i) {
        const StatusEvent& e = run.capture->events[i];
        char onset[32];
        std::snprintf(onset, sizeof onset, "%.4f", e.onsetSeconds);
        EXPECT_EQ(statusRows[i], (std::vector<std::string>{"status", onset, std::to_string(e.timestampMs),
                                                           std::to_string(e.code), e.type, e.text}));
        EXPECT_EQ(eventAnnotations[i]->text, e.text);
        EXPECT_NEAR(eventAnnotations[i]->onset, std::min(e.onsetSeconds, 1374 * 0.004), 1e-3);
    }
}

// The dongle is unplugged for a while and plugged in again: the recording
// goes on in the same files, the gap written as lost samples on the time line
// and annotated; the timestamps stay true.
TEST_F(RecordingRunTest, HeadsetUnpluggedAndBack_GapWrittenAsLostSamples)
{
    configure("");
    RunOptions options;
    options.seconds = 3;
    options.reconnectIntervalSeconds = 0.2;
    options.calibrate = {{false, false, false, false}};
    std::chrono::steady_clock::time_point unplugged;
    const Recorded run = record(options, FORMAT_EDF | FORMAT_CSV | FORMAT_EVENTS, [&](RecordingRun& session) {
        ASSERT_TRUE(waitFor([&] { return session.progress().samples >= 250; }));
        unplugged = std::chrono::steady_clock::now();
        ondira_sim_unplug(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        ondira_sim_replug(0);
    });

    EXPECT_EQ(run.summary.outcome, Outcome::Completed) << run.summary.message;
    EXPECT_EQ(run.summary.reconnects, 1);
    EXPECT_EQ(run.summary.samples, 750);
    ASSERT_NO_FATAL_FAILURE(expectCsvMatchesCapture(run));
    // The gap is the longest run of fillers (the library's clock restarts
    // with the stream, which may add a filler or two just after it).
    const auto runs = fillerRuns(run.csv);
    ASSERT_FALSE(runs.empty());
    const auto gap = std::max_element(runs.begin(), runs.end(),
                                      [](const auto& a, const auto& b) { return a.second < b.second; });
    const long long first = gap->first;
    const long long length = gap->second;
    EXPECT_GE(length, 150) << "600 ms away at least";
    EXPECT_LE(length, 500) << "back within 2 s";
    EXPECT_GE(first, 240);
    // Fillers and samples keep one time line: the first sample after the gap
    // carries the clock again, within half a sample period of the line.
    for (std::size_t row = 2; row < run.csv.size(); ++row)
        ASSERT_NEAR(std::stoll(run.csv[row][0]) - std::stoll(run.csv[row - 1][0]), 4, 2) << "sample " << row - 1;
    const double span = (std::stoll(run.csv.back()[0]) - std::stoll(run.csv[1][0])) / 1000.0;
    EXPECT_NEAR(span, 749 * 0.004, 0.01);

    ASSERT_NO_FATAL_FAILURE(expectEdfMatchesCsv(run));
    const auto lostNote = annotationsStartingWith(run.edf, "Headset lost");
    ASSERT_EQ(lostNote.size(), 1u) << listOf(run.edf);
    EXPECT_NEAR(lostNote[0]->onset, first * 0.004, 0.15);
    const auto back = annotationsStartingWith(run.edf, "Headset back after ");
    ASSERT_EQ(back.size(), 1u) << listOf(run.edf);
    EXPECT_NEAR(back[0]->onset, (first + length) * 0.004, 1e-4);
    char expected[64];
    std::snprintf(expected, sizeof expected, "Headset back after %.1f s", (length + 1) * 0.004);
    EXPECT_EQ(back[0]->text, expected);
    const auto lost = annotationsStartingWith(run.edf, std::to_string(length) + " samples lost");
    ASSERT_EQ(lost.size(), 1u) << listOf(run.edf);
    EXPECT_NEAR(lost[0]->onset, first * 0.004, 1e-4);
    bool ioError = false;
    for (std::size_t row = 1; row < run.events.size(); ++row)
        ioError = ioError || (run.events[row][0] == "status" && run.events[row][3] == "0");
    EXPECT_TRUE(ioError) << "DEVICE_IO_ERROR in the events file";
}

// The headset goes silent for longer than the library waits (it reports
// DEVICE_NOT_RESPONDING) and is switched on again.
TEST_F(RecordingRunTest, HeadsetSilentLongerThanTheLibraryWaits_ThenBack)
{
    configure("");
    RunOptions options;
    options.reconnectIntervalSeconds = 0.2;
    long long before = 0;
    const Recorded run = record(options, FORMAT_CSV | FORMAT_EVENTS, [&](RecordingRun& session) {
        ASSERT_TRUE(waitFor([&] { return session.progress().samples >= 125; }));
        ASSERT_EQ(ondira_sim_set(0, "headset=off"), 0);
        ASSERT_TRUE(waitFor([&] { return session.progress().state == RunState::Reconnecting; }));
        ASSERT_EQ(ondira_sim_set(0, "headset=on"), 0);
        ASSERT_TRUE(waitFor([&] { return session.progress().state == RunState::Recording; }));
        before = session.progress().samples;
        ASSERT_TRUE(waitFor([&] { return session.progress().samples >= before + 125; }));
        session.requestStop();
    });

    EXPECT_EQ(run.summary.outcome, Outcome::Stopped) << run.summary.message;
    EXPECT_EQ(run.summary.reconnects, 1);
    ASSERT_NO_FATAL_FAILURE(expectCsvMatchesCapture(run));
    long long longest = 0;
    for (const auto& r : fillerRuns(run.csv))
        longest = std::max(longest, r.second);
    EXPECT_GE(longest, 1000) << "the library waits about 5 s before it reports the silence";
    bool notResponding = false;
    for (std::size_t row = 1; row < run.events.size(); ++row)
        notResponding = notResponding || (run.events[row][0] == "status" && run.events[row][3] == "1");
    EXPECT_TRUE(notResponding);
    std::vector<std::string> notes;
    for (const Note& note : run.capture->notes)
        notes.push_back(note.text.substr(0, 12));
    EXPECT_EQ(notes, (std::vector<std::string>{"Headset lost", "Headset back"}));
}

TEST_F(RecordingRunTest, ReconnectZero_GivesUpAtOnceAndKeepsWhatWasRecorded)
{
    configure("");
    RunOptions options;
    options.seconds = 10;
    options.reconnectSeconds = 0;
    const Recorded run = record(options, FORMAT_EDF | FORMAT_CSV, [&](RecordingRun& session) {
        ASSERT_TRUE(waitFor([&] { return session.progress().samples >= 250; }));
        ondira_sim_unplug(0);
    });
    EXPECT_EQ(run.summary.outcome, Outcome::HeadsetFailed);
    EXPECT_NE(run.summary.message.find("Error while reading, writing or configuring the device"), std::string::npos)
        << run.summary.message;
    EXPECT_EQ(run.summary.failureCode, StatusData::DEVICE_IO_ERROR);
    EXPECT_GE(run.summary.samples, 250);
    EXPECT_EQ(run.summary.files.size(), 2u);
    EXPECT_EQ(run.csv.size(), static_cast<std::size_t>(run.summary.samples) + 1);
    ASSERT_NO_FATAL_FAILURE(expectEdfMatchesCsv(run));
    EXPECT_EQ(annotationsStartingWith(run.edf, "Headset lost").size(), 1u);
}

// A writer slower than the stream: the queue overflows; the dropped samples
// are counted, written as lost samples and noted, never silently missing.
TEST_F(RecordingRunTest, QueueOverflow_CountedWrittenAsLostAndNoted)
{
    configure("fast=1");
    RunOptions options;
    options.seconds = 4;
    options.queueCapacity = 16;
    options.calibrate = {{false, false, false, false}};
    const Recorded run = record(options, FORMAT_CSV, {}, -1, 20);
    EXPECT_EQ(run.summary.outcome, Outcome::Completed) << run.summary.message;
    EXPECT_EQ(run.summary.samples, 1000);
    EXPECT_GT(run.summary.overflowed, 0);
    EXPECT_EQ(run.summary.fillers, run.summary.overflowed);
    ASSERT_NO_FATAL_FAILURE(expectCsvMatchesCapture(run));
    long long noted = 0;
    for (const Note& note : run.capture->notes) {
        const auto at = note.text.find(" samples dropped: recording queue full");
        ASSERT_NE(at, std::string::npos) << note.text;
        noted += std::stoll(note.text.substr(0, at));
    }
    EXPECT_EQ(noted, run.summary.overflowed);
    for (std::size_t row = 2; row < run.csv.size(); ++row)
        ASSERT_EQ(std::stoll(run.csv[row][0]) - std::stoll(run.csv[row - 1][0]), 4) << "row " << row;
}

TEST_F(RecordingRunTest, WriteFailure_StopsTheRecordingAndTheOtherFilesStayValid)
{
    configure("");
    RunOptions options;
    options.seconds = 20;
    const Recorded run = record(options, FORMAT_EDF | FORMAT_CSV, {}, 3);
    EXPECT_EQ(run.summary.outcome, Outcome::OutputFailed);
    EXPECT_EQ(run.summary.message, "capture: no space left (a test's failure)");
    EXPECT_LT(run.summary.recordedSeconds, 5);
    // The CSV writer comes before the failing one: it has the last batch too.
    EXPECT_GE(run.csv.size(), run.capture->samples.size() + 1);
    for (const auto& row : run.csv)
        EXPECT_EQ(row.size(), 7u);
    ASSERT_TRUE(run.edf.ok) << run.edf.error;
}

TEST_F(RecordingRunTest, UnwritableOutput_FailsBeforeTheHeadsetIsOpened)
{
    configure("");
    RunOptions options;
    options.seconds = 1;
    Recorded run = record(options, ALL_FORMATS, {}, -1, 0, "missing/rec");
    EXPECT_EQ(run.summary.outcome, Outcome::OutputFailed);
    EXPECT_NE(run.summary.message.find("missing/rec.edf: No such file or directory"), std::string::npos)
        << run.summary.message;
    OndiraSimDeviceState state{};
    ASSERT_EQ(ondira_sim_get_state(0, &state), 0);
    EXPECT_EQ(state.openCount, 0u);

    // The second file fails: the first one, created already, is removed.
    ASSERT_TRUE(QDir(cwd.path()).mkdir(QStringLiteral("rec.csv")));
    run = record(options, FORMAT_EDF | FORMAT_CSV);
    EXPECT_EQ(run.summary.outcome, Outcome::OutputFailed);
    EXPECT_NE(run.summary.message.find("rec.csv"), std::string::npos) << run.summary.message;
    EXPECT_FALSE(QFile::exists(QString::fromStdString(run.base + ".edf")));
    EXPECT_TRUE(run.summary.files.empty());
}

TEST_F(RecordingRunTest, HeadsetCannotBeOpened_TheLibrarysTextAndNoFiles)
{
    configure("refuse_open=1");
    RunOptions options;
    options.seconds = 1;
    const Recorded run = record(options);
    EXPECT_EQ(run.summary.outcome, Outcome::HeadsetFailed);
    EXPECT_NE(run.summary.message.find("could not open the headset: Error while reading, writing or configuring"),
              std::string::npos)
        << run.summary.message;
    EXPECT_EQ(run.summary.failureCode, StatusData::DEVICE_IO_ERROR);
    EXPECT_TRUE(run.summary.files.empty());
    EXPECT_TRUE(QDir(cwd.path()).entryList({QStringLiteral("rec*")}, QDir::Files).isEmpty());
}

TEST_F(RecordingRunTest, StopBeforeTheFirstSample_NothingWritten)
{
    configure("");
    RunOptions options;
    const Recorded run = record(options, ALL_FORMATS, [](RecordingRun& session) { session.requestStop(); });
    EXPECT_EQ(run.summary.outcome, Outcome::NothingRecorded);
    EXPECT_TRUE(run.summary.files.empty());
    EXPECT_TRUE(QDir(cwd.path()).entryList({QStringLiteral("rec*")}, QDir::Files).isEmpty());
}

TEST_F(RecordingRunTest, StopWhileRecording_EverySampleReceivedIsWritten)
{
    configure("");
    RunOptions options;
    const Recorded run = record(options, FORMAT_EDF | FORMAT_CSV, [](RecordingRun& session) {
        ASSERT_TRUE(waitFor([&] { return session.progress().samples >= 300; }));
        session.requestStop();
    });
    EXPECT_EQ(run.summary.outcome, Outcome::Stopped);
    EXPECT_EQ(run.summary.librarySamples, run.summary.samples);
    EXPECT_EQ(run.csv.size(), static_cast<std::size_t>(run.summary.samples) + 1);
    ASSERT_NO_FATAL_FAILURE(expectCsvMatchesCapture(run));
    ASSERT_NO_FATAL_FAILURE(expectEdfMatchesCsv(run));
}
