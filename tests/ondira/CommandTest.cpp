// The ondira command as a process: exit statuses and messages, signals, the
// files it leaves, the plot, the stream it publishes.

#include "RecordingSupport.h"
#include "TestInlet.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <thread>


using namespace ondira_test;

namespace {

struct Result {
    int status = -1;
    QString out;
    QString err;
};

class CommandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ensureGuiApplication();
        ASSERT_TRUE(dir.isValid());
    }

    QString path(const QString& name) const { return QDir(dir.path()).filePath(name); }
    std::string file(const QString& name) const { return path(name).toStdString(); }

    /// The command, in the temporary folder, without the driver variables of
    /// the test's environment.
    void prepare(QProcess& process) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("ONDIRA_FTD2XX_LIBRARY"));
        environment.remove(QStringLiteral("ONDIRA_SIM"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir.path());
    }

    Result run(const QStringList& arguments, const QString& shellPrefix = QString())
    {
        QProcess process;
        prepare(process);
        if (shellPrefix.isEmpty()) {
            process.start(QStringLiteral(ONDIRA_CLI), arguments);
        } else {
            QString command = shellPrefix + QStringLiteral(" exec '") + QStringLiteral(ONDIRA_CLI) + QLatin1Char('\'');
            for (const QString& argument : arguments)
                command += QStringLiteral(" '") + argument + QLatin1Char('\'');
            process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
        }
        Result result;
        EXPECT_TRUE(process.waitForStarted(10000));
        EXPECT_TRUE(process.waitForFinished(100000)) << arguments.join(QLatin1Char(' ')).toStdString();
        result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
    }

    QTemporaryDir dir;
};

/// Every line on standard error starts with "ondira:".
void expectErrorLines(const Result& result)
{
    EXPECT_FALSE(result.err.isEmpty());
    for (const QString& line : result.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        EXPECT_TRUE(line.startsWith(QStringLiteral("ondira: "))) << line.toStdString();
}

/// The CSV has a header and whole rows of seven fields; returns the rows.
std::vector<std::vector<std::string>> validCsv(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path;
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.endsWith('\n')) << "the last row is whole";
    const auto rows = readCsv(path);
    EXPECT_FALSE(rows.empty());
    for (const auto& row : rows)
        EXPECT_EQ(row.size(), 7u);
    return rows;
}

long long longestFillerRun(const std::vector<std::vector<std::string>>& rows)
{
    long long longest = 0, current = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        current = rows[i][5] == "1" ? current + 1 : 0;
        longest = std::max(longest, current);
    }
    return longest;
}

} // namespace

