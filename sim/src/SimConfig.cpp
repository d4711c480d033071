#include "SimConfig.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

namespace ondira_sim {

namespace {

const char* const ENTRY_POINT_NAMES[EP_COUNT] = {
    "FT_Open", "FT_ListDevices", "FT_Close", "FT_Read", "FT_Write", "FT_ResetDevice",
    "FT_GetStatus", "FT_Purge", "FT_SetTimeouts", "FT_GetQueueStatus", "FT_SetBaudRate",
    "FT_SetDataCharacteristics", "FT_SetLatencyTimer"};

// Value parsers: each returns false for text that is not a valid value.

bool parseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > max)
        return false;
    out = value;
    return true;
}

template <typename T>
bool parseInto(const std::string& text, std::uint64_t max, T& out)
{
    std::uint64_t value = 0;
    if (!parseUnsigned(text, max, value))
        return false;
    out = static_cast<T>(value);
    return true;
}

bool parseSwitch(const std::string& text, bool& out)
{
    if (text != "0" && text != "1")
        return false;
    out = text == "1";
    return true;
}

bool parseReal(const std::string& text, double min, double max, double& out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < min || value > max)
        return false;
    out = value;
    return true;
}

std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> items;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        const auto end = comma == std::string::npos ? text.size() : comma;
        items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

bool parseFailList(const std::string& text, unsigned& mask)
{
    unsigned result = 0;
    if (!text.empty()) {
        for (const std::string& name : splitList(text)) {
            unsigned entry = 0;
            while (entry < EP_COUNT && name != ENTRY_POINT_NAMES[entry])
                ++entry;
            if (entry == EP_COUNT)
                return false;
            result |= 1u << entry;
        }
    }
    mask = result;
    return true;
}

bool parseDropList(const std::string& text, std::set<std::uint64_t>& drop)
{
    std::set<std::uint64_t> result;
    if (!text.empty()) {
        for (const std::string& item : splitList(text)) {
            std::uint64_t number = 0;
            if (!parseUnsigned(item, UINT64_MAX, number))
                return false;
            result.insert(number);
        }
    }
    drop = std::move(result);
    return true;
}

bool parseLevels(const std::string& text, std::array<int, 4>& level)
{
    const std::vector<std::string> items = splitList(text);
    if (items.size() != 4)
        return false;
    std::array<int, 4> result{};
    for (std::size_t i = 0; i < 4; ++i) {
        if (!parseInto(items[i], 65535, result[i]))
            return false;
    }
    level = result;
    return true;
}

using GlobalSetter = std::function<bool(GlobalConfig&, const std::string&)>;
using DeviceSetter = std::function<bool(DeviceConfig&, const std::string&)>;

struct GlobalKey {
    const char* name;
    GlobalSetter set;
};

struct DeviceKey {
    const char* name;
    DeviceSetter set;
};

const std::vector<GlobalKey>& globalKeys()
{
    static const std::vector<GlobalKey> keys = {
        {"devices", [](GlobalConfig& c, const std::string& v) { return parseInto(v, MAX_DEVICES, c.devices); }},
        {"dongle_index", [](GlobalConfig& c, const std::string& v) { return parseInto(v, MAX_DEVICES - 1, c.dongleIndex); }},
        {"timescale", [](GlobalConfig& c, const std::string& v) { return parseReal(v, 1e-3, 1e3, c.timescale); }},
        {"fast", [](GlobalConfig& c, const std::string& v) { return parseSwitch(v, c.fast); }},
        {"seed", [](GlobalConfig& c, const std::string& v) { return parseUnsigned(v, UINT64_MAX, c.seed); }},
        {"capture", [](GlobalConfig& c, const std::string& v) { c.capture = v; return !v.empty(); }},
        {"list_fails", [](GlobalConfig& c, const std::string& v) { return parseSwitch(v, c.listFails); }},
    };
    return keys;
}

