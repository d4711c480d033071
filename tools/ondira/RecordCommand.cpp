// ondira record and ondira stream: options, then the recording session
// (with files, published on LSL, or both) with a progress line and a summary.

#include "Cli.h"

#include <ondira/StatusData.h>
#include <ondira/formats/Outputs.h>
#include <ondira/session/MarkerInput.h>
#include <ondira/session/RecordingRun.h>

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

using namespace ondira::formats;
using namespace ondira::session;

namespace cli {

namespace {

constexpr double MAX_SECONDS = 366.0 * 24 * 3600;
constexpr double MAX_RECONNECT_SECONDS = 24 * 3600;

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal)
{
    stopSignal = signal;
    // A second Ctrl-C ends the program at once.
    std::signal(signal, SIG_DFL);
}

void catchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int terminalWidth()
{
    winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20)
        return size.ws_col;
    return 80;
}

QString seconds(double value)
{
    return QString::number(value, 'f', 1);
}

QString known(const std::string& text)
{
    return text.empty() ? QStringLiteral("unknown") : QString::fromStdString(text);
}

QString channel(int value)
{
    return value < 0 ? QStringLiteral("unknown") : QString::number(value);
}

QString progressLine(const Progress& p)
{
    QString line = p.totalSeconds > 0 ? QStringLiteral("%1 s of %2 s").arg(seconds(p.recordedSeconds), seconds(p.totalSeconds))
                                      : QStringLiteral("%1 s").arg(seconds(p.recordedSeconds));
    line += QStringLiteral("  %1 samples  %2 lost").arg(p.samples).arg(p.samplesLost);
    if (p.lsl.running)
        line += QStringLiteral("  %1 LSL inlet%2")
                    .arg(p.lsl.inlets)
                    .arg(p.lsl.inlets == 1 ? QString() : QStringLiteral("s"));
    if (p.state == RunState::Reconnecting)
        line += QStringLiteral("  headset lost, trying to reopen it");
    else if (!p.lastStatus.empty())
        line += QStringLiteral("  ") + QString::fromStdString(p.lastStatus);
    return line;
}

/// What ondira record and ondira stream run: a recording run of the session
/// layer, with files (record) or none (stream), published on LSL or not.
struct RunSettings
{
    QString command; ///< "record" or "stream"
    bool writesFiles = true;
    RunOptions session;
    QString base;
    unsigned formats = ALL_FORMATS;
    std::vector<MarkerSource> markers;
};

/// The options of both commands; `output` and `format` are record's alone.
struct RunOptionSet
{
    QCommandLineOption output{ QStringLiteral("output"),
        QStringLiteral("Required. Writes BASE.edf, BASE.csv, BASE.events.csv and BASE.png "
                       "(the folders in BASE must exist)."),
        QStringLiteral("BASE") };
    QCommandLineOption seconds{ QStringLiteral("seconds"),
        QStringLiteral("Run S seconds (decimals allowed, > 0); without it, until Ctrl-C."),
        QStringLiteral("S") };
    QCommandLineOption calibrate{ QStringLiteral("calibrate"),
        QStringLiteral("Channels whose offset calibration is switched on, e.g. 1,2 "
                       "(default 1,2,3,4), or none."),
        QStringLiteral("LIST"), QStringLiteral("1,2,3,4") };
    QCommandLineOption labels{ QStringLiteral("labels"),
        QStringLiteral("The four electrode names (default Ch1,Ch2,Ch3,Ch4)."),
        QStringLiteral("A,B,C,D"), QStringLiteral("Ch1,Ch2,Ch3,Ch4") };
    QCommandLineOption format{ QStringLiteral("format"),
        QStringLiteral("Any of edf,csv,events,png (default all four)."), QStringLiteral("LIST"),
        QStringLiteral("edf,csv,events,png") };
    QCommandLineOption reconnect{ QStringLiteral("reconnect"),
        QStringLiteral("How long to keep trying to reopen a lost headset, in seconds "
                       "(default 60; 0: give up at once)."),
        QStringLiteral("S"), QStringLiteral("60") };
    QCommandLineOption markers{ QStringLiteral("markers"),
        QStringLiteral("Stimulus markers from SOURCE, each at the moment it is read: "
                       "stdin (one per line), udp:PORT (one per datagram to 127.0.0.1) or "
                       "udp:ADDRESS:PORT; may be given more than once."),
        QStringLiteral("SOURCE") };
    QCommandLineOption lsl{ QStringLiteral("lsl"),
        QStringLiteral("Also publish the stream on the Lab Streaming Layer (see ondira stream).") };
    QCommandLineOption lslName{ QStringLiteral("lsl-name"),
        QStringLiteral("The LSL stream's name (default Ondira; the markers' is NAME-Markers)."),
        QStringLiteral("NAME"), QStringLiteral("Ondira") };
    QCommandLineOption lslInterface{ QStringLiteral("lsl-interface"),
        QStringLiteral("Publish on this address of the machine alone, e.g. 127.0.0.1 "
                       "(default: every interface)."),
        QStringLiteral("ADDRESS") };

