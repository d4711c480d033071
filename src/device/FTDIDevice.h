#ifndef ONDIRA_DEVICE_FTDIDEVICE_H
#define ONDIRA_DEVICE_FTDIDEVICE_H

#include "device/D2xx.h"
#include "device/D2xxLoader.h"
#include "device/HWDevice.h"

#include <atomic>
#include <cstdint>

namespace ondira {

/// The USB dongle reached through the FTDI D2XX library's entry points.
///
/// The default constructor loads the library (loadD2xx: the name "Ftd2xx",
/// or the file named by ONDIRA_FTD2XX_LIBRARY) and works on the table it
/// fills; the other constructor works on a table it is given (unit tests hand
/// it fakes). An incomplete table is recorded in the last error (1: not
/// loaded, 2: an entry point missing) and the device then never opens. The six serial settings keep the last value that passed its range
/// check, with or without a device; configure applies them all.
///
/// Threading: no lock of its own. The engine serialises reads, writes and the
/// queue query with its I/O lock; setters and getters run on the
/// application's thread while the worker reads, and the worker sets the read
/// timeout without that lock. The settings, the handle and the last error are
/// therefore atomics: each is one word that one store writes, and no ordering
/// between them is needed.
class FTDIDevice : private HWDevice
{
public:
    FTDIDevice();
    explicit FTDIDevice(const D2xxBinding& binding);
    virtual ~FTDIDevice();

    FTDIDevice(const FTDIDevice&) = delete;
    FTDIDevice& operator=(const FTDIDevice&) = delete;

    // HWDevice
    errorCode open() override;
    errorCode close() override;
    errorCode reset() override;
    bool configure() override;
    std::uint32_t read(void* buffer, std::uint32_t length) override;
    std::uint32_t write(const void* buffer, std::uint32_t length) override;
    errorCode getLastError() override;

    using HWDevice::errorCode;
    using HWDevice::HW_OK;
    using HWDevice::HW_LIBRARY_NOT_LOADED;
    using HWDevice::HW_LIBRARY_SYMBOL_MISSING;
    using HWDevice::HW_LIST_DEVICES_FAILED;
    using HWDevice::HW_DEVICE_UNAVAILABLE;
    using HWDevice::HW_CLOSE_FAILED;
    using HWDevice::HW_RESET_FAILED;
    using HWDevice::HW_NOT_OPEN;
    using HWDevice::HW_READ_FAILED;
    using HWDevice::HW_WRITE_FAILED;
    using HWDevice::HW_CONFIGURATION_FAILED;

    /// Opens the device with that index (closing a different one held before),
    /// resets and configures it.
    errorCode openByIndex(std::uint32_t index);
    /// Attached D2XX devices; 0 when the query fails.
    std::uint32_t getNumberOfDevices();
    /// Bytes waiting in the receive queue; 0 when the query fails.
    std::uint32_t getBytesAvailable();

    bool setBaudRate(std::uint32_t value);      ///< 300 .. 921600
    std::uint32_t getBaudRate() const;
    bool setWordLength(std::uint32_t value);    ///< 5 .. 8
    std::uint32_t getWordLength() const;
    bool setStopBits(std::uint32_t value);      ///< 0 .. 2
    std::uint32_t getStopBits() const;
    bool setParity(std::uint32_t value);        ///< 0 .. 4
    std::uint32_t getParity() const;
    bool setReadTimeout(std::uint32_t value);   ///< milliseconds, any value
    std::uint32_t getReadTimeout() const;
    bool setLatencyTimer(std::uint32_t value);  ///< 2 .. 255
    std::uint32_t getLatencyTimer() const;

private:
    errorCode openFirstDevice();
    bool checkStatus();
    /// The device step of every setter: HW_NOT_OPEN without a handle,
    /// HW_CONFIGURATION_FAILED when the D2XX call fails.
    template <typename Call>
    bool applySetting(Call call);
    d2xx::FT_STATUS setDataCharacteristics(std::uint32_t words, std::uint32_t stops,
                                           std::uint32_t parityCode);

    std::atomic<std::uint32_t> baudRate;
    std::atomic<std::uint32_t> wordLength;
    std::atomic<std::uint32_t> stopBits;
    std::atomic<std::uint32_t> parity;
    std::atomic<std::uint32_t> readTimeout;
    std::atomic<std::uint32_t> latencyTimer;
    std::atomic<errorCode> lastError;
    std::atomic<d2xx::FT_HANDLE> handle;
    const d2xx::EntryPoints ft;

    /// Load outcome, kept apart from the sticky last error: a setter's
    /// HW_NOT_OPEN may overwrite a load failure there, and the device must
    /// still never call an entry point that was not resolved.
    const errorCode libraryState;
};

} // namespace ondira

#endif