const std::vector<DeviceKey>& deviceKeys()
{
    static const std::vector<DeviceKey> keys = {
        {"address", [](DeviceConfig& c, const std::string& v) {
             c.addressSet = parseInto(v, 0xFFFF, c.address);
             return c.addressSet;
         }},
        {"silent", [](DeviceConfig& c, const std::string& v) { return parseSwitch(v, c.silent); }},
        {"headset", [](DeviceConfig& c, const std::string& v) {
             if (v != "on" && v != "off")
                 return false;
             c.headsetOn = v == "on";
             return true;
         }},
        {"radio_delay_ms", [](DeviceConfig& c, const std::string& v) { return parseInto(v, 60000, c.radioDelayMs); }},
        {"fw_dongle", [](DeviceConfig& c, const std::string& v) { return parseInto(v, 255, c.fwDongle); }},
        {"fw_headset", [](DeviceConfig& c, const std::string& v) { return parseInto(v, 255, c.fwHeadset); }},
        {"channel_dongle", [](DeviceConfig& c, const std::string& v) { return parseInto(v, 255, c.channelDongle); }},
        {"channel_headset", [](DeviceConfig& c, const std::string& v) { return parseInto(v, 255, c.channelHeadset); }},
        {"ignore_stop", [](DeviceConfig& c, const std::string& v) { return parseSwitch(v, c.ignoreStop); }},
        {"loss", [](DeviceConfig& c, const std::string& v) { return parseReal(v, 0.0, 1.0, c.loss); }},
        {"drop", [](DeviceConfig& c, const std::string& v) { return parseDropList(v, c.drop); }},
        {"garbage", [](DeviceConfig& c, const std::string& v) { return parseReal(v, 0.0, 1.0, c.garbage); }},
        {"refuse_open", [](DeviceConfig& c, const std::string& v) { return parseSwitch(v, c.refuseOpen); }},
        {"unplug_after_ms", [](DeviceConfig& c, const std::string& v) { return parseInto(v, INT64_MAX / 1000000, c.unplugAfterMs); }},
        {"replug_after_ms", [](DeviceConfig& c, const std::string& v) { return parseInto(v, INT64_MAX / 1000000, c.replugAfterMs); }},
        {"unplug_after_packets", [](DeviceConfig& c, const std::string& v) { return parseInto(v, INT64_MAX, c.unplugAfterPackets); }},
        {"hold", [](DeviceConfig& c, const std::string& v) { return parseSwitch(v, c.hold); }},
        {"fail_writes_after", [](DeviceConfig& c, const std::string& v) { return parseInto(v, INT32_MAX, c.failWritesAfter); }},
        {"fail_close", [](DeviceConfig& c, const std::string& v) { return parseSwitch(v, c.failClose); }},
        {"fail", [](DeviceConfig& c, const std::string& v) { return parseFailList(v, c.failMask); }},
        {"level", [](DeviceConfig& c, const std::string& v) { return parseLevels(v, c.level); }},
        {"offset_gain", [](DeviceConfig& c, const std::string& v) { return parseInto(v, 65535, c.offsetGain); }},
        {"alpha", [](DeviceConfig& c, const std::string& v) { return parseInto(v, 32767, c.alpha); }},
        {"noise", [](DeviceConfig& c, const std::string& v) { return parseInto(v, 32767, c.noise); }},
        {"hum", [](DeviceConfig& c, const std::string& v) {
             if (v != "0" && v != "50" && v != "60")
                 return false;
             c.hum = std::atoi(v.c_str());
             return true;
         }},
        {"overcount", [](DeviceConfig& c, const std::string& v) { return parseSwitch(v, c.overcount); }},
    };
    return keys;
}

struct Assignment {
    std::string token;  ///< as written, for messages
    int device = -1;    ///< N of an "N.key" prefix, -1 without one
    std::string key;
    std::string value;
};