    void addTo(QCommandLineParser& parser, bool recording) const
    {
        if (recording)
            parser.addOptions({ output, seconds, calibrate, labels, format, reconnect, markers, lsl,
                lslName, lslInterface });
        else
            parser.addOptions(
                { seconds, calibrate, labels, reconnect, markers, lslName, lslInterface });
    }
};

/// Checks every value; returns -1 when all are fine, else 2 after saying what is wrong.
int readSettings(const QCommandLineParser& parser, const RunOptionSet& o, RunSettings& settings)
{
    const QString& command = settings.command;
    const QCommandLineOption& secondsOption = o.seconds;
    for (const QString& value : parser.values(o.markers)) {
        MarkerSource source;
        std::string error;
        if (!parseMarkerSource(value.toStdString(), source, error))
            return fail(EXIT_USAGE,
                QStringLiteral("%1: --markers: %2.").arg(command, QString::fromStdString(error)));
        settings.markers.push_back(source);
    }

    settings.session.publish = !settings.writesFiles || parser.isSet(o.lsl);
    settings.session.lsl.name = parser.value(o.lslName).toStdString();
    if (settings.session.lsl.name.empty() || settings.session.lsl.name.size() > 200)
        return fail(EXIT_USAGE,
            QStringLiteral("%1: --lsl-name takes a name of 1 to 200 characters.").arg(command));
    settings.session.lsl.interfaceAddress = parser.value(o.lslInterface).toStdString();
    in_addr address = {};
    if (parser.isSet(o.lslInterface)
        && inet_pton(AF_INET, settings.session.lsl.interfaceAddress.c_str(), &address) != 1)
        return fail(EXIT_USAGE,
            QStringLiteral("%1: --lsl-interface takes an IPv4 address of this machine, e.g. "
                           "127.0.0.1, not '%2'.")
                .arg(command, parser.value(o.lslInterface)));

    if (settings.writesFiles) {
        settings.base = parser.value(o.output);
        if (settings.base.isEmpty())
            return fail(EXIT_USAGE,
                QStringLiteral(
                    "record: --output BASE is required: the files BASE.edf, BASE.csv, "
                    "BASE.events.csv and BASE.png are written, e.g. --output recordings/demo."));
        if (settings.base.endsWith(QLatin1Char('/')))
            return fail(EXIT_USAGE,
                QStringLiteral("record: --output '%1' names a folder; give a base name inside it, "
                               "e.g. %1session.")
                    .arg(settings.base));
        if (!parseFormats(parser.value(o.format).toStdString(), settings.formats))
            return fail(EXIT_USAGE,
                QStringLiteral("record: --format takes any of edf,csv,events,png separated by "
                               "commas, not '%1'.")
                    .arg(parser.value(o.format)));
    } else {
        settings.formats = 0;
    }

    if (parser.isSet(secondsOption)) {
        double value = 0;
        if (!parseNumber(parser.value(secondsOption), value) || value <= 0 || value > MAX_SECONDS)
            return fail(EXIT_USAGE,
                QStringLiteral("%3: --seconds must be a number of seconds greater than 0 and at "
                               "most %1 (decimals allowed), not '%2'.")
                    .arg(MAX_SECONDS, 0, 'f', 0)
                    .arg(parser.value(secondsOption), command));
        settings.session.seconds = value;
    }

    const QString calibration = parser.value(o.calibrate).trimmed();
    settings.session.calibrate = {{false, false, false, false}};
    if (calibration != QLatin1String("none")) {
        const QStringList items = calibration.split(QLatin1Char(','));
        for (const QString& item : items) {
            bool ok = false;
            const int number = item.trimmed().toInt(&ok);
            if (!ok || number < 1 || number > 4)
                return fail(EXIT_USAGE,
                    QStringLiteral("%2: --calibrate takes channel numbers 1 to 4 separated by "
                                   "commas (e.g. 1,2,3,4) or 'none', not '%1'.")
                        .arg(parser.value(o.calibrate), command));
            settings.session.calibrate[static_cast<std::size_t>(number - 1)] = true;
        }
    }

    const QStringList names = parser.value(o.labels).split(QLatin1Char(','));
    if (names.size() != OndiraData::CHANNEL_COUNT)
        return fail(EXIT_USAGE,
            QStringLiteral("%2: --labels takes exactly four names separated by commas "
                           "(e.g. Fp1,Fp2,O1,O2), not '%1'.")
                .arg(parser.value(o.labels), command));
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        const QString name = names[c].trimmed();
        if (!isValidLabel(name.toStdString()))
            return fail(EXIT_USAGE,
                QStringLiteral("%3: --labels: '%1' is not a valid electrode name: use 1 to %2 "
                               "ASCII letters, digits or signs, without blanks or quotes.")
                    .arg(name)
                    .arg(MAX_LABEL_LENGTH)
                    .arg(command));
        settings.session.labels[static_cast<std::size_t>(c)] = name.toStdString();
    }

    double wait = 0;
    if (!parseNumber(parser.value(o.reconnect), wait) || wait < 0 || wait > MAX_RECONNECT_SECONDS)
        return fail(EXIT_USAGE,
            QStringLiteral("%3: --reconnect must be a number of seconds from 0 to %1 "
                           "(0: give up at once), not '%2'.")
                .arg(MAX_RECONNECT_SECONDS, 0, 'f', 0)
                .arg(parser.value(o.reconnect), command));
    settings.session.reconnectSeconds = wait;
    return -1;
}

