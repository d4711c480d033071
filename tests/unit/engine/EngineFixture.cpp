#include "EngineFixture.h"

#include <ondira/PData.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

namespace ondira_engine_test {

void Reaction::receiveData(PData& data)
{
    const auto& status = *static_cast<const StatusData*>(data.getData());
    if (status.getCode() != code || started.exchange(true))
        return;
    action();
    done = true;
}

void EngineTest::build(const std::string& config)
{
    fake = std::make_unique<FakeTransport>(config, FakeTransport::Stepping::Flowing,
                                           [](const std::string& message) { ADD_FAILURE() << message; });
    device = std::make_unique<ondira::FTDIDevice>(fake->binding());
    engine = std::make_unique<ondira::ReaderEngine>(device.get(), &protocol, fake->clock());
    fake->attach(engine.get());
    engine->getSampleProducer().registerConsumer(samples);
    engine->getStatusProducer().registerConsumer(statuses);
}

void EngineTest::open(const std::string& config)
{
    build(config);
    ASSERT_TRUE(engine->openDevice());
}

void EngineTest::TearDown()
{
    // The engine closes the device and joins its worker before the device and
    // the fake go.
    if (fake) {
        FakeTransport::Flow flow(*fake);
        engine.reset();
    }
    device.reset();
    fake.reset();
}

void EngineTest::streamSamples(std::size_t count)
{
    ASSERT_TRUE(engine->startStreaming());
    ASSERT_TRUE(waitForSamples(count));
}

bool EngineTest::waitForSamples(std::size_t count)
{
    FakeTransport::Flow flow(*fake);
    return samples.waitForSamples(count);
}

bool EngineTest::waitForStatus(StatusData::statusCode code, int count)
{
    FakeTransport::Flow flow(*fake);
    return statuses.waitForStatus(code, count);
}

bool EngineTest::waitUntil(const std::function<bool()>& condition)
{
    FakeTransport::Flow flow(*fake);
    return waitFor(condition);
}

Codes EngineTest::events() const
{
    Codes result;
    for (StatusData::statusCode code : statuses.statuses()) {
        if (code < StatusData::CHANNEL_1_CALIBRATED || code > StatusData::DEFAULT_CHANNEL_STATE)
            result.push_back(code);
    }
    return result;
}

void EngineTest::returnsWithin(std::chrono::seconds limit, const std::function<void()>& action)
{
    std::packaged_task<void()> task([this, &action] {
        FakeTransport::Flow flow(*fake);
        action();
    });
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "engine call did not return within %lld s: hung\n",
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
}

} // namespace ondira_engine_test
