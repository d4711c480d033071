// The file writers on their own, fed with made-up samples.

#include "RecordingSupport.h"

#include <ondira/formats/CsvWriter.h>
#include <ondira/formats/EdfWriter.h>
#include <ondira/formats/EventsCsvWriter.h>
#include <ondira/formats/Outputs.h>
#include <ondira/formats/PlotWriter.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <set>

using namespace ondira::formats;
using namespace ondira_test;

namespace {

std::vector<Sample> makeSamples(int count, long long start = 1700000000123LL, int seed = 0)
{
    std::vector<Sample> samples(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        Sample& s = samples[static_cast<std::size_t>(i)];
        s.timestampMs = start + 4LL * i;
        for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
            s.microvolts[static_cast<std::size_t>(c)] =
                10000 * c + 500 + static_cast<int>(std::lround(100 * std::sin((i + seed) * 0.25 * (c + 1))));
    }
    return samples;
}

void markFillers(std::vector<Sample>& samples, int from, int count)
{
    for (int i = from; i < from + count; ++i) {
        samples[static_cast<std::size_t>(i)] = samples[static_cast<std::size_t>(from - 1)];
        samples[static_cast<std::size_t>(i)].flag = OndiraData::FLAG_LOST_SAMPLE;
        samples[static_cast<std::size_t>(i)].timestampMs = samples[static_cast<std::size_t>(from - 1)].timestampMs + 4LL * (i - from + 1);
    }
}

RecordingInfo labelledInfo()
{
    RecordingInfo info;
    info.labels = {{"Fp1", "Fp2", "O1", "O2"}};
    info.device.dongleFirmware = "2.4";
    info.device.headsetFirmware = "3.5";
    info.device.dongleChannel = 9;
    info.device.headsetChannel = 9;
    return info;
}

std::string pathIn(const QTemporaryDir& dir, const char* name)
{
    return QDir(dir.path()).filePath(QString::fromUtf8(name)).toStdString();
}

} // namespace

TEST(EdfWriter, EveryMicrovoltValueComesBackWithinHalfADigitalStep)
{
    const double step = EdfWriter::MAX_MICROVOLTS / 65535.0;
    EXPECT_EQ(EdfWriter::toDigital(0.0), -32768);
    EXPECT_EQ(EdfWriter::toDigital(EdfWriter::MAX_MICROVOLTS), 32767);
    double worst = 0;
    for (int value = 0; value <= 38570; ++value)
        worst = std::max(worst, std::abs(EdfWriter::toMicrovolts(EdfWriter::toDigital(value)) - value));
    EXPECT_LE(worst, step / 2 + 1e-9);
    EXPECT_NEAR(EdfWriter::toMicrovolts(EdfWriter::toDigital(EdfWriter::MAX_MICROVOLTS)), EdfWriter::MAX_MICROVOLTS, step / 2);
}