/// Splits the text into key=value assignments separated by blanks or ';'.
bool tokenize(const std::string& text, std::vector<Assignment>& out, std::string& error)
{
    std::string::size_type pos = 0;
    const char* separators = " \t\r\n;";
    while ((pos = text.find_first_not_of(separators, pos)) != std::string::npos) {
        const auto end = text.find_first_of(separators, pos);
        Assignment a;
        a.token = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end;
        const auto equals = a.token.find('=');
        if (equals == std::string::npos) {
            error = "expected key=value, found \"" + a.token + "\"";
            return false;
        }
        a.key = a.token.substr(0, equals);
        a.value = a.token.substr(equals + 1);
        const auto dot = a.key.find('.');
        if (dot != std::string::npos) {
            std::uint64_t index = 0;
            if (!parseUnsigned(a.key.substr(0, dot), MAX_DEVICES - 1, index)) {
                error = "bad device number in \"" + a.token + "\"";
                return false;
            }
            a.device = static_cast<int>(index);
            a.key = a.key.substr(dot + 1);
        }
        out.push_back(std::move(a));
    }
    return true;
}

const GlobalKey* findGlobal(const std::string& name)
{
    for (const GlobalKey& key : globalKeys()) {
        if (name == key.name)
            return &key;
    }
    return nullptr;
}

const DeviceKey* findDevice(const std::string& name)
{
    for (const DeviceKey& key : deviceKeys()) {
        if (name == key.name)
            return &key;
    }
    return nullptr;
}

std::string badValue(const Assignment& a)
{
    return "bad value in \"" + a.token + "\"";
}

} // namespace

const char* entryPointName(EntryPoint entry)
{
    return entry < EP_COUNT ? ENTRY_POINT_NAMES[entry] : "";
}

std::string validKeys()
{
    std::string list;
    for (const GlobalKey& key : globalKeys())
        list += std::string(list.empty() ? "" : " ") + key.name;
    for (const DeviceKey& key : deviceKeys())
        list += std::string(" [N.]") + key.name;
    return list;
}

bool parseConfig(const std::string& text, Config& config, std::string& error)
{
    std::vector<Assignment> assignments;
    if (!tokenize(text, assignments, error))
        return false;

    Config result;
    int highestDevice = -1;
    for (const Assignment& a : assignments) {
        if (const GlobalKey* key = findGlobal(a.key)) {
            if (a.device >= 0) {
                error = "\"" + a.key + "\" applies to every device, not to one, in \"" + a.token + "\"";
                return false;
            }
            if (!key->set(result.global, a.value)) {
                error = badValue(a);
                return false;
            }
        } else if (const DeviceKey* key = findDevice(a.key)) {
            const int first = a.device >= 0 ? a.device : 0;
            const int last = a.device >= 0 ? a.device : MAX_DEVICES - 1;
            for (int i = first; i <= last; ++i) {
                if (!key->set(result.devices[i], a.value)) {
                    error = badValue(a);
                    return false;
                }
            }
            highestDevice = std::max(highestDevice, a.device);
        } else {
            error = "unknown key \"" + a.key + "\"";
            return false;
        }
    }
    if (highestDevice >= result.global.devices) {
        error = "device " + std::to_string(highestDevice) + " does not exist (devices="
            + std::to_string(result.global.devices) + ")";
        return false;
    }
    if (result.global.dongleIndex >= result.global.devices) {
        error = "dongle_index=" + std::to_string(result.global.dongleIndex) + " names no device (devices="
            + std::to_string(result.global.devices) + ")";
        return false;
    }
    config = std::move(result);
    return true;
}

bool parseDeviceChanges(const std::string& text, DeviceConfig& device, std::string& error)
{
    std::vector<Assignment> assignments;
    if (!tokenize(text, assignments, error))
        return false;

    DeviceConfig result = device;
    for (const Assignment& a : assignments) {
        if (findGlobal(a.key)) {
            error = "\"" + a.key + "\" can only be set by a whole configuration";
            return false;
        }
        const DeviceKey* key = findDevice(a.key);
        if (!key) {
            error = "unknown key \"" + a.key + "\"";
            return false;
        }
        if (a.device >= 0) {
            error = "no device prefix here (the device is an argument): \"" + a.token + "\"";
            return false;
        }
        if (!key->set(result, a.value)) {
            error = badValue(a);
            return false;
        }
    }
    device = std::move(result);
    return true;
}

} // namespace ondira_sim
