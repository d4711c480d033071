// ondira-view: the four channels live, with filters, spectrum, calibration
// states and status events, and a recording at a click.

#include "MainWindow.h"

#include <ondira/formats/Records.h>
#include <ondira/session/Driver.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QRegularExpression>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>

using namespace ondira::view;

namespace {

enum ExitStatus {
    EXIT_DONE = 0,
    EXIT_USAGE = 2,       ///< unknown option, bad value
    EXIT_HEADSET = 3,     ///< --simulate without the virtual headset
    EXIT_SCREENSHOT = 4   ///< the screenshot could not be written
};

bool verboseMessages = false;

int fail(int status, const QString& text)
{
    std::fprintf(stderr, "ondira-view: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    return status;
}

void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // The library's traces only with --verbose; Qt's warnings and errors always.
    if (type == QtDebugMsg && !verboseMessages)
        return;
    std::fprintf(stderr, "ondira-view: %s%s\n", type == QtDebugMsg ? "trace: " : "",
                 message.toLocal8Bit().constData());
    std::fflush(stderr);
}

/// Whether the run needs no screen: a screenshot, the help and the version.
bool needsNoScreen(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        for (const char* option :
             {"--screenshot", "--help", "--help-all", "-h", "--version", "-v"}) {
            if (std::strcmp(argv[i], option) == 0)
                return true;
        }
        if (std::strncmp(argv[i], "--screenshot=", 13) == 0)
            return true;
    }
    return false;
}