// Read back through EDFlib's own reader here; tests/ondira/check_edf_with_mne.py
// reads a whole recording with MNE-Python, a reader independent of EDFlib.
TEST(EdfWriter, WritesHeaderSamplesAnnotationsAndCompletesTheLastSecond)
{
    QTemporaryDir dir;
    const std::string path = pathIn(dir, "a.edf");
    std::vector<Sample> samples = makeSamples(625); // 2.5 s
    markFillers(samples, 100, 10);
    samples[300].flag = 7;  // raised offset, channel 2
    samples[300].offsetChangeIndex = 3;

    EdfWriter writer(path);
    ASSERT_TRUE(writer.open()) << writer.error();
    writer.describe(labelledInfo());
    ASSERT_TRUE(writer.writeSamples(samples.data(), 200));
    ASSERT_TRUE(writer.writeEvent({1700000000623LL, 0.5, 9, "INFO", "Channel 1 is calibrated"}));
    ASSERT_TRUE(writer.writeEvent({1700000001123LL, 1.0, 0, "ERROR",
                                   "Error while reading, writing or configuring the device. Please check"}));
    ASSERT_TRUE(writer.writeNote({1.2, -1, "Headset lost"}));
    ASSERT_TRUE(writer.writeSamples(samples.data() + 200, 425));
    ASSERT_TRUE(writer.close()) << writer.error();

    const EdfContent edf = readEdf(path);
    ASSERT_TRUE(edf.ok) << edf.error;
    ASSERT_EQ(edf.signalCount, 4);
    EXPECT_EQ(edf.labels, (std::vector<std::string>{"EEG Fp1", "EEG Fp2", "EEG O1", "EEG O2"}));
    EXPECT_EQ(edf.dimensions[0], "uV");
    EXPECT_DOUBLE_EQ(edf.rates[3], 250.0);
    EXPECT_EQ(edf.records, 3);
    EXPECT_NE(edf.equipment.find("Ondira dongle FW 2.4 headset FW 3.5"), std::string::npos) << edf.equipment;
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(samples[0].timestampMs);
    EXPECT_EQ(edf.year, start.date().year());
    EXPECT_EQ(edf.hour, start.time().hour());
    EXPECT_EQ(edf.second, start.time().second());
    EXPECT_EQ(edf.subsecond, 123 * 10000);

    const double halfStep = EdfWriter::MAX_MICROVOLTS / 65535.0 / 2 + 1e-9;
    for (int c = 0; c < 4; ++c) {
        ASSERT_EQ(edf.microvolts[c].size(), 750u);
        for (std::size_t i = 0; i < 750; ++i) {
            const Sample& expected = samples[std::min<std::size_t>(i, 624)];
            ASSERT_NEAR(edf.microvolts[c][i], expected.microvolts[c], halfStep) << "channel " << c << " sample " << i;
        }
    }

    std::vector<std::string> texts;
    for (const EdfAnnotation& a : edf.annotations)
        texts.push_back(a.text);
    ASSERT_EQ(edf.annotations.size(), 6u) << ::testing::PrintToString(texts);
    const auto find = [&](const std::string& text) {
        for (const EdfAnnotation& a : edf.annotations) {
            if (a.text == text)
                return a;
        }
        ADD_FAILURE() << "no annotation \"" << text << "\" in " << ::testing::PrintToString(texts);
        return EdfAnnotation{-1, -1, ""};
    };
    EXPECT_NEAR(find("10 samples lost").onset, 0.4, 1e-4);
    EXPECT_NEAR(find("10 samples lost").duration, 0.04, 1e-4);
    EXPECT_NEAR(find("Offset change, channel 2").onset, 1.2, 1e-4);
    EXPECT_NEAR(find("Channel 1 is calibrated").onset, 0.5, 1e-4);
    EXPECT_NEAR(find("Error while reading, writing or...").onset, 1.0, 1e-4);
    EXPECT_NEAR(find("Headset lost").onset, 1.2, 1e-4);
    EXPECT_NEAR(find("Recording ends").onset, 2.5, 1e-4);
    for (const std::string& text : texts)
        EXPECT_LE(text.size(), 40u);
}

