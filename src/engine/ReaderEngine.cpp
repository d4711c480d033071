#include "engine/ReaderEngine.h"

#include "device/FTDIDevice.h"
#include "protocol/ZAREProtocol.h"

// Placeholder until the acquisition engine lands: the facade can be built,
// constructed and destroyed, and consumers reach the two producers.

namespace ondira {

ReaderEngine::ReaderEngine(FTDIDevice* device, ZAREProtocol* protocol)
    : sampleClock(0)
    , device(device)
    , protocol(protocol)
    , running(false)
    , packetCounter(0)
    , calibrationStep(0)
    , streaming(false)
{
    for (auto& state : lastChannelStates)
        state = StatusData::DEFAULT_CHANNEL_STATE;
    calibrator.setup(4);
}

ReaderEngine::~ReaderEngine() = default;

bool ReaderEngine::openDevice() { return false; }
void ReaderEngine::closeDevice() {}
bool ReaderEngine::startStreaming() { return false; }
bool ReaderEngine::stopStreaming() { return false; }
bool ReaderEngine::ping() { return false; }

} // namespace ondira
