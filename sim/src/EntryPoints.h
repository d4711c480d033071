#ifndef ONDIRA_SIM_ENTRYPOINTS_H
#define ONDIRA_SIM_ENTRYPOINTS_H

// The D2XX entry points of the virtual headset, each on a given world: the
// exported FT_* functions call them on the process-wide world, unit tests of
// the library on worlds of their own (World.h).

#include "World.h"

#include <cstdint>

namespace ondira_sim {

std::uint32_t ftOpen(World& world, int deviceNumber, void** handle);
std::uint32_t ftListDevices(World& world, void* arg1, void* arg2, std::uint32_t flags);
std::uint32_t ftClose(World& world, void* handle);
std::uint32_t ftRead(World& world, void* handle, void* buffer, std::uint32_t bytesToRead,
                     std::uint32_t* bytesReturned);
std::uint32_t ftWrite(World& world, void* handle, void* buffer, std::uint32_t bytesToWrite,
                      std::uint32_t* bytesWritten);
std::uint32_t ftResetDevice(World& world, void* handle);
std::uint32_t ftGetStatus(World& world, void* handle, std::uint32_t* rxBytes, std::uint32_t* txBytes,
                          std::uint32_t* eventStatus);
std::uint32_t ftPurge(World& world, void* handle, std::uint32_t mask);
std::uint32_t ftSetTimeouts(World& world, void* handle, std::uint32_t readTimeout,
                            std::uint32_t writeTimeout);
std::uint32_t ftGetQueueStatus(World& world, void* handle, std::uint32_t* rxBytes);
std::uint32_t ftSetBaudRate(World& world, void* handle, std::uint32_t baudRate);
std::uint32_t ftSetDataCharacteristics(World& world, void* handle, std::uint8_t wordLength,
                                       std::uint8_t stopBits, std::uint8_t parity);
std::uint32_t ftSetLatencyTimer(World& world, void* handle, std::uint8_t latency);

} // namespace ondira_sim

#endif
