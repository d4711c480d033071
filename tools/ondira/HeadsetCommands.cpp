// ondira info and ondira set: open the headset, read or change its settings
// through the library's properties, close.

#include "Cli.h"

#include <ondira/Ondira.h>
#include <ondira/recorder/Headset.h>

#include <QSet>

#include <memory>
#include <mutex>
#include <vector>

using namespace ondira::recorder;

namespace cli {

namespace {

/// Keeps the status events of the facade's calls (all on this thread).
class StatusCollector : public IDataConsumer
{
public:
    void receiveData(PData& data) override
    {
        const auto& status = *static_cast<const StatusData*>(data.getData());
        std::lock_guard<std::mutex> lock(mutex);
        codes.push_back(status.getCode());
    }

    QString texts()
    {
        std::lock_guard<std::mutex> lock(mutex);
        QStringList list;
        for (int code : codes) {
            const QString text = QString::fromUtf8(StatusData::getStringFromCode(static_cast<StatusData::statusCode>(code)));
            if (!list.contains(text))
                list << text;
        }
        codes.clear();
        return list.isEmpty() ? QStringLiteral("no status event") : list.join(QStringLiteral(" / "));
    }

private:
    std::mutex mutex; // events of the worker thread may come too
    std::vector<int> codes;
};

/// The facade with a status consumer, opened; closed and cleaned up on
/// destruction. The facade is made in open(): it loads the driver library
/// chosen before.
class OpenHeadset
{
public:
    ~OpenHeadset()
    {
        if (!facade)
            return;
        facade->closeDevice();
        facade->deregisterConsumer(IDataProcessor::STATUS_DATA, status);
    }
    bool open()
    {
        facade = std::make_unique<Ondira>();
        facade->registerConsumer(IDataProcessor::STATUS_DATA, status);
        return facade->openDevice();
    }

    std::unique_ptr<Ondira> facade;
    StatusCollector status;
};

QString known(const std::string& text)
{
    return text.empty() ? QStringLiteral("no answer") : QString::fromStdString(text);
}

QString channel(int value)
{
    return value < 0 ? QStringLiteral("no answer") : QString::number(value);
}

/// Chooses the driver and opens the headset; -1 when it is open, else the
/// exit status after saying why not.
int open(const QCommandLineParser& parser, const HeadsetOptions& options, OpenHeadset& headset)
{
    const int status = useHeadsetOptions(parser, options);
    if (status >= 0)
        return status;
    if (headset.open())
        return -1;
    return fail(EXIT_HEADSET, QStringLiteral("could not open the headset: %1. Plug the dongle in and try again (or try "
                                             "the virtual headset: --simulate).")
                                  .arg(headset.status.texts()));
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
    OpenHeadset device;
    if ((status = open(parser, headset, device)) >= 0)
        return status;
    const DeviceInfo versions = readDeviceInfo(*device.facade);
    say(QStringLiteral("Dongle:  firmware %1, radio channel %2")
            .arg(known(versions.dongleFirmware), channel(versions.dongleChannel)));
    say(QStringLiteral("Headset: firmware %1, radio channel %2")
            .arg(known(versions.headsetFirmware), channel(versions.headsetChannel)));
    say(QStringLiteral("Serial settings:"));
    for (const char* name : {"BaudRate", "WordLength", "StopBits", "Parity", "Read Timeout", "LatencyTimer"}) {
        const Property* property = device.facade->getProperty(name);
        say(QStringLiteral("  %1 %2").arg(QString::fromUtf8(name) + QLatin1Char(':'), -14)
                .arg(property ? QString::fromUtf8(property->getValueAsString()) : QStringLiteral("unknown")));
    }
    say(QStringLiteral("Calibration switches:"));
    for (const char* name : {Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, Ondira::STR_PROPERTY_ENABLE_CHANNEL_2,
                             Ondira::STR_PROPERTY_ENABLE_CHANNEL_3, Ondira::STR_PROPERTY_ENABLE_CHANNEL_4}) {
        const Property* property = device.facade->getProperty(name);
        say(QStringLiteral("  %1 %2").arg(QString::fromUtf8(name) + QLatin1Char(':'), -19)
                .arg(!property ? QStringLiteral("unknown")
                               : property->getValueAsInteger() ? QStringLiteral("on") : QStringLiteral("off")));
    }
    if (versions.headsetFirmware.empty())
        return fail(EXIT_HEADSET, QStringLiteral("the dongle answered but the headset did not (%1). Switch the headset "
                                                 "on, charge it, and make sure both use the same radio channel.")
                                      .arg(device.status.texts()));
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
    OpenHeadset device;
    if ((status = open(parser, headset, device)) >= 0)
        return status;
    const DeviceInfo before = readDeviceInfo(*device.facade);
    device.status.texts(); // forget the events so far

    QStringList problems;
    if (headsetChannel >= 0
        && !device.facade->setProperty(Property(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL, headsetChannel)))
        problems << QStringLiteral("the headset did not acknowledge channel %1 (%2)").arg(headsetChannel).arg(device.status.texts());
    if (dongleChannel >= 0
        && !device.facade->setProperty(Property(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL, dongleChannel)))
        problems << QStringLiteral("the dongle did not acknowledge channel %1 (%2)").arg(dongleChannel).arg(device.status.texts());

    const DeviceInfo after = readDeviceInfo(*device.facade);
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
