// An application that sees only the installed headers and library: it
// constructs the facade, registers a consumer of each type, checks what the
// producers deliver, and destroys the facade. Exit code 0 on success.
#include <ondira/Ondira.h>

#include <cstdio>
#include <cstring>

namespace {

int failures = 0;

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

class Counter : public IDataConsumer
{
public:
    void receiveData(PData& data) override
    {
        ++received;
        last = data.getData();
    }
    int received = 0;
    const void* last = nullptr;
};

} // namespace

int main()
{
    {
        Ondira ondira;
        Counter samples;
        Counter statuses;
        check(ondira.registerConsumer(IDataProcessor::SAMPLE_DATA, samples), "register samples");
        check(ondira.registerConsumer(IDataProcessor::STATUS_DATA, statuses), "register statuses");
        check(!ondira.registerConsumer(3, samples), "refuse type 3");
        check(ondira.getDataConsumer(1) == nullptr, "never a consumer");

        IDataProducer* sampleProducer = ondira.getDataProducer(IDataProcessor::SAMPLE_DATA);
        IDataProducer* statusProducer = ondira.getDataProducer(IDataProcessor::STATUS_DATA);
        check(sampleProducer && statusProducer && sampleProducer != statusProducer, "producers");
        if (sampleProducer && statusProducer) {
            OndiraData sample(1, 2, 3, 4, OndiraData::FLAG_NONE, 0, 1700000000000LL);
            PData sampleEnvelope(&sample);
            sampleProducer->sendData(sampleEnvelope);
            StatusData status(StatusData::DEFAULT_CHANNEL_STATE);
            PData statusEnvelope(&status);
            statusProducer->sendData(statusEnvelope);
            check(samples.received == 1 && samples.last == &sample, "sample delivered");
            check(statuses.received == 1 && statuses.last == &status, "status delivered");
        }
        check(std::strcmp(StatusData::getTypeFromCode(StatusData::DEVICE_NOT_OPEN), "WARNING") == 0,
              "status type");
        Property property("Parity", "2");
        check(property.getValueAsInteger() == 2, "property");

        check(ondira.deregisterConsumer(IDataProcessor::SAMPLE_DATA, samples), "deregister samples");
        check(ondira.deregisterConsumer(IDataProcessor::STATUS_DATA, statuses), "deregister statuses");
    }
    std::printf("%s\n", failures ? "failed" : "ok");
    return failures ? 1 : 0;
}
