#include "E2eFixture.h"

namespace ondira_e2e {

std::vector<WireCommand> commandsOf(int device)
{
    std::vector<WireCommand> result;
    const int count = ondira_sim_command_count(device);
    for (int i = 0; i < count; ++i) {
        OndiraSimCommand command;
        if (ondira_sim_get_command(device, i, &command) != 0)
            break;
        result.push_back({std::vector<unsigned char>(command.bytes, command.bytes + command.length),
                          command.zeroPrefix, command.timeMs});
    }
    return result;
}

std::vector<unsigned char> bytes(std::initializer_list<int> values)
{
    std::vector<unsigned char> result;
    for (int v : values)
        result.push_back(static_cast<unsigned char>(v));
    return result;
}

std::vector<WireCommand> registerWrites(int device, int reg)
{
    std::vector<WireCommand> result;
    for (const WireCommand& c : commandsOf(device)) {
        if (c.bytes.size() == 19 && c.bytes[5] == 0xD0
            && ((c.bytes[7] << 24) | (c.bytes[8] << 16) | (c.bytes[9] << 8) | c.bytes[10]) == reg)
            result.push_back(c);
    }
    return result;
}

int streamCommands(int device, int value)
{
    int n = 0;
    for (const WireCommand& c : registerWrites(device, 0x200))
        n += ((c.bytes[15] << 8) | c.bytes[16]) == value ? 1 : 0;
    return n;
}

OndiraSimDeviceState stateOf(int device)
{
    OndiraSimDeviceState state{};
    EXPECT_EQ(ondira_sim_get_state(device, &state), 0);
    return state;
}

void E2eTest::configure(const std::string& config)
{
    ASSERT_EQ(ondira_sim_configure(config.c_str()), 0) << ondira_sim_last_error();
    configured = true;
}

void E2eTest::SetUp()
{
    ondira = std::make_unique<Ondira>();
    ASSERT_TRUE(ondira->registerConsumer(IDataProcessor::STATUS_DATA, statuses));
    ASSERT_TRUE(ondira->registerConsumer(IDataProcessor::SAMPLE_DATA, samples));
}

void E2eTest::TearDown()
{
    if (ondira) {
        ondira->closeDevice();
        ondira->deregisterConsumer(IDataProcessor::SAMPLE_DATA, samples);
        ondira->deregisterConsumer(IDataProcessor::STATUS_DATA, statuses);
        ondira.reset();
    }
}

void E2eTest::openOrFail()
{
    if (!configured)
        configure("");
    ASSERT_TRUE(ondira->openDevice());
}

bool E2eTest::waitForSamples(std::size_t count)
{
    return samples.waitForSamples(count);
}

} // namespace ondira_e2e
