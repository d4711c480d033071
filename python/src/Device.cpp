#include "Device.h"

namespace ondira {
namespace python {

namespace {

session::SessionOptions options(const std::string& driverLibrary, double reconnectSeconds)
{
    session::SessionOptions s;
    s.driver = session::Driver::d2xx(driverLibrary);
    s.lost = reconnectSeconds > 0 ? session::LostPolicy::reconnect(reconnectSeconds) : session::LostPolicy::stop();
    s.calibrateSet = false; // as the library has them, until calibrate() or a property changes one
    return s;
}

Device::Result outcome(const session::CallResult& r)
{
    return Device::Result{r.ok, r.code()};
}

} // namespace

Device::Device(const std::string& driverLibrary, std::size_t tapCapacity, double reconnectSeconds)
    : link(options(driverLibrary, reconnectSeconds))
    , tap(tapCapacity)
    , chunks(tap)
    , eventCursor(link.log().next())
{
    link.attach(tap);
}

Device::~Device()
{
    close();
    link.detach(tap);
}

Device::Result Device::open()
{
    return outcome(link.open().result());
}

void Device::close()
{
    link.close().wait();
    tap.wake();
}

Device::Result Device::start()
{
    return outcome(link.start().result());
}

Device::Result Device::stop()
{
    const Result result = outcome(link.stop().result());
    tap.wake();
    return result;
}

Device::Value Device::getProperty(const std::string& name)
{
    const session::CallResult r = link.getProperty(name).result();
    return Value{r.ok, r.code(), r.integer, r.text};
}

Device::Result Device::setProperty(const std::string& name, int value)
{
    return outcome(link.setProperty(name, value).result());
}

bool Device::isOpen() const
{
    return link.status().link != session::Link::Closed;
}

bool Device::isStreaming() const
{
    const session::Link now = link.status().link;
    return now == session::Link::Streaming || now == session::Link::Reconnecting;
}

int Device::streamEndCode() const
{
    const session::SessionStatus status = link.status();
    return status.link == session::Link::Streaming || status.link == session::Link::Reconnecting ? -1 : status.endCode;
}

std::vector<EventRecord> Device::takeEvents()
{
    std::vector<session::LogEntry> entries;
    std::vector<EventRecord> events;
    std::lock_guard<std::mutex> lock(eventMutex);
    eventsLost += link.log().read(eventCursor, entries);
    for (const session::LogEntry& entry : entries) {
        if (entry.kind == session::LogEntry::Kind::Status)
            events.push_back(EventRecord{entry.wallMs, entry.code});
    }
    return events;
}

long long Device::eventsDropped() const
{
    std::lock_guard<std::mutex> lock(eventMutex);
    return eventsLost;
}

} // namespace python
} // namespace ondira
