#ifndef ONDIRA_TOOLS_CLI_H
#define ONDIRA_TOOLS_CLI_H

// What the subcommands share: exit statuses, error messages, option parsing,
// the choice of driver library, and the silencing of the library's traces.

#include <ondira/session/Driver.h>

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

namespace cli {

enum ExitStatus {
    EXIT_DONE = 0,
    EXIT_USAGE = 2,    ///< unknown option, missing or malformed value, out-of-range number
    EXIT_HEADSET = 3,  ///< the headset could not be opened or stopped answering
    EXIT_OUTPUT = 4    ///< output not writable, or a write failure during recording
};

/// Prints "ondira: <text>" on standard error and returns `status`.
int fail(int status, const QString& text);
/// Prints "ondira: <text>" on standard error and goes on.
void warn(const QString& text);
/// Prints a line on standard output.
void say(const QString& text);

/// The options every subcommand that talks to the headset has.
struct HeadsetOptions {
    QCommandLineOption simulate{QStringLiteral("simulate"),
                                QStringLiteral("Use the virtual headset built with the project instead of the D2XX driver.")};
    QCommandLineOption sim{QStringLiteral("sim"),
                           QStringLiteral("Configuration of the virtual headset, the same text as ONDIRA_SIM, "
                                          "e.g. \"loss=0.01 hum=50\"; implies --simulate."),
                           QStringLiteral("KEY=VALUE ...")};
    QCommandLineOption verbose{QStringLiteral("verbose"),
                               QStringLiteral("Print the library's trace messages on standard error.")};

    void addTo(QCommandLineParser& parser) const;
};

/// Parses `arguments` (the words after the subcommand) for `command`. Returns
/// -1 to go on; otherwise the exit status to end with (help printed: 0, bad
/// usage reported: 2).
int parse(QCommandLineParser& parser, const QString& command, const QString& description,
          const QStringList& arguments);

/// Routes Qt's messages: the library's traces (debug output) only with
/// --verbose; critical and fatal messages always, as "ondira: ..." lines.
void routeMessages(bool verbose);

/// Applies --verbose, and chooses the driver for --simulate and --sim (which
/// also configures the virtual headset) into `driver`. Returns -1 to go on,
/// or the exit status after reporting what went wrong.
int useHeadsetOptions(const QCommandLineParser& parser, const HeadsetOptions& options,
                      ondira::session::Driver& driver);

/// A decimal number, the whole text; false for anything else (also NaN, inf).
bool parseNumber(const QString& text, double& value);

int record(const QStringList& arguments);
int stream(const QStringList& arguments);
int info(const QStringList& arguments);
int set(const QStringList& arguments);

} // namespace cli

#endif
