#ifndef ONDIRA_SIM_D2XX_H
#define ONDIRA_SIM_D2XX_H

/*
 * The FTDI D2XX entry points that the virtual headset exports, for programs
 * that link it directly (its own tests) instead of loading it at run time.
 * The signatures are those that the library resolves by name: every call
 * returns 0 on success and another value on failure.
 *
 * Threading: every entry point may be called from any thread. FT_Read waits
 * (up to the read timeout set by FT_SetTimeouts) without blocking the other
 * entry points, so one thread may read while another writes.
 */

#include <stdint.h>

#include "ondira_sim.h"

#ifdef __cplusplus
extern "C" {
#endif

ONDIRA_SIM_API uint32_t FT_Open(int deviceNumber, void** handle);
ONDIRA_SIM_API uint32_t FT_ListDevices(void* arg1, void* arg2, uint32_t flags);
ONDIRA_SIM_API uint32_t FT_Close(void* handle);
ONDIRA_SIM_API uint32_t FT_Read(void* handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned);
ONDIRA_SIM_API uint32_t FT_Write(void* handle, void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten);
ONDIRA_SIM_API uint32_t FT_ResetDevice(void* handle);
ONDIRA_SIM_API uint32_t FT_GetStatus(void* handle, uint32_t* rxBytes, uint32_t* txBytes, uint32_t* eventStatus);
ONDIRA_SIM_API uint32_t FT_Purge(void* handle, uint32_t mask);
ONDIRA_SIM_API uint32_t FT_SetTimeouts(void* handle, uint32_t readTimeout, uint32_t writeTimeout);
/* Missing from the build libFtd2xx_noqueue.so. */
ONDIRA_SIM_API uint32_t FT_GetQueueStatus(void* handle, uint32_t* rxBytes);
ONDIRA_SIM_API uint32_t FT_SetBaudRate(void* handle, uint32_t baudRate);
ONDIRA_SIM_API uint32_t FT_SetDataCharacteristics(void* handle, uint8_t wordLength, uint8_t stopBits, uint8_t parity);
ONDIRA_SIM_API uint32_t FT_SetLatencyTimer(void* handle, uint8_t latency);

/* FT_ListDevices flag: the number of attached devices only. */
#define ONDIRA_SIM_LIST_NUMBER_ONLY 0x80000000u

#ifdef __cplusplus
}
#endif

#endif
