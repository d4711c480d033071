// The virtual headset's configuration text (ONDIRA_SIM is user input too).
//
// The first byte picks what the rest of the input is:
// - even: a whole configuration. Parsing either fails with a message, or
//   gives settings inside their documented ranges that, written back as
//   text, parse to the same settings (a round trip); and a world built from
//   them streams, answers and fails as configured without a crash: each
//   device is opened, asked for the stream and read for a few hundred
//   milliseconds of model time.
// - odd: changes to one running device (ondira_sim_set), with the same
//   round trip for the device's settings.

#include "FuzzInput.h"

#include "EntryPoints.h"
#include "SimConfig.h"
#include "World.h"

#include <cstdio>
#include <vector>

namespace {

using namespace ondira_sim;
using ondira_fuzz::FuzzInput;

constexpr const char* TARGET = "sim_config";

void check(bool holds, const std::string& what)
{
    if (!holds)
        ondira_fuzz::broken(TARGET, what);
}

std::string real(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string switchText(bool on)
{
    return on ? "1" : "0";
}

/// The device's settings as "key=value" pairs, each with `prefix`.
std::string deviceText(const DeviceConfig& d, const std::string& prefix)
{
    std::string text;
    const auto add = [&](const std::string& key, const std::string& value) {
        text += " " + prefix + key + "=" + value;
    };
    if (d.addressSet)
        add("address", std::to_string(d.address));
    add("silent", switchText(d.silent));
    add("headset", d.headsetOn ? "on" : "off");
    add("radio_delay_ms", std::to_string(d.radioDelayMs));
    add("fw_dongle", std::to_string(d.fwDongle));
    add("fw_headset", std::to_string(d.fwHeadset));
    add("channel_dongle", std::to_string(d.channelDongle));
    add("channel_headset", std::to_string(d.channelHeadset));
    add("ignore_stop", switchText(d.ignoreStop));
    add("loss", real(d.loss));
    std::string drop;
    for (std::uint64_t n : d.drop)
        drop += (drop.empty() ? "" : ",") + std::to_string(n);
    add("drop", drop);
    add("garbage", real(d.garbage));
    add("refuse_open", switchText(d.refuseOpen));
    if (d.unplugAfterMs >= 0)
        add("unplug_after_ms", std::to_string(d.unplugAfterMs));
    if (d.replugAfterMs >= 0)
        add("replug_after_ms", std::to_string(d.replugAfterMs));
    if (d.unplugAfterPackets >= 0)
        add("unplug_after_packets", std::to_string(d.unplugAfterPackets));
    add("hold", switchText(d.hold));
    if (d.failWritesAfter >= 0)
        add("fail_writes_after", std::to_string(d.failWritesAfter));
    add("fail_close", switchText(d.failClose));
    std::string fails;
    for (unsigned e = 0; e < EP_COUNT; ++e) {
        if (d.fails(static_cast<EntryPoint>(e)))
            fails += (fails.empty() ? "" : ",") + std::string(entryPointName(static_cast<EntryPoint>(e)));
    }
    add("fail", fails);
    add("level", std::to_string(d.level[0]) + "," + std::to_string(d.level[1]) + "," + std::to_string(d.level[2])
                     + "," + std::to_string(d.level[3]));
    add("offset_gain", std::to_string(d.offsetGain));
    add("alpha", std::to_string(d.alpha));
    add("noise", std::to_string(d.noise));
    add("hum", std::to_string(d.hum));
    add("overcount", switchText(d.overcount));
    return text;
}

std::string configText(const Config& c)
{
    const GlobalConfig& g = c.global;
    std::string text = "devices=" + std::to_string(g.devices) + " timescale=" + real(g.timescale)
        + " fast=" + switchText(g.fast) + " seed=" + std::to_string(g.seed) + " list_fails=" + switchText(g.listFails);
    if (g.dongleIndex >= 0)
        text += " dongle_index=" + std::to_string(g.dongleIndex);
    if (!g.capture.empty())
        text += " capture=" + g.capture;
    for (int i = 0; i < g.devices; ++i)
        text += deviceText(c.devices[static_cast<std::size_t>(i)], std::to_string(i) + ".");
    return text;
}

void checkRanges(const Config& c)
{
    const GlobalConfig& g = c.global;
    check(g.devices >= 0 && g.devices <= MAX_DEVICES, "devices out of range");
    check(g.dongleIndex == -1 || (g.dongleIndex >= 0 && g.dongleIndex < g.devices), "dongle_index names no device");
    check(g.timescale >= 1e-3 && g.timescale <= 1e3, "timescale out of range");
    for (int i = 0; i < g.devices; ++i) {
        const DeviceConfig& d = c.devices[static_cast<std::size_t>(i)];
        check(d.loss >= 0 && d.loss <= 1 && d.garbage >= 0 && d.garbage <= 1, "a probability out of range");
        check(d.hum == 0 || d.hum == 50 || d.hum == 60, "hum out of range");
        for (int level : d.level)
            check(level >= 0 && level <= 65535, "level out of range");
        check(d.address <= 0xFFFF, "address out of range");
    }
}

/// Opens every device, asks for the stream, and reads a few hundred
/// milliseconds of model time; then closes.
void exercise(const std::string& text)
{
    World world;
    world.manualClock = true;
    check(world.configure(text.c_str()), "an accepted configuration was refused by the world");
    std::vector<void*> handles;
    for (std::size_t i = 0; i < world.devices.size() && i < 4; ++i) {
        void* handle = nullptr;
        if (ftOpen(world, static_cast<int>(i), &handle) == 0)
            handles.push_back(handle);
    }
    // 126 zero bytes, then a start command to the default headset address
    // (and to device 1's): whatever the configuration makes of them.
    std::vector<unsigned char> start(126, 0);
    for (const unsigned char b : {18, 0x12, 0x35, 0x12, 0x34, 0xD0, 0x40, 0, 0, 2, 0, 0x0B, 0, 0xFF, 0x21, 0x0F, 0xFC, 0, 0})
        start.push_back(b);
    std::vector<unsigned char> buffer(8 * 59);
    for (void* handle : handles) {
        std::uint32_t count = 0;
        ftSetBaudRate(world, handle, 921600);
        ftWrite(world, handle, start.data(), static_cast<std::uint32_t>(start.size()), &count);
    }
    for (int step = 0; step < 8; ++step) {
        {
            WorldLock guard(world);
            world.manualNow += 50 * 1000000LL;
        }
        for (void* handle : handles) {
            std::uint32_t waiting = 0, tx = 0, events = 0, count = 0;
            ftGetStatus(world, handle, &waiting, &tx, &events);
            ftRead(world, handle, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &count);
            check(count <= buffer.size() + 1, "a read reported more than one byte beyond its buffer");
        }
    }
    for (void* handle : handles)
        ftClose(world, handle);
}

void wholeConfiguration(const std::string& text)
{
    Config parsed;
    std::string error;
    if (!parseConfig(text, parsed, error)) {
        check(!error.empty(), "a refusal without a message");
        return;
    }
    checkRanges(parsed);
    const std::string written = configText(parsed);
    Config again;
    check(parseConfig(written, again, error), "settings written back do not parse: " + error + " in " + written);
    check(configText(again) == written, "settings change in a round trip: " + written);
    // A capture file would be written by the world: not from a fuzzer. The
    // text written back is the same configuration without stray zero bytes.
    if (parsed.global.capture.empty())
        exercise(written);
}

void deviceChanges(const std::string& text)
{
    DeviceConfig device;
    const std::string before = deviceText(device, "");
    std::string error;
    if (!parseDeviceChanges(text, device, error)) {
        check(!error.empty(), "a refusal without a message");
        check(deviceText(device, "") == before, "a refused change changed the device");
        return;
    }
    const std::string written = deviceText(device, "");
    DeviceConfig again;
    check(parseDeviceChanges(written, again, error), "settings written back do not parse: " + error);
    check(deviceText(again, "") == written, "settings change in a round trip: " + written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t mode = input.byte();
    const std::string text(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0), size > 0 ? size - 1 : 0);
    if (mode % 2 == 0)
        wholeConfiguration(text);
    else
        deviceChanges(text);
    return 0;
}
