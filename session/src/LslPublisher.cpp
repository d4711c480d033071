#include <ondira/session/LslPublisher.h>

#include <ondira/lsl/Clock.h>
#include <ondira/lsl/Outlet.h>
#include <ondira/session/TimeLine.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace ondira {
namespace session {

namespace {

// The thread wakes for every delivery of the library (ten a second) and, when
// none comes, this often for the log's entries: markers go out within it
// between deliveries. More often costs CPU for nothing (each wake-up is some
// 50 us on a virtual machine).
constexpr long long WAIT_MS = 50;
constexpr std::size_t BATCH = 1024;

std::string hostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

} // namespace

std::string lslSourceId(const DeviceInfo& device, bool virtualHeadset, const std::string& host)
{
    const std::string channel
        = device.dongleChannel >= 0 ? std::to_string(device.dongleChannel) : "unknown";
    return "ondira-" + host + (virtualHeadset ? "-virtual" : "") + "-dongle-channel-" + channel;
}

struct LslPublisher::Impl
{
    Impl(Session& session, LslOptions options)
        : session(session)
        , options(std::move(options))
        , tap(this->options.queueCapacity)
        , reader(tap)
        , rows(BATCH)
        , values(BATCH * OndiraData::CHANNEL_COUNT)
        , timestamps(BATCH)
    {
    }

    void run();
    double timeOf(double index, std::int64_t fallbackNs) const;
    void pushRows(std::size_t count);
    void pushEntries();
    void tell(const std::string& text, double timestamp)
    {
        if (markers->pushString(text, timestamp))
            ++markersSent;
    }

    Session& session;
    const LslOptions options;
    Tap tap;
    TapReader reader;
    mutable std::mutex outletsMutex; // guards the two pointers against status()
    std::unique_ptr<lsl::Outlet> eeg;
    std::unique_ptr<lsl::Outlet> markers;
    std::atomic<std::uint16_t> dataPort{ 0 };
    std::string sourceId;
    long long cursor = 0;
    std::atomic<bool> stopping{ false };
    std::thread thread;
    bool attached = false;

    // The thread's own.
    std::vector<Row> rows;
    std::vector<float> values;
    std::vector<double> timestamps;
    long long lostRun = 0;
    double lostRunStart = 0.0;
    unsigned lastStream = 0;
    double lastStamp = 0.0;
    std::vector<LogEntry> entries;

