#include <ondira/session/Session.h>

#include <ondira/session/TimeLine.h>

#include <ondira/Ondira.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace ondira {
namespace session {

namespace {

/// How often the control thread looks for a lost headset when idle.
constexpr std::chrono::milliseconds WATCH_PERIOD(20);

const char* const ENABLE_PROPERTIES[OndiraData::CHANNEL_COUNT] = {
    Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, Ondira::STR_PROPERTY_ENABLE_CHANNEL_2,
    Ondira::STR_PROPERTY_ENABLE_CHANNEL_3, Ondira::STR_PROPERTY_ENABLE_CHANNEL_4};

int enableChannel(const std::string& name)
{
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        if (name == ENABLE_PROPERTIES[c])
            return c;
    }
    return -1;
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

std::string statusText(int code)
{
    return StatusData::getStringFromCode(static_cast<StatusData::statusCode>(code));
}

/// The session whose sample consumer last ran on this thread: a status
/// event raised on that thread comes from the same worker, right after the
/// sample it delivered last.
thread_local const void* deliveringSession = nullptr;

template <typename Record>
class Consumer : public IDataConsumer
{
public:
    explicit Consumer(std::function<void(const Record&)> receive) : receive(std::move(receive)) {}
    void receiveData(PData& data) override { receive(*static_cast<const Record*>(data.getData())); }

private:
    const std::function<void(const Record&)> receive;
};

} // namespace

std::int64_t steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long long wallNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const char* linkName(Link link)
{
    switch (link) {
    case Link::Closed:
        return "closed";
    case Link::Open:
        return "open";
    case Link::Streaming:
        return "streaming";
    case Link::Reconnecting:
        return "reconnecting";
    }
    return "?";
}

const char* placementName(MarkPlacement placement)
{
    switch (placement) {
    case MarkPlacement::Placed:
        return "placed";
    case MarkPlacement::BeforeFirstSample:
        return "before the first sample";
    case MarkPlacement::NotStreaming:
        return "not streaming";
    case MarkPlacement::Refused:
        return "refused";
    case MarkPlacement::QueueFull:
        return "queue full";
    }
    return "?";
}

// ---------------------------------------------------------------------------

struct Call::State {
    std::mutex mutex;
    std::condition_variable doneChanged;
    bool done = false;
    CallResult result;
};

bool Call::wait(long long timeoutMs) const
{
    if (!state)
        return true;
    std::unique_lock<std::mutex> lock(state->mutex);
    if (timeoutMs < 0) {
        state->doneChanged.wait(lock, [this] { return state->done; });
        return true;
    }
    return state->doneChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return state->done; });
}

bool Call::done() const
{
    if (!state)
        return true;
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->done;
}

CallResult Call::result() const
{
    if (!state)
        return CallResult();
    wait();
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->result;
}

// ---------------------------------------------------------------------------

struct Session::Impl {
    struct Task {
        std::function<void(CallResult&)> run;
        std::shared_ptr<Call::State> state;
    };

    explicit Impl(SessionOptions options)
        : options(std::move(options))
        , sampleConsumer([this](const OndiraData& sample) { onSample(sample); })
        , statusConsumer([this](const StatusData& status) { onStatus(status); })
    {
        for (auto& slot : taps)
            slot.store(nullptr);
    }

    // --- the consumers: the library's worker, or the control thread in a call
    void onSample(const OndiraData& sample);
    void onStatus(const StatusData& status);
    double positionNow(std::int64_t steadyNs) const;

    // --- the control thread
    void run();
    Call post(std::function<void(CallResult&)> work);
    void makeFacade();
    void dropFacade();
    CallResult doOpen();
    CallResult doConnect();
    CallResult doStart();
    CallResult doStop();
    void doClose();
    bool applyCalibration(std::vector<std::string>* failures);
    DeviceInfo doReadDeviceInfo();
    void watch();
    void onLost();
    void tryReconnect();
    void giveUp(const std::string& message);
    void setLink(Link l) { link.store(static_cast<int>(l)); }
    Link currentLink() const { return static_cast<Link>(link.load()); }
    void addEntry(LogEntry::Kind kind, const std::string& text, double position);
    void info(const std::string& text) { addEntry(LogEntry::Kind::Info, text, positionNow(steadyNowNs())); }