bool parseLabels(const QString& text, std::array<QString, OndiraData::CHANNEL_COUNT>& labels)
{
    const QStringList names = text.split(QLatin1Char(','));
    if (names.size() != OndiraData::CHANNEL_COUNT)
        return false;
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        const QString name = names[c].trimmed();
        if (!ondira::formats::isValidLabel(name.toStdString()))
            return false;
        labels[static_cast<std::size_t>(c)] = name;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // Without a screen, what needs none (a screenshot, the help, man pages
    // made from it on a build machine) runs on the offscreen platform.
    if (needsNoScreen(argc, argv) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
        && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(messageHandler);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ondira-view"));
    QApplication::setApplicationVersion(QStringLiteral(ONDIRA_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows the four channels of the Ondira headset live: traces, spectrum, calibration states and status "
        "events, and records to EDF+ and CSV."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Use the virtual headset built with the project."));
    const QCommandLineOption sim(QStringLiteral("sim"),
                                 QStringLiteral("Configuration of the virtual headset, the same text as ONDIRA_SIM, "
                                                "e.g. \"loss=0.01 hum=50\"; implies --simulate."),
                                 QStringLiteral("KEY=VALUE ..."));
    const QCommandLineOption start(QStringLiteral("start"), QStringLiteral("Connect and start streaming at once."));
    const QCommandLineOption labels(QStringLiteral("labels"),
                                    QStringLiteral("Electrode names, e.g. Fp1,Fp2,O1,O2 (up to 12 ASCII characters "
                                                   "each; default Ch1,Ch2,Ch3,Ch4)."),
                                    QStringLiteral("A,B,C,D"), QStringLiteral("Ch1,Ch2,Ch3,Ch4"));
    const QCommandLineOption window(QStringLiteral("window"), QStringLiteral("Seconds shown: 5, 10 (default) or 20."),
                                    QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption scale(QStringLiteral("scale"),
                                   QStringLiteral("µV per division, or auto (default)."), QStringLiteral("UV"),
                                   QStringLiteral("auto"));
    const QCommandLineOption notch(QStringLiteral("notch"), QStringLiteral("Mains notch: 50, 60 or off (default)."),
                                   QStringLiteral("HZ"), QStringLiteral("off"));
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                        QStringLiteral("Connect and start, save a picture of the window to FILE (PNG) "
                                                       "after --after seconds, and quit."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption after(QStringLiteral("after"),
                                   QStringLiteral("Seconds before the screenshot (default 5)."), QStringLiteral("S"),
                                   QStringLiteral("5"));
    const QCommandLineOption reconnect(QStringLiteral("reconnect"),
                                       QStringLiteral("How long to keep trying to reopen a lost headset while streaming "
                                                      "and recording go on, in seconds (default 60; 0: a lost headset "
                                                      "ends the stream and closes the recording)."),
                                       QStringLiteral("S"), QStringLiteral("60"));
    const QCommandLineOption lsl(QStringLiteral("lsl"),
        QStringLiteral("Publish the stream on the Lab Streaming Layer from the start (the "
                       "Publish on LSL switch)."));
    const QCommandLineOption lslName(QStringLiteral("lsl-name"),
        QStringLiteral("The LSL stream's name (default Ondira; the markers' is "
                       "NAME-Markers)."),
        QStringLiteral("NAME"), QStringLiteral("Ondira"));
    const QCommandLineOption lslInterface(QStringLiteral("lsl-interface"),
        QStringLiteral("Publish on this IPv4 address of the machine alone, e.g. "
                       "127.0.0.1 (default: every interface)."),
        QStringLiteral("ADDRESS"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print the library's trace messages on standard error."));
    parser.addOptions({ simulate, sim, start, labels, window, scale, notch, reconnect, lsl, lslName,
        lslInterface, screenshot, after, verbose });
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(EXIT_USAGE, parser.errorText() + QStringLiteral(" Run 'ondira-view --help' for the options."));
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        // Qt names the program by the path it was started with.
        QString text = parser.helpText();
        text.replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                     QStringLiteral("Usage: ondira-view"));
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return EXIT_DONE;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("ondira-view %s (Ondira library %s)\n", ONDIRA_VERSION, ONDIRA_VERSION);
        return EXIT_DONE;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(EXIT_USAGE, QStringLiteral("unexpected argument '%1'. Run 'ondira-view --help' for the options.")
                                    .arg(parser.positionalArguments().first()));
    verboseMessages = parser.isSet(verbose);

    ViewerSettings settings;
    if (!parseLabels(parser.value(labels), settings.labels))
        return fail(EXIT_USAGE, QStringLiteral("--labels takes four electrode names separated by commas, each 1 to %1 "
                                               "ASCII letters, digits or signs without blanks or quotes (e.g. "
                                               "Fp1,Fp2,O1,O2), not '%2'.")
                                    .arg(ondira::formats::MAX_LABEL_LENGTH)
                                    .arg(parser.value(labels)));
    settings.windowSeconds = parser.value(window).toInt();
    if (settings.windowSeconds != 5 && settings.windowSeconds != 10 && settings.windowSeconds != 20)
        return fail(EXIT_USAGE, QStringLiteral("--window takes 5, 10 or 20 seconds, not '%1'.").arg(parser.value(window)));
    if (parser.value(scale) != QLatin1String("auto")) {
        bool ok = false;
        settings.microvoltsPerDivision = parser.value(scale).toDouble(&ok);
        if (!ok || !(settings.microvoltsPerDivision > 0) || !std::isfinite(settings.microvoltsPerDivision))
            return fail(EXIT_USAGE, QStringLiteral("--scale takes µV per division (e.g. 50) or auto, not '%1'.")
                                        .arg(parser.value(scale)));
    }
    const QString notchText = parser.value(notch);
    if (notchText == QLatin1String("50") || notchText == QLatin1String("60"))
        settings.filters.notchHz = notchText.toInt();
    else if (notchText != QLatin1String("off"))
        return fail(EXIT_USAGE, QStringLiteral("--notch takes 50, 60 or off, not '%1'.").arg(notchText));
    bool reconnectOk = false;
    const double reconnectSeconds = parser.value(reconnect).toDouble(&reconnectOk);
    if (!reconnectOk || !(reconnectSeconds >= 0) || reconnectSeconds > 24 * 3600)
        return fail(EXIT_USAGE, QStringLiteral("--reconnect must be a number of seconds from 0 to 86400 (0: do not "
                                               "reconnect), not '%1'.")
                                    .arg(parser.value(reconnect)));
    const std::string streamName = parser.value(lslName).toStdString();
    if (streamName.empty() || streamName.size() > 200)
        return fail(EXIT_USAGE, QStringLiteral("--lsl-name takes a name of 1 to 200 characters."));
    const std::string streamInterface = parser.value(lslInterface).toStdString();
    in_addr address = {};
    if (parser.isSet(lslInterface) && inet_pton(AF_INET, streamInterface.c_str(), &address) != 1)
        return fail(EXIT_USAGE,
            QStringLiteral("--lsl-interface takes an IPv4 address of this machine, e.g. 127.0.0.1, "
                           "not '%1'.")
                .arg(parser.value(lslInterface)));
    double afterSeconds = 0;
    if (parser.isSet(after) && !parser.isSet(screenshot))
        return fail(EXIT_USAGE, QStringLiteral("--after goes with --screenshot FILE."));
    if (parser.isSet(screenshot)) {
        bool ok = false;
        afterSeconds = parser.value(after).toDouble(&ok);
        if (!ok || !(afterSeconds >= 0) || afterSeconds > 3600)
            return fail(EXIT_USAGE, QStringLiteral("--after takes seconds from 0 to 3600, not '%1'.").arg(parser.value(after)));
        if (parser.value(screenshot).isEmpty())
            return fail(EXIT_USAGE, QStringLiteral("--screenshot needs a file name, e.g. viewer.png."));
    }

    // The driver: the user's own, and the virtual headset if it was built.
    AcquisitionOptions options;
    options.virtualHeadset = ondira::session::findVirtualHeadset(QCoreApplication::applicationDirPath().toStdString());
    options.reconnectSeconds = reconnectSeconds;
    options.lsl.name = streamName;
    options.lsl.interfaceAddress = streamInterface;
    settings.publish = parser.isSet(lsl);
    for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
        options.labels[c] = settings.labels[c].toStdString();
    settings.virtualHeadsetAvailable = !options.virtualHeadset.empty();
    if (parser.isSet(simulate) || parser.isSet(sim)) {
        if (options.virtualHeadset.empty())
            return fail(EXIT_HEADSET, QStringLiteral("--simulate: the virtual headset (libFtd2xx.so) is not where it "
                                                     "belongs to this program (the build tree's sim folder, or "
                                                     "<libdir>/ondira/sim once installed). Build the project with "
                                                     "ONDIRA_BUILD_SIM=ON, or install it."));
        settings.source = Source::VirtualHeadset;
        if (parser.isSet(sim)) {
            std::string error;
            if (!ondira::session::configureVirtualHeadset(options.virtualHeadset, parser.value(sim).toStdString(), error)) {
                QString reason = QString::fromStdString(error);
                reason.remove(QRegularExpression(QStringLiteral("^ondira_sim: ")));
                return fail(EXIT_USAGE, QStringLiteral("--sim \"%1\": %2 See sim/README.md for the keys.")
                                            .arg(parser.value(sim), reason));
            }
        }
    }
    settings.startAtOnce = parser.isSet(start) || parser.isSet(screenshot);

    MainWindow mainWindow(settings, options);
    mainWindow.show();

    int status = EXIT_DONE;
    if (parser.isSet(screenshot)) {
        const QString file = parser.value(screenshot);
        QTimer::singleShot(static_cast<int>(std::lround(afterSeconds * 1000)), &mainWindow, [&] {
            if (!mainWindow.grab().save(file, "PNG"))
                status = fail(EXIT_SCREENSHOT, QStringLiteral("cannot write the screenshot to %1: check that the "
                                                              "folder exists and is writable.")
                                                   .arg(QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath())));
            QApplication::quit();
        });
    }
    const int result = app.exec();
    return status != EXIT_DONE ? status : result;
}
