// ondira info and ondira set: open the headset, read or change its settings
// through the library's properties, close; in a session of their own.

#include "Cli.h"

#include <ondira/Ondira.h>
#include <ondira/session/Session.h>

#include <memory>

using namespace ondira::session;

namespace cli {

namespace {

QString known(const std::string& text)
{
    return text.empty() ? QStringLiteral("no answer") : QString::fromStdString(text);
}

QString channel(int value)
{
    return value < 0 ? QStringLiteral("no answer") : QString::number(value);
}

QString reason(const CallResult& result)
{
    return QString::fromStdString(reasonOf(result.codes));
}

/// Chooses the driver and opens the headset in a session of its own; -1
/// when it is open, else the exit status after saying why not.
int open(const QCommandLineParser& parser, const HeadsetOptions& options, std::unique_ptr<Session>& session)
{
    SessionOptions settings;
    const int status = useHeadsetOptions(parser, options, settings.driver);
    if (status >= 0)
        return status;
    settings.calibrateSet = false; // show and keep the library's switches
    session = std::make_unique<Session>(settings);
    const CallResult opened = session->open().result();
    if (opened.ok)
        return -1;
    return fail(EXIT_HEADSET, QStringLiteral("%1. Plug the dongle in and try again (or try the virtual headset: "
                                             "--simulate).")
                                  .arg(QString::fromStdString(opened.message)));
}

int parseChannel(const QCommandLineParser& parser, const QCommandLineOption& option, int& value)
{
    bool ok = false;
    value = parser.value(option).trimmed().toInt(&ok);
    if (!ok || value < 0 || value > 15)
        return fail(EXIT_USAGE, QStringLiteral("set: --%1 takes a radio channel from 0 to 15, not '%2'.")
                                    .arg(option.names().first(), parser.value(option)));
    return -1;
}

} // namespace

int info(const QStringList& arguments)
{
    QCommandLineParser parser;
    const HeadsetOptions headset;
    headset.addTo(parser);
    int status = parse(parser, QStringLiteral("info"),
                       QStringLiteral("Shows the firmware versions and radio channels of dongle and headset, the "
                                      "serial settings and the calibration switches, as the library reports them."),
                       arguments);
    if (status >= 0)
        return status;
    std::unique_ptr<Session> device;
    if ((status = open(parser, headset, device)) >= 0)
        return status;
    const CallResult read = device->readDeviceInfo().result();
    const DeviceInfo& versions = read.info;
    say(QStringLiteral("Dongle:  firmware %1, radio channel %2")
            .arg(known(versions.dongleFirmware), channel(versions.dongleChannel)));
    say(QStringLiteral("Headset: firmware %1, radio channel %2")
            .arg(known(versions.headsetFirmware), channel(versions.headsetChannel)));
    say(QStringLiteral("Serial settings:"));
    for (const char* name : {"BaudRate", "WordLength", "StopBits", "Parity", "Read Timeout", "LatencyTimer"}) {
        const CallResult property = device->getProperty(name).result();
        say(QStringLiteral("  %1 %2").arg(QString::fromUtf8(name) + QLatin1Char(':'), -14)
                .arg(property.ok ? QString::fromStdString(property.text) : QStringLiteral("unknown")));
    }
    say(QStringLiteral("Calibration switches:"));
    for (const char* name : {Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, Ondira::STR_PROPERTY_ENABLE_CHANNEL_2,
                             Ondira::STR_PROPERTY_ENABLE_CHANNEL_3, Ondira::STR_PROPERTY_ENABLE_CHANNEL_4}) {
        const CallResult property = device->getProperty(name).result();
        say(QStringLiteral("  %1 %2").arg(QString::fromUtf8(name) + QLatin1Char(':'), -19)
                .arg(!property.ok ? QStringLiteral("unknown")
                                  : property.integer ? QStringLiteral("on") : QStringLiteral("off")));
    }
    if (versions.headsetFirmware.empty())
        return fail(EXIT_HEADSET, QStringLiteral("the dongle answered but the headset did not (%1). Switch the headset "
                                                 "on, charge it, and make sure both use the same radio channel.")
                                      .arg(reason(read)));
    return EXIT_DONE;
}

int set(const QStringList& arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption dongleOption(QStringLiteral("dongle-channel"),
                                          QStringLiteral("Radio channel of the dongle, 0 to 15."), QStringLiteral("N"));
    const QCommandLineOption headsetOption(QStringLiteral("headset-channel"),
                                           QStringLiteral("Radio channel of the headset, 0 to 15."), QStringLiteral("N"));
    const HeadsetOptions headset;
    parser.addOptions({dongleOption, headsetOption});
    headset.addTo(parser);
    int status = parse(parser, QStringLiteral("set"),
                       QStringLiteral("Sets the radio channels of dongle and headset and reads them back. The headset "
                                      "is set first: it is reached over the dongle's current channel."),
                       arguments);
    if (status >= 0)
        return status;
    if (!parser.isSet(dongleOption) && !parser.isSet(headsetOption))
        return fail(EXIT_USAGE, QStringLiteral("set: give --dongle-channel N and/or --headset-channel N (0 to 15)."));
    int dongleChannel = -1;
    int headsetChannel = -1;
    if (parser.isSet(dongleOption) && (status = parseChannel(parser, dongleOption, dongleChannel)) >= 0)
        return status;
    if (parser.isSet(headsetOption) && (status = parseChannel(parser, headsetOption, headsetChannel)) >= 0)
        return status;
    std::unique_ptr<Session> device;
    if ((status = open(parser, headset, device)) >= 0)
        return status;
    const DeviceInfo before = device->readDeviceInfo().result().info;

    QStringList problems;
    if (headsetChannel >= 0) {
        const CallResult r = device->setProperty(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL, headsetChannel).result();
        if (!r.ok)
            problems << QStringLiteral("the headset did not acknowledge channel %1 (%2)").arg(headsetChannel).arg(reason(r));
    }
    if (dongleChannel >= 0) {
        const CallResult r = device->setProperty(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL, dongleChannel).result();
        if (!r.ok)
            problems << QStringLiteral("the dongle did not acknowledge channel %1 (%2)").arg(dongleChannel).arg(reason(r));
    }

    const DeviceInfo after = device->readDeviceInfo().result().info;
    if (dongleChannel >= 0) {
        say(QStringLiteral("Dongle radio channel:  %1 -> %2").arg(channel(before.dongleChannel), channel(after.dongleChannel)));
        if (after.dongleChannel != dongleChannel)
            problems << QStringLiteral("the dongle reports channel %1, not %2").arg(channel(after.dongleChannel)).arg(dongleChannel);
    }
    if (headsetChannel >= 0) {
        say(QStringLiteral("Headset radio channel: %1 -> %2").arg(channel(before.headsetChannel), channel(after.headsetChannel)));
        if (after.headsetChannel != headsetChannel)
            problems << QStringLiteral("the headset reports channel %1, not %2").arg(channel(after.headsetChannel)).arg(headsetChannel);
    }
    if (!problems.isEmpty())
        return fail(EXIT_HEADSET, QStringLiteral("%1. Check that the headset is on and that dongle and headset use the "
                                                 "same channel (set both), then run ondira info.")
                                      .arg(problems.join(QStringLiteral("; "))));
    say(QStringLiteral("Confirmed."));
    return EXIT_DONE;
}

} // namespace cli
