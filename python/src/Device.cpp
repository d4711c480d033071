#include "Device.h"

#include <ondira/formats/EdfWriter.h>

namespace ondira {
namespace python {

namespace {

session::SessionOptions options(const session::Driver& driver, double reconnectSeconds)
{
    session::SessionOptions s;
    s.driver = driver;
    s.lost = reconnectSeconds > 0 ? session::LostPolicy::reconnect(reconnectSeconds) : session::LostPolicy::stop();
    s.calibrateSet = false; // as the library has them, until calibrate() or a property changes one
    return s;
}

Device::Result outcome(const session::CallResult& r)
{
    return Device::Result{r.ok, r.code()};
}

} // namespace

Device::Device(const session::Driver& driver, std::size_t tapCapacity, double reconnectSeconds)
    : link(options(driver, reconnectSeconds))
    , tap(tapCapacity)
    , chunks(tap, link.log())
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
    // The stream describes this device: it ends with it.
    stopPublishing();
    link.close().wait();
    tap.wake();
    // Streaming has ended: every sample received is written.
    std::lock_guard<std::mutex> lock(recordingMutex);
    endRecording();
}

Device::Result Device::start()
{
    {
        std::lock_guard<std::mutex> lock(recordingMutex);
        if (recording && !isStreaming() && recording->progress().samples > 0)
            endRecording();
    }
    return outcome(link.start().result());
}

Device::Result Device::stop()
{
    const Result result = outcome(link.stop().result());
    tap.wake();
    std::lock_guard<std::mutex> lock(recordingMutex);
    endRecording();
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

StreamState Device::streamState() const
{
    const session::SessionStatus status = link.status();
    StreamState state;
    state.stream = status.stream;
    state.streaming =
        status.link == session::Link::Streaming || status.link == session::Link::Reconnecting;
    return state;
}

Device::RecordRefusal Device::startRecording(const std::string& path, const Labels& labels,
                                             std::string& error)
{
    std::lock_guard<std::mutex> lock(recordingMutex);
    if (recording) {
        error = "a recording is running already, into " + running.path;
        return RecordRefusal::Running;
    }
    if (!isOpen()) {
        error = "the headset is not open";
        return RecordRefusal::NotOpen;
    }
    const formats::DeviceInfo info = deviceInfo();
    std::vector<std::unique_ptr<formats::Writer>> writers;
    writers.push_back(std::make_unique<formats::EdfWriter>(path));
    session::RecordingOptions options;
    options.labels = labels;
    auto started = std::make_unique<session::Recording>(link, std::move(writers), options);
    if (!started->open(error))
        return RecordRefusal::Output;
    started->start(info);
    recording = std::move(started);
    running = RecordingSummary();
    running.path = path;
    running.info = info;
    reconnectsBefore = link.status().reconnects;
    return RecordRefusal::None;
}

formats::DeviceInfo Device::deviceInfo()
{
    const session::SessionStatus status = link.status();
    return status.haveInfo ? status.info : link.readDeviceInfo().result().info;
}

Device::RecordRefusal Device::startPublishing(
    const session::LslOptions& options, std::string& error)
{
    std::lock_guard<std::mutex> lock(publisherMutex);
    if (publisher) {
        error = "the stream is published already";
        return RecordRefusal::Running;
    }
    if (!isOpen()) {
        error = "the headset is not open";
        return RecordRefusal::NotOpen;
    }
    auto started = std::make_unique<session::LslPublisher>(link, options);
    if (!started->start(deviceInfo(), error))
        return RecordRefusal::Output;
    publisher = std::move(started);
    return RecordRefusal::None;
}

void Device::stopPublishing()
{
    std::unique_ptr<session::LslPublisher> stopped;
    {
        std::lock_guard<std::mutex> lock(publisherMutex);
        stopped = std::move(publisher);
    }
    if (stopped)
        stopped->stop();
}

session::LslStatus Device::publishingStatus() const
{
    std::lock_guard<std::mutex> lock(publisherMutex);
    return publisher ? publisher->status() : session::LslStatus();
}

bool Device::isRecording() const
{
    std::lock_guard<std::mutex> lock(recordingMutex);
    return recording != nullptr;
}

void Device::endRecording()
{
    if (!recording)
        return;
    finished = running;
    finished.result = recording->finish();
    finished.reconnects = link.status().reconnects - reconnectsBefore;
    haveFinished = true;
    recording.reset();
}

bool Device::finishRecording(RecordingSummary& summary)
{
    std::lock_guard<std::mutex> lock(recordingMutex);
    endRecording();
    if (!haveFinished)
        return false;
    summary = std::move(finished);
    haveFinished = false;
    return true;
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
