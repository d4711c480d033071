// The exported D2XX entry points of the virtual headset: each runs on the
// process-wide world (EntryPoints.cpp has the behaviour).

#include "EntryPoints.h"
#include "ondira_sim_d2xx.h"

#include "device/D2xx.h"

#include <type_traits>

using namespace ondira_sim;

// The exports must match the signatures the library resolves.
static_assert(std::is_same<decltype(&FT_Open), d2xx::FT_OpenFn>::value, "FT_Open");
static_assert(std::is_same<decltype(&FT_ListDevices), d2xx::FT_ListDevicesFn>::value, "FT_ListDevices");
static_assert(std::is_same<decltype(&FT_Close), d2xx::FT_CloseFn>::value, "FT_Close");
static_assert(std::is_same<decltype(&FT_Read), d2xx::FT_ReadFn>::value, "FT_Read");
static_assert(std::is_same<decltype(&FT_Write), d2xx::FT_WriteFn>::value, "FT_Write");
static_assert(std::is_same<decltype(&FT_ResetDevice), d2xx::FT_ResetDeviceFn>::value, "FT_ResetDevice");
static_assert(std::is_same<decltype(&FT_GetStatus), d2xx::FT_GetStatusFn>::value, "FT_GetStatus");
static_assert(std::is_same<decltype(&FT_Purge), d2xx::FT_PurgeFn>::value, "FT_Purge");
static_assert(std::is_same<decltype(&FT_SetTimeouts), d2xx::FT_SetTimeoutsFn>::value, "FT_SetTimeouts");
static_assert(std::is_same<decltype(&FT_GetQueueStatus), d2xx::FT_GetQueueStatusFn>::value, "FT_GetQueueStatus");
static_assert(std::is_same<decltype(&FT_SetBaudRate), d2xx::FT_SetBaudRateFn>::value, "FT_SetBaudRate");
static_assert(std::is_same<decltype(&FT_SetDataCharacteristics), d2xx::FT_SetDataCharacteristicsFn>::value,
              "FT_SetDataCharacteristics");
static_assert(std::is_same<decltype(&FT_SetLatencyTimer), d2xx::FT_SetLatencyTimerFn>::value, "FT_SetLatencyTimer");

extern "C" {

std::uint32_t FT_Open(int deviceNumber, void** handle)
{
    return ftOpen(globalWorld(), deviceNumber, handle);
}

std::uint32_t FT_ListDevices(void* arg1, void* arg2, std::uint32_t flags)
{
    return ftListDevices(globalWorld(), arg1, arg2, flags);
}

std::uint32_t FT_Close(void* handle)
{
    return ftClose(globalWorld(), handle);
}

std::uint32_t FT_Read(void* handle, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesReturned)
{
    return ftRead(globalWorld(), handle, buffer, bytesToRead, bytesReturned);
}

std::uint32_t FT_Write(void* handle, void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten)
{
    return ftWrite(globalWorld(), handle, buffer, bytesToWrite, bytesWritten);
}

std::uint32_t FT_ResetDevice(void* handle)
{
    return ftResetDevice(globalWorld(), handle);
}

std::uint32_t FT_GetStatus(void* handle, std::uint32_t* rxBytes, std::uint32_t* txBytes, std::uint32_t* eventStatus)
{
    return ftGetStatus(globalWorld(), handle, rxBytes, txBytes, eventStatus);
}

std::uint32_t FT_Purge(void* handle, std::uint32_t mask)
{
    return ftPurge(globalWorld(), handle, mask);
}

std::uint32_t FT_SetTimeouts(void* handle, std::uint32_t readTimeout, std::uint32_t writeTimeout)
{
    return ftSetTimeouts(globalWorld(), handle, readTimeout, writeTimeout);
}

#ifndef ONDIRA_SIM_NO_QUEUE_STATUS
std::uint32_t FT_GetQueueStatus(void* handle, std::uint32_t* rxBytes)
{
    return ftGetQueueStatus(globalWorld(), handle, rxBytes);
}
#endif

std::uint32_t FT_SetBaudRate(void* handle, std::uint32_t baudRate)
{
    return ftSetBaudRate(globalWorld(), handle, baudRate);
}

std::uint32_t FT_SetDataCharacteristics(void* handle, std::uint8_t wordLength, std::uint8_t stopBits, std::uint8_t parity)
{
    return ftSetDataCharacteristics(globalWorld(), handle, wordLength, stopBits, parity);
}

std::uint32_t FT_SetLatencyTimer(void* handle, std::uint8_t latency)
{
    return ftSetLatencyTimer(globalWorld(), handle, latency);
}

} // extern "C"
