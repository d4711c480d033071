// The control API of the virtual headset (ondira_sim.h).

#include "World.h"
#include "ondira_sim.h"

#include <algorithm>
#include <array>
#include <cstring>

using namespace ondira_sim;

namespace {

VirtualDevice* deviceAt(World& world, int device)
{
    if (device < 0 || static_cast<std::size_t>(device) >= world.devices.size())
        return nullptr;
    return world.devices[static_cast<std::size_t>(device)].get();
}

} // namespace

extern "C" {

int ondira_sim_configure(const char* config)
{
    WorldLock guard(globalWorld(), false);
    return guard.world.configure(config) ? 0 : -1;
}

int ondira_sim_set(int device, const char* config)
{
    WorldLock guard;
    World& world = guard.world;
    if (device < -1 || device >= static_cast<int>(world.devices.size())) {
        world.refuse("ondira_sim_set: no device " + std::to_string(device));
        return -1;
    }
    // Every change is checked before any is applied.
    const std::size_t first = device < 0 ? 0 : static_cast<std::size_t>(device);
    const std::size_t last = device < 0 ? world.devices.size() : first + 1;
    std::vector<DeviceConfig> changed;
    for (std::size_t i = first; i < last; ++i) {
        DeviceConfig settings = world.devices[i]->config();
        std::string error;
        if (!parseDeviceChanges(config ? config : "", settings, error)) {
            world.refuse(error);
            return -1;
        }
        changed.push_back(settings);
    }
    const std::int64_t now = world.modelNow();
    for (std::size_t i = first; i < last; ++i)
        world.devices[i]->reconfigure(changed[i - first], now);
    world.changed.notify_all();
    return 0;
}

const char* ondira_sim_last_error(void)
{
    WorldLock guard;
    return guard.world.lastError.c_str();
}

int ondira_sim_device_count(void)
{
    WorldLock guard;
    return static_cast<int>(guard.world.devices.size());
}

int ondira_sim_get_state(int device, OndiraSimDeviceState* state)
{
    WorldLock guard;
    VirtualDevice* found = deviceAt(guard.world, device);
    if (!found || !state)
        return -1;
    found->fillState(*state, guard.world.modelNow());
    return 0;
}

size_t ondira_sim_written(int device, unsigned char* buffer, size_t capacity)
{
    WorldLock guard;
    VirtualDevice* found = deviceAt(guard.world, device);
    if (!found)
        return 0;
    const std::vector<unsigned char>& written = found->writtenLog();
    if (buffer)
        std::copy_n(written.begin(), std::min(capacity, written.size()), buffer);
    return written.size();
}

int ondira_sim_command_count(int device)
{
    WorldLock guard;
    VirtualDevice* found = deviceAt(guard.world, device);
    return found ? static_cast<int>(found->commandCount()) : 0;
}

int ondira_sim_get_command(int device, int index, OndiraSimCommand* command)
{
    WorldLock guard;
    VirtualDevice* found = deviceAt(guard.world, device);
    if (!found || !command || index < 0 || static_cast<std::size_t>(index) >= found->commandCount())
        return -1;
    *command = found->commandLog()[static_cast<std::size_t>(index)];
    return 0;
}

double ondira_sim_now_ms(void)
{
    WorldLock guard;
    return guard.world.realMs();
}

int ondira_sim_packet_arrival(int device, unsigned long long packet, double* realMs)
{
    WorldLock guard;
    World& world = guard.world;
    VirtualDevice* found = deviceAt(world, device);
    std::int64_t at = 0;
    if (!found || !realMs)
        return -1;
    found->advance(world.modelNow());
    if (!found->arrivalOf(packet, at))
        return -1;
    *realMs = world.manualClock ? static_cast<double>(at) / 1e6
                                : static_cast<double>(at) / 1e6 / world.config.global.timescale;
    return 0;
}

int ondira_sim_sample(int device, unsigned long long sampleIndex, unsigned short raw[4])
{
    WorldLock guard;
    VirtualDevice* found = deviceAt(guard.world, device);
    if (!found || !raw)
        return -1;
    std::array<std::uint16_t, 4> values{};
    found->sample(sampleIndex, values);
    std::copy(values.begin(), values.end(), raw);
    return 0;
}

void ondira_sim_unplug(int device)
{
    WorldLock guard;
    if (VirtualDevice* found = deviceAt(guard.world, device)) {
        found->unplug(guard.world.modelNow());
        guard.world.changed.notify_all();
    }
}

void ondira_sim_replug(int device)
{
    WorldLock guard;
    if (VirtualDevice* found = deviceAt(guard.world, device)) {
        found->replug(guard.world.modelNow());
        guard.world.changed.notify_all();
    }
}

} // extern "C"