void printSummary(const RunSettings& settings, const Summary& summary, const MarkerInput* markers)
{
    const double lostPercent = summary.samples > 0 ? 100.0 * summary.fillers / summary.samples : 0.0;
    const QString drift = summary.rateSettled
        ? QStringLiteral(" (%1%2 ppm)")
              .arg(summary.driftPpm >= 0 ? QStringLiteral("+") : QString())
              .arg(summary.driftPpm, 0, 'f', 0)
        : QString();
    say(QStringLiteral("%1 %2 s: %3 samples, %4 lost (%5 %), effective rate %6 samples/s%7")
            .arg(settings.writesFiles ? QStringLiteral("Recorded") : QStringLiteral("Streamed"))
            .arg(seconds(summary.recordedSeconds))
            .arg(summary.samples)
            .arg(summary.fillers)
            .arg(lostPercent, 0, 'f', 2)
            .arg(summary.effectiveRate, 0, 'f', 3)
            .arg(drift));
    QStringList events;
    for (const auto& entry : summary.eventsByType)
        events << QStringLiteral("%1 %2").arg(entry.second).arg(QString::fromStdString(entry.first));
    say(QStringLiteral("Status events: %1").arg(events.isEmpty() ? QStringLiteral("none") : events.join(QStringLiteral(", "))));
    if (summary.reconnects > 0)
        say(QStringLiteral("Headset lost and back: %1 time(s)").arg(summary.reconnects));
    if (markers) {
        const MarkerCounts counts = markers->counts();
        QString line = QStringLiteral("Markers: %1 placed").arg(counts.placed);
        if (counts.bad > 0)
            line += QStringLiteral(", %1 refused (not a marker text)").arg(counts.bad);
        if (counts.notPlaced > 0)
            line += QStringLiteral(", %1 not placed (no sample to place them by)").arg(counts.notPlaced);
        say(line);
    }
    if (summary.overflowed > 0)
        say(QStringLiteral("Recording queue overflow: %1 samples dropped (written as lost samples)").arg(summary.overflowed));
    if (settings.session.publish) {
        QString line = QStringLiteral("LSL: %1 samples and %2 markers sent")
                           .arg(summary.lsl.samples)
                           .arg(summary.lsl.markers);
        if (summary.lsl.droppedForInlets > 0)
            line += QStringLiteral(", %1 samples lost by inlets that did not keep up")
                        .arg(summary.lsl.droppedForInlets);
        say(line);
    }
    if (!summary.files.empty()) {
        say(QStringLiteral("Files:"));
        for (const std::string& file : summary.files)
            say(QStringLiteral("  ") + QString::fromStdString(file));
    }
}

QString calibrationText(const RunSettings& settings)
{
    QStringList calibrated;
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        if (settings.session.calibrate[static_cast<std::size_t>(c)])
            calibrated << QString::number(c + 1);
    }
    return calibrated.isEmpty() ? QStringLiteral("off")
                                : QStringLiteral("channels ") + calibrated.join(QLatin1Char(','));
}

