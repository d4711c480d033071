#ifndef ONDIRA_TESTS_FAULTS_SCENARIOFIXTURE_H
#define ONDIRA_TESTS_FAULTS_SCENARIOFIXTURE_H

// Fault scenarios in fake time: the engine over the virtual headset's model,
// each session's samples accounted for against the headset's signal.

#include "EngineFixture.h"
#include "SampleAccounting.h"

#include <string>

namespace ondira_faults {

using namespace ondira_engine_test;
using ondira_test::Accounting;

/// "drop=a,...,b" for the packets [first, first + count) and the next bursts.
std::string dropBursts(std::initializer_list<std::pair<unsigned long long, unsigned long long>> bursts);

class Scenario : public EngineTest
{
protected:
    /// Starts streaming and marks where the session begins: its records, and
    /// the device's next packet.
    void startSession(int device = 0);
    /// startSession, then waits until the session has `records` records.
    ::testing::AssertionResult streamed(std::size_t records, int device = 0);
    /// The session's records accounted for against the device's signal.
    Accounting accountSession() const;
    /// Records of the session so far.
    std::size_t sessionRecords() const;
    /// Packets the device has generated since the configuration, lost or not.
    unsigned long long packetsGenerated(int device);
    void markSession(int device);

    int sessionDevice = 0;
    std::uint64_t sessionFrom = 0;
    std::size_t sessionFirstRecord = 0;
};

} // namespace ondira_faults

#endif
