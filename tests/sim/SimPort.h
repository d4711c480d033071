#ifndef ONDIRA_TESTS_SIM_SIMPORT_H
#define ONDIRA_TESTS_SIM_SIMPORT_H

// A host's view of one virtual device, straight through the D2XX entry points.

#include "ondira_sim.h"
#include "ondira_sim_d2xx.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace sim_test {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t DONGLE = 0x1234;
constexpr std::uint16_t HEADSET = 0x1235;
constexpr std::size_t PACKET_SIZE = 59;

inline Bytes shortCommand(std::uint16_t dst, std::uint16_t src, std::uint8_t command)
{
    return {5, std::uint8_t(dst >> 8), std::uint8_t(dst), std::uint8_t(src >> 8), std::uint8_t(src), command};
}

inline Bytes getParameter(std::uint16_t dst, std::uint16_t src)
{
    Bytes bytes = shortCommand(dst, src, 0xA8);
    bytes[0] = 6;
    bytes.push_back(2);
    return bytes;
}

inline Bytes setParameter(std::uint16_t dst, std::uint16_t src, std::uint8_t value)
{
    Bytes bytes = shortCommand(dst, src, 0xA9);
    bytes[0] = 7;
    bytes.push_back(2);
    bytes.push_back(value);
    return bytes;
}

inline Bytes registerWrite(std::uint32_t address, std::uint16_t value)
{
    Bytes bytes = shortCommand(HEADSET, DONGLE, 0xD0);
    bytes[0] = 18;
    const Bytes body = {0x40, std::uint8_t(address >> 24), std::uint8_t(address >> 16), std::uint8_t(address >> 8),
                        std::uint8_t(address), 0x0B, 0x00, 0xFF, 0x21, std::uint8_t(value >> 8), std::uint8_t(value),
                        0x00, 0x00};
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

inline Bytes startStream() { return registerWrite(0x200, 4092); }
inline Bytes stopStream() { return registerWrite(0x200, 0); }

inline OndiraSimDeviceState state(int device = 0)
{
    OndiraSimDeviceState result{};
    ondira_sim_get_state(device, &result);
    return result;
}

class Port
{
public:
    explicit Port(int index = 0, std::uint32_t baud = 128000, std::uint32_t readTimeoutMs = 100)
    {
        openStatus = FT_Open(index, &handle);
        if (openStatus == 0) {
            FT_SetBaudRate(handle, baud);
            FT_SetTimeouts(handle, readTimeoutMs, 1000);
        }
    }
    ~Port()
    {
        if (handle)
            FT_Close(handle);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    bool isOpen() const { return openStatus == 0; }
    void* get() const { return handle; }

    /// Writes 126 zero bytes and the command in one call, as a host does.
    std::uint32_t send(const Bytes& command)
    {
        Bytes bytes(126, 0);
        bytes.insert(bytes.end(), command.begin(), command.end());
        std::uint32_t written = 0;
        return FT_Write(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written);
    }

    std::uint32_t available()
    {
        std::uint32_t rx = 0, tx = 0, events = 0;
        return FT_GetStatus(handle, &rx, &tx, &events) == 0 ? rx : 0;
    }

    /// One FT_Read of `count` bytes: what it returned within the read timeout.
    Bytes read(std::size_t count)
    {
        Bytes bytes(count);
        std::uint32_t got = 0;
        if (FT_Read(handle, bytes.data(), static_cast<std::uint32_t>(count), &got) != 0)
            got = 0;
        bytes.resize(got);
        return bytes;
    }

    /// Reads until `count` bytes came or `timeout` passed.
    Bytes readExactly(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        Bytes bytes;
        while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
            const Bytes part = read(count - bytes.size());
            bytes.insert(bytes.end(), part.begin(), part.end());
        }
        return bytes;
    }

private:
    void* handle = nullptr;
    std::uint32_t openStatus = 1;
};

} // namespace sim_test

#endif