QString whatRuns(const RunSettings& settings)
{
    const QString length = settings.session.seconds > 0
        ? seconds(settings.session.seconds) + QStringLiteral(" s")
        : QString();
    if (settings.writesFiles)
        return length.isEmpty()
            ? QStringLiteral("Recording to %1.* until Ctrl-C").arg(settings.base)
            : QStringLiteral("Recording %1 to %2.* (Ctrl-C ends it early)")
                  .arg(length, settings.base);
    return length.isEmpty() ? QStringLiteral("Streaming until Ctrl-C")
                            : QStringLiteral("Streaming %1 (Ctrl-C ends it early)").arg(length);
}

/// The end of a run: the summary, and the exit status with what went wrong.
int report(const RunSettings& settings, const Summary& summary, const MarkerInput* markers)
{
    const QString what = settings.writesFiles
        ? QStringLiteral("The files hold the recording up to then")
        : QStringLiteral("The stream was published up to then");
    switch (summary.outcome) {
    case Outcome::Completed:
    case Outcome::Stopped:
        printSummary(settings, summary, markers);
        return EXIT_DONE;
    case Outcome::NothingRecorded:
        say(settings.writesFiles
                ? QStringLiteral(
                    "Stopped before the first sample: nothing recorded, no files written.")
                : QStringLiteral("Stopped before the first sample: nothing streamed."));
        return EXIT_DONE;
    case Outcome::HeadsetFailed:
        if (summary.samples == 0) {
            return fail(EXIT_HEADSET,
                QStringLiteral("%1. Plug the dongle in, switch the headset on and check its "
                               "battery, then try again (or try the virtual headset: --simulate).")
                    .arg(QString::fromStdString(summary.message)));
        }
        printSummary(settings, summary, markers);
        if (settings.session.reconnectSeconds <= 0) {
            return fail(EXIT_HEADSET,
                QStringLiteral("the headset stopped answering (%1) and --reconnect 0 gives up at "
                               "once. %2 (%3 s).")
                    .arg(QString::fromUtf8(StatusData::getStringFromCode(
                             static_cast<StatusData::statusCode>(summary.failureCode))),
                        what, seconds(summary.recordedSeconds)));
        }
        return fail(EXIT_HEADSET,
            QStringLiteral("%1. %2 (%3 s). Check the headset's battery and range and try again; "
                           "--reconnect S waits longer.")
                .arg(QString::fromStdString(summary.message), what,
                    seconds(summary.recordedSeconds)));
    case Outcome::OutputFailed:
        printSummary(settings, summary, markers);
        return fail(EXIT_OUTPUT,
            QStringLiteral("%1. The recording stopped after %2 s; the files hold what was recorded "
                           "until then. Free some space or choose another --output.")
                .arg(QString::fromStdString(summary.message), seconds(summary.recordedSeconds)));
    case Outcome::PublishFailed:
        return fail(
            EXIT_OUTPUT, QStringLiteral("%1.").arg(QString::fromStdString(summary.message)));
    }
    return EXIT_DONE;
}