    SessionOptions options;      // the driver and calibration parts under optionsMutex
    mutable std::mutex optionsMutex;
    StatusLog statusLog;
    /// Fed by the worker (and by the control thread while no sample can be
    /// delivered: before a start, after a close); asked by any thread.
    TimeLine timeLine;
    Consumer<OndiraData> sampleConsumer;
    Consumer<StatusData> statusConsumer;

    // Taps: the worker reads a slot inside a delivery (epoch odd), detach
    // waits until a delivery under way has ended.
    std::array<std::atomic<Tap*>, MAX_TAPS> taps;
    std::atomic<unsigned long long> epoch{0};

    // The worker's own (successive workers are joined in between).
    unsigned workerStream = 0;
    long long nextIndex = 0;
    long long lastTimestamp = 0;    // on the stream's time line
    long long timestampShift = 0;   // added to the library's timestamps since a reconnection
    bool haveLast = false;

    // Shared between the threads.
    std::atomic<int> link{static_cast<int>(Link::Closed)};
    std::atomic<int> pending{0};
    std::atomic<unsigned> stream{0};        // the current stream, set by the control thread
    std::atomic<bool> watching{false};      // a lost headset is acted upon
    std::atomic<bool> resumePending{false}; // the next sample is the first after a reconnection
    std::atomic<int> lostCode{-1};
    std::atomic<double> lostPosition{-1.0};
    std::atomic<bool> away{false};          // lost: handled, reconnecting or given up
    std::atomic<int> endCode{-1};
    std::atomic<int> reconnects{0};
    std::atomic<int> lostWith{-1};          // the event of the last loss
    // The current stream's time line and counters (reset by the control
    // thread before a stream starts, written by the worker while it runs).
    std::atomic<unsigned> deliveredStream{0};
    std::atomic<long long> lastIndex{-1};
    std::atomic<std::int64_t> lastDeliveryNs{0};
    std::atomic<std::int64_t> firstDeliveryNs{0};
    std::atomic<long long> delivered{0};
    std::atomic<long long> fillers{0};
    std::atomic<long long> realSamples{0};
    std::atomic<long long> firstReal{-1};   // real samples counted at the first delivery

    mutable std::mutex infoMutex;           // guards info, haveInfo
    DeviceInfo deviceInfo;
    bool haveInfo = false;

    std::mutex taskMutex;                   // guards tasks, stopping
    std::condition_variable taskWake;
    std::deque<Task> tasks;
    bool stopping = false;

    // The control thread's own.
    std::unique_ptr<Ondira> facade;
    std::chrono::steady_clock::time_point reconnectDeadline;
    std::chrono::steady_clock::time_point nextAttempt;
    std::int64_t lostAtNs = 0;
    std::uint32_t stepsSaid = 0; // steps of the time line told in the log

    std::thread control;
};

// ---------------------------------------------------------------------------
// Consumers. They never call the library and never wait; the sample
// consumer never allocates.

