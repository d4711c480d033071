#include "device/FTDIDevice.h"

#include "diagnostics/Trace.h"

#include <QtGlobal>

namespace ondira {

namespace {

constexpr std::uint32_t DEFAULT_BAUD_RATE = 128000;
constexpr std::uint32_t DEFAULT_WORD_LENGTH = 8;
constexpr std::uint32_t DEFAULT_STOP_BITS = 0;
constexpr std::uint32_t DEFAULT_PARITY = 0;
constexpr std::uint32_t DEFAULT_READ_TIMEOUT_MS = 50;
constexpr std::uint32_t DEFAULT_LATENCY_TIMER_MS = 16;
constexpr std::uint32_t WRITE_TIMEOUT_MS = 1000;

/// Purge mask used by reset: neither the receive (1) nor the transmit (2) bit.
constexpr d2xx::ULONG PURGE_NOTHING = 0;

} // namespace

FTDIDevice::FTDIDevice()
    : FTDIDevice(loadD2xx())
{
}

FTDIDevice::FTDIDevice(const D2xxBinding& binding)
    : baudRate(DEFAULT_BAUD_RATE)
    , wordLength(DEFAULT_WORD_LENGTH)
    , stopBits(DEFAULT_STOP_BITS)
    , parity(DEFAULT_PARITY)
    , readTimeout(DEFAULT_READ_TIMEOUT_MS)
    , latencyTimer(DEFAULT_LATENCY_TIMER_MS)
    , lastError(binding.state)
    , handle(nullptr)
    , ft(binding.entryPoints)
    , libraryState(binding.state)
{
}

FTDIDevice::~FTDIDevice() = default;

// Every path that calls into the library either starts from a held handle
// (which only exists once FT_Open succeeded, so the library is bound) or, like
// open, openByIndex and getNumberOfDevices, checks libraryState first. The
// load outcome lives apart from lastError because a setter called without a
// device overwrites lastError with HW_NOT_OPEN.

HWDevice::errorCode FTDIDevice::open()
{
    if (libraryState != HW_OK) {
        // Repeat the load failure even if a setter has overwritten it since.
        lastError = libraryState;
        return libraryState;
    }

    // A device that failed in use is opened afresh rather than reused.
    if (lastError == HW_RESET_FAILED || lastError == HW_READ_FAILED || lastError == HW_WRITE_FAILED)
        close();

    if (handle == nullptr) {
        const errorCode opened = openFirstDevice();
        if (opened != HW_OK)
            return opened;
    }

    const errorCode r = reset();
    if (r != HW_OK)
        return r;
    // lastError keeps what the failing configuration step recorded.
    return configure() ? HW_OK : HW_DEVICE_UNAVAILABLE;
}

HWDevice::errorCode FTDIDevice::openFirstDevice()
{
    d2xx::DWORD count = 0;
    if (ft.listDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY) != d2xx::FT_OK) {
        lastError = HW_LIST_DEVICES_FAILED;
        return HW_LIST_DEVICES_FAILED;
    }

    for (d2xx::DWORD index = 0; index < count; ++index) {
        d2xx::FT_HANDLE opened = nullptr;
        if (ft.open(static_cast<int>(index), &opened) == d2xx::FT_OK) {
            handle = opened;
            return HW_OK;
        }
    }

    handle = nullptr;
    lastError = HW_DEVICE_UNAVAILABLE;
    return HW_DEVICE_UNAVAILABLE;
}

HWDevice::errorCode FTDIDevice::openByIndex(std::uint32_t index)
{
    if (libraryState != HW_OK) {
        lastError = libraryState;
        return libraryState;
    }

    const d2xx::FT_HANDLE previous = handle;
    d2xx::FT_HANDLE opened = nullptr;
    if (ft.open(static_cast<int>(index), &opened) != d2xx::FT_OK) {
        // The device held before is released rather than leaked: after this
        // call no handle is held, so nothing could ever close it later.
        if (previous != nullptr)
            ft.close(previous);
        handle = nullptr;
        return HW_DEVICE_UNAVAILABLE;
    }

    handle = opened;
    if (previous != nullptr && previous != opened)
        ft.close(previous); // its result does not matter: the new device is held

    const errorCode r = reset();
    if (r != HW_OK)
        return r;
    return configure() ? HW_OK : HW_DEVICE_UNAVAILABLE;
}

std::uint32_t FTDIDevice::getNumberOfDevices()
{
    if (libraryState != HW_OK)
        return 0;
    d2xx::DWORD count = 0;
    if (ft.listDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY) != d2xx::FT_OK)
        return 0;
    return count;
}

HWDevice::errorCode FTDIDevice::close()
{
    const bool failed = handle != nullptr && ft.close(handle) != d2xx::FT_OK;
    handle = nullptr;
    if (failed) {
        lastError = HW_CLOSE_FAILED;
        return HW_CLOSE_FAILED;
    }
    return HW_OK;
}

bool FTDIDevice::checkStatus()
{
    d2xx::DWORD receive = 0;
    d2xx::DWORD transmit = 0;
    d2xx::DWORD events = 0;
    return ft.getStatus(handle, &receive, &transmit, &events) == d2xx::FT_OK;
}

