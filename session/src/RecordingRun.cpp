#include <ondira/session/RecordingRun.h>

#include <ondira/StatusData.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace ondira {
namespace session {

namespace {

constexpr std::chrono::milliseconds WATCH_PERIOD(20);
constexpr std::size_t DISPLAY_LIMIT = 1000; // events kept for takeEvents()

SessionOptions sessionOptions(const RunOptions& options)
{
    SessionOptions s;
    s.driver = options.driver;
    s.lost = LostPolicy::reconnect(options.reconnectSeconds, options.reconnectIntervalSeconds);
    s.calibrate = options.calibrate;
    s.calibrateSet = true;
    return s;
}

RecordingOptions recordingOptions(const RunOptions& options)
{
    RecordingOptions r;
    r.labels = options.labels;
    r.maxSamples = options.seconds > 0
        ? std::max(1LL, std::llround(options.seconds * OndiraData::SAMPLE_RATE_HZ))
        : 0;
    r.queueCapacity = options.queueCapacity;
    return r;
}

} // namespace

const char* outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Completed:
        return "Completed";
    case Outcome::Stopped:
        return "Stopped";
    case Outcome::NothingRecorded:
        return "NothingRecorded";
    case Outcome::HeadsetFailed:
        return "HeadsetFailed";
    case Outcome::OutputFailed:
        return "OutputFailed";
    case Outcome::PublishFailed:
        return "PublishFailed";
    }
    return "?";
}

struct RecordingRun::Impl {
    explicit Impl(const RunOptions& options)
        : options(options)
        , session(sessionOptions(options))
        , cursor(session.log().next())
    {
    }

    void run();
    void readLog();
    bool waitForStop(std::chrono::milliseconds period);
    void setState(RunState s) { state.store(static_cast<int>(s)); }
    void fail(Outcome result, const std::string& text, int code)
    {
        outcome = result;
        message = text;
        failureCode = code;
    }

    const RunOptions options;
    Session session;
    std::vector<std::unique_ptr<formats::Writer>> writers;
    std::unique_ptr<Recording> recording;
    std::unique_ptr<LslPublisher> publisher; // lives as long as the run
    std::atomic<LslPublisher*> publishing{ nullptr }; // once it has started, for progress()
    long long cursor;

    std::atomic<int> state{static_cast<int>(RunState::Idle)};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> threadDone{false};
    std::mutex wakeMutex;
    std::condition_variable wake;     // requestStop, the end of the thread
    std::thread thread;
    bool started = false;
    bool finished = false;

    mutable std::mutex shownMutex;    // guards the four below
    std::vector<formats::StatusEvent> shown;
    std::string lastStatus;
    DeviceInfo info;
    bool haveInfo = false;

    // Written by the run's thread, read after it has ended.
    Outcome outcome = Outcome::Completed;
    std::string message;
    int failureCode = -1;
    std::string lastFailure;          // the session's last failure entry
};

void RecordingRun::Impl::readLog()
{
    std::vector<LogEntry> entries;
    session.log().read(cursor, entries);
    std::lock_guard<std::mutex> lock(shownMutex);
    for (const LogEntry& entry : entries) {
        if (entry.kind == LogEntry::Kind::Failure)
            lastFailure = entry.text;
        if (entry.kind != LogEntry::Kind::Status)
            continue;
        lastStatus = entry.text;
        // For a front end that shows them; nobody may be asking.
        if (shown.size() >= DISPLAY_LIMIT)
            shown.erase(shown.begin(), shown.begin() + DISPLAY_LIMIT / 2);
        const double onset = recording ? recording->onsetOf(entry) : 0.0;
        shown.push_back(formats::StatusEvent{entry.wallMs, onset, entry.code, entry.type(), entry.text});
    }
}

bool RecordingRun::Impl::waitForStop(std::chrono::milliseconds period)
{
    std::unique_lock<std::mutex> lock(wakeMutex);
    return wake.wait_for(lock, period, [this] { return stopRequested.load(); });
}

void RecordingRun::Impl::run()
{
    setState(RunState::Opening);
    const CallResult opened = session.connect().result();
    readLog();
    if (!opened.ok) {
        fail(Outcome::HeadsetFailed, opened.message, opened.code());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(shownMutex);
        info = opened.info;
        haveInfo = true;
    }
    if (stopRequested.load()) {
        outcome = Outcome::NothingRecorded;
        return;
    }
    if (options.publish) {
        LslOptions lsl = options.lsl;
        lsl.labels = options.labels;
        publisher = std::make_unique<LslPublisher>(session, lsl);
        std::string error;
        if (!publisher->start(opened.info, error)) {
            fail(Outcome::PublishFailed, "the stream could not be published on LSL: " + error, -1);
            return;
        }
        publishing.store(publisher.get());
    }
    recording->start(opened.info);
    const CallResult startedStream = session.start().result();
    if (!startedStream.ok) {
        fail(Outcome::HeadsetFailed, "the headset did not start streaming: " + reasonOf(startedStream.codes),
             startedStream.code());
        return;
    }
    setState(RunState::Recording);
    const long long target = recording ? recordingOptions(options).maxSamples : 0;
    for (;;) {
        if (waitForStop(WATCH_PERIOD)) {
            outcome = Outcome::Stopped;
            break;
        }
        readLog();
        const RecordingProgress progress = recording->progress();
        if (progress.full) {
            outcome = Outcome::Completed;
            break;
        }
        if (progress.failed) {
            outcome = Outcome::OutputFailed; // the writer's message is added at the end
            break;
        }
        const SessionStatus status = session.status();
        if (status.link == Link::Reconnecting) {
            setState(RunState::Reconnecting);
            // The time line would be full by now: the recording time is over.
            const std::int64_t since = status.lastDeliveryNs > 0 ? steadyNowNs() - status.lastDeliveryNs : 0;
            const long long away = since / (OndiraData::SAMPLE_PERIOD_MS * 1000000LL);
            if (target > 0 && progress.samples + away >= target) {
                session.stop().wait();
                readLog();
                const int code = status.lostCode;
                fail(Outcome::HeadsetFailed,
                     "the headset stopped answering ("
                         + std::string(StatusData::getStringFromCode(static_cast<StatusData::statusCode>(code)))
                         + ") and had not come back when the recording time was over",
                     code);
                break;
            }
        } else if (status.link == Link::Streaming) {
            setState(RunState::Recording);
        } else if (status.endCode >= 0) {
            readLog();
            fail(Outcome::HeadsetFailed, lastFailure, status.endCode);
            break;
        }
    }
    setState(RunState::Stopping);
}