TEST_F(CommandTest, VersionAndHelp)
{
    Result r = run({QStringLiteral("--version")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.startsWith(QStringLiteral("ondira " ONDIRA_VERSION))) << r.out.toStdString();
    r = run({QStringLiteral("--help")});
    EXPECT_EQ(r.status, 0);
    for (const char* word : { "record", "stream", "info", "set" })
        EXPECT_TRUE(r.out.contains(QString::fromUtf8(word)));
    for (const char* help : {"--help", "--help-all"}) {
        r = run({QStringLiteral("record"), QString::fromUtf8(help)});
        EXPECT_EQ(r.status, 0) << help << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.startsWith(QStringLiteral("Usage: ondira record [options]")))
            << r.out.toStdString();
        for (const char* option : {"--output", "--seconds", "--calibrate", "--labels", "--format",
                                   "--simulate", "--sim", "--reconnect"})
            EXPECT_TRUE(r.out.contains(QString::fromUtf8(option))) << help << " " << option;
    }
    EXPECT_EQ(run({QStringLiteral("info"), QStringLiteral("--help")}).status, 0);
    r = run({QStringLiteral("set"), QStringLiteral("--help")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.contains(QStringLiteral("--headset-channel")));
}

TEST_F(CommandTest, BadUsage_Status2AndAMessageNamingTheOptionAndItsRange)
{
    const QString out = path(QStringLiteral("x"));
    const QStringList record = {QStringLiteral("record"), QStringLiteral("--output"), out};
    const std::vector<std::pair<QStringList, QString>> cases = {
        { {}, QStringLiteral("no command given") },
        { { QStringLiteral("frobnicate") }, QStringLiteral("unknown command 'frobnicate'") },
        { { QStringLiteral("record") }, QStringLiteral("--output BASE is required") },
        { record + QStringList{ QStringLiteral("--seconds"), QStringLiteral("0") },
            QStringLiteral("--seconds must be a number of seconds greater than 0") },
        { record + QStringList{ QStringLiteral("--seconds"), QStringLiteral("abc") },
            QStringLiteral("not 'abc'") },
        { record + QStringList{ QStringLiteral("--seconds") }, QStringLiteral("--seconds") },
        { record + QStringList{ QStringLiteral("--calibrate"), QStringLiteral("1,5") },
            QStringLiteral("--calibrate takes channel numbers 1 to 4") },
        { record + QStringList{ QStringLiteral("--labels"), QStringLiteral("a,b") },
            QStringLiteral("--labels takes exactly four names") },
        { record + QStringList{ QStringLiteral("--labels"), QStringLiteral("Fp1,Fp2,O 1,O2") },
            QStringLiteral("'O 1' is not a valid electrode name") },
        { record + QStringList{ QStringLiteral("--format"), QStringLiteral("edf,xyz") },
            QStringLiteral("--format takes any of edf,csv,events,png") },
        { record + QStringList{ QStringLiteral("--reconnect"), QStringLiteral("-1") },
            QStringLiteral("--reconnect must be a number of seconds from 0 to 86400") },
        { record + QStringList{ QStringLiteral("--bogus") }, QStringLiteral("bogus") },
        { record + QStringList{ QStringLiteral("extra") },
            QStringLiteral("unexpected argument 'extra'") },
        { record + QStringList{ QStringLiteral("--sim"), QStringLiteral("loss=2") },
            QStringLiteral("--sim \"loss=2\": bad value in \"loss=2\"") },
        { { QStringLiteral("set") },
            QStringLiteral("give --dongle-channel N and/or --headset-channel N (0 to 15)") },
        { { QStringLiteral("set"), QStringLiteral("--dongle-channel"), QStringLiteral("16") },
            QStringLiteral("--dongle-channel takes a radio channel from 0 to 15, not '16'") },
        { { QStringLiteral("info"), QStringLiteral("--simulate"), QStringLiteral("now") },
            QStringLiteral("unexpected argument 'now'") },
        { { QStringLiteral("stream"), QStringLiteral("--output"), out },
            QStringLiteral("Unknown option 'output'") },
        { { QStringLiteral("stream"), QStringLiteral("--lsl-interface"),
              QStringLiteral("localhost") },
            QStringLiteral("--lsl-interface takes an IPv4 address of this machine, e.g. 127.0.0.1, "
                           "not 'localhost'") },
        { { QStringLiteral("stream"), QStringLiteral("--lsl-name"), QString() },
            QStringLiteral("stream: --lsl-name takes a name of 1 to 200 characters") },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.join(QLatin1Char(' ')).toStdString());
        const Result r = run(c.first);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.err.contains(c.second)) << r.err.toStdString();
        expectErrorLines(r);
    }
    EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("x*")}, QDir::Files).isEmpty());
}

TEST_F(CommandTest, HeadsetCannotBeOpened_Status3WithTheLibrarysText)
{
    Result r = run({QStringLiteral("record"), QStringLiteral("--sim"), QStringLiteral("refuse_open=1"),
                    QStringLiteral("--seconds"), QStringLiteral("1"), QStringLiteral("--output"), path(QStringLiteral("x"))});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(r.err.contains(QStringLiteral("could not open the headset: Error while reading, writing or configuring")))
        << r.err.toStdString();
    expectErrorLines(r);
    EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("x*")}, QDir::Files).isEmpty()) << "no files left";

    r = run({QStringLiteral("info"), QStringLiteral("--sim"), QStringLiteral("headset=off")});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(r.out.contains(QStringLiteral("Headset: firmware no answer"))) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("the dongle answered but the headset did not"))) << r.err.toStdString();
    expectErrorLines(r);
}