void Session::Impl::onSample(const OndiraData& sample)
{
    const std::int64_t now = steadyNowNs();
    const unsigned current = stream.load(std::memory_order_acquire);
    if (current != workerStream) {
        workerStream = current;
        nextIndex = 0;
        timestampShift = 0;
        haveLast = false;
    }
    const bool resumed = resumePending.exchange(false);
    long long index = nextIndex;
    // Time that passed without samples lies between two sessions of the
    // library (the headset was lost and came back): its timestamps restart
    // from the wall clock, and the samples that were due meanwhile count on
    // the time line. Within one session they are 4 ms apart, fillers
    // included; after a reconnection they are shifted (by less than a
    // sample period) so that they go on 4 ms apart across the gap.
    if (resumed && haveLast) {
        // The samples that were due: by the time line, which ran on through
        // the absence at the headset's own rate, once it has converged; else
        // by the library's timestamps.
        const long long raw = sample.getTimestamp();
        long long gap = std::llround(static_cast<double>(raw - lastTimestamp) / OndiraData::SAMPLE_PERIOD_MS) - 1;
        if (timeLine.estimate().converged) {
            const Position here = timeLine.positionOf(now);
            if (here.place == Place::Ahead || here.place == Place::Within)
                gap = std::llround(here.index) - nextIndex;
        }
        gap = std::max(0LL, gap);
        index += gap;
        timestampShift = lastTimestamp + OndiraData::SAMPLE_PERIOD_MS * (gap + 1) - raw;
        timeLine.restart(Break::HeadsetBack);
    }
    const long long timestamp = sample.getTimestamp() + timestampShift;
    const int flag = sample.getFlag();

    TapRecord record;
    record.index = index;
    record.timestampMs = timestamp;
    record.microvolts[0] = sample.getChannel1();
    record.microvolts[1] = sample.getChannel2();
    record.microvolts[2] = sample.getChannel3();
    record.microvolts[3] = sample.getChannel4();
    record.stream = current;
    record.droppedBefore = 0;
    record.flag = static_cast<std::uint8_t>(flag);
    record.offsetChangeIndex = sample.getOffsetChangeIndex();
    record.resumed = resumed ? 1 : 0;
    record.deliveredNs = now;

    timeLine.observe(index, now, flag == OndiraData::FLAG_LOST_SAMPLE ? SampleKind::Filler : SampleKind::Measured);
    nextIndex = index + 1;
    lastTimestamp = timestamp;
    haveLast = true;
    deliveringSession = this;
    // The newest sample's place before the stream it belongs to: a reader
    // that sees the new stream sees its first sample.
    lastDeliveryNs.store(now);
    lastIndex.store(index);
    if (deliveredStream.load(std::memory_order_relaxed) != current) {
        firstDeliveryNs.store(now);
        deliveredStream.store(current);
    }
    delivered.fetch_add(1, std::memory_order_relaxed);
    if (flag == OndiraData::FLAG_LOST_SAMPLE) {
        fillers.fetch_add(1, std::memory_order_relaxed);
    } else {
        const long long real = realSamples.fetch_add(1, std::memory_order_relaxed) + 1;
        long long none = -1;
        firstReal.compare_exchange_strong(none, real);
    }
    // Into the taps last: a reader that has a row finds it on the time line,
    // and a marker placed after the row was read lies at or after it.
    epoch.fetch_add(1); // odd: a delivery is under way
    for (auto& slot : taps) {
        if (Tap* tap = slot.load())
            tap->push(record);
    }
    epoch.fetch_add(1);
}

double Session::Impl::positionNow(std::int64_t steadyNs) const
{
    const unsigned current = stream.load();
    if (current == 0 || deliveredStream.load() != current)
        return -1.0;
    // The newest sample delivered was taken before now: the time line cannot
    // lie behind it (it does when the headset's rate is beyond the range the
    // fit allows, as with the virtual headset's timescale or fast keys).
    const double newest = static_cast<double>(lastIndex.load());
    const Position position = timeLine.positionOf(steadyNs);
    switch (position.place) {
    case Place::Within:
    case Place::Ahead:
    case Place::AfterEnd:
        return std::max(newest, position.index);
    case Place::NoFit:
    case Place::BeforeFirst:
        break;
    }
    return newest;
}

void Session::Impl::onStatus(const StatusData& status)
{
    const int code = status.getCode();
    LogEntry entry;
    entry.kind = LogEntry::Kind::Status;
    entry.code = code;
    entry.steadyNs = steadyNowNs();
    entry.wallMs = wallNowMs();
    entry.stream = stream.load();
    // An event of the worker follows the sample it delivered last; one that
    // the handling of a lost headset raises lies where the stream stopped, so
    // that nothing of the reconnection lands among the samples after it; any
    // other lies where the time line is when it arrives.
    if (deliveringSession == this && workerStream == entry.stream && haveLast)
        entry.position = static_cast<double>(nextIndex);
    else if (away.load())
        entry.position = lostPosition.load();
    else
        entry.position = positionNow(entry.steadyNs);
    entry.text = statusText(code);
    const double position = entry.position;
    statusLog.add(std::move(entry));
    if (meansHeadsetLost(code) && watching.load()) {
        int none = -1;
        if (lostCode.compare_exchange_strong(none, code))
            lostPosition.store(position);
    }
}

