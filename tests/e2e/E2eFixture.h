#ifndef ONDIRA_TESTS_E2E_E2EFIXTURE_H
#define ONDIRA_TESTS_E2E_E2EFIXTURE_H

#include <ondira/Ondira.h>

#include "TestSupport.h"
#include "ondira_sim.h"

#include <gtest/gtest.h>

#include <QThread>

#include <algorithm>
#include <chrono>

#include <memory>
#include <string>
#include <vector>

namespace ondira_e2e {

using ondira_test::RecordingConsumer;
using ondira_test::ScopedWorkingDirectory;
using ondira_test::TraceCapture;
using ondira_test::waitFor;

/// One command packet the host wrote, without its zero preamble.
struct WireCommand {
    std::vector<unsigned char> bytes;
    unsigned int zeroPrefix;
    double timeMs;
};

std::vector<WireCommand> commandsOf(int device);
std::vector<unsigned char> bytes(std::initializer_list<int> values);
/// Register-write commands to `reg` (0x200 stream control, 0x400 + 2i offsets).
std::vector<WireCommand> registerWrites(int device, int reg);
/// Start (value 4092) or stop (value 0) commands among the register writes.
int streamCommands(int device, int value);
OndiraSimDeviceState stateOf(int device);

/// A facade with a sample and a status recorder registered, a private working
/// directory and captured traces, against a freshly configured virtual headset.
class E2eTest : public ::testing::Test
{
protected:
    void configure(const std::string& config);
    void SetUp() override;
    void TearDown() override;

    /// Opens with the default configuration unless configure() ran before.
    void openOrFail();
    bool waitForSamples(std::size_t count);

    ScopedWorkingDirectory cwd;
    TraceCapture traces;
    RecordingConsumer samples{RecordingConsumer::Samples};
    RecordingConsumer statuses{RecordingConsumer::Statuses};
    std::unique_ptr<Ondira> ondira;
    bool configured = false;
};

} // namespace ondira_e2e

#endif
