#ifndef ONDIRA_TESTS_SUPPORT_SHIPPEDLIBRARY_H
#define ONDIRA_TESTS_SUPPORT_SHIPPEDLIBRARY_H

// What the programs that drive the shipped library against the process-wide
// virtual headset share, without GoogleTest (the fault scenarios in real time
// and the soak): the headset's signal and packet count through its control
// API, and consumers registered for as long as an object lives.

#include "SampleAccounting.h"

#include <ondira/Ondira.h>

#include "ondira_sim.h"

namespace ondira_test {

/// The signal of virtual device `device` (ondira_sim_sample).
inline Signal simSignal(int device)
{
    return [device](std::uint64_t index) {
        unsigned short raw[4] = {};
        ondira_sim_sample(device, index, raw);
        return std::array<std::uint16_t, 4>{raw[0], raw[1], raw[2], raw[3]};
    };
}

/// Packets the device has generated since the configuration, lost or not:
/// the next one's number.
inline unsigned long long simPacketsGenerated(int device)
{
    OndiraSimDeviceState state{};
    ondira_sim_get_state(device, &state);
    return state.packetsSent + state.packetsLost;
}

/// Registers a sample and a status consumer with a facade; closes the device
/// and deregisters them when it goes.
class ConsumerRegistration
{
public:
    ConsumerRegistration(Ondira& facade, IDataConsumer& samples, IDataConsumer& statuses)
        : facade(facade), samples(samples), statuses(statuses)
    {
        facade.registerConsumer(IDataProcessor::SAMPLE_DATA, samples);
        facade.registerConsumer(IDataProcessor::STATUS_DATA, statuses);
    }
    ~ConsumerRegistration()
    {
        facade.closeDevice();
        facade.deregisterConsumer(IDataProcessor::SAMPLE_DATA, samples);
        facade.deregisterConsumer(IDataProcessor::STATUS_DATA, statuses);
    }
    ConsumerRegistration(const ConsumerRegistration&) = delete;
    ConsumerRegistration& operator=(const ConsumerRegistration&) = delete;

private:
    Ondira& facade;
    IDataConsumer& samples;
    IDataConsumer& statuses;
};

} // namespace ondira_test

#endif