TEST_F(CommandTest, HeadsetLostWithReconnectZero_Status3AndTheFilesKept)
{
    const Result r = run({QStringLiteral("record"), QStringLiteral("--sim"), QStringLiteral("unplug_after_ms=1500"),
                          QStringLiteral("--reconnect"), QStringLiteral("0"), QStringLiteral("--seconds"), QStringLiteral("10"),
                          QStringLiteral("--format"), QStringLiteral("csv,events"), QStringLiteral("--output"),
                          path(QStringLiteral("x"))});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(r.err.contains(QStringLiteral("the headset stopped answering (Error while reading"))) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("--reconnect 0 gives up at once")));
    expectErrorLines(r);
    const auto rows = validCsv(file(QStringLiteral("x.csv")));
    EXPECT_GT(rows.size(), 10u);
}

TEST_F(CommandTest, OutputNotWritable_Status4BeforeTheHeadsetIsOpened)
{
    const QString capture = path(QStringLiteral("capture.txt"));
    const Result r = run({QStringLiteral("record"), QStringLiteral("--sim"), QStringLiteral("capture=") + capture,
                          QStringLiteral("--output"), path(QStringLiteral("missing/x"))});
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(r.err.contains(QStringLiteral("does not exist: create it"))) << r.err.toStdString();
    expectErrorLines(r);
    EXPECT_FALSE(QFile::exists(capture)) << "the virtual headset was touched";
}

// A file-size limit makes the CSV fail part-way: status 4, the message says
// why, and what was written stays whole.
TEST_F(CommandTest, WriteFailureDuringRecording_Status4AndValidFiles)
{
    // 20 KiB (dash counts 512-byte blocks): the CSV reaches it in about two seconds.
    const Result r = run({QStringLiteral("record"), QStringLiteral("--simulate"), QStringLiteral("--seconds"),
                          QStringLiteral("60"), QStringLiteral("--output"), path(QStringLiteral("x"))},
                         QStringLiteral("ulimit -f 40;"));
    EXPECT_EQ(r.status, 4) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("File too large"))) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("The recording stopped after")));
    expectErrorLines(r);
    const auto rows = validCsv(file(QStringLiteral("x.csv")));
    EXPECT_GT(rows.size(), 100u);
    const EdfContent edf = readEdf(file(QStringLiteral("x.edf")));
    EXPECT_TRUE(edf.ok) << edf.error;
    EXPECT_TRUE(r.out.contains(QStringLiteral("x.edf")));
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("x.png")))) << "a picture cut short is removed";
}