// Four annotation slots per second: forty runs of lost samples in one
// second merge into one annotation rather than vanish.
// The start time the session's time line estimates, told before, among or
// after the records, is the header's to 100 ns, and no record is lost
// waiting for it; untold, the first sample's timestamp is.
TEST(EdfWriter, StartTimeFromTheTimeLineToTheTenthOfAMicrosecond)
{
    const long long told = 1700000000000LL * 1000000 + 87654321; // .087654321 s
    struct Case
    {
        const char* name;
        int toldAfter; // samples written before startsAt; -1: never
        long long subsecond;
    } const cases[] = {
        { "told first", 0, 876543 },
        { "told after two records", 600, 876543 },
        { "never told", -1, 123 * 10000 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const std::string path = pathIn(dir, "s.edf");
        const std::vector<Sample> samples = makeSamples(875);
        EdfWriter writer(path);
        ASSERT_TRUE(writer.open());
        const std::size_t first
            = c.toldAfter < 0 ? samples.size() : static_cast<std::size_t>(c.toldAfter);
        ASSERT_TRUE(writer.writeSamples(samples.data(), first));
        if (c.toldAfter >= 0)
            writer.startsAt(told);
        ASSERT_TRUE(writer.writeSamples(samples.data() + first, samples.size() - first));
        ASSERT_TRUE(writer.close()) << writer.error();
        const EdfContent edf = readEdf(path);
        ASSERT_TRUE(edf.ok) << edf.error;
        EXPECT_EQ(edf.subsecond, c.subsecond);
        const QDateTime expected = QDateTime::fromMSecsSinceEpoch(
            c.toldAfter < 0 ? samples[0].timestampMs : told / 1000000);
        EXPECT_EQ(edf.second, expected.time().second());
        EXPECT_EQ(edf.minute, expected.time().minute());
        ASSERT_EQ(edf.records, 4);
        for (std::size_t i = 0; i < samples.size(); i += 111)
            EXPECT_NEAR(edf.microvolts[2][i], samples[i].microvolts[2], 0.3) << "sample " << i;
    }
}

TEST(EdfWriter, MoreAnnotationsThanRoomAreMergedNotDropped)
{
    QTemporaryDir dir;
    const std::string path = pathIn(dir, "b.edf");
    std::vector<Sample> samples = makeSamples(250);
    for (int run = 0; run < 40; ++run)
        markFillers(samples, 5 + 6 * run, 1);
    EdfWriter writer(path);
    ASSERT_TRUE(writer.open());
    ASSERT_TRUE(writer.writeSamples(samples.data(), samples.size()));
    ASSERT_TRUE(writer.writeEvent({0, 0.9, 9, "INFO", "Channel 1 is calibrated"}));
    ASSERT_TRUE(writer.close()) << writer.error();

    const EdfContent edf = readEdf(path);
    ASSERT_TRUE(edf.ok) << edf.error;
    ASSERT_EQ(edf.annotations.size(), 2u);
    EXPECT_EQ(edf.annotations[0].text, "40 samples lost (runs merged)");
    EXPECT_NEAR(edf.annotations[0].onset, 0.02, 1e-4);
    EXPECT_EQ(edf.annotations[1].text, "Channel 1 is calibrated");
}

TEST(EdfWriter, UnwritablePathFailsAtOpenWithTheReason)
{
    EdfWriter writer("/nonexistent-folder/x.edf");
    EXPECT_FALSE(writer.open());
    EXPECT_NE(writer.error().find("/nonexistent-folder/x.edf"), std::string::npos) << writer.error();
    EXPECT_NE(writer.error().find("No such file or directory"), std::string::npos) << writer.error();
}

TEST(CsvWriter, OneRowPerSampleAsDelivered)
{
    QTemporaryDir dir;
    const std::string path = pathIn(dir, "a.csv");
    std::vector<Sample> samples = makeSamples(3);
    samples[1].flag = 1;
    samples[2].flag = 6;
    samples[2].offsetChangeIndex = 4;
    CsvWriter writer(path);
    ASSERT_TRUE(writer.open());
    writer.describe(labelledInfo());
    ASSERT_TRUE(writer.writeSamples(samples.data(), 2));
    ASSERT_TRUE(writer.writeSamples(samples.data() + 2, 1));
    ASSERT_TRUE(writer.close());

    const auto rows = readCsv(path);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"timestamp_ms", "Fp1_uV", "Fp2_uV", "O1_uV", "O2_uV", "flag",
                                                 "offset_change_index"}));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rows[i + 1][0], std::to_string(samples[i].timestampMs));
        EXPECT_EQ(rows[i + 1][2], std::to_string(samples[i].microvolts[1]));
    }
    EXPECT_EQ(rows[2][5], "1");
    EXPECT_EQ(rows[3][5], "6");
    EXPECT_EQ(rows[3][6], "4");
}

TEST(CsvWriter, WriteFailureIsReportedWithTheReason)
{
    CsvWriter writer("/dev/full");
    ASSERT_TRUE(writer.open());
    const std::vector<Sample> samples = makeSamples(10);
    EXPECT_FALSE(writer.writeSamples(samples.data(), samples.size()));
    EXPECT_NE(writer.error().find("/dev/full"), std::string::npos) << writer.error();
    EXPECT_NE(writer.error().find("No space left on device"), std::string::npos) << writer.error();
    EXPECT_FALSE(writer.writeSamples(samples.data(), samples.size()));
    EXPECT_FALSE(writer.close());
}

TEST(EventsCsvWriter, OneRowPerEventMarkerAndNoteWithTextsWholeAndQuoted)
{
    QTemporaryDir dir;
    const std::string path = pathIn(dir, "a.events.csv");
    EventsCsvWriter writer(path);
    ASSERT_TRUE(writer.open());
    ASSERT_TRUE(writer.writeEvent({1700000000623LL, 0.5, 0, "ERROR", "Error while reading, writing \"or\" so"}));
    const std::string longText = "Bild 17: Gesicht, ängstlich, links; " + std::string(100, 'x');
    ASSERT_TRUE(writer.writeMarker({0.61234, 1700000000734LL, longText}));
    ASSERT_TRUE(writer.writeNote({2.0, -1.0, "Headset lost", 1700000002123LL}));
    ASSERT_TRUE(writer.close());
    const auto rows = readCsv(path);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"kind", "onset_s", "timestamp_ms", "code", "type", "text"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"status", "0.5000", "1700000000623", "0", "ERROR",
                                                 "Error while reading, writing \"or\" so"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"marker", "0.6123", "1700000000734", "", "", longText}));
    EXPECT_EQ(rows[3], (std::vector<std::string>{"note", "2.0000", "1700000002123", "", "", "Headset lost"}));
}

