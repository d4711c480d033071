#include "ScenarioFixture.h"

namespace ondira_faults {

namespace {
/// A session's first sample arrives within this many packets of its start.
constexpr std::uint64_t FIRST_PACKET_WINDOW = 300;
} // namespace

std::string dropBursts(std::initializer_list<std::pair<unsigned long long, unsigned long long>> bursts)
{
    std::string text = "drop=";
    for (const auto& burst : bursts) {
        for (unsigned long long n = burst.first; n < burst.first + burst.second; ++n)
            text += std::to_string(n) + ",";
    }
    text.pop_back();
    return text;
}

unsigned long long Scenario::packetsGenerated(int device)
{
    const OndiraSimDeviceState state = fake->state(device);
    return state.packetsSent + state.packetsLost;
}

void Scenario::markSession(int device)
{
    sessionDevice = device;
    sessionFrom = 5 * packetsGenerated(device);
    sessionFirstRecord = samples.sampleCount();
}

void Scenario::startSession(int device)
{
    markSession(device);
    ASSERT_TRUE(engine->startStreaming());
}

::testing::AssertionResult Scenario::streamed(std::size_t records, int device)
{
    markSession(device);
    if (!engine->startStreaming())
        return ::testing::AssertionFailure() << "the start failed";
    if (!waitUntil([&] { return sessionRecords() >= records; }))
        return ::testing::AssertionFailure() << "only " << sessionRecords() << " records";
    return ::testing::AssertionSuccess();
}

std::size_t Scenario::sessionRecords() const
{
    return samples.sampleCount() - sessionFirstRecord;
}

Accounting Scenario::accountSession() const
{
    const std::vector<OndiraData> all = samples.samples();
    const std::vector<OndiraData> session(all.begin() + static_cast<std::ptrdiff_t>(sessionFirstRecord), all.end());
    FakeTransport& transport = *fake;
    const int device = sessionDevice;
    return ondira_test::account(
        ondira_test::toRecords(session),
        [&transport, device](std::uint64_t index) { return transport.sample(device, index); }, sessionFrom,
        sessionFrom + 5 * FIRST_PACKET_WINDOW);
}

} // namespace ondira_faults
