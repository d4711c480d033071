#include <ondira/recorder/Records.h>
#include <ondira/recorder/Writer.h>

namespace ondira {
namespace recorder {

std::string DeviceInfo::equipment() const
{
    const auto known = [](const std::string& version) { return version.empty() ? std::string("?") : version; };
    return "Ondira dongle FW " + known(dongleFirmware) + " headset FW " + known(headsetFirmware);
}

bool Writer::fail(const std::string& what)
{
    if (lastError.empty())
        lastError = what;
    return false;
}

} // namespace recorder
} // namespace ondira
