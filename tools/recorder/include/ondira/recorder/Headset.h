#ifndef ONDIRA_RECORDER_HEADSET_H
#define ONDIRA_RECORDER_HEADSET_H

// Small helpers around the library's facade, shared by the recording session
// and the commands that only talk to the headset.

#include <ondira/recorder/Records.h>

#include <ondira/IDataConsumer.h>
#include <ondira/PData.h>

#include <functional>
#include <string>
#include <utility>

class Ondira;

namespace ondira {
namespace recorder {

/// A consumer that hands each record the library delivers to `receive`: an
/// OndiraData when registered for SAMPLE_DATA, a StatusData for STATUS_DATA.
/// `receive` runs on the thread that delivers the record (IDataConsumer.h),
/// and the record lives only during the call.
template <typename Record>
class RecordConsumer : public IDataConsumer
{
public:
    explicit RecordConsumer(std::function<void(const Record&)> receive) : receive(std::move(receive)) {}
    void receiveData(PData& data) override { receive(*static_cast<const Record*>(data.getData())); }

private:
    const std::function<void(const Record&)> receive;
};

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