// ---------------------------------------------------------------------------
// The control thread: every call into the library.

void Session::Impl::addEntry(LogEntry::Kind kind, const std::string& text, double position)
{
    LogEntry entry;
    entry.kind = kind;
    entry.steadyNs = steadyNowNs();
    entry.wallMs = wallNowMs();
    entry.stream = stream.load();
    entry.position = position;
    entry.text = text;
    statusLog.add(std::move(entry));
}

Call Session::Impl::post(std::function<void(CallResult&)> work)
{
    auto state = std::make_shared<Call::State>();
    {
        std::lock_guard<std::mutex> lock(taskMutex);
        if (stopping) {
            state->result.failure = Failure::NotOpen;
            state->result.message = "the session is closing";
            state->done = true;
            return Call(state);
        }
        tasks.push_back(Task{std::move(work), state});
        pending.fetch_add(1);
    }
    taskWake.notify_one();
    return Call(state);
}

void Session::Impl::makeFacade()
{
    std::string library;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        library = options.driver.library;
    }
    // The facade loads the driver library and appends its settings to log.txt.
    facade = std::make_unique<Ondira>(library.c_str());
    facade->registerConsumer(IDataProcessor::STATUS_DATA, statusConsumer);
    facade->registerConsumer(IDataProcessor::SAMPLE_DATA, sampleConsumer);
}

void Session::Impl::dropFacade()
{
    if (!facade)
        return;
    facade->closeDevice();
    facade->deregisterConsumer(IDataProcessor::SAMPLE_DATA, sampleConsumer);
    facade->deregisterConsumer(IDataProcessor::STATUS_DATA, statusConsumer);
    facade.reset();
}

bool Session::Impl::applyCalibration(std::vector<std::string>* failures)
{
    std::array<bool, OndiraData::CHANNEL_COUNT> on{};
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        if (!options.calibrateSet)
            return true;
        on = options.calibrate;
    }
    bool all = true;
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        const long long mark = statusLog.next();
        if (!facade->setProperty(Property(ENABLE_PROPERTIES[c], on[static_cast<std::size_t>(c)] ? 1 : 0))) {
            all = false;
            if (failures)
                failures->push_back("could not switch the calibration of channel " + std::to_string(c + 1) + ": "
                                    + reasonOf(statusLog.codesSince(mark)));
        }
    }
    return all;
}

DeviceInfo Session::Impl::doReadDeviceInfo()
{
    DeviceInfo read;
    if (Property* p = facade->getProperty(Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION))
        read.dongleFirmware = p->getValueAsString();
    if (Property* p = facade->getProperty(Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION))
        read.headsetFirmware = p->getValueAsString();
    if (Property* p = facade->getProperty(Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL))
        read.dongleChannel = p->getValueAsInteger();
    if (Property* p = facade->getProperty(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL))
        read.headsetChannel = p->getValueAsInteger();
    std::lock_guard<std::mutex> lock(infoMutex);
    deviceInfo = read;
    haveInfo = true;
    return read;
}

CallResult Session::Impl::doOpen()
{
    CallResult result;
    if (currentLink() != Link::Closed) {
        result.ok = currentLink() != Link::Reconnecting;
        if (!result.ok) {
            result.failure = Failure::Device;
            result.message = "the headset is being reconnected: stop or close first";
        }
        return result;
    }
    const long long mark = statusLog.next();
    if (!facade->openDevice()) {
        result.codes = statusLog.codesSince(mark);
        const bool driver =
            std::find(result.codes.begin(), result.codes.end(), StatusData::FTDI_LIBRARY_ERROR) != result.codes.end();
        result.failure = driver ? Failure::Driver : Failure::NoDongle;
        result.message = "could not open the headset: " + reasonOf(result.codes);
        return result;
    }
    {
        std::lock_guard<std::mutex> lock(infoMutex);
        haveInfo = false;
        deviceInfo = DeviceInfo();
    }
    setLink(Link::Open);
    std::vector<std::string> failures;
    applyCalibration(&failures);
    for (const std::string& failure : failures)
        addEntry(LogEntry::Kind::Failure, failure, -1.0);
    result.codes = statusLog.codesSince(mark);
    result.ok = true;
    return result;
}