// Ctrl-C in the middle of a recording: streaming stops, every sample
// received is written, the files are valid, exit status 0.
TEST_F(CommandTest, SigintWhileRecording_ValidFilesAndStatus0)
{
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        const QString base = path(signal == SIGINT ? QStringLiteral("int") : QStringLiteral("term"));
        QProcess process;
        prepare(process);
        process.start(QStringLiteral(ONDIRA_CLI), {QStringLiteral("record"), QStringLiteral("--simulate"),
                                                   QStringLiteral("--output"), base});
        ASSERT_TRUE(process.waitForStarted(10000));
        QByteArray out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!out.contains("Recording to") && std::chrono::steady_clock::now() < deadline) {
            process.waitForReadyRead(100);
            out += process.readAllStandardOutput();
        }
        ASSERT_TRUE(out.contains("Recording to")) << out.toStdString();
        // Until about a second of samples is in the CSV.
        const QString csv = base + QStringLiteral(".csv");
        while (QFileInfo(csv).size() < 8000 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_GE(QFileInfo(csv).size(), 8000) << "nothing recorded";
        ASSERT_EQ(::kill(static_cast<pid_t>(process.processId()), signal), 0);
        ASSERT_TRUE(process.waitForFinished(30000));
        out += process.readAllStandardOutput();
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        EXPECT_TRUE(out.contains(signal == SIGINT ? "Stopping (Ctrl-C)" : "Stopping (SIGTERM)")) << out.toStdString();
        EXPECT_TRUE(out.contains("Files:"));

        const auto rows = validCsv(base.toStdString() + ".csv");
        ASSERT_GT(rows.size(), 100u);
        const std::size_t samples = rows.size() - 1;
        EXPECT_TRUE(out.contains(QStringLiteral(": %1 samples").arg(samples).toUtf8())) << out.toStdString();
        const EdfContent edf = readEdf(base.toStdString() + ".edf");
        ASSERT_TRUE(edf.ok) << edf.error;
        EXPECT_EQ(edf.records, static_cast<long long>((samples + 249) / 250));
        ASSERT_EQ(edf.microvolts[0].size(), static_cast<std::size_t>(edf.records * 250));
        EXPECT_NEAR(edf.microvolts[0][samples - 1], std::stod(rows.back()[1]), 0.3);
        EXPECT_EQ(readCsv(base.toStdString() + ".events.csv")[0],
                  (std::vector<std::string>{"kind", "onset_s", "timestamp_ms", "code", "type", "text"}));
        QImage image;
        EXPECT_TRUE(image.load(base + QStringLiteral(".png"), "PNG"));
    }
}

TEST_F(CommandTest, InfoAndSet_ThroughTheLibrarysProperties)
{
    Result r = run({QStringLiteral("info"), QStringLiteral("--simulate")});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("Dongle:  firmware 2.4, radio channel 9"))) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("Headset: firmware 3.5, radio channel 9")));
    EXPECT_TRUE(r.out.contains(QStringLiteral("BaudRate:")));
    EXPECT_TRUE(r.out.contains(QStringLiteral("Channel 4 Enabled:")));
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();

    r = run({QStringLiteral("set"), QStringLiteral("--sim"), QStringLiteral("channel_dongle=3 channel_headset=3"),
             QStringLiteral("--dongle-channel"), QStringLiteral("5"), QStringLiteral("--headset-channel"), QStringLiteral("6")});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("Dongle radio channel:  3 -> 5"))) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("Headset radio channel: 3 -> 6")));
    EXPECT_TRUE(r.out.contains(QStringLiteral("Confirmed.")));
}

TEST_F(CommandTest, PlotsArePngsOfTheStatedSizeAndDifferBetweenRecordings)
{
    QImage images[2];
    const char* const configs[2] = {"fast=1 seed=1", "fast=1 seed=2 hum=50 drop=200,201"};
    for (int n = 0; n < 2; ++n) {
        const QString base = path(QStringLiteral("plot%1").arg(n));
        const Result r = run({QStringLiteral("record"), QStringLiteral("--sim"), QString::fromUtf8(configs[n]),
                              QStringLiteral("--seconds"), QStringLiteral("2"), QStringLiteral("--format"),
                              QStringLiteral("png"), QStringLiteral("--output"), base});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(base + QStringLiteral(".csv")));
        ASSERT_TRUE(images[n].load(base + QStringLiteral(".png"), "PNG"));
    }
    EXPECT_EQ(images[0].size(), QSize(1600, 900));
    long long ink = 0;
    for (int y = 0; y < images[0].height(); ++y) {
        for (int x = 0; x < images[0].width(); ++x)
            ink += images[0].pixel(x, y) != qRgb(255, 255, 255) ? 1 : 0;
    }
    EXPECT_GT(ink, 1600LL * 900 / 20);
    EXPECT_NE(images[0], images[1]);
}

