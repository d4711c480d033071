#include "World.h"

#include <cstdlib>

namespace ondira_sim {

namespace {

constexpr std::uintptr_t HANDLE_BASE = 0x10000;

} // namespace

World& globalWorld()
{
    // Never destroyed: a call from a thread that outlives static destruction
    // must still find it.
    static World* const world = new World;
    return *world;
}

std::int64_t World::modelNow() const
{
    if (manualClock)
        return manualNow;
    const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch).count();
    return static_cast<std::int64_t>(static_cast<double>(real) * config.global.timescale);
}

double World::realMs() const
{
    if (manualClock)
        return static_cast<double>(manualNow) / 1e6;
    return std::chrono::duration<double, std::milli>(Clock::now() - epoch).count();
}

Clock::time_point World::toReal(std::int64_t model) const
{
    const double real = static_cast<double>(model) / config.global.timescale;
    return epoch + std::chrono::nanoseconds(static_cast<std::int64_t>(real));
}

void* World::handleFor(std::uint64_t token)
{
    return reinterpret_cast<void*>(HANDLE_BASE + static_cast<std::uintptr_t>(token));
}

VirtualDevice* World::find(void* handle)
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value <= HANDLE_BASE)
        return nullptr;
    const std::uint64_t token = value - HANDLE_BASE;
    for (const auto& device : devices) {
        if (device->isOpen() && device->handleToken() == token)
            return device.get();
    }
    return nullptr;
}

void World::refuse(const std::string& message)
{
    refusing = true;
    lastError = "ondira_sim: " + message + "; the virtual devices will not open. Valid keys: " + validKeys();
    std::fprintf(stderr, "%s\n", lastError.c_str());
    std::fflush(stderr);
}

bool World::configure(const char* text)
{
    initialized = true;
    Config parsed;
    std::string error;
    const bool valid = parseConfig(text ? text : "", parsed, error);
    config = valid ? parsed : Config{};

    devices.clear();
    for (int i = 0; i < config.global.devices; ++i)
        devices.push_back(std::make_unique<VirtualDevice>(i, config.devices[static_cast<std::size_t>(i)], config.global));
    epoch = Clock::now();
    if (capture) {
        std::fclose(capture);
        capture = nullptr;
    }
    changed.notify_all();

    if (!valid) {
        refuse(error);
        return false;
    }
    if (!config.global.capture.empty()) {
        capture = std::fopen(config.global.capture.c_str(), "a");
        if (!capture) {
            refuse("cannot open the capture file \"" + config.global.capture + "\"");
            return false;
        }
    }
    refusing = false;
    lastError.clear();
    return true;
}

// One line per write: real milliseconds since the configuration, the device
// number, then every byte in hexadecimal.
void World::writeCapture(int device, const unsigned char* bytes, std::size_t length)
{
    if (!capture)
        return;
    std::fprintf(capture, "%.3f %d", realMs(), device);
    for (std::size_t i = 0; i < length; ++i)
        std::fprintf(capture, " %02X", bytes[i]);
    std::fputc('\n', capture);
    std::fflush(capture);
}

WorldLock::WorldLock(World& target, bool readEnvironment)
    : world(target)
    , lock(world.mutex)
{
    if (!world.initialized && readEnvironment && &world == &globalWorld())
        world.configure(std::getenv("ONDIRA_SIM"));
}

} // namespace ondira_sim