    std::atomic<long long> samplesSent{ 0 };
    std::atomic<long long> markersSent{ 0 };
};

double LslPublisher::Impl::timeOf(double index, std::int64_t fallbackNs) const
{
    const Instant at = session.timeLine().timeOf(index);
    if (at.place == Place::NoFit || index < 0)
        return lsl::steadySeconds(fallbackNs);
    return lsl::steadySeconds(at.steadyNs);
}

void LslPublisher::Impl::pushRows(std::size_t count)
{
    const std::int64_t now = steadyNowNs();
    for (std::size_t i = 0; i < count; ++i) {
        const Row& row = rows[i];
        for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
            values[i * OndiraData::CHANNEL_COUNT + static_cast<std::size_t>(c)]
                = static_cast<float>(row.sample.microvolts[static_cast<std::size_t>(c)]);
        // Timestamps rise within a stream: where a new fit of the time line
        // puts a sample a little before the one sent last (in the first
        // seconds, after a reconnection), it is sent just after that one.
        double stamp = timeOf(static_cast<double>(row.index), now);
        if (row.stream == lastStream && stamp <= lastStamp)
            stamp = lastStamp + 1e-6;
        lastStream = row.stream;
        lastStamp = stamp;
        timestamps[i] = stamp;
        // Fillers are sent as samples, so that the stream stays regular; their
        // loss is told on the marker stream once the run is over.
        if (formats::isFiller(row.sample)) {
            if (lostRun++ == 0)
                lostRunStart = timestamps[i];
        } else if (lostRun > 0) {
            tell(std::to_string(lostRun) + " samples lost", lostRunStart);
            lostRun = 0;
        }
    }
    if (count > 0 && eeg->pushSamples(values.data(), timestamps.data(), count))
        samplesSent.fetch_add(static_cast<long long>(count));
}

void LslPublisher::Impl::pushEntries()
{
    entries.clear();
    session.log().read(cursor, entries);
    for (const LogEntry& entry : entries) {
        const double at = timeOf(entry.position, entry.steadyNs);
        switch (entry.kind) {
        case LogEntry::Kind::Marker:
            tell(entry.text, at);
            break;
        case LogEntry::Kind::Status:
            tell("status: " + entry.text, at);
            break;
        case LogEntry::Kind::Note:
            tell("note: " + entry.text, at);
            break;
        case LogEntry::Kind::Info:
        case LogEntry::Kind::Failure:
            break;
        }
    }
}

void LslPublisher::Impl::run()
{
    // Once more after the stop: what came before it goes out.
    for (bool last = false; !last;) {
        last = stopping.load();
        if (!last)
            tap.waitFor(1, WAIT_MS);
        reader.collect();
        for (std::size_t count; (count = reader.take(rows.data(), rows.size())) > 0;)
            pushRows(count);
        pushEntries();
    }
}

LslPublisher::LslPublisher(Session& session, LslOptions options)
    : d(new Impl(session, std::move(options)))
{
}

LslPublisher::~LslPublisher()
{
    stop();
}

bool LslPublisher::start(const DeviceInfo& device, std::string& error)
{
    if (d->thread.joinable())
        return true;
    const bool virtualHeadset = d->session.status().driver.kind == Driver::Kind::VirtualHeadset;
    const std::string sourceId = lslSourceId(device, virtualHeadset, hostName());
    {
        std::lock_guard<std::mutex> lock(d->outletsMutex);
        d->sourceId = sourceId;
    }

    lsl::StreamInfo eeg;
    eeg.name = d->options.name;
    eeg.type = "EEG";
    eeg.channelCount = OndiraData::CHANNEL_COUNT;
    eeg.nominalRate = OndiraData::SAMPLE_RATE_HZ;
    eeg.format = lsl::ChannelFormat::Float32;
    eeg.sourceId = sourceId;
    for (const std::string& label : d->options.labels)
        eeg.channels.push_back({ label, "microvolts", "EEG" });
    eeg.acquisition = { { "manufacturer", "Ondira" },
        { "model", "Ondira four-channel EEG headset" },
        { "dongle_firmware", device.dongleFirmware.empty() ? "unknown" : device.dongleFirmware },
        { "headset_firmware", device.headsetFirmware.empty() ? "unknown" : device.headsetFirmware },
        { "radio_channel",
            device.dongleChannel >= 0 ? std::to_string(device.dongleChannel) : "unknown" } };
    lsl::StreamInfo marks;
    marks.name = d->options.name + "-Markers";
    marks.type = "Markers";
    marks.channelCount = 1;
    marks.nominalRate = 0;
    marks.format = lsl::ChannelFormat::String;
    marks.sourceId = sourceId + "-markers";

    lsl::OutletOptions outletOptions;
    outletOptions.interfaceAddress = d->options.interfaceAddress;
    auto eegOutlet = std::make_unique<lsl::Outlet>(eeg, outletOptions);
    auto markerOutlet = std::make_unique<lsl::Outlet>(marks, outletOptions);
    if (!eegOutlet->start(error) || !markerOutlet->start(error))
        return false;
    d->cursor = d->session.log().next();
    d->attached = d->session.attach(d->tap);
    if (!d->attached) {
        error = "the session has no room for another tap";
        return false;
    }
    d->dataPort.store(eegOutlet->dataPort());
    {
        std::lock_guard<std::mutex> lock(d->outletsMutex);
        d->eeg = std::move(eegOutlet);
        d->markers = std::move(markerOutlet);
    }
    d->stopping.store(false);
    d->thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "lsl-publisher");
        d->run();
    });
    return true;
}

void LslPublisher::stop()
{
    if (!d->thread.joinable())
        return;
    d->stopping.store(true);
    d->tap.wake();
    d->thread.join();
    if (d->attached)
        d->session.detach(d->tap);
    d->attached = false;
    std::unique_ptr<lsl::Outlet> eeg, markers;
    {
        std::lock_guard<std::mutex> lock(d->outletsMutex);
        eeg = std::move(d->eeg);
        markers = std::move(d->markers);
    }
    // Destroyed outside the lock: their threads are joined.
}

LslStatus LslPublisher::status() const
{
    LslStatus s;
    {
        std::lock_guard<std::mutex> lock(d->outletsMutex);
        s.running = d->eeg != nullptr;
        s.sourceId = d->sourceId;
    }
    s.samples = d->samplesSent.load();
    s.markers = d->markersSent.load();
    s.dataPort = d->dataPort.load();
    std::lock_guard<std::mutex> lock(d->outletsMutex);
    if (d->eeg && d->markers) {
        const lsl::OutletStats eeg = d->eeg->stats();
        const lsl::OutletStats marks = d->markers->stats();
        s.inlets = eeg.inlets + marks.inlets;
        s.droppedForInlets
            = static_cast<long long>(eeg.samplesDroppedForInlets + marks.samplesDroppedForInlets);
        s.badRequests = static_cast<long long>(eeg.badRequests + marks.badRequests);
    }
    return s;
}

} // namespace session
} // namespace ondira