HWDevice::errorCode FTDIDevice::reset()
{
    lastError = HW_OK;
    if (handle == nullptr) {
        lastError = HW_NOT_OPEN;
        return HW_NOT_OPEN;
    }
    if (!checkStatus()) {
        lastError = HW_DEVICE_UNAVAILABLE;
        return HW_DEVICE_UNAVAILABLE;
    }
    if (ft.resetDevice(handle) != d2xx::FT_OK || ft.purge(handle, PURGE_NOTHING) != d2xx::FT_OK) {
        lastError = HW_RESET_FAILED;
        return HW_RESET_FAILED;
    }
    return HW_OK;
}

bool FTDIDevice::configure()
{
    if (!setReadTimeout(readTimeout))
        return false;
    if (!setBaudRate(baudRate))
        return false;
    // Called directly: a failure here leaves lastError as it is.
    if (setDataCharacteristics(wordLength, stopBits, parity) != d2xx::FT_OK)
        return false;
    return setLatencyTimer(latencyTimer);
}

// read and write never report more bytes than were asked for: callers index
// their buffers with the count, and it comes from a library (and a device)
// that this code does not control.

std::uint32_t FTDIDevice::read(void* buffer, std::uint32_t length)
{
    d2xx::DWORD count = 0;
    if (handle == nullptr) {
        lastError = HW_NOT_OPEN;
        return 0;
    }
    if (!checkStatus()) {
        lastError = HW_READ_FAILED;
        return 0;
    }
    if (ft.read(handle, buffer, length, &count) != d2xx::FT_OK)
        lastError = HW_READ_FAILED;
    return qMin<std::uint32_t>(count, length);
}

std::uint32_t FTDIDevice::write(const void* buffer, std::uint32_t length)
{
    d2xx::DWORD count = 0;
    if (handle == nullptr) {
        lastError = HW_NOT_OPEN;
        return 0;
    }
    if (!checkStatus()) {
        lastError = HW_WRITE_FAILED;
        return 0;
    }
    // FT_Write takes a non-const buffer but only reads from it.
    if (ft.write(handle, const_cast<void*>(buffer), length, &count) != d2xx::FT_OK)
        lastError = HW_WRITE_FAILED;
    return qMin<std::uint32_t>(count, length);
}

HWDevice::errorCode FTDIDevice::getLastError()
{
    return lastError;
}

std::uint32_t FTDIDevice::getBytesAvailable()
{
    if (handle == nullptr) {
        lastError = HW_NOT_OPEN;
        return 0;
    }
    d2xx::DWORD receive = 0;
    d2xx::DWORD transmit = 0;
    d2xx::DWORD events = 0;
    if (ft.getStatus(handle, &receive, &transmit, &events) != d2xx::FT_OK)
        return 0;
    return receive;
}

// The setters share one pattern: a value outside the range is refused
// silently; an accepted value is stored first, so that the next configure
// applies it even when no device is held now; then it goes to the device.

template <typename Call>
bool FTDIDevice::applySetting(Call call)
{
    if (handle == nullptr) {
        lastError = HW_NOT_OPEN;
        return false;
    }
    if (call() != d2xx::FT_OK) {
        lastError = HW_CONFIGURATION_FAILED;
        return false;
    }
    return true;
}

d2xx::FT_STATUS FTDIDevice::setDataCharacteristics(std::uint32_t words, std::uint32_t stops,
                                                   std::uint32_t parityCode)
{
    return ft.setDataCharacteristics(handle, static_cast<d2xx::UCHAR>(words),
                                    static_cast<d2xx::UCHAR>(stops),
                                    static_cast<d2xx::UCHAR>(parityCode));
}

bool FTDIDevice::setBaudRate(std::uint32_t value)
{
    if (value < 300 || value > 921600)
        return false;
    baudRate = value;
    return applySetting([&] { return ft.setBaudRate(handle, value); });
}

std::uint32_t FTDIDevice::getBaudRate() const
{
    return baudRate;
}

bool FTDIDevice::setWordLength(std::uint32_t value)
{
    if (value < 5 || value > 8)
        return false;
    wordLength = value;
    return applySetting([&] { return setDataCharacteristics(value, stopBits, parity); });
}

std::uint32_t FTDIDevice::getWordLength() const
{
    return wordLength;
}

bool FTDIDevice::setStopBits(std::uint32_t value)
{
    if (value > 2)
        return false;
    stopBits = value;
    return applySetting([&] { return setDataCharacteristics(wordLength, value, parity); });
}

std::uint32_t FTDIDevice::getStopBits() const
{
    return stopBits;
}

bool FTDIDevice::setParity(std::uint32_t value)
{
    if (value > 4)
        return false;
    parity = value;
    return applySetting([&] { return setDataCharacteristics(wordLength, stopBits, value); });
}

std::uint32_t FTDIDevice::getParity() const
{
    return parity;
}

bool FTDIDevice::setReadTimeout(std::uint32_t value)
{
    readTimeout = value;
    return applySetting([&] {
        Trace() << "readTimeout: " << value; // only with a device held
        return ft.setTimeouts(handle, value, WRITE_TIMEOUT_MS);
    });
}

std::uint32_t FTDIDevice::getReadTimeout() const
{
    return readTimeout;
}

bool FTDIDevice::setLatencyTimer(std::uint32_t value)
{
    if (value < 2 || value > 255)
        return false;
    latencyTimer = value;
    return applySetting([&] { return ft.setLatencyTimer(handle, static_cast<d2xx::UCHAR>(value)); });
}

std::uint32_t FTDIDevice::getLatencyTimer() const
{
    return latencyTimer;
}

} // namespace ondira
