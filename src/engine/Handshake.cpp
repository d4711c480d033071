// Request/reply exchanges with dongle and headset. Each exchange writes the
// "no answer" value into the protocol field that the worker's parser fills
// when the reply arrives, sends the request, and polls the field: at most
// seven requests, 200 ms apart.

#include "engine/ReaderEngine.h"

#include "device/FTDIDevice.h"
#include "diagnostics/Trace.h"
#include "protocol/ZAREProtocol.h"

#include <QThread>

namespace ondira {

namespace {
constexpr int LAST_ATTEMPT = 6; // seven requests: attempts 0..6
constexpr unsigned long REPLY_WAIT_MS = 200;
constexpr std::uint8_t MAX_RADIO_CHANNEL = 15;
} // namespace

bool ReaderEngine::findDevice()
{
    if (device->open() != HWDevice::HW_OK)
        return false;
    startWorker();
    if (identifyDongle())
        return true;
    // The worker must be gone before the device it polls is closed.
    waitForWorker();
    device->close();

    Trace() << "Not an Ondira, let's do an exhaustive search";
    const std::uint32_t count = device->getNumberOfDevices();
    for (std::uint32_t index = 1; index < count; ++index) {
        if (device->openByIndex(index) != HWDevice::HW_OK)
            continue;
        startWorker();
        if (identifyDongle())
            return true;
        waitForWorker();
        device->close();
    }
    return false;
}

bool ReaderEngine::identifyDongle()
{
    protocol->clearUsbId();
    for (int attempt = 0;; ++attempt) {
        Trace() << "requesting ID (retries = " << static_cast<std::int32_t>(attempt) << ")";
        if (!requestId()) {
            Trace() << "Error requesting ID";
            return false;
        }
        if (attempt == LAST_ATTEMPT) {
            Trace() << "Timeout requesting ID";
            return false;
        }
        QThread::msleep(REPLY_WAIT_MS);
        const std::uint16_t address = protocol->getUsbId();
        if (address != 0) {
            Trace() << "USB id = " << address;
            return true;
        }
    }
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
    auto field = [this, headset] {
        return headset ? protocol->getOndiraFirmwareVersion() : protocol->getUsbFirmwareVersion();
    };
    if (headset)
        protocol->setOndiraFirmwareVersion(ZAREProtocol::NO_FIRMWARE_VERSION);
    else
        protocol->setUsbFirmwareVersion(ZAREProtocol::NO_FIRMWARE_VERSION);

    for (int attempt = 0; field() == ZAREProtocol::NO_FIRMWARE_VERSION; ++attempt) {
        if (headset)
            Trace() << "asking Ondira FW version";
        else
            Trace() << "asking USB FW version...";
        if (!requestFirmwareVersion(headset)) {
            publishStatus(StatusData::DEVICE_IO_ERROR);
            return ZAREProtocol::NO_FIRMWARE_VERSION;
        }
        if (attempt == LAST_ATTEMPT) {
            publishStatus(StatusData::FW_VERSION_ERROR);
            return ZAREProtocol::NO_FIRMWARE_VERSION;
        }
        QThread::msleep(REPLY_WAIT_MS);
    }
    return field();
}

std::uint8_t ReaderEngine::askTransmissionChannel(bool headset)
{
    auto field = [this, headset] {
        return headset ? protocol->getOndiraTransmissionChannel()
                       : protocol->getUsbTransmissionChannel();
    };
    if (headset)
        protocol->setOndiraTransmissionChannel(ZAREProtocol::NO_CHANNEL);
    else
        protocol->setUsbTransmissionChannel(ZAREProtocol::NO_CHANNEL);

    for (int attempt = 0; field() == ZAREProtocol::NO_CHANNEL; ++attempt) {
        if (!headset)
            Trace() << "Getting USB transmission channel";
        if (!sendChannelCommand(0, headset, false)) {
            publishStatus(StatusData::DEVICE_IO_ERROR);
            return ZAREProtocol::NO_CHANNEL;
        }
        if (attempt == LAST_ATTEMPT) {
            publishStatus(StatusData::TRANSCEIVER_CHANNEL_ERROR);
            return ZAREProtocol::NO_CHANNEL;
        }
        QThread::msleep(REPLY_WAIT_MS);
    }
    return field();
}

bool ReaderEngine::sendTransmissionChannel(std::uint8_t channel, bool headset)
{
    if (channel > MAX_RADIO_CHANNEL)
        return false;
    protocol->setChannelAck(0);
    for (int attempt = 0; protocol->getChannelAck() == 0; ++attempt) {
        if (headset)
            Trace() << "Sending Ondira transmission channel";
        if (!sendChannelCommand(channel, headset, true))
            return false;
        if (attempt == LAST_ATTEMPT)
            return false;
        QThread::msleep(REPLY_WAIT_MS);
    }
    return true;
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
    if (streaming.load())
        return true;
    return askOndiraFirmwareVersion() != ZAREProtocol::NO_FIRMWARE_VERSION;
}

} // namespace ondira