CallResult Session::Impl::doConnect()
{
    const long long mark = statusLog.next();
    CallResult result = doOpen();
    if (!result.ok)
        return result;
    if (!facade->ping()) {
        result.ok = false;
        result.codes = statusLog.codesSince(mark);
        result.failure = Failure::NoHeadset;
        result.message = "the dongle answered but the headset did not (" + reasonOf(result.codes) + ")";
        doClose();
        return result;
    }
    result.info = doReadDeviceInfo();
    result.codes = statusLog.codesSince(mark);
    return result;
}

CallResult Session::Impl::doStart()
{
    CallResult result;
    const Link now = currentLink();
    if (now == Link::Streaming || now == Link::Reconnecting) {
        result.ok = true;
        return result;
    }
    if (now != Link::Open) {
        result.failure = Failure::NotOpen;
        result.message = "could not start streaming: the headset is not open";
        return result;
    }
    // A new stream: its counters start afresh before the first sample.
    delivered.store(0);
    fillers.store(0);
    realSamples.store(0);
    firstReal.store(-1);
    lastIndex.store(-1);
    lastDeliveryNs.store(0);
    firstDeliveryNs.store(0);
    endCode.store(-1);
    lostCode.store(-1);
    away.store(false);
    resumePending.store(false);
    timeLine.restart(Break::NewStream); // no sample is delivered while the device is not streaming
    stream.fetch_add(1);
    watching.store(true);
    const long long mark = statusLog.next();
    if (!facade->startStreaming()) {
        watching.store(false);
        result.codes = statusLog.codesSince(mark);
        result.failure = Failure::Device;
        result.message = "could not start streaming: " + reasonOf(result.codes);
        return result;
    }
    setLink(Link::Streaming);
    result.codes = statusLog.codesSince(mark);
    result.ok = true;
    return result;
}

CallResult Session::Impl::doStop()
{
    CallResult result;
    watching.store(false);
    const Link now = currentLink();
    if (now == Link::Reconnecting) {
        // The device was closed when the headset was lost: it stays closed.
        setLink(Link::Closed);
        info("Reconnecting stopped");
        result.ok = true;
        return result;
    }
    if (now == Link::Closed) {
        result.ok = true;
        return result;
    }
    const long long mark = statusLog.next();
    result.ok = facade->stopStreaming();
    result.codes = statusLog.codesSince(mark);
    setLink(Link::Open);
    if (!result.ok) {
        result.failure = Failure::Device;
        result.message = "the headset did not confirm the stop (" + reasonOf(result.codes) + ")";
    }
    return result;
}

void Session::Impl::doClose()
{
    watching.store(false);
    if (currentLink() != Link::Closed)
        facade->closeDevice(); // stops streaming first, and joins the worker
    timeLine.finish();
    setLink(Link::Closed);
    std::lock_guard<std::mutex> lock(infoMutex);
    haveInfo = false;
    deviceInfo = DeviceInfo();
}

void Session::Impl::giveUp(const std::string& message)
{
    timeLine.finish(); // the device is closed: no sample comes
    // The reason is in the log before the status says the stream ended, so
    // that a program that sees the end finds why.
    addEntry(LogEntry::Kind::Failure, message, -1.0);
    endCode.store(lostWith);
    setLink(Link::Closed);
}

