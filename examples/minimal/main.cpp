// The smallest application: construct the facade, register a sample and a
// status consumer, open the headset, stream for a while, close.
#include <ondira/Ondira.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

class SamplePrinter : public IDataConsumer
{
public:
    void receiveData(PData& data) override
    {
        // Called on the library's worker thread; the record lives only during
        // this call.
        const OndiraData& sample = *static_cast<const OndiraData*>(data.getData());
        if (count++ % 250 == 0)
            std::printf("sample %6ld  t=%lld  %6d %6d %6d %6d  flag %d\n", count.load(),
                        sample.getTimestamp(), sample.getChannel1(), sample.getChannel2(),
                        sample.getChannel3(), sample.getChannel4(), sample.getFlag());
    }
    std::atomic<long> count{0};
};

class StatusPrinter : public IDataConsumer
{
public:
    void receiveData(PData& data) override
    {
        const StatusData& status = *static_cast<const StatusData*>(data.getData());
        std::printf("status %2d %-7s %s\n", status.getCode(),
                    StatusData::getTypeFromCode(status.getCode()), status.getString());
    }
};

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;

    Ondira ondira;
    SamplePrinter samples;
    StatusPrinter statuses;
    ondira.registerConsumer(IDataProcessor::STATUS_DATA, statuses);
    ondira.registerConsumer(IDataProcessor::SAMPLE_DATA, samples);

    if (!ondira.openDevice()) {
        std::printf("no headset found\n");
        ondira.deregisterConsumer(IDataProcessor::SAMPLE_DATA, samples);
        ondira.deregisterConsumer(IDataProcessor::STATUS_DATA, statuses);
        return 1;
    }
    for (int channel = 1; channel <= 4; ++channel) {
        char name[32];
        std::snprintf(name, sizeof name, "Channel %d Enabled", channel);
        ondira.setProperty(Property(name, 1));
    }
    if (Property* version = ondira.getProperty(Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION))
        std::printf("headset firmware %s\n", version->getValueAsString());

    ondira.startStreaming();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ondira.stopStreaming();
    ondira.closeDevice();

    ondira.deregisterConsumer(IDataProcessor::SAMPLE_DATA, samples);
    ondira.deregisterConsumer(IDataProcessor::STATUS_DATA, statuses);
    std::printf("%ld samples received\n", samples.count.load());
    return 0;
}
