#ifndef ONDIRA_SIM_SIMCONFIG_H
#define ONDIRA_SIM_SIMCONFIG_H

// Configuration of the virtual world: the key=value text of ONDIRA_SIM and of
// the control API, parsed into plain settings. Nothing here touches a device.

#include <array>
#include <cstdint>
#include <set>
#include <string>

namespace ondira_sim {

/// The D2XX entry points, for the fail=NAME,... switch.
enum EntryPoint : unsigned {
    EP_OPEN,
    EP_LIST_DEVICES,
    EP_CLOSE,
    EP_READ,
    EP_WRITE,
    EP_RESET_DEVICE,
    EP_GET_STATUS,
    EP_PURGE,
    EP_SET_TIMEOUTS,
    EP_GET_QUEUE_STATUS,
    EP_SET_BAUD_RATE,
    EP_SET_DATA_CHARACTERISTICS,
    EP_SET_LATENCY_TIMER,
    EP_COUNT
};

const char* entryPointName(EntryPoint entry);

constexpr int MAX_DEVICES = 16;
constexpr std::uint32_t DEFAULT_ADDRESS = 0x1234;
constexpr std::uint32_t ADDRESS_STRIDE = 0x10;

struct DeviceConfig {
    bool addressSet = false;      ///< false: DEFAULT_ADDRESS + ADDRESS_STRIDE x index
    std::uint32_t address = 0;
    bool silent = false;
    bool headsetOn = true;
    std::uint32_t radioDelayMs = 5;
    std::uint8_t fwDongle = 12;
    std::uint8_t fwHeadset = 23;
    std::uint8_t channelDongle = 9;
    std::uint8_t channelHeadset = 9;
    bool ignoreStop = false;
    double loss = 0.0;
    std::set<std::uint64_t> drop;
    double garbage = 0.0;
    bool refuseOpen = false;
    std::int64_t unplugAfterMs = -1;     ///< -1: never
    std::int64_t replugAfterMs = -1;     ///< -1: never
    std::int64_t unplugAfterPackets = -1; ///< -1: never
    bool hold = false;                   ///< a stream sends no packet while set
    std::int64_t failWritesAfter = -1;   ///< -1: never
    bool failClose = false;
    unsigned failMask = 0;               ///< bit per EntryPoint
    std::array<int, 4> level{{32768, 700, 64600, 30000}};
    int offsetGain = 40;
    int alpha = 60;
    int noise = 20;
    int hum = 0;
    bool overcount = false;

    bool fails(EntryPoint entry) const { return (failMask >> entry) & 1u; }
};

struct GlobalConfig {
    int devices = 1;
    int dongleIndex = -1;                ///< -1: every device has a dongle
    double timescale = 1.0;
    bool fast = false;
    std::uint64_t seed = 1;
    std::string capture;
    bool listFails = false;
};

struct Config {
    GlobalConfig global;
    std::array<DeviceConfig, MAX_DEVICES> devices{};
};

/// Parses a whole configuration (for ondira_sim_configure and ONDIRA_SIM)
/// over the defaults. On failure returns false and sets `error`.
bool parseConfig(const std::string& text, Config& config, std::string& error);

/// Applies per-device keys to one device's settings (for ondira_sim_set).
/// Global keys and the "N." prefix are refused. On failure returns false,
/// sets `error` and leaves `device` unchanged.
bool parseDeviceChanges(const std::string& text, DeviceConfig& device, std::string& error);

/// The valid keys, blank-separated, for error messages.
std::string validKeys();

} // namespace ondira_sim

#endif
