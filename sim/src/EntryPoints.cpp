// The D2XX entry points of the virtual headset, on a given world.
//
// Every call validates its handle (an unknown, closed or stale handle fails,
// never crashes), then honours the fault switches: fail=NAME makes the entry
// point fail, and an unplugged device (or a handle held from before an unplug)
// fails every call but FT_Close.

#include "EntryPoints.h"

#include "ondira_sim_d2xx.h"

#include <algorithm>

namespace ondira_sim {

namespace {

// Status values: 0 is success; the library tells no failure from another.
enum Status : std::uint32_t {
    OK = 0,
    INVALID_HANDLE = 1,
    DEVICE_NOT_FOUND = 2,
    DEVICE_NOT_OPENED = 3,
    IO_ERROR = 4,
    INVALID_PARAMETER = 6,
    OTHER_ERROR = 18,
};

/// Runs `action` on the device of `handle` after the common checks.
template <typename Action>
std::uint32_t onDevice(World& target, void* handle, EntryPoint entry, Action&& action)
{
    WorldLock guard(target);
    World& world = guard.world;
    VirtualDevice* device = world.find(handle);
    if (!device)
        return INVALID_HANDLE;
    const std::int64_t now = world.modelNow();
    if (device->config().fails(entry))
        return OTHER_ERROR;
    if (device->isCutOff(now))
        return IO_ERROR;
    return action(world, *device, now);
}

} // namespace


std::uint32_t ftListDevices(World& target, void* arg1, void* /*arg2*/, std::uint32_t flags)
{
    WorldLock guard(target);
    World& world = guard.world;
    if (flags != ONDIRA_SIM_LIST_NUMBER_ONLY || !arg1)
        return INVALID_PARAMETER;
    const bool fails = world.config.global.listFails
        || std::any_of(world.devices.begin(), world.devices.end(),
                       [](const auto& device) { return device->config().fails(EP_LIST_DEVICES); });
    if (fails)
        return OTHER_ERROR;
    *static_cast<std::uint32_t*>(arg1) = static_cast<std::uint32_t>(world.devices.size());
    return OK;
}

std::uint32_t ftOpen(World& target, int deviceNumber, void** handle)
{
    WorldLock guard(target);
    World& world = guard.world;
    if (!handle)
        return INVALID_PARAMETER;
    if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= world.devices.size())
        return DEVICE_NOT_FOUND;
    VirtualDevice& device = *world.devices[static_cast<std::size_t>(deviceNumber)];
    const std::int64_t now = world.modelNow();
    // An index already open stays taken until it is closed.
    if (world.refusing || device.isOpen() || device.isUnplugged(now) || device.config().refuseOpen
        || device.config().fails(EP_OPEN))
        return DEVICE_NOT_OPENED;
    const std::uint64_t token = world.nextToken++;
    device.openAs(token, now);
    *handle = World::handleFor(token);
    return OK;
}

std::uint32_t ftClose(World& target, void* handle)
{
    WorldLock guard(target);
    World& world = guard.world;
    VirtualDevice* device = world.find(handle);
    if (!device)
        return INVALID_HANDLE;
    // A failing close still releases the handle, as a driver would.
    device->release();
    world.changed.notify_all();
    return device->config().failClose || device->config().fails(EP_CLOSE) ? IO_ERROR : OK;
}

// Returns at once when `bytesToRead` bytes wait; otherwise waits, with the
// lock released, until they have arrived or the read timeout has passed, and
// returns what is there.
std::uint32_t ftRead(World& target, void* handle, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesReturned)
{
    if (!bytesReturned || (!buffer && bytesToRead > 0))
        return INVALID_PARAMETER;
    *bytesReturned = 0;

    WorldLock guard(target);
    World& world = guard.world;
    VirtualDevice* device = world.find(handle);
    if (!device)
        return INVALID_HANDLE;
    if (device->config().fails(EP_READ))
        return OTHER_ERROR;
    const auto deadline = Clock::now() + std::chrono::milliseconds(device->readTimeoutMs());
    for (;;) {
        const std::int64_t now = world.modelNow();
        if (device->isCutOff(now))
            return IO_ERROR;
        device->topUp(bytesToRead, now);
        if (device->available(now) >= bytesToRead || Clock::now() >= deadline)
            break;
        const std::int64_t arrival = device->nextArrival(bytesToRead);
        auto wake = deadline;
        if (arrival != VirtualDevice::NEVER)
            wake = std::min(deadline, std::max(world.toReal(arrival), Clock::now() + std::chrono::microseconds(50)));
        if (world.manualClock)
            break; // model time stands still until its owner moves it
        world.changed.wait_until(guard.lock, wake);
        // The device may have been closed or the world replaced meanwhile.
        device = world.find(handle);
        if (!device)
            return INVALID_HANDLE;
    }
    const std::size_t count = device->take(static_cast<unsigned char*>(buffer), bytesToRead);
    *bytesReturned = static_cast<std::uint32_t>(count) + (device->config().overcount ? 1u : 0u);
    return OK;
}

