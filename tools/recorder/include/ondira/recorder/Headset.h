#ifndef ONDIRA_RECORDER_HEADSET_H
#define ONDIRA_RECORDER_HEADSET_H

// Small helpers around the library's facade, shared by the recording session
// and the commands that only talk to the headset.

#include <ondira/recorder/Records.h>

#include <string>

class Ondira;

namespace ondira {
namespace recorder {

/// Firmware versions and radio channels, read through the facade's
/// properties (each read waits up to about 1.2 s for an answer).
DeviceInfo readDeviceInfo(Ondira& facade);

/// The virtual headset (libFtd2xx.so) that belongs to a program in
/// `programDir`: next to it in the build tree, or in <prefix>/lib/ondira/sim
/// once installed. Empty when there is none.
std::string findVirtualHeadset(const std::string& programDir);

/// Makes facades constructed from now on load the D2XX driver library from
/// `path` (sets ONDIRA_FTD2XX_LIBRARY). Call it before any other thread runs.
void useDriverLibrary(const std::string& path);

/// Loads the virtual headset at `path` and configures it with `config` (the
/// text of ONDIRA_SIM, which it also sets). False, with the virtual headset's
/// message in `error`, for a configuration it refuses or a file that is not
/// the virtual headset. Call it before any other thread runs.
bool configureVirtualHeadset(const std::string& path, const std::string& config, std::string& error);

} // namespace recorder
} // namespace ondira

#endif
