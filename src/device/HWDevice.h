#ifndef ONDIRA_DEVICE_HWDEVICE_H
#define ONDIRA_DEVICE_HWDEVICE_H

#include <cstdint>

namespace ondira {

/// The abstract byte pipe to the USB dongle.
///
/// Errors are recorded in a sticky last-error code that only `reset` clears;
/// callers read it with getLastError after each operation.
class HWDevice
{
public:
    enum errorCode {
        HW_OK = 0,
        HW_LIBRARY_NOT_LOADED = 1,
        HW_LIBRARY_SYMBOL_MISSING = 2,
        HW_LIST_DEVICES_FAILED = 3,
        HW_DEVICE_UNAVAILABLE = 4,
        HW_CLOSE_FAILED = 5,
        HW_RESET_FAILED = 6,
        HW_NOT_OPEN = 7,
        HW_READ_FAILED = 8,
        HW_WRITE_FAILED = 9,
        HW_CONFIGURATION_FAILED = 10
    };

    virtual errorCode open() = 0;
    virtual errorCode close() = 0;
    virtual errorCode reset() = 0;
    virtual bool configure() = 0;
    virtual std::uint32_t read(void* buffer, std::uint32_t length) = 0;
    virtual std::uint32_t write(const void* buffer, std::uint32_t length) = 0;
    virtual errorCode getLastError() = 0;

protected:
    // Never destroyed through this interface.
    ~HWDevice() = default;
};

} // namespace ondira

#endif
