#ifndef ONDIRA_TESTS_SIM_SIMPORT_H
#define ONDIRA_TESTS_SIM_SIMPORT_H

// A host's view of one virtual device, straight through the D2XX entry points.

#include "ondira_sim.h"
#include "ondira_sim_d2xx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace sim_test {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t DONGLE = 0x1234;
constexpr std::uint16_t HEADSET = 0x1235;
constexpr std::size_t PACKET_SIZE = 59;

/// A command packet: its length byte counts the bytes after it.
inline Bytes command(std::uint8_t kind, std::uint16_t dst = HEADSET, std::uint16_t src = DONGLE,
                     const Bytes& body = {})
{
    Bytes bytes{std::uint8_t(5 + body.size()), std::uint8_t(dst >> 8), std::uint8_t(dst),
                std::uint8_t(src >> 8), std::uint8_t(src), kind};
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

inline const Bytes IDENTITY_REQUEST = command(0xB7, 0, 0);

inline Bytes registerWrite(std::uint32_t address, std::uint16_t value)
{
    return command(0xD0, HEADSET, DONGLE,
                   {0x40, std::uint8_t(address >> 24), std::uint8_t(address >> 16), std::uint8_t(address >> 8),
                    std::uint8_t(address), 0x0B, 0x00, 0xFF, 0x21, std::uint8_t(value >> 8),
                    std::uint8_t(value), 0x00, 0x00});
}

inline const Bytes START_STREAM = registerWrite(0x200, 4092);

inline void configure(const char* text)
{
    ASSERT_EQ(ondira_sim_configure(text), 0) << ondira_sim_last_error();
}

inline OndiraSimDeviceState state(int device = 0)
{
    OndiraSimDeviceState result{};
    EXPECT_EQ(ondira_sim_get_state(device, &result), 0);
    return result;
}

inline std::uint32_t status(void* handle)
{
    std::uint32_t rx = 0, tx = 0, events = 0;
    return FT_GetStatus(handle, &rx, &tx, &events);
}

/// Opens device `index` with a baud rate and read timeout; nullptr when it
/// refuses. The next configuration invalidates every handle: none is closed.
inline void* openPort(int index = 0, std::uint32_t baud = 128000, std::uint32_t readTimeoutMs = 100)
{
    void* handle = nullptr;
    if (FT_Open(index, &handle) != 0)
        return nullptr;
    FT_SetBaudRate(handle, baud);
    FT_SetTimeouts(handle, readTimeoutMs, 1000);
    return handle;
}

/// Writes 126 zero bytes and the command in one call, as a host does.
inline std::uint32_t send(void* handle, const Bytes& command)
{
    Bytes bytes(126, 0);
    bytes.insert(bytes.end(), command.begin(), command.end());
    std::uint32_t written = 0;
    return FT_Write(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written);
}

/// Reads until `count` bytes came or `patienceMs` passed, in one FT_Read at
/// least (which itself returns within the read timeout).
inline Bytes receive(void* handle, std::size_t count, int patienceMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs);
    Bytes bytes;
    do {
        Bytes part(count - bytes.size());
        std::uint32_t got = 0;
        if (FT_Read(handle, part.data(), static_cast<std::uint32_t>(part.size()), &got) == 0)
            bytes.insert(bytes.end(), part.begin(), part.begin() + std::min<std::size_t>(got, part.size()));
    } while (bytes.size() < count && std::chrono::steady_clock::now() < deadline);
    return bytes;
}

} // namespace sim_test

#endif
