#ifndef ONDIRA_DEVICE_D2XX_H
#define ONDIRA_DEVICE_D2XX_H

// Types and entry-point signatures of the FTDI D2XX driver library as its
// Linux build exports them. The library is never linked: the loader
// (D2xxLoader.h) fills one table of entry points at run time, and FTDIDevice
// works on whichever table it is given. The virtual headset in sim/ exports
// the same entry points; unit tests fill a table with fakes.

#include <cstdint>

namespace d2xx {

using FT_STATUS = std::uint32_t; ///< 0 is success, anything else a failure
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UCHAR = std::uint8_t;
using FT_HANDLE = void*;

constexpr FT_STATUS FT_OK = 0;
/// FT_ListDevices flag: return the number of attached devices only.
constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000u;

extern "C" {
using FT_OpenFn = FT_STATUS (*)(int deviceNumber, FT_HANDLE* handle);
using FT_ListDevicesFn = FT_STATUS (*)(void* arg1, void* arg2, DWORD flags);
using FT_CloseFn = FT_STATUS (*)(FT_HANDLE handle);
using FT_ReadFn = FT_STATUS (*)(FT_HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesReturned);
using FT_WriteFn = FT_STATUS (*)(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten);
using FT_ResetDeviceFn = FT_STATUS (*)(FT_HANDLE handle);
using FT_GetStatusFn = FT_STATUS (*)(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes, DWORD* eventStatus);
using FT_PurgeFn = FT_STATUS (*)(FT_HANDLE handle, ULONG mask);
using FT_SetTimeoutsFn = FT_STATUS (*)(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout);
using FT_GetQueueStatusFn = FT_STATUS (*)(FT_HANDLE handle, DWORD* rxBytes);
using FT_SetBaudRateFn = FT_STATUS (*)(FT_HANDLE handle, ULONG baudRate);
using FT_SetDataCharacteristicsFn = FT_STATUS (*)(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits, UCHAR parity);
using FT_SetLatencyTimerFn = FT_STATUS (*)(FT_HANDLE handle, UCHAR latency);
}

/// The entry points FTDIDevice uses, in the order in which they are resolved.
/// A null pointer is an entry point that did not resolve.
struct EntryPoints {
    FT_OpenFn open = nullptr;
    FT_ListDevicesFn listDevices = nullptr;
    FT_CloseFn close = nullptr;
    FT_ReadFn read = nullptr;
    FT_WriteFn write = nullptr;
    FT_ResetDeviceFn resetDevice = nullptr;
    FT_GetStatusFn getStatus = nullptr;
    FT_PurgeFn purge = nullptr;
    FT_SetTimeoutsFn setTimeouts = nullptr;
    FT_GetQueueStatusFn getQueueStatus = nullptr;
    FT_SetBaudRateFn setBaudRate = nullptr;
    FT_SetDataCharacteristicsFn setDataCharacteristics = nullptr;
    FT_SetLatencyTimerFn setLatencyTimer = nullptr;
};

} // namespace d2xx

#endif
