#include <ondira/Ondira.h>

#include "engine/DefaultDataProducer.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ondira::DefaultDataProducer;
using ondira_test::RecordingConsumer;
using ondira_test::ScopedWorkingDirectory;

namespace {

// Appends its name to a shared journal on every delivery.
class NamedConsumer : public IDataConsumer
{
public:
    NamedConsumer(std::string name, std::vector<std::string>& journal)
        : name(std::move(name)), journal(journal) {}
    void receiveData(PData& data) override
    {
        journal.push_back(name);
        envelopes.push_back(&data);
        records.push_back(data.getData());
    }
    std::string name;
    std::vector<std::string>& journal;
    std::vector<const PData*> envelopes;
    std::vector<const void*> records;
};

void deliver(IDataProducer& producer)
{
    OndiraData record(1, 2, 3, 4, OndiraData::FLAG_NONE, 0, 0);
    PData envelope(&record);
    producer.sendData(envelope);
}

TEST(DefaultDataProducer, DeliversInRegistrationOrderAndRemovesOnDeregistration)
{
    std::vector<std::string> journal;
    NamedConsumer x("X", journal), y("Y", journal), z("Z", journal);
    DefaultDataProducer producer;
    deliver(producer); // no consumers: nothing happens
    EXPECT_TRUE(journal.empty());

    producer.registerConsumer(x);
    producer.registerConsumer(y);
    producer.registerConsumer(z);
    deliver(producer);
    EXPECT_EQ(journal, (std::vector<std::string>{"X", "Y", "Z"}));

    journal.clear();
    producer.deregisterConsumer(y);
    deliver(producer);
    EXPECT_EQ(journal, (std::vector<std::string>{"X", "Z"}));
}

TEST(DefaultDataProducer, DuplicateRegistrationsAreRemovedOneAtATime)
{
    std::vector<std::string> journal;
    NamedConsumer x("X", journal), y("Y", journal), never("N", journal);
    DefaultDataProducer producer;
    producer.registerConsumer(x);
    producer.registerConsumer(x);
    producer.registerConsumer(y);
    deliver(producer);
    EXPECT_EQ(journal, (std::vector<std::string>{"X", "X", "Y"}));

    journal.clear();
    producer.deregisterConsumer(never); // not registered: no change
    producer.deregisterConsumer(x);
    deliver(producer);
    EXPECT_EQ(journal, (std::vector<std::string>{"X", "Y"}));

    journal.clear();
    producer.deregisterConsumer(x);
    producer.deregisterConsumer(x);
    deliver(producer);
    EXPECT_EQ(journal, (std::vector<std::string>{"Y"}));
}

TEST(DefaultDataProducer, EveryConsumerOfOneDeliveryGetsTheSameEnvelopeAndRecord)
{
    std::vector<std::string> journal;
    NamedConsumer a("A", journal), b("B", journal);
    DefaultDataProducer producer;
    producer.registerConsumer(a);
    producer.registerConsumer(b);

    StatusData record(StatusData::DEVICE_NOT_OPEN);
    PData envelope(&record);
    producer.sendData(envelope);
    ASSERT_EQ(a.envelopes.size(), 1u);
    ASSERT_EQ(b.envelopes.size(), 1u);
    EXPECT_EQ(a.envelopes[0], &envelope);
    EXPECT_EQ(b.envelopes[0], &envelope);
    EXPECT_EQ(a.records[0], &record);
    EXPECT_EQ(b.records[0], &record);
}

QByteArray constructionLog()
{
    const char* entries[][2] = {
        {"USB transmission channel", "0"}, {"Ondira transmission channel", "0"},
        {"Channel 1 Enabled", "0"},        {"Channel 2 Enabled", "0"},
        {"Channel 3 Enabled", "0"},        {"Channel 4 Enabled", "0"},
        {"BaudRate", "128000"},            {"WordLength", "8"},
        {"StopBits", "0"},                 {"Parity", "0"},
        {"Read Timeout", "10"},            {"LatencyTimer", "16"},
    };
    QByteArray log;
    for (const auto& e : entries)
        log += QByteArray(e[0]) + " = " + e[1] + "\r\n----------------\r\n";
    return log;
}

TEST(Facade, ConstructionLogsTheTwelveIntegerPropertiesAndDestructionNothing)
{
    ScopedWorkingDirectory cwd;
    const QByteArray expected = constructionLog();
    {
        Ondira ondira;
        EXPECT_EQ(cwd.readFile("log.txt"), expected);
    }
    EXPECT_EQ(cwd.readFile("log.txt"), expected);
    {
        Ondira second;
    }
    EXPECT_EQ(cwd.readFile("log.txt"), expected + expected);
}

TEST(Facade, AnswersProducersByDataTypeAndIsNeverAConsumer)
{
    ScopedWorkingDirectory cwd;
    Ondira ondira;
    for (int type : {0, 1, 2, 3, -1})
        EXPECT_EQ(ondira.getDataConsumer(type), nullptr) << type;

    IDataProducer* samples = ondira.getDataProducer(IDataProcessor::SAMPLE_DATA);
    IDataProducer* statuses = ondira.getDataProducer(IDataProcessor::STATUS_DATA);
    ASSERT_NE(samples, nullptr);
    ASSERT_NE(statuses, nullptr);
    EXPECT_NE(samples, statuses);
    EXPECT_EQ(ondira.getDataProducer(1), samples);
    EXPECT_EQ(ondira.getDataProducer(2), statuses);
    EXPECT_EQ(ondira.getDataProducer(0), nullptr);
    EXPECT_EQ(ondira.getDataProducer(3), nullptr);
}

TEST(Facade, RoutesConsumersToTheProducerOfTheirType)
{
    ScopedWorkingDirectory cwd;
    Ondira ondira;
    RecordingConsumer sampleConsumer(RecordingConsumer::Samples);
    RecordingConsumer statusConsumer(RecordingConsumer::Statuses);
    RecordingConsumer rejected(RecordingConsumer::Samples);

    EXPECT_TRUE(ondira.registerConsumer(IDataProcessor::SAMPLE_DATA, sampleConsumer));
    EXPECT_TRUE(ondira.registerConsumer(IDataProcessor::STATUS_DATA, statusConsumer));
    EXPECT_FALSE(ondira.registerConsumer(3, rejected));
    EXPECT_FALSE(ondira.registerConsumer(0, rejected));

    deliver(*ondira.getDataProducer(1));
    StatusData status(StatusData::DEVICE_IO_ERROR);
    PData envelope(&status);
    ondira.getDataProducer(2)->sendData(envelope);

    EXPECT_EQ(sampleConsumer.sampleCount(), 1u);
    EXPECT_EQ(sampleConsumer.statusCount(), 0u);
    EXPECT_EQ(statusConsumer.statuses(), (std::vector<StatusData::statusCode>{StatusData::DEVICE_IO_ERROR}));
    EXPECT_EQ(rejected.sampleCount(), 0u);
}

TEST(Facade, DeregistrationByTypeRemovesOneRegistration)
{
    ScopedWorkingDirectory cwd;
    Ondira ondira;
    RecordingConsumer consumer(RecordingConsumer::Samples);
    RecordingConsumer stranger(RecordingConsumer::Samples);

    EXPECT_TRUE(ondira.deregisterConsumer(1, stranger)); // never registered
    EXPECT_FALSE(ondira.deregisterConsumer(3, consumer));

    ondira.registerConsumer(1, consumer);
    ondira.registerConsumer(1, consumer);
    deliver(*ondira.getDataProducer(1));
    EXPECT_EQ(consumer.sampleCount(), 2u);

    EXPECT_TRUE(ondira.deregisterConsumer(1, consumer));
    deliver(*ondira.getDataProducer(1));
    EXPECT_EQ(consumer.sampleCount(), 3u);

    EXPECT_TRUE(ondira.deregisterConsumer(2, consumer)); // other type: no effect
    deliver(*ondira.getDataProducer(1));
    EXPECT_EQ(consumer.sampleCount(), 4u);

    EXPECT_TRUE(ondira.deregisterConsumer(1, consumer));
    deliver(*ondira.getDataProducer(1));
    EXPECT_EQ(consumer.sampleCount(), 4u);
}

TEST(Facade, PropertyNameConstantsHaveTheirTexts)
{
    EXPECT_STREQ(Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION, "USB FW version");
    EXPECT_STREQ(Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION, "Ondira FW version");
    EXPECT_STREQ(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL, "USB transmission channel");
    EXPECT_STREQ(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL, "Ondira transmission channel");
    EXPECT_STREQ(Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, "Channel 1 Enabled");
    EXPECT_STREQ(Ondira::STR_PROPERTY_ENABLE_CHANNEL_2, "Channel 2 Enabled");
    EXPECT_STREQ(Ondira::STR_PROPERTY_ENABLE_CHANNEL_3, "Channel 3 Enabled");
    EXPECT_STREQ(Ondira::STR_PROPERTY_ENABLE_CHANNEL_4, "Channel 4 Enabled");
}

} // namespace
