#ifndef ONDIRA_TESTS_ENGINE_ENGINEFIXTURE_H
#define ONDIRA_TESTS_ENGINE_ENGINEFIXTURE_H

#include "FakeTransport.h"
#include "TestSupport.h"

#include "device/FTDIDevice.h"
#include "engine/ReaderEngine.h"
#include "protocol/ZAREProtocol.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ondira_engine_test {

using ondira_test::RecordingConsumer;
using ondira_test::waitFor;
using Codes = std::vector<StatusData::statusCode>;

/// A status consumer that calls back into the engine the first time it
/// receives `code`, as applications do.
class Reaction : public IDataConsumer
{
public:
    Reaction(StatusData::statusCode code, std::function<void()> action)
        : code(code), action(std::move(action))
    {
    }
    void receiveData(PData& data) override;
    bool happened() const { return done.load(); }

private:
    const StatusData::statusCode code;
    const std::function<void()> action;
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
};

/// An engine over the fake transport, with a sample and a status recorder.
class EngineTest : public ::testing::Test
{
protected:
    void TearDown() override;

    /// Builds the fake world from `config` and the engine on top of it.
    void build(const std::string& config);
    /// build, then openDevice, which must succeed.
    void open(const std::string& config);
    /// Streams until `count` samples have arrived.
    void streamSamples(std::size_t count);
    // Waits with a deadline, letting fake time flow meanwhile.
    bool waitForSamples(std::size_t count);
    bool waitForStatus(StatusData::statusCode code, int count = 1);
    bool waitUntil(const std::function<bool()>& condition);
    /// Runs `action` with fake time flowing, and ends the test process if it
    /// has not returned within `limit`: a hung engine can be neither closed
    /// nor destroyed.
    void returnsWithin(std::chrono::seconds limit, const std::function<void()>& action);
    /// The status events so far without the channel states that every
    /// calibration pass may publish (codes 9..21).
    Codes events() const;

    std::unique_ptr<FakeTransport> fake;
    std::unique_ptr<ondira::FTDIDevice> device;
    ondira::ZAREProtocol protocol;
    std::unique_ptr<ondira::ReaderEngine> engine;
    RecordingConsumer samples{RecordingConsumer::Samples};
    RecordingConsumer statuses{RecordingConsumer::Statuses};
};

} // namespace ondira_engine_test

#endif