void Session::Impl::onLost()
{
    watching.store(false);
    away.store(true);
    lostWith = lostCode.load();
    lostAtNs = lastDeliveryNs.load();
    if (lostAtNs == 0)
        lostAtNs = steadyNowNs();
    addEntry(LogEntry::Kind::Note, "Headset lost", lostPosition.load());
    // A stop ends the delivery of the stream at once.
    facade->stopStreaming();
    const std::string why = statusText(lostWith);
    LostPolicy policy;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        policy = options.lost;
    }
    if (policy.action == LostPolicy::Action::Stop) {
        addEntry(LogEntry::Kind::Failure, "the headset stopped answering (" + why + ")", -1.0);
        endCode.store(lostWith);
        setLink(Link::Open);
        return;
    }
    facade->closeDevice();
    if (policy.forSeconds <= 0) {
        giveUp("the headset stopped answering (" + why + ") and reconnecting is off");
        return;
    }
    setLink(Link::Reconnecting);
    const auto now = std::chrono::steady_clock::now();
    reconnectDeadline = now + std::chrono::milliseconds(std::llround(policy.forSeconds * 1000));
    nextAttempt = now + std::chrono::milliseconds(std::max(1LL, std::llround(policy.everySeconds * 1000)));
    info("The headset was lost (" + why + "): trying to reopen it every " + secondsText(policy.everySeconds)
         + " s for " + secondsText(policy.forSeconds) + " s");
}

void Session::Impl::tryReconnect()
{
    LostPolicy policy;
    {
        std::lock_guard<std::mutex> lock(optionsMutex);
        policy = options.lost;
    }
    resumePending.store(true);
    lostCode.store(-1);
    if (facade->openDevice() && facade->ping()) {
        applyCalibration(nullptr);
        watching.store(true);
        if (facade->startStreaming()) {
            reconnects.fetch_add(1);
            away.store(false);
            setLink(Link::Streaming);
            info("The headset is back after "
                 + secondsText(static_cast<double>(steadyNowNs() - lostAtNs) / 1e9) + " s");
            return;
        }
        watching.store(false);
    }
    resumePending.store(false);
    facade->closeDevice();
    const auto now = std::chrono::steady_clock::now();
    if (now >= reconnectDeadline) {
        giveUp("the headset stopped answering (" + statusText(lostWith) + ") and did not come back within "
               + secondsText(policy.forSeconds) + " s");
        return;
    }
    nextAttempt = now + std::chrono::milliseconds(std::max(1LL, std::llround(policy.everySeconds * 1000)));
}

void Session::Impl::watch()
{
    const std::uint32_t steps = timeLine.estimate().steps;
    if (steps > stepsSaid) {
        stepsSaid = steps;
        info("The time line begins a new fit: the samples after a break do not go on from those "
             "before it");
    }
    const Link now = currentLink();
    if (now == Link::Streaming && lostCode.load() >= 0 && watching.load())
        onLost();
    else if (now == Link::Reconnecting && std::chrono::steady_clock::now() >= nextAttempt)
        tryReconnect();
}

void Session::Impl::run()
{
    makeFacade();
    for (;;) {
        Task task;
        bool have = false;
        {
            std::unique_lock<std::mutex> lock(taskMutex);
            auto period = std::chrono::steady_clock::now() + WATCH_PERIOD;
            if (currentLink() == Link::Reconnecting)
                period = std::min(period, nextAttempt);
            taskWake.wait_until(lock, period, [this] { return stopping || !tasks.empty(); });
            if (!tasks.empty()) {
                task = std::move(tasks.front());
                tasks.pop_front();
                have = true;
            } else if (stopping) {
                break;
            }
        }
        if (have) {
            CallResult result;
            task.run(result);
            {
                std::lock_guard<std::mutex> lock(task.state->mutex);
                task.state->result = std::move(result);
                task.state->done = true;
            }
            task.state->doneChanged.notify_all();
            pending.fetch_sub(1);
        }
        watch();
        statusLog.next(); // markers join the log at least this often
    }
    doClose();
    dropFacade();
}

// ---------------------------------------------------------------------------

Session::Session(SessionOptions options)
    : d(new Impl(std::move(options)))
{
    d->control = std::thread([this] { d->run(); });
}

