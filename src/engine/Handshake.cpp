// Request/reply exchanges with dongle and headset. Each exchange writes the
// "no answer" value into the protocol field that the worker's parser fills
// when the reply arrives, sends the request, and polls the field: at most
// seven requests, 200 ms apart.

#include "engine/ReaderEngine.h"

#include "device/FTDIDevice.h"
#include "diagnostics/Trace.h"
#include "protocol/ZAREProtocol.h"

namespace ondira {

namespace {
constexpr int LAST_ATTEMPT = 6; // seven requests: attempts 0..6
constexpr unsigned long REPLY_WAIT_MS = 200;
constexpr std::uint8_t MAX_RADIO_CHANNEL = 15;
} // namespace

void ReaderEngine::releaseCandidate()
{
    // The worker must be gone before the device it polls is closed. Whatever
    // ended it, the engine is closed again, not stalled.
    waitForWorker();
    device->close();
    workerFailed.store(false);
}

bool ReaderEngine::findDevice()
{
    if (device->open() != HWDevice::HW_OK)
        return false;
    startWorker();
    if (identifyDongle())
        return true;
    releaseCandidate();

    Trace() << "Not an Ondira, let's do an exhaustive search";
    const std::uint32_t count = device->getNumberOfDevices();
    for (std::uint32_t index = 1; index < count; ++index) {
        if (device->openByIndex(index) != HWDevice::HW_OK)
            continue;
        startWorker();
        if (identifyDongle())
            return true;
        releaseCandidate();
    }
    return false;
}

template <typename Announce, typename Request, typename Answered>
ReaderEngine::Reply ReaderEngine::exchange(Announce announce, Request request, Answered answered)
{
    for (int attempt = 0; !answered(); ++attempt) {
        announce(attempt);
        if (!request())
            return Reply::WriteFailed;
        // The last request gets no wait: nothing would look at its reply.
        if (attempt == LAST_ATTEMPT)
            return Reply::NoAnswer;
        clock.sleepMs(REPLY_WAIT_MS);
    }
    return Reply::Answered;
}

bool ReaderEngine::identifyDongle()
{
    protocol->clearUsbId();
    const Reply reply = exchange(
        [](int attempt) {
            Trace() << "requesting ID (retries = " << static_cast<std::int32_t>(attempt) << ")";
        },
        [this] { return requestId(); }, [this] { return protocol->getUsbId() != 0; });
    switch (reply) {
    case Reply::Answered:
        Trace() << "USB id = " << protocol->getUsbId();
        return true;
    case Reply::WriteFailed:
        Trace() << "Error requesting ID";
        return false;
    case Reply::NoAnswer:
        break;
    }
    Trace() << "Timeout requesting ID";
    return false;
}

bool ReaderEngine::requestId()
{
    unsigned char command[ZAREProtocol::SHORT_COMMAND_SIZE];
    ZAREProtocol::buildShortCommand(0, 0, ZAREProtocol::CMD_REQUEST_ID, command);
    return writeRequest(command, sizeof command);
}

bool ReaderEngine::requestFirmwareVersion(bool toHeadset)
{
    const std::uint16_t dongle = protocol->getUsbId();
    const std::uint16_t destination = toHeadset ? protocol->getOndiraId() : dongle;
    unsigned char command[ZAREProtocol::SHORT_COMMAND_SIZE];
    ZAREProtocol::buildShortCommand(destination, dongle, ZAREProtocol::CMD_GET_FIRMWARE_VERSION,
                                    command);
    return writeRequest(command, sizeof command);
}

bool ReaderEngine::sendChannelCommand(std::uint8_t value, bool toHeadset, bool set)
{
    const std::uint16_t dongle = protocol->getUsbId();
    const std::uint16_t destination = toHeadset ? protocol->getOndiraId() : dongle;
    if (set) {
        unsigned char command[ZAREProtocol::SET_PARAMETER_SIZE];
        ZAREProtocol::buildSetParameter(destination, dongle,
                                        ZAREProtocol::PARAM_TRANSMISSION_CHANNEL, value, command);
        return writeRequest(command, sizeof command);
    }
    unsigned char command[ZAREProtocol::GET_PARAMETER_SIZE];
    ZAREProtocol::buildGetParameter(destination, dongle, ZAREProtocol::PARAM_TRANSMISSION_CHANNEL,
                                    command);
    return writeRequest(command, sizeof command);
}

std::uint8_t ReaderEngine::askFirmwareVersion(bool headset)
{
    if (refuseWhileStalled())
        return ZAREProtocol::NO_FIRMWARE_VERSION;
    if (headset)
        protocol->setOndiraFirmwareVersion(ZAREProtocol::NO_FIRMWARE_VERSION);
    else
        protocol->setUsbFirmwareVersion(ZAREProtocol::NO_FIRMWARE_VERSION);
    auto field = [this, headset] {
        return headset ? protocol->getOndiraFirmwareVersion() : protocol->getUsbFirmwareVersion();
    };

    const Reply reply = exchange(
        [headset](int) {
            if (headset)
                Trace() << "asking Ondira FW version";
            else
                Trace() << "asking USB FW version...";
        },
        [this, headset] { return requestFirmwareVersion(headset); },
        [&field] { return field() != ZAREProtocol::NO_FIRMWARE_VERSION; });
    switch (reply) {
    case Reply::Answered:
        return field();
    case Reply::WriteFailed:
        // The request has reported its write failure; the query reports that
        // it got no version.
        publishStatus(StatusData::DEVICE_IO_ERROR);
        break;
    case Reply::NoAnswer:
        publishStatus(StatusData::FW_VERSION_ERROR);
        break;
    }
    return ZAREProtocol::NO_FIRMWARE_VERSION;
}

std::uint8_t ReaderEngine::askTransmissionChannel(bool headset)
{
    if (refuseWhileStalled())
        return ZAREProtocol::NO_CHANNEL;
    if (headset)
        protocol->setOndiraTransmissionChannel(ZAREProtocol::NO_CHANNEL);
    else
        protocol->setUsbTransmissionChannel(ZAREProtocol::NO_CHANNEL);
    auto field = [this, headset] {
        return headset ? protocol->getOndiraTransmissionChannel()
                       : protocol->getUsbTransmissionChannel();
    };

    const Reply reply = exchange(
        [headset](int) {
            if (!headset)
                Trace() << "Getting USB transmission channel";
        },
        [this, headset] { return sendChannelCommand(0, headset, false); },
        [&field] { return field() != ZAREProtocol::NO_CHANNEL; });
    switch (reply) {
    case Reply::Answered:
        return field();
    case Reply::WriteFailed:
        publishStatus(StatusData::DEVICE_IO_ERROR);
        break;
    case Reply::NoAnswer:
        publishStatus(StatusData::TRANSCEIVER_CHANNEL_ERROR);
        break;
    }
    return ZAREProtocol::NO_CHANNEL;
}

bool ReaderEngine::sendTransmissionChannel(std::uint8_t channel, bool headset)
{
    if (channel > MAX_RADIO_CHANNEL)
        return false;
    if (refuseWhileStalled())
        return false;
    protocol->setChannelAck(0);
    // A write failure has been reported by the request; no answer is not.
    return exchange(
               [headset](int) {
                   if (headset)
                       Trace() << "Sending Ondira transmission channel";
               },
               [this, channel, headset] { return sendChannelCommand(channel, headset, true); },
               [this] { return protocol->getChannelAck() != 0; })
        == Reply::Answered;
}

std::uint8_t ReaderEngine::askUsbFirmwareVersion()
{
    return askFirmwareVersion(false);
}

std::uint8_t ReaderEngine::askOndiraFirmwareVersion()
{
    return askFirmwareVersion(true);
}

std::uint8_t ReaderEngine::askUsbTransmissionChannel()
{
    return askTransmissionChannel(false);
}

std::uint8_t ReaderEngine::askOndiraTransmissionChannel()
{
    return askTransmissionChannel(true);
}

bool ReaderEngine::sendUsbTransmissionChannel(std::uint8_t channel)
{
    return sendTransmissionChannel(channel, false);
}

bool ReaderEngine::sendOndiraTransmissionChannel(std::uint8_t channel)
{
    return sendTransmissionChannel(channel, true);
}

bool ReaderEngine::ping()
{
    // A stalled engine may still believe it streams; it reads nothing.
    if (refuseWhileStalled())
        return false;
    if (streaming.load())
        return true;
    return askOndiraFirmwareVersion() != ZAREProtocol::NO_FIRMWARE_VERSION;
}

} // namespace ondira