/// ondira record and ondira stream: the options, then the run with a
/// progress line and a summary.
int run(const QString& command, const QString& description, const QStringList& arguments)
{
    QCommandLineParser parser;
    const RunOptionSet options;
    const HeadsetOptions headset;
    RunSettings settings;
    settings.command = command;
    settings.writesFiles = command == QLatin1String("record");
    options.addTo(parser, settings.writesFiles);
    headset.addTo(parser);
    int status = parse(parser, command, description, arguments);
    if (status >= 0)
        return status;
    status = readSettings(parser, options, settings);
    if (status >= 0)
        return status;

    // The output first: nothing is opened for a recording that cannot be written.
    const QFileInfo baseInfo(settings.base);
    if (settings.writesFiles && !baseInfo.dir().exists())
        return fail(EXIT_OUTPUT, QStringLiteral("the folder '%1' of --output does not exist: create it (mkdir -p %1) or "
                                                "choose another --output.")
                                     .arg(baseInfo.dir().path()));
    status = useHeadsetOptions(parser, headset, settings.session.driver);
    if (status >= 0)
        return status;

    RecordingRun session(settings.session);
    if (settings.writesFiles) {
        for (auto& writer : makeWriters(settings.base.toStdString(), settings.formats))
            session.addWriter(std::move(writer));
    }
    std::unique_ptr<MarkerInput> markerInput;
    if (!settings.markers.empty()) {
        markerInput = std::make_unique<MarkerInput>(session.session());
        for (const MarkerSource& source : settings.markers) {
            std::string error;
            if (!markerInput->start(source, error))
                return fail(EXIT_USAGE,
                    QStringLiteral("%1: --markers: %2.")
                        .arg(command, QString::fromStdString(error)));
        }
    }
    catchStopSignals();
    if (!session.start()) {
        const Summary summary = session.finish();
        return fail(EXIT_OUTPUT, QStringLiteral("%1. Choose a writable --output.").arg(QString::fromStdString(summary.message)));
    }

    const bool terminal = isatty(STDOUT_FILENO) == 1;
    bool infoShown = false;
    bool publishingShown = false;
    bool stopping = false;
    double nextPlainLine = 10.0;
    bool progressShown = false;
    const auto clearProgress = [&] {
        if (terminal && progressShown) {
            std::fputs("\r\033[K", stdout);
            progressShown = false;
        }
    };
    for (;;) {
        const bool done = session.waitUntilFinished(terminal ? 200 : 250);
        if (stopSignal != 0 && !stopping) {
            stopping = true;
            session.requestStop();
            clearProgress();
            say(QStringLiteral("Stopping (%1): %2")
                    .arg(
                        stopSignal == SIGINT ? QStringLiteral("Ctrl-C") : QStringLiteral("SIGTERM"),
                        settings.writesFiles ? QStringLiteral("writing what was received...")
                                             : QStringLiteral("sending what was received...")));
        }
        DeviceInfo device;
        if (!infoShown && session.deviceInfo(device)) {
            infoShown = true;
            clearProgress();
            say(QStringLiteral("Dongle:  firmware %1, radio channel %2")
                    .arg(known(device.dongleFirmware), channel(device.dongleChannel)));
            say(QStringLiteral("Headset: firmware %1, radio channel %2")
                    .arg(known(device.headsetFirmware), channel(device.headsetChannel)));
            say(QStringLiteral("Calibration: %1").arg(calibrationText(settings)));
            if (!settings.session.publish)
                say(whatRuns(settings));
        }
        const Progress progress = session.progress();
        if (!publishingShown && progress.lsl.running) {
            publishingShown = true;
            clearProgress();
            const QString name = QString::fromStdString(settings.session.lsl.name);
            say(QStringLiteral(
                "LSL: publishing '%1' (EEG, 4 channels, 250 Hz, microvolts) and '%1-Markers', "
                "source id %2%3")
                    .arg(name, QString::fromStdString(progress.lsl.sourceId),
                        settings.session.lsl.interfaceAddress.empty()
                            ? QString()
                            : QStringLiteral(", on %1 alone")
                                  .arg(QString::fromStdString(
                                      settings.session.lsl.interfaceAddress))));
            say(whatRuns(settings));
        }
        if (markerInput) {
            for (const std::string& problem : markerInput->takeProblems()) {
                clearProgress();
                warn(QString::fromStdString(problem));
            }
        }
        const std::vector<StatusEvent> events = session.takeEvents();
        if (terminal) {
            if (progress.state == RunState::Recording || progress.state == RunState::Reconnecting) {
                QString line = progressLine(progress);
                line.truncate(terminalWidth() - 1);
                std::fprintf(stdout, "\r\033[K%s", line.toLocal8Bit().constData());
                std::fflush(stdout);
                progressShown = true;
            }
        } else {
            for (const StatusEvent& event : events)
                say(QStringLiteral("[%1 s] %2 %3")
                        .arg(seconds(event.onsetSeconds))
                        .arg(QString::fromStdString(event.type), QString::fromStdString(event.text)));
            if (progress.recordedSeconds >= nextPlainLine) {
                say(progressLine(progress));
                while (nextPlainLine <= progress.recordedSeconds)
                    nextPlainLine += 10.0;
            }
        }
        if (done)
            break;
    }
    clearProgress();
    if (markerInput)
        markerInput->stop();
    return report(settings, session.finish(), markerInput.get());
}

} // namespace

int record(const QStringList& arguments)
{
    return run(QStringLiteral("record"),
        QStringLiteral("Records a session of the headset into standard EEG files and draws it."),
        arguments);
}

int stream(const QStringList& arguments)
{
    return run(QStringLiteral("stream"),
        QStringLiteral(
            "Publishes the headset's stream on the Lab Streaming Layer, for the lab's recorders, "
            "online analysis and neurofeedback to receive: an EEG stream NAME and a marker stream "
            "NAME-Markers."),
        arguments);
}

} // namespace cli