// The dongle is unplugged 2.5 s after it was opened (about 1.5 s into the
// recording) and plugged in again 1.5 s later: the command reopens it at its
// next attempt, 2 s after the loss, and goes on in the same files.
TEST_F(CommandTest, HeadsetLostAndBack_SameFilesGapAsLostSamples)
{
    const Result r = run({QStringLiteral("record"), QStringLiteral("--sim"),
                          QStringLiteral("unplug_after_ms=2500 replug_after_ms=1500"), QStringLiteral("--calibrate"),
                          QStringLiteral("none"), QStringLiteral("--seconds"), QStringLiteral("6"), QStringLiteral("--format"),
                          QStringLiteral("csv,events"), QStringLiteral("--output"), path(QStringLiteral("x"))});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("Headset lost and back: 1 time(s)"))) << r.out.toStdString();
    const auto rows = validCsv(file(QStringLiteral("x.csv")));
    EXPECT_EQ(rows.size(), 1501u);
    EXPECT_GE(longestFillerRun(rows), 375);
}

namespace {

/// A UDP port on loopback that nothing uses right now.
int freeUdpPort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

void sendDatagram(int port, const std::string& bytes)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    close(fd);
}

} // namespace

// Markers from standard input and from UDP datagrams land in the events file
// and the EDF+ in the order they came, within the recording; bad datagrams
// are counted and said once, and the recording goes on.
TEST_F(CommandTest, Markers_FromStdinAndUdp_InTheFilesBadOnesSaidOnce)
{
    const int port = freeUdpPort();
    const QString base = path(QStringLiteral("marked"));
    QProcess process;
    prepare(process);
    process.start(QStringLiteral(ONDIRA_CLI),
                  {QStringLiteral("record"), QStringLiteral("--simulate"), QStringLiteral("--seconds"), QStringLiteral("4"),
                   QStringLiteral("--format"), QStringLiteral("edf,events"), QStringLiteral("--markers"),
                   QStringLiteral("stdin"), QStringLiteral("--markers"), QStringLiteral("udp:%1").arg(port),
                   QStringLiteral("--output"), base});
    ASSERT_TRUE(process.waitForStarted(10000));
    QByteArray out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    // The first status event comes with the first samples.
    while (!out.contains("INFO") && std::chrono::steady_clock::now() < deadline) {
        process.waitForReadyRead(100);
        out += process.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains("INFO")) << out.toStdString();
    process.write("from stdin\n");
    process.waitForBytesWritten(1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // markers 300 ms apart, so their order shows
    sendDatagram(port, "from udp \xC3\xA4");
    sendDatagram(port, "\xFF not utf-8");
    sendDatagram(port, "\xFE not utf-8 either");
    sendDatagram(port, std::string(300, 'x'));
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(30000));
    out += process.readAllStandardOutput();
    const QString err = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(process.exitCode(), 0) << err.toStdString();
    EXPECT_EQ(err.count(QStringLiteral("not UTF-8")), 1) << err.toStdString();
    EXPECT_EQ(err.count(QStringLiteral("longer than 255 bytes")), 1) << err.toStdString();
    EXPECT_TRUE(out.contains("Markers: 2 placed, 3 refused")) << out.toStdString();

    std::vector<std::pair<double, std::string>> markers;
    for (const auto& row : readCsv(base.toStdString() + ".events.csv")) {
        if (row.size() == 6 && row[0] == "marker")
            markers.push_back({std::stod(row[1]), row[5]});
    }
    ASSERT_EQ(markers.size(), 2u);
    EXPECT_EQ(markers[0].second, "from stdin");
    EXPECT_EQ(markers[1].second, "from udp \xC3\xA4");
    EXPECT_GT(markers[0].first, 0.0);
    EXPECT_GT(markers[1].first, markers[0].first + 0.2);
    EXPECT_LT(markers[1].first, 4.0);
    const EdfContent edf = readEdf(base.toStdString() + ".edf");
    ASSERT_TRUE(edf.ok) << edf.error;
    std::size_t found = 0;
    for (const EdfAnnotation& a : edf.annotations) {
        for (const auto& m : markers) {
            if (std::abs(a.onset - m.first) < 1e-3 && (a.text == "from stdin" || a.text == "from udp ?"))
                ++found;
        }
    }
    EXPECT_EQ(found, 2u) << "both markers annotated at their onsets (EDFlib keeps ASCII)";
}