std::uint32_t ftWrite(World& target, void* handle, void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten)
{
    if (!bytesWritten || (!buffer && bytesToWrite > 0))
        return INVALID_PARAMETER;
    *bytesWritten = 0;
    return onDevice(target, handle, EP_WRITE, [&](World& world, VirtualDevice& device, std::int64_t now) -> std::uint32_t {
        const std::int64_t limit = device.config().failWritesAfter;
        if (limit >= 0 && device.commandCount() >= static_cast<std::uint64_t>(limit))
            return IO_ERROR;
        const auto* bytes = static_cast<const unsigned char*>(buffer);
        device.hostWrite(bytes, bytesToWrite, now, world.realMs());
        world.writeCapture(device.number(), bytes, bytesToWrite);
        *bytesWritten = bytesToWrite + (device.config().overcount ? 1u : 0u);
        world.changed.notify_all();
        return OK;
    });
}

std::uint32_t ftResetDevice(World& target, void* handle)
{
    return onDevice(target, handle, EP_RESET_DEVICE, [](World&, VirtualDevice& device, std::int64_t) -> std::uint32_t {
        device.countReset();
        return OK;
    });
}

std::uint32_t ftGetStatus(World& target, void* handle, std::uint32_t* rxBytes, std::uint32_t* txBytes, std::uint32_t* eventStatus)
{
    if (!rxBytes || !txBytes || !eventStatus)
        return INVALID_PARAMETER;
    return onDevice(target, handle, EP_GET_STATUS, [&](World&, VirtualDevice& device, std::int64_t now) -> std::uint32_t {
        device.topUp(1, now);
        *rxBytes = static_cast<std::uint32_t>(device.available(now));
        *txBytes = 0;
        *eventStatus = 0;
        return OK;
    });
}

std::uint32_t ftPurge(World& target, void* handle, std::uint32_t mask)
{
    return onDevice(target, handle, EP_PURGE, [&](World& world, VirtualDevice& device, std::int64_t now) -> std::uint32_t {
        device.advance(now);
        device.purge(mask);
        world.changed.notify_all();
        return OK;
    });
}

std::uint32_t ftSetTimeouts(World& target, void* handle, std::uint32_t readTimeout, std::uint32_t writeTimeout)
{
    return onDevice(target, handle, EP_SET_TIMEOUTS, [&](World&, VirtualDevice& device, std::int64_t) -> std::uint32_t {
        device.setTimeouts(readTimeout, writeTimeout);
        return OK;
    });
}

std::uint32_t ftGetQueueStatus(World& target, void* handle, std::uint32_t* rxBytes)
{
    if (!rxBytes)
        return INVALID_PARAMETER;
    return onDevice(target, handle, EP_GET_QUEUE_STATUS, [&](World&, VirtualDevice& device, std::int64_t now) -> std::uint32_t {
        device.topUp(1, now);
        *rxBytes = static_cast<std::uint32_t>(device.available(now));
        return OK;
    });
}

std::uint32_t ftSetBaudRate(World& target, void* handle, std::uint32_t baudRate)
{
    return onDevice(target, handle, EP_SET_BAUD_RATE, [&](World&, VirtualDevice& device, std::int64_t now) -> std::uint32_t {
        if (baudRate == 0)
            return INVALID_PARAMETER;
        device.setBaudRate(baudRate, now);
        return OK;
    });
}

std::uint32_t ftSetDataCharacteristics(World& target, void* handle, std::uint8_t wordLength, std::uint8_t stopBits, std::uint8_t parity)
{
    return onDevice(target, handle, EP_SET_DATA_CHARACTERISTICS, [&](World&, VirtualDevice& device, std::int64_t) -> std::uint32_t {
        device.setDataCharacteristics(wordLength, stopBits, parity);
        return OK;
    });
}

std::uint32_t ftSetLatencyTimer(World& target, void* handle, std::uint8_t latency)
{
    return onDevice(target, handle, EP_SET_LATENCY_TIMER, [&](World&, VirtualDevice& device, std::int64_t) -> std::uint32_t {
        device.setLatencyTimer(latency);
        return OK;
    });
}

} // namespace ondira_sim
