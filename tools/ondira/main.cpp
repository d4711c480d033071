// The ondira command: record a session to EDF+, CSV, an events list and a
// plot, or publish it on the Lab Streaming Layer; show the headset's
// versions and settings; set its radio channels.

#include "Cli.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

const char* const OVERVIEW
    = "Usage: ondira <command> [options]\n"
      "\n"
      "Records sessions of the Ondira four-channel EEG headset.\n"
      "\n"
      "Commands:\n"
      "  record   Record to BASE.edf (EDF+), BASE.csv, BASE.events.csv and BASE.png\n"
      "           (--lsl also publishes the stream on the Lab Streaming Layer).\n"
      "  stream   Publish the stream on the Lab Streaming Layer, for the lab's\n"
      "           recorders and online analysis, without writing files.\n"
      "  info     Show the firmware versions, radio channels, serial settings and\n"
      "           calibration switches of dongle and headset.\n"
      "  set      Set the radio channels of dongle and headset.\n"
      "\n"
      "Options:\n"
      "  -h, --help     Show this overview; 'ondira <command> --help' shows a command's options.\n"
      "  -v, --version  Show the version.\n"
      "\n"
      "Examples: ondira record --simulate --seconds 10 --output recordings/demo\n"
      "          ondira stream --simulate --markers udp:7000\n";

} // namespace

int main(int argc, char** argv)
{
    // The plot is drawn without a display; the command shows no window.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // A file-size limit becomes a write error that is reported, not a kill.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    cli::routeMessages(false);
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    // The plot needs fonts, which need a QGuiApplication.
    std::unique_ptr<QCoreApplication> app;
    if (command == QLatin1String("record"))
        app = std::make_unique<QGuiApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ondira"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ONDIRA_VERSION));

    const QStringList arguments = QCoreApplication::arguments().mid(2);
    if (command.isEmpty())
        return cli::fail(cli::EXIT_USAGE,
            QStringLiteral("no command given: use record, stream, info or set (ondira --help)."));
    if (command == QLatin1String("-h") || command == QLatin1String("--help") || command == QLatin1String("help")) {
        std::fputs(OVERVIEW, stdout);
        return cli::EXIT_DONE;
    }
    if (command == QLatin1String("-v") || command == QLatin1String("--version")) {
        cli::say(QStringLiteral("ondira %1 (Ondira library %1)").arg(QStringLiteral(ONDIRA_VERSION)));
        return cli::EXIT_DONE;
    }
    if (command == QLatin1String("record"))
        return cli::record(arguments);
    if (command == QLatin1String("stream"))
        return cli::stream(arguments);
    if (command == QLatin1String("info"))
        return cli::info(arguments);
    if (command == QLatin1String("set"))
        return cli::set(arguments);
    return cli::fail(cli::EXIT_USAGE,
        QStringLiteral("unknown command '%1': use record, stream, info or set (ondira --help).")
            .arg(command));
}
