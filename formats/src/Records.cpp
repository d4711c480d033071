#include <ondira/formats/Records.h>
#include <ondira/formats/Writer.h>

#include <cstdio>

namespace ondira {
namespace formats {

std::string DeviceInfo::equipment() const
{
    const auto known = [](const std::string& version) { return version.empty() ? std::string("?") : version; };
    return "Ondira dongle FW " + known(dongleFirmware) + " headset FW " + known(headsetFirmware);
}

std::string clockText(const ClockSummary& clock)
{
    char text[160];
    std::snprintf(text, sizeof text,
        "Rate %.4f samples/s, %+.1f ppm (+/- %.1f) against the host clock%s",
        clock.samplesPerSecond, clock.driftPpm, clock.driftUncertaintyPpm,
        clock.settled ? "" : ", not settled");
    return text;
}

bool isValidLabel(const std::string& label)
{
    if (label.empty() || label.size() > static_cast<std::size_t>(MAX_LABEL_LENGTH))
        return false;
    for (char c : label) {
        if (c <= ' ' || c >= 127 || c == '"')
            return false;
    }
    return true;
}

bool Writer::fail(const std::string& what)
{
    if (lastError.empty())
        lastError = what;
    return false;
}

} // namespace formats
} // namespace ondira
