#include "Cli.h"

#include <ondira/session/Driver.h>

#include <QCoreApplication>
#include <QRegularExpression>
#include <QtGlobal>

#include <cmath>
#include <cstdio>

namespace cli {

namespace {
bool verboseMessages = false;

void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    const QByteArray text = message.toLocal8Bit();
    if (verboseMessages) {
        std::fprintf(stderr, "ondira: trace: %s\n", text.constData());
    } else if (type == QtCriticalMsg || type == QtFatalMsg) {
        std::fprintf(stderr, "ondira: %s\n", text.constData());
    }
    std::fflush(stderr);
}
} // namespace

int fail(int status, const QString& text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "ondira: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    return status;
}

void warn(const QString& text)
{
    fail(0, text);
}

void say(const QString& text)
{
    std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

void HeadsetOptions::addTo(QCommandLineParser& parser) const
{
    parser.addOption(simulate);
    parser.addOption(sim);
    parser.addOption(verbose);
}

int parse(QCommandLineParser& parser, const QString& command, const QString& description,
          const QStringList& arguments)
{
    parser.setApplicationDescription(description);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help = parser.addHelpOption();
    QStringList words = arguments;
    words.prepend(QStringLiteral("ondira ") + command);
    if (!parser.parse(words)) {
        return fail(EXIT_USAGE, QStringLiteral("%1: %2 Run 'ondira %1 --help' for its options.")
                                    .arg(command, parser.errorText()));
    }
    // Qt adds --help-all beside --help; there are no Qt options to add here.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        QString text = parser.helpText();
        text.replace(QRegularExpression(QStringLiteral("^Usage: \\S+")), QStringLiteral("Usage: ondira ") + command);
        std::fputs(text.toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
        return EXIT_DONE;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return fail(EXIT_USAGE, QStringLiteral("%1: unexpected argument '%2'. Run 'ondira %1 --help' for its options.")
                                    .arg(command, parser.positionalArguments().first()));
    }
    return -1;
}

void routeMessages(bool verbose)
{
    verboseMessages = verbose;
    qInstallMessageHandler(messageHandler);
}

int useHeadsetOptions(const QCommandLineParser& parser, const HeadsetOptions& options,
                      ondira::session::Driver& driver)
{
    routeMessages(parser.isSet(options.verbose));
    driver = ondira::session::Driver::d2xx(); // found as the library always finds it
    if (!parser.isSet(options.simulate) && !parser.isSet(options.sim))
        return -1;
    const std::string path =
        ondira::session::findVirtualHeadset(QCoreApplication::applicationDirPath().toStdString());
    if (path.empty()) {
        return fail(EXIT_HEADSET, QStringLiteral("--simulate: the virtual headset (libFtd2xx.so) is not where it "
                                                 "belongs to this program (the build tree's sim folder, or "
                                                 "<libdir>/ondira/sim once installed). Build the project with "
                                                 "ONDIRA_BUILD_SIM=ON, or install it."));
    }
    driver = ondira::session::Driver::virtualHeadset(path);
    if (parser.isSet(options.sim)) {
        const QString config = parser.value(options.sim);
        std::string error;
        if (!ondira::session::configureVirtualHeadset(path, config.toStdString(), error)) {
            QString reason = QString::fromStdString(error);
            reason.remove(QRegularExpression(QStringLiteral("^ondira_sim: ")));
            reason.replace(QStringLiteral("; the virtual devices will not open."), QStringLiteral("."));
            return fail(EXIT_USAGE, QStringLiteral("--sim \"%1\": %2 See sim/README.md for the keys.").arg(config, reason));
        }
    }
    return -1;
}

bool parseNumber(const QString& text, double& value)
{
    bool ok = false;
    const double parsed = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

} // namespace cli