Session::~Session()
{
    {
        std::lock_guard<std::mutex> lock(d->taskMutex);
        d->stopping = true;
    }
    d->taskWake.notify_all();
    d->control.join();
}

Call Session::open()
{
    return d->post([this](CallResult& r) { r = d->doOpen(); });
}

Call Session::connect()
{
    return d->post([this](CallResult& r) { r = d->doConnect(); });
}

Call Session::start()
{
    return d->post([this](CallResult& r) { r = d->doStart(); });
}

Call Session::stop()
{
    return d->post([this](CallResult& r) { r = d->doStop(); });
}

Call Session::close()
{
    return d->post([this](CallResult& r) {
        d->doClose();
        r.ok = true;
    });
}

Call Session::setDriver(Driver driver)
{
    return d->post([this, driver](CallResult& r) {
        if (d->currentLink() != Link::Closed) {
            r.failure = Failure::NotOpen;
            r.message = "the driver can be changed only while the headset is closed";
            return;
        }
        {
            std::lock_guard<std::mutex> lock(d->optionsMutex);
            d->options.driver = driver;
        }
        d->dropFacade();
        d->makeFacade();
        r.ok = true;
    });
}

Call Session::setCalibration(int channel, bool on)
{
    return d->post([this, channel, on](CallResult& r) {
        if (channel < 0 || channel >= OndiraData::CHANNEL_COUNT) {
            r.failure = Failure::Device;
            r.message = "there is no channel " + std::to_string(channel + 1);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(d->optionsMutex);
            if (!d->options.calibrateSet) {
                // The library's current switches for the other channels.
                for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
                    const Property* p = d->facade->getProperty(ENABLE_PROPERTIES[c]);
                    d->options.calibrate[static_cast<std::size_t>(c)] = p && p->getValueAsInteger() != 0;
                }
                d->options.calibrateSet = true;
            }
            d->options.calibrate[static_cast<std::size_t>(channel)] = on;
        }
        if (d->currentLink() == Link::Closed || d->currentLink() == Link::Reconnecting) {
            r.ok = true;
            return;
        }
        const long long mark = d->statusLog.next();
        r.ok = d->facade->setProperty(Property(ENABLE_PROPERTIES[channel], on ? 1 : 0));
        r.codes = d->statusLog.codesSince(mark);
        if (!r.ok) {
            r.failure = Failure::Device;
            r.message = "could not switch the calibration of channel " + std::to_string(channel + 1) + ": "
                + reasonOf(r.codes);
        }
    });
}

Call Session::setProperty(std::string name, int value)
{
    return d->post([this, name, value](CallResult& r) {
        const long long mark = d->statusLog.next();
        r.ok = d->facade->setProperty(Property(name.c_str(), value));
        r.codes = d->statusLog.codesSince(mark);
        const int channel = enableChannel(name);
        if (r.ok && channel >= 0) {
            std::lock_guard<std::mutex> lock(d->optionsMutex);
            if (d->options.calibrateSet)
                d->options.calibrate[static_cast<std::size_t>(channel)] = (value & 0xff) != 0;
        }
        if (!r.ok) {
            r.failure = Failure::Device;
            r.message = "could not set '" + name + "': " + reasonOf(r.codes);
        }
    });
}

Call Session::getProperty(std::string name)
{
    return d->post([this, name](CallResult& r) {
        const long long mark = d->statusLog.next();
        const Property* property = d->facade->getProperty(name.c_str());
        r.codes = d->statusLog.codesSince(mark);
        r.ok = property != nullptr;
        if (property) {
            r.integer = property->getValueAsInteger();
            r.text = property->getValueAsString();
        } else {
            r.failure = Failure::Device;
            r.message = "could not read '" + name + "': " + reasonOf(r.codes);
        }
    });
}

Call Session::readDeviceInfo()
{
    return d->post([this](CallResult& r) {
        if (d->currentLink() == Link::Closed || d->currentLink() == Link::Reconnecting) {
            r.failure = Failure::NotOpen;
            r.message = "the headset is not open";
            return;
        }
        const long long mark = d->statusLog.next();
        r.info = d->doReadDeviceInfo();
        r.codes = d->statusLog.codesSince(mark);
        r.ok = true;
    });
}

