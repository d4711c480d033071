// Request/reply exchanges: identification with the search over all devices,
// firmware versions, radio channels and ping, with their retries and events.

#include "EngineFixture.h"

namespace ondira_engine_test {
namespace {

using ondira_sim::EntryPoint;
using Handshake = EngineTest;

constexpr std::uint16_t DONGLE = 0x1234;
constexpr std::uint16_t HEADSET = 0x1235;

/// Commands of one kind (byte 5) to one destination.
int requests(FakeTransport& fake, int device, unsigned char kind, std::uint16_t destination)
{
    int count = 0;
    for (const Command& c : fake.commands(device)) {
        const std::uint16_t to = static_cast<std::uint16_t>(c.bytes[1] << 8 | c.bytes[2]);
        count += c.bytes[5] == kind && to == destination;
    }
    return count;
}

constexpr unsigned char ID = 0xB7, FIRMWARE = 0xA0, GET = 0xA8, SET = 0xA9;

TEST_F(Handshake, Identify_AnsweringDongle_OneRequest)
{
    open("");
    EXPECT_EQ(requests(*fake, 0, ID, 0), 1);
    EXPECT_EQ(protocol.getUsbId(), DONGLE);
    EXPECT_EQ(protocol.getOndiraId(), HEADSET);
    EXPECT_TRUE(engine->isWorkerRunning());
    EXPECT_EQ(statuses.statusCount(), 0u);
}

TEST_F(Handshake, Identify_SilentFirstDevice_SevenRequestsThenTheSearchFindsTheSecond)
{
    open("devices=3 0.silent=1 1.refuse_open=1");
    EXPECT_EQ(requests(*fake, 0, ID, 0), 7);
    EXPECT_FALSE(fake->state(0).open);
    EXPECT_EQ(fake->state(1).openCount, 0u);
    EXPECT_EQ(requests(*fake, 2, ID, 0), 1);
    EXPECT_TRUE(fake->state(2).open);
    EXPECT_EQ(protocol.getUsbId(), DONGLE + 0x20);
}

TEST_F(Handshake, Identify_NothingAnswers_OpenFailsWithTheDeviceClosed)
{
    for (const char* config : {"silent=1", "devices=0", "devices=2 silent=1"}) {
        SCOPED_TRACE(config);
        TearDown();
        statuses.clear();
        build(config);
        EXPECT_FALSE(engine->openDevice());
        EXPECT_EQ(statuses.statuses(), Codes{StatusData::DEVICE_IO_ERROR});
        EXPECT_FALSE(engine->isWorkerRunning());
        for (int d = 0; d < fake->deviceCount(); ++d) {
            EXPECT_FALSE(fake->state(d).open);
            EXPECT_EQ(requests(*fake, d, ID, 0), 7);
        }
    }
}

TEST_F(Handshake, Queries_AnsweredAtOnce_OrSevenRequestsAndAnError)
{
    open("fw_dongle=12 fw_headset=23 channel_dongle=4 channel_headset=11");
    EXPECT_EQ(engine->askUsbFirmwareVersion(), 12);
    EXPECT_EQ(engine->askOndiraFirmwareVersion(), 23);
    EXPECT_EQ(engine->askUsbTransmissionChannel(), 4);
    EXPECT_EQ(engine->askOndiraTransmissionChannel(), 11);
    EXPECT_EQ(requests(*fake, 0, FIRMWARE, DONGLE), 1);
    EXPECT_EQ(requests(*fake, 0, FIRMWARE, HEADSET), 1);
    EXPECT_EQ(requests(*fake, 0, GET, DONGLE), 1);
    EXPECT_EQ(requests(*fake, 0, GET, HEADSET), 1);
    EXPECT_EQ(statuses.statusCount(), 0u);

    // Nobody answers: seven requests 200 ms apart, then the error.
    fake->set(0, "silent=1 headset=off");
    const long long before = fake->elapsedMs();
    EXPECT_EQ(engine->askUsbFirmwareVersion(), 0);
    EXPECT_GE(fake->elapsedMs() - before, 6 * 200);
    EXPECT_EQ(engine->askOndiraFirmwareVersion(), 0);
    EXPECT_EQ(engine->askUsbTransmissionChannel(), 100);
    EXPECT_EQ(engine->askOndiraTransmissionChannel(), 100);
    EXPECT_EQ(requests(*fake, 0, FIRMWARE, DONGLE), 1 + 7);
    EXPECT_EQ(requests(*fake, 0, FIRMWARE, HEADSET), 1 + 7);
    EXPECT_EQ(requests(*fake, 0, GET, DONGLE), 1 + 7);
    EXPECT_EQ(requests(*fake, 0, GET, HEADSET), 1 + 7);
    EXPECT_EQ(statuses.statuses(),
              (Codes{StatusData::FW_VERSION_ERROR, StatusData::FW_VERSION_ERROR,
                     StatusData::TRANSCEIVER_CHANNEL_ERROR, StatusData::TRANSCEIVER_CHANNEL_ERROR}));
}

TEST_F(Handshake, Requests_WriteFails_ErrorsAtOnceWithoutRetry)
{
    // A query reports the failed request and its own failure; a set only the
    // request's. The sticky write error also ends the worker, whose event may
    // come at any moment, so it is not counted here.
    struct Case {
        const char* name;
        std::function<bool()> fails;
        std::size_t events;
    };
    const Case cases[] = {
        {"firmware", [this] { return engine->askOndiraFirmwareVersion() == 0; }, 2},
        {"channel", [this] { return engine->askUsbTransmissionChannel() == 100; }, 2},
        {"set channel", [this] { return !engine->sendOndiraTransmissionChannel(3); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        statuses.clear();
        open("");
        fake->failWhen([](EntryPoint entry) { return entry == ondira_sim::EP_WRITE; });
        const long long before = fake->elapsedMs();
        EXPECT_TRUE(c.fails());
        EXPECT_EQ(fake->elapsedMs(), before); // no wait, so no second request
        const Codes codes = events();
        EXPECT_GE(codes.size(), c.events);
        EXPECT_LE(codes.size(), c.events + 1);
        EXPECT_EQ(codes, Codes(codes.size(), StatusData::DEVICE_IO_ERROR));
    }
}

TEST_F(Handshake, SetChannel_AcknowledgedOrRefusedAboveFifteen)
{
    open("");
    EXPECT_FALSE(engine->sendUsbTransmissionChannel(16));
    EXPECT_EQ(requests(*fake, 0, SET, DONGLE), 0);
    EXPECT_TRUE(engine->sendUsbTransmissionChannel(15));
    EXPECT_TRUE(engine->sendOndiraTransmissionChannel(0));
    EXPECT_EQ(fake->state(0).dongleChannel, 15);
    EXPECT_EQ(fake->state(0).headsetChannel, 0);
    EXPECT_EQ(requests(*fake, 0, SET, DONGLE), 1);

    // No acknowledgement: seven requests, false, and no event.
    fake->set(0, "headset=off");
    EXPECT_FALSE(engine->sendOndiraTransmissionChannel(5));
    EXPECT_EQ(requests(*fake, 0, SET, HEADSET), 1 + 7);
    EXPECT_EQ(statuses.statusCount(), 0u);
}

TEST_F(Handshake, Ping_TrueAtOnceWhileStreaming_OtherwiseAsksTheHeadset)
{
    open("");
    streamSamples(5);
    EXPECT_TRUE(engine->ping());
    EXPECT_EQ(requests(*fake, 0, FIRMWARE, HEADSET), 0);
    ASSERT_TRUE(engine->stopStreaming());
    EXPECT_TRUE(engine->ping());
    EXPECT_EQ(requests(*fake, 0, FIRMWARE, HEADSET), 1);
    fake->set(0, "headset=off");
    EXPECT_FALSE(engine->ping());
    EXPECT_EQ(events(), Codes{StatusData::FW_VERSION_ERROR});
}

} // namespace
} // namespace ondira_engine_test
