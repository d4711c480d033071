#include "Device.h"

#include <ondira/Ondira.h>
#include <ondira/recorder/Headset.h>

#include <cstdlib>

namespace ondira {
namespace python {

namespace {
const char* const DRIVER_VARIABLE = "ONDIRA_FTD2XX_LIBRARY";

std::mutex& environmentMutex()
{
    static std::mutex mutex;
    return mutex;
}
} // namespace

DriverLibraryScope::DriverLibraryScope(const std::string& path)
    : lock(environmentMutex())
{
    if (path.empty())
        return;
    if (const char* value = std::getenv(DRIVER_VARIABLE)) {
        hadValue = true;
        previous = value;
    }
    recorder::useDriverLibrary(path);
    active = true;
}

DriverLibraryScope::~DriverLibraryScope()
{
    if (!active)
        return;
    if (hadValue)
        ::setenv(DRIVER_VARIABLE, previous.c_str(), 1);
    else
        ::unsetenv(DRIVER_VARIABLE);
}

Device::Device(const std::string& driverLibrary, std::size_t ringCapacity)
    : ring(ringCapacity)
    , log(ring)
    , chunks(ring)
{
    DriverLibraryScope driver(driverLibrary);
    facade.reset(new Ondira);
}

Device::~Device()
{
    close();
}

template <typename Call>
Device::Result Device::call(Call facadeCall)
{
    const long long mark = log.mark();
    Result result;
    result.ok = facadeCall();
    result.code = log.mostSevereSince(mark);
    return result;
}

Device::Result Device::open()
{
    std::lock_guard<std::mutex> lock(control);
    if (opened.load())
        return Result{true, -1};
    // Consumers change only while the device is closed.
    if (!facade->registerConsumer(IDataProcessor::STATUS_DATA, log)
        || !facade->registerConsumer(IDataProcessor::SAMPLE_DATA, ring)) {
        facade->deregisterConsumer(IDataProcessor::STATUS_DATA, log);
        return Result{false, -1}; // out of memory
    }
    const Result result = call([this] { return facade->openDevice(); });
    if (result.ok) {
        opened.store(true);
    } else {
        facade->deregisterConsumer(IDataProcessor::SAMPLE_DATA, ring);
        facade->deregisterConsumer(IDataProcessor::STATUS_DATA, log);
    }
    return result;
}

void Device::close()
{
    {
        std::lock_guard<std::mutex> lock(control);
        if (opened.load()) {
            // closeDevice stops a stream first.
            facade->closeDevice();
            facade->deregisterConsumer(IDataProcessor::SAMPLE_DATA, ring);
            facade->deregisterConsumer(IDataProcessor::STATUS_DATA, log);
            opened.store(false);
        }
        started.store(false);
    }
    ring.wake();
}

Device::Result Device::start()
{
    std::lock_guard<std::mutex> lock(control);
    log.streamStarted();
    ring.newStream();
    const Result result = call([this] { return facade->startStreaming(); });
    started.store(result.ok);
    return result;
}

Device::Result Device::stop()
{
    Result result;
    {
        std::lock_guard<std::mutex> lock(control);
        result = call([this] { return facade->stopStreaming(); });
        // Whether or not the headset heard it, this stream is over for the reader.
        started.store(false);
    }
    ring.wake();
    return result;
}

Device::Value Device::getProperty(const std::string& name)
{
    std::lock_guard<std::mutex> lock(control);
    Value value;
    const Property* property = nullptr;
    const Result result = call([&] {
        property = facade->getProperty(name.c_str());
        return property != nullptr;
    });
    value.ok = result.ok;
    value.code = result.code;
    if (property) {
        value.integer = property->getValueAsInteger();
        value.text = property->getValueAsString();
    }
    return value;
}

Device::Result Device::setProperty(const std::string& name, int value)
{
    std::lock_guard<std::mutex> lock(control);
    return call([&] { return facade->setProperty(Property(name.c_str(), value)); });
}

bool Device::isStreaming() const
{
    return started.load() && streamEndCode() < 0;
}

int Device::streamEndCode() const
{
    return started.load() ? log.streamEndCode(ring.lastArrivalMs()) : -1;
}

} // namespace python
} // namespace ondira