TEST(Outputs, FormatsAndFileNames)
{
    unsigned formats = 0;
    EXPECT_TRUE(parseFormats("png,edf", formats));
    EXPECT_EQ(formats, FORMAT_PNG | FORMAT_EDF);
    EXPECT_TRUE(parseFormats("edf,csv,events,png", formats));
    EXPECT_EQ(formats, ALL_FORMATS);
    EXPECT_FALSE(parseFormats("edf,,csv", formats));
    EXPECT_FALSE(parseFormats("bdf", formats));
    EXPECT_FALSE(parseFormats("", formats));
    EXPECT_EQ(outputPath("r/x", FORMAT_EVENTS), "r/x.events.csv");
    const auto writers = makeWriters("r/x", FORMAT_CSV | FORMAT_PNG);
    ASSERT_EQ(writers.size(), 2u);
    EXPECT_EQ(writers[0]->path(), "r/x.csv");
    EXPECT_EQ(writers[1]->path(), "r/x.png");
}

TEST(PlotWriter, WithoutGuiApplicationItSaysWhatIsMissing)
{
    if (QCoreApplication::instance())
        GTEST_SKIP() << "a QGuiApplication exists in this process already";
    QTemporaryDir dir;
    PlotWriter writer(pathIn(dir, "a.png"));
    ASSERT_TRUE(writer.open());
    EXPECT_FALSE(writer.close());
    EXPECT_NE(writer.error().find("QGuiApplication"), std::string::npos) << writer.error();
}

TEST(PlotWriter, PngOfTheStatedSizeNotBlankAndDifferentForDifferentRecordings)
{
    ensureGuiApplication();
    QTemporaryDir dir;
    QImage images[2];
    for (int n = 0; n < 2; ++n) {
        const std::string path = pathIn(dir, n == 0 ? "a.png" : "b.png");
        std::vector<Sample> samples = makeSamples(2500, 1700000000000LL, n * 7);
        markFillers(samples, 1000, 250);       // 4.0 s .. 5.0 s lost
        samples[2000].flag = 3;                // lowered offset, channel 2
        PlotWriter writer(path);
        ASSERT_TRUE(writer.open());
        writer.describe(labelledInfo());
        ASSERT_TRUE(writer.writeSamples(samples.data(), samples.size()));
        ASSERT_TRUE(writer.close()) << writer.error();
        ASSERT_TRUE(images[n].load(QString::fromStdString(path), "PNG"));
    }
    EXPECT_EQ(images[0].size(), QSize(1600, 900));
    long long ink = 0;
    std::set<QRgb> colours;
    bool shaded = false;
    for (int y = 0; y < images[0].height(); ++y) {
        for (int x = 0; x < images[0].width(); ++x) {
            const QRgb pixel = images[0].pixel(x, y);
            ink += pixel != qRgb(255, 255, 255) ? 1 : 0;
            colours.insert(pixel);
            shaded = shaded || pixel == qRgb(255, 190, 190);
        }
    }
    EXPECT_GT(ink, 1600LL * 900 / 20) << "hardly anything drawn";
    EXPECT_GT(colours.size(), 20u);
    EXPECT_TRUE(shaded) << "the lost stretch is not shaded";
    EXPECT_NE(images[0], images[1]);
}

// A long recording keeps a bounded summary: six hours at 250 Hz (5.4 million
// samples, the stretches merged ten times over) go through.
TEST(PlotWriter, LongRecordingsStayBounded)
{
    ensureGuiApplication();
    QTemporaryDir dir;
    PlotWriter writer(pathIn(dir, "long.png"));
    ASSERT_TRUE(writer.open());
    std::vector<Sample> chunk = makeSamples(250 * 60);
    for (int minute = 0; minute < 6 * 60; ++minute)
        ASSERT_TRUE(writer.writeSamples(chunk.data(), chunk.size()));
    ASSERT_TRUE(writer.close()) << writer.error();
    QImage image;
    ASSERT_TRUE(image.load(QString::fromStdString(writer.path()), "PNG"));
    EXPECT_EQ(image.width(), 1600);
}
