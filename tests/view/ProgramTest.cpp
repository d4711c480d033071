// ondira-view as a process: the screenshot, and what it says about bad usage.

#include "RecordingSupport.h"
#include "TraceView.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <set>

namespace {

struct Result {
    int status = -1;
    QString err;
    QString out;
};

class ProgramTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ondira_test::ensureGuiApplication();
        ASSERT_TRUE(dir.isValid());
    }

    /// The program in the temporary folder, without the driver variables of
    /// the test's environment: --simulate must find the virtual headset itself.
    Result run(const QStringList& arguments, const QStringList& unset = {})
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("ONDIRA_FTD2XX_LIBRARY"));
        environment.remove(QStringLiteral("ONDIRA_SIM"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        for (const QString& name : unset)
            environment.remove(name);
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir.path());
        process.start(QStringLiteral(ONDIRA_VIEW), arguments);
        Result result;
        EXPECT_TRUE(process.waitForStarted(10000));
        EXPECT_TRUE(process.waitForFinished(100000)) << arguments.join(QLatin1Char(' ')).toStdString();
        result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
        return result;
    }

    QString path(const char* name) const { return QDir(dir.path()).filePath(QLatin1String(name)); }

    QTemporaryDir dir;
};

int colourDistance(QRgb a, const QColor& b)
{
    return std::abs(qRed(a) - b.red()) + std::abs(qGreen(a) - b.green()) + std::abs(qBlue(a) - b.blue());
}

} // namespace

TEST_F(ProgramTest, Screenshot_WritesAPictureOfTheWindowAndExitsZero)
{
    struct Case {
        const char* what;
        QStringList unset;
    };
    const Case cases[] = {
        {"on the offscreen platform", {}},
        {"without any display", {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("DISPLAY"), QStringLiteral("WAYLAND_DISPLAY")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(path("view.png"));
        const Result result = run({QStringLiteral("--sim"), QStringLiteral("timescale=4"), QStringLiteral("--window"),
                                   QStringLiteral("5"), QStringLiteral("--screenshot"), path("view.png"),
                                   QStringLiteral("--after"), QStringLiteral("3")},
                                  c.unset);
        ASSERT_EQ(result.status, 0) << result.err.toStdString();
        QImage image(path("view.png"));
        ASSERT_FALSE(image.isNull());
        EXPECT_GE(image.width(), 1000);
        EXPECT_GE(image.height(), 600);
        image = image.convertToFormat(QImage::Format_RGB32);
        std::set<QRgb> colours;
        std::array<int, OndiraData::CHANNEL_COUNT> channelPixels{};
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                colours.insert(pixel);
                for (int ch = 0; ch < OndiraData::CHANNEL_COUNT; ++ch)
                    channelPixels[static_cast<std::size_t>(ch)] +=
                        colourDistance(pixel, ondira::view::TraceView::channelColor(ch)) < 30 ? 1 : 0;
            }
        }
        EXPECT_GT(colours.size(), 100u);
        for (int ch = 0; ch < OndiraData::CHANNEL_COUNT; ++ch)
            EXPECT_GT(channelPixels[static_cast<std::size_t>(ch)], 2000) << "the trace of channel " << ch + 1;
    }
}

TEST_F(ProgramTest, BadUsage_SaysWhatIsWrongAndExitsTwo)
{
    struct Case {
        QStringList arguments;
        const char* message;
    };
    const Case cases[] = {
        {{QStringLiteral("--window"), QStringLiteral("7")}, "--window takes 5, 10 or 20"},
        {{QStringLiteral("--labels"), QStringLiteral("Fp1,Fp2")}, "--labels takes four electrode names"},
        {{QStringLiteral("--labels"), QStringLiteral("Fp1,Fp 2,O1,O2")}, "--labels takes four electrode names"},
        {{QStringLiteral("--scale"), QStringLiteral("-5")}, "--scale takes"},
        {{QStringLiteral("--notch"), QStringLiteral("55")}, "--notch takes 50, 60 or off"},
        {{QStringLiteral("--after"), QStringLiteral("2")}, "--after goes with --screenshot"},
        {{QStringLiteral("--screenshot"), QStringLiteral("x.png"), QStringLiteral("--after"), QStringLiteral("soon")},
         "--after takes seconds"},
        {{QStringLiteral("--sim"), QStringLiteral("bogus=1")}, "--sim \"bogus=1\""},
        {{QStringLiteral("--frobnicate")}, "Unknown option"},
        {{QStringLiteral("extra")}, "unexpected argument 'extra'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        const Result result = run(c.arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(result.err.startsWith(QStringLiteral("ondira-view: "))) << result.err.toStdString();
        EXPECT_TRUE(result.err.contains(QLatin1String(c.message))) << result.err.toStdString();
    }
}

TEST_F(ProgramTest, ScreenshotThatCannotBeWritten_ExitsFour)
{
    const Result result = run({QStringLiteral("--simulate"), QStringLiteral("--screenshot"),
                               path("no/such/folder/view.png"), QStringLiteral("--after"), QStringLiteral("0.5")});
    EXPECT_EQ(result.status, 4) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains(QStringLiteral("cannot write the screenshot"))) << result.err.toStdString();
}

TEST_F(ProgramTest, HelpAndVersion_WithoutScreen_ExitZero)
{
    // As on a build machine that makes the man page from the help: no
    // display and no platform chosen.
    const QStringList noScreen = {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("DISPLAY"),
                                  QStringLiteral("WAYLAND_DISPLAY")};
    for (const char* helpOption : {"--help", "--help-all"}) {
        const Result help = run({QString::fromUtf8(helpOption)}, noScreen);
        EXPECT_EQ(help.status, 0) << helpOption << ": " << help.err.toStdString();
        EXPECT_TRUE(help.out.startsWith(QStringLiteral("Usage: ondira-view [options]\n")))
            << help.out.toStdString();
        for (const char* option : {"--simulate", "--sim", "--start", "--labels", "--window",
                                   "--scale", "--notch", "--screenshot", "--after"})
            EXPECT_TRUE(help.out.contains(QLatin1String(option))) << helpOption << " " << option;
    }
    const Result version = run({QStringLiteral("--version")}, noScreen);
    EXPECT_EQ(version.status, 0) << version.err.toStdString();
    EXPECT_TRUE(version.out.startsWith(QStringLiteral("ondira-view "))) << version.out.toStdString();
}