TEST_F(CommandTest, Stream_ReadByAnInletOnLoopback_MarkersBeside_RecordLslWritesFilesToo)
{
    const QString name = QStringLiteral("OndiraCommand%1").arg(getpid());
    QProcess process;
    prepare(process);
    process.start(QStringLiteral(ONDIRA_CLI),
        { QStringLiteral("stream"), QStringLiteral("--simulate"), QStringLiteral("--seconds"),
            QStringLiteral("4"), QStringLiteral("--lsl-name"), name,
            QStringLiteral("--lsl-interface"), QStringLiteral("127.0.0.1"),
            QStringLiteral("--markers"), QStringLiteral("stdin") });
    ASSERT_TRUE(process.waitForStarted(10000));
    QByteArray out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!out.contains("Streaming 4.0 s") && std::chrono::steady_clock::now() < deadline) {
        process.waitForReadyRead(100);
        out += process.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains("LSL: publishing '" + name.toUtf8() + "' (EEG")) << out.toStdString();
    ASSERT_TRUE(out.contains("source id ondira-")) << out.toStdString();

    const auto find = [](const std::string& query) {
        lsltest::Resolved found;
        lsltest::waitUntil([&] {
            const auto streams = lsltest::resolve(query, 0.3, 1);
            if (!streams.empty())
                found = streams.front();
            return !streams.empty();
        });
        return found;
    };
    const lsltest::Resolved eeg = find("name='" + name.toStdString() + "'");
    const lsltest::Resolved markers = find("name='" + name.toStdString() + "-Markers'");
    ASSERT_EQ(eeg.channelCount, 4);
    ASSERT_EQ(markers.channelFormat, "string");
    lsltest::Inlet samples, strings;
    std::string error;
    ASSERT_TRUE(samples.connect(eeg, {}, error)) << error;
    ASSERT_TRUE(strings.connect(markers, {}, error)) << error;
    std::vector<float> values;
    double stamp = 0, previous = 0;
    int read = 0;
    for (; read < 500 && samples.readFloat(values, stamp, 10); ++read) {
        ASSERT_EQ(values.size(), 4u);
        EXPECT_GT(stamp, previous);
        previous = stamp;
        if (read == 100) { // streaming: the marker has a sample to be placed by
            process.write("go\n");
            process.waitForBytesWritten(1000);
            process.closeWriteChannel();
        }
    }
    EXPECT_EQ(read, 500);
    std::string text;
    bool marked = false;
    while (!marked && strings.readString(text, stamp, 10))
        marked = text == "go";
    EXPECT_TRUE(marked) << "the marker from standard input on the marker stream";

    ASSERT_TRUE(process.waitForFinished(30000));
    out += process.readAllStandardOutput();
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains("Streamed 4.0 s: 1000 samples")) << out.toStdString();
    EXPECT_TRUE(out.contains("Markers: 1 placed")) << out.toStdString();
    EXPECT_EQ(
        QDir(dir.path()).entryList(QDir::Files).join(QLatin1Char(' ')), QStringLiteral("log.txt"))
        << "stream writes no files but the library's log";

    const Result r = run({ QStringLiteral("record"), QStringLiteral("--simulate"),
        QStringLiteral("--seconds"), QStringLiteral("1"), QStringLiteral("--lsl"),
        QStringLiteral("--lsl-name"), name, QStringLiteral("--lsl-interface"),
        QStringLiteral("127.0.0.1"), QStringLiteral("--format"), QStringLiteral("csv"),
        QStringLiteral("--output"), path(QStringLiteral("both")) });
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("LSL: publishing '%1'").arg(name)))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("Recorded 1.0 s: 250 samples")))
        << r.out.toStdString();
    EXPECT_EQ(validCsv(file(QStringLiteral("both.csv"))).size(), 251u);
}