bool Session::attach(Tap& tap)
{
    for (auto& slot : d->taps) {
        Tap* none = nullptr;
        if (slot.compare_exchange_strong(none, &tap))
            return true;
    }
    return false;
}

void Session::detach(Tap& tap)
{
    bool found = false;
    for (auto& slot : d->taps) {
        Tap* expected = &tap;
        if (slot.compare_exchange_strong(expected, nullptr))
            found = true;
    }
    if (!found)
        return;
    // A delivery that began before the slot was cleared may still use the
    // tap: wait until it has ended (the epoch moves on or is even).
    const unsigned long long seen = d->epoch.load();
    if (seen % 2 == 0)
        return;
    while (d->epoch.load() == seen)
        std::this_thread::yield();
}

StatusLog& Session::log()
{
    return d->statusLog;
}

const StatusLog& Session::log() const
{
    return d->statusLog;
}

SessionStatus Session::status() const
{
    SessionStatus s;
    s.link = d->currentLink();
    s.pendingCalls = d->pending.load();
    {
        std::lock_guard<std::mutex> lock(d->optionsMutex);
        s.driver = d->options.driver;
        s.calibrate = d->options.calibrate;
        s.calibrateSet = d->options.calibrateSet;
    }
    {
        std::lock_guard<std::mutex> lock(d->infoMutex);
        s.haveInfo = d->haveInfo;
        s.info = d->deviceInfo;
    }
    s.stream = d->stream.load();
    const bool deliveredHere = d->deliveredStream.load() == s.stream && s.stream != 0;
    s.delivered = d->delivered.load();
    s.fillers = d->fillers.load();
    s.timeline = deliveredHere ? d->lastIndex.load() + 1 : 0;
    s.reconnects = d->reconnects.load();
    s.endCode = d->endCode.load();
    s.lostCode = d->lostWith.load();
    s.lastDeliveryNs = deliveredHere ? d->lastDeliveryNs.load() : 0;
    const long long real = d->realSamples.load();
    const long long first = d->firstReal.load();
    const std::int64_t span = s.lastDeliveryNs - d->firstDeliveryNs.load();
    const TimeLineEstimate line = d->timeLine.estimate();
    if (deliveredHere && line.converged) {
        s.effectiveRate = line.samplesPerSecond;
        s.ratePpm = line.ratePpm;
        s.rateUncertaintyPpm = line.rateUncertaintyPpm;
        s.timeLineConverged = true;
    } else if (deliveredHere && first >= 0 && real > first && span > 0) {
        s.effectiveRate = static_cast<double>(real - first) / (static_cast<double>(span) / 1e9);
    }
    return s;
}

const TimeLine& Session::timeLine() const
{
    return d->timeLine;
}

double Session::positionAt(std::int64_t steadyNs) const
{
    return d->positionNow(steadyNs);
}

void Session::note(LogEntry::Kind kind, const std::string& text)
{
    d->addEntry(kind, text, d->positionNow(steadyNowNs()));
}

MarkResult Session::mark(const std::string& text)
{
    MarkResult result;
    const std::int64_t now = steadyNowNs();
    result.wallMs = wallNowMs();
    if (!isValidMarkerText(text.data(), text.size(), result.reason)) {
        result.placement = MarkPlacement::Refused;
        return result;
    }
    const Link link = d->currentLink();
    if (link != Link::Streaming && link != Link::Reconnecting)
        return result; // NotStreaming
    result.stream = d->stream.load();
    result.position = d->positionNow(now);
    if (result.position < 0) {
        result.placement = MarkPlacement::BeforeFirstSample;
        return result;
    }
    result.placement = d->statusLog.addMarker(now, result.wallMs, result.stream, result.position, text)
        ? MarkPlacement::Placed
        : MarkPlacement::QueueFull;
    return result;
}

} // namespace session
} // namespace ondira
