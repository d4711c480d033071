#include "device/FTDIDevice.h"

// Placeholder until the D2XX binding lands: the device reports that the
// driver library is not loaded and never opens.

namespace ondira {

FTDIDevice::FTDIDevice()
    : baudRate(128000)
    , wordLength(8)
    , stopBits(0)
    , parity(0)
    , readTimeout(50)
    , latencyTimer(16)
    , library(nullptr)
    , lastError(HW_LIBRARY_NOT_LOADED)
    , handle(nullptr)
    , ftOpen(nullptr)
    , ftListDevices(nullptr)
    , ftClose(nullptr)
    , ftRead(nullptr)
    , ftWrite(nullptr)
    , ftResetDevice(nullptr)
    , ftGetStatus(nullptr)
    , ftPurge(nullptr)
    , ftSetTimeouts(nullptr)
    , ftGetQueueStatus(nullptr)
    , ftSetBaudRate(nullptr)
    , ftSetDataCharacteristics(nullptr)
    , ftSetLatencyTimer(nullptr)
    , libraryState(HW_LIBRARY_NOT_LOADED)
{
}

FTDIDevice::~FTDIDevice() = default;

HWDevice::errorCode FTDIDevice::open() { return lastError = HW_LIBRARY_NOT_LOADED; }
HWDevice::errorCode FTDIDevice::close() { return HW_OK; }
HWDevice::errorCode FTDIDevice::reset() { return lastError = HW_NOT_OPEN; }
bool FTDIDevice::configure() { return false; }
std::uint32_t FTDIDevice::read(void*, std::uint32_t) { lastError = HW_NOT_OPEN; return 0; }
std::uint32_t FTDIDevice::write(const void*, std::uint32_t) { lastError = HW_NOT_OPEN; return 0; }
HWDevice::errorCode FTDIDevice::getLastError() { return lastError; }
HWDevice::errorCode FTDIDevice::openByIndex(std::uint32_t) { return HW_DEVICE_UNAVAILABLE; }
std::uint32_t FTDIDevice::getNumberOfDevices() { return 0; }
std::uint32_t FTDIDevice::getBytesAvailable() { lastError = HW_NOT_OPEN; return 0; }
bool FTDIDevice::setBaudRate(std::uint32_t) { return false; }
std::uint32_t FTDIDevice::getBaudRate() const { return baudRate; }
bool FTDIDevice::setWordLength(std::uint32_t) { return false; }
std::uint32_t FTDIDevice::getWordLength() const { return wordLength; }
bool FTDIDevice::setStopBits(std::uint32_t) { return false; }
std::uint32_t FTDIDevice::getStopBits() const { return stopBits; }
bool FTDIDevice::setParity(std::uint32_t) { return false; }
std::uint32_t FTDIDevice::getParity() const { return parity; }
bool FTDIDevice::setReadTimeout(std::uint32_t) { return false; }
std::uint32_t FTDIDevice::getReadTimeout() const { return readTimeout; }
bool FTDIDevice::setLatencyTimer(std::uint32_t) { return false; }
std::uint32_t FTDIDevice::getLatencyTimer() const { return latencyTimer; }

} // namespace ondira
