#include "MemoryTransport.h"

#include "StreamBytes.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace ondira_bench {

namespace {

constexpr std::uint32_t OK = 0;

struct Memory {
    std::vector<std::uint8_t> stream;   // 256 data packets with replies and garbage
    std::vector<std::uint8_t> pending;  // a reply waiting to be read
    std::size_t at = 0;
    std::atomic<bool> streaming{false};
    std::atomic<unsigned long long> bytesRead{0};
    int handle = 1;
};

Memory& memory()
{
    static Memory m;
    return m;
}

bool isStreamControl(const std::uint8_t* b, std::uint32_t n, std::uint8_t high, std::uint8_t low)
{
    return n == 19 && b[5] == 0xD0 && b[9] == 0x02 && b[10] == 0x00 && b[15] == high && b[16] == low;
}

std::uint32_t open(int, void** handle)
{
    *handle = &memory().handle;
    return OK;
}
std::uint32_t listDevices(void* count, void*, std::uint32_t)
{
    *static_cast<std::uint32_t*>(count) = 1;
    return OK;
}
std::uint32_t close(void*) { return OK; }
std::uint32_t available(Memory& m)
{
    return static_cast<std::uint32_t>(m.pending.size()) + (m.streaming ? 59u * 4 : 0u);
}
std::uint32_t read(void*, void* buffer, std::uint32_t length, std::uint32_t* count)
{
    Memory& m = memory();
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t n = 0;
    if (!m.pending.empty()) {
        n = static_cast<std::uint32_t>(std::min<std::size_t>(length, m.pending.size()));
        std::memcpy(out, m.pending.data(), n);
        m.pending.erase(m.pending.begin(), m.pending.begin() + n);
    }
    while (m.streaming && n < length) {
        const std::size_t take = std::min<std::size_t>(length - n, m.stream.size() - m.at);
        std::memcpy(out + n, m.stream.data() + m.at, take);
        n += static_cast<std::uint32_t>(take);
        m.at = (m.at + take) % m.stream.size();
    }
    m.bytesRead += n;
    *count = n;
    return OK;
}
std::uint32_t write(void*, void* buffer, std::uint32_t length, std::uint32_t* count)
{
    Memory& m = memory();
    const auto* b = static_cast<const std::uint8_t*>(buffer);
    if (length == 6 && b[5] == 0xB7)
        m.pending = identityReply();
    else if (isStreamControl(b, length, 0x0F, 0xFC))
        m.streaming = true;
    else if (isStreamControl(b, length, 0x00, 0x00))
        m.streaming = false;
    *count = length;
    return OK;
}
std::uint32_t success(void*) { return OK; }
std::uint32_t getStatus(void*, std::uint32_t* rx, std::uint32_t* tx, std::uint32_t* events)
{
    *rx = available(memory());
    *tx = 0;
    *events = 0;
    return OK;
}
std::uint32_t purge(void*, std::uint32_t) { return OK; }
std::uint32_t setTimeouts(void*, std::uint32_t, std::uint32_t) { return OK; }
std::uint32_t getQueueStatus(void*, std::uint32_t* rx)
{
    *rx = available(memory());
    return OK;
}
std::uint32_t setBaudRate(void*, std::uint32_t) { return OK; }
std::uint32_t setDataCharacteristics(void*, std::uint8_t, std::uint8_t, std::uint8_t) { return OK; }
std::uint32_t setLatencyTimer(void*, std::uint8_t) { return OK; }

} // namespace

ondira::D2xxBinding memoryTransport()
{
    Memory& m = memory();
    m.stream = realisticStream(256);
    m.pending.reserve(64);
    ondira::D2xxBinding binding;
    binding.state = ondira::HWDevice::HW_OK;
    d2xx::EntryPoints& ep = binding.entryPoints;
    ep.open = &open;
    ep.listDevices = &listDevices;
    ep.close = &close;
    ep.read = &read;
    ep.write = &write;
    ep.resetDevice = &success;
    ep.getStatus = &getStatus;
    ep.purge = &purge;
    ep.setTimeouts = &setTimeouts;
    ep.getQueueStatus = &getQueueStatus;
    ep.setBaudRate = &setBaudRate;
    ep.setDataCharacteristics = &setDataCharacteristics;
    ep.setLatencyTimer = &setLatencyTimer;
    return binding;
}

unsigned long long memoryTransportBytesRead()
{
    return memory().bytesRead.load();
}

} // namespace ondira_bench