// ---------------------------------------------------------------------------

RecordingRun::RecordingRun(const RunOptions& options)
    : d(new Impl(options))
{
}

RecordingRun::~RecordingRun()
{
    if (d->started && !d->finished) {
        requestStop();
        finish();
    }
}

void RecordingRun::addWriter(std::unique_ptr<formats::Writer> writer)
{
    if (!d->started && writer)
        d->writers.push_back(std::move(writer));
}

bool RecordingRun::start()
{
    if (d->started)
        return false;
    d->started = true;
    d->recording = std::make_unique<Recording>(d->session, std::move(d->writers), recordingOptions(d->options));
    std::string error;
    if (!d->recording->open(error)) {
        d->fail(Outcome::OutputFailed, error, -1);
        d->setState(RunState::Finished);
        d->threadDone.store(true);
        return false;
    }
    d->thread = std::thread([this] {
        d->run();
        {
            std::lock_guard<std::mutex> lock(d->wakeMutex);
            d->threadDone.store(true);
            d->setState(RunState::Finished);
        }
        d->wake.notify_all();
    });
    return true;
}

void RecordingRun::requestStop()
{
    {
        std::lock_guard<std::mutex> lock(d->wakeMutex);
        d->stopRequested.store(true);
    }
    d->wake.notify_all();
}

bool RecordingRun::waitUntilFinished(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(d->wakeMutex);
    return d->wake.wait_for(lock, std::chrono::milliseconds(std::max(0, timeoutMs)),
                            [this] { return d->threadDone.load(); });
}

Progress RecordingRun::progress() const
{
    Progress p;
    p.state = static_cast<RunState>(d->state.load());
    if (d->recording) {
        const RecordingProgress r = d->recording->progress();
        p.samples = r.samples;
        p.samplesLost = r.fillers;
    }
    p.recordedSeconds = static_cast<double>(p.samples) / OndiraData::SAMPLE_RATE_HZ;
    p.totalSeconds = d->options.seconds > 0 ? d->options.seconds : 0.0;
    if (LslPublisher* publisher = d->publishing.load())
        p.lsl = publisher->status();
    std::lock_guard<std::mutex> lock(d->shownMutex);
    p.lastStatus = d->lastStatus;
    return p;
}

bool RecordingRun::deviceInfo(DeviceInfo& info) const
{
    std::lock_guard<std::mutex> lock(d->shownMutex);
    if (d->haveInfo)
        info = d->info;
    return d->haveInfo;
}

std::vector<formats::StatusEvent> RecordingRun::takeEvents()
{
    std::vector<formats::StatusEvent> events;
    std::lock_guard<std::mutex> lock(d->shownMutex);
    events.swap(d->shown);
    return events;
}

Session& RecordingRun::session()
{
    return d->session;
}

Summary RecordingRun::finish()
{
    Summary summary;
    if (!d->started || d->finished)
        return summary;
    if (d->thread.joinable())
        d->thread.join();
    d->finished = true;
    // Streaming ends before the files are completed: every sample received is written.
    d->session.stop().wait();
    if (d->publisher)
        d->publisher->stop(); // what was received is out
    d->session.close().wait();
    const SessionStatus status = d->session.status();
    const RecordingResult result = d->recording->finish();

    Outcome outcome = d->outcome;
    std::string message = d->message;
    if (outcome != Outcome::OutputFailed && !result.error.empty()) {
        outcome = Outcome::OutputFailed;
        message = result.error;
    } else if (outcome == Outcome::OutputFailed && message.empty()) {
        message = result.error;
    }
    if (result.samples == 0 && outcome != Outcome::HeadsetFailed && outcome != Outcome::OutputFailed
        && outcome != Outcome::PublishFailed)
        outcome = Outcome::NothingRecorded;

    summary.outcome = outcome;
    summary.message = message;
    if (outcome == Outcome::HeadsetFailed)
        summary.failureCode = d->failureCode;
    summary.samples = result.samples;
    summary.fillers = result.fillers;
    summary.librarySamples = result.received;
    summary.afterEnd = result.afterEnd;
    summary.overflowed = result.dropped;
    summary.reconnects = status.reconnects;
    summary.eventsByType = result.eventsByType;
    summary.recordedSeconds = static_cast<double>(result.samples) / OndiraData::SAMPLE_RATE_HZ;
    summary.effectiveRate = status.effectiveRate;
    summary.driftPpm = status.ratePpm;
    summary.driftUncertaintyPpm = status.rateUncertaintyPpm;
    summary.rateSettled = status.timeLineConverged;
    deviceInfo(summary.device);
    summary.files = result.files;
    if (d->publisher)
        summary.lsl = d->publisher->status();
    return summary;
}

} // namespace session
} // namespace ondira
