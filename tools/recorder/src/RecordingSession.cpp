#include <ondira/recorder/RecordingSession.h>

#include <ondira/recorder/Headset.h>

#include <ondira/Ondira.h>

#include <boost/lockfree/spsc_queue.hpp>

#include <QDateTime>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace ondira {
namespace recorder {

namespace {

constexpr std::chrono::milliseconds WATCH_PERIOD(20);
constexpr std::chrono::milliseconds WRITE_PERIOD(25);
constexpr std::size_t WRITE_BATCH = 1024;
constexpr std::size_t EVENT_LIMIT = 100000;   // kept for the writer thread, beyond: counted only
constexpr std::size_t DISPLAY_LIMIT = 1000;   // kept for takeEvents()

/// A sample on its way from the library's worker to the writer thread,
/// with the fillers to write before it. Trivially copyable: the queue copies
/// it into preallocated slots.
struct QueuedSample {
    long long timestampMs = 0;
    int microvolts[CHANNEL_COUNT] = {0, 0, 0, 0};
    int flag = 0;
    int offsetChangeIndex = 0;
    long long fillBefore = 0;   // fillers before this sample: gapFill + droppedFill
    long long gapFill = 0;      // of which: time that passed without samples
    long long droppedFill = 0;  // of which: samples the queue had no room for
    bool restart = false;       // the first sample after the headset came back
    bool skipSelf = false;      // the time line filled up with the fillers: not this sample
};

struct PendingEvent {
    long long wallMs;
    double onsetSeconds;
    int code;
};

long long steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
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
    }
    return "?";
}

struct RecordingSession::Impl {
    explicit Impl(const SessionOptions& options)
        : options(options)
        , target(options.seconds > 0 ? std::max(1LL, std::llround(options.seconds * SAMPLE_RATE_HZ)) : LLONG_MAX)
        , queue(std::max<std::size_t>(1, options.queueCapacity))
        , sampleConsumer([this](const OndiraData& sample) { onSample(sample); })
        , statusConsumer([this](const StatusData& status) { onStatus(status); })
    {
        pendingEvents.reserve(1024);
        controlCodes.reserve(64);
    }

    // --- consumers: the library's worker thread, or the session thread during a facade call

    void onSample(const OndiraData& sample);
    void onStatus(const StatusData& status);
    double onsetNow() const;

    // --- session thread
    void run();
    bool openHeadset(Ondira& facade, bool first);
    bool reconnect(Ondira& facade);
    void applyCalibration(Ondira& facade);
    void clearControlCodes();
    std::string controlTexts();
    /// The first error among the codes since the last clear (else the first code; -1: none).
    int controlFailureCode();
    void addNote(double onset, const std::string& text, double duration = -1);
    void setOutcome(Outcome outcome, const std::string& message);
    void setState(SessionState s) { state.store(static_cast<int>(s)); }
    bool waitForStop(std::chrono::milliseconds period);

    // --- writer thread
    void writeLoop();
    void drainSamples(std::vector<QueuedSample>& batch, std::vector<Sample>& out, std::vector<Note>& notes);
    void drainEventsAndNotes();
    void appendFillers(std::vector<Sample>& out, long long count);
    void dispatchSamples(const std::vector<Sample>& samples);
    void dispatchNote(const Note& note);
    void dispatchEvent(const StatusEvent& event);
    void writerFailure(const Writer& writer);

    const SessionOptions options;
    const long long target;              // time-line samples; LLONG_MAX: open-ended
    std::vector<std::unique_ptr<Writer>> writers;
    boost::lockfree::spsc_queue<QueuedSample> queue; // worker -> writer thread, never blocks
    RecordConsumer<OndiraData> sampleConsumer;
    RecordConsumer<StatusData> statusConsumer;

    // Worker-side state: only the library's worker touches it (successive
    // workers are joined in between), and the writer thread once every
    // worker has ended.
    long long lastTimestamp = 0;
    bool haveLast = false;
    QueuedSample pending{};              // fillers that the queue had no room for
    bool havePending = false;

    // Shared between the threads.
    std::atomic<long long> timeline{0};  // samples on the time line
    std::atomic<long long> lost{0};      // of which fillers
    std::atomic<long long> librarySamples{0};
    std::atomic<long long> realSamples{0};
    std::atomic<long long> afterEnd{0};
    std::atomic<long long> overflowed{0};
    std::atomic<long long> firstArrival{-1};
    std::atomic<long long> lastArrival{0};
    std::atomic<bool> ended{false};      // the time line is full
    std::atomic<bool> restartPending{false};
    std::atomic<bool> watching{false};   // a lost headset is acted upon
    std::atomic<bool> lostSignal{false};
    std::atomic<double> lostOnset{0.0};
    std::atomic<int> lostCode{0};        // the event that said the headset is gone
    std::atomic<int> lastStatusCode{-1};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> writerFailed{false};
    std::atomic<bool> writerFinish{false};
    std::atomic<int> state{static_cast<int>(SessionState::Idle)};
    std::atomic<bool> threadsDone{false};

    std::mutex eventMutex;               // guards the four below
    std::vector<PendingEvent> pendingEvents;
    std::vector<int> controlCodes;       // codes since the session thread last cleared them
    std::vector<StatusEvent> displayEvents;
    std::vector<Note> pendingNotes;
    long long uncountedEvents = 0;

    mutable std::mutex infoMutex;        // guards info, haveInfo
    DeviceInfo info;
    bool haveInfo = false;

    std::mutex wakeMutex;
    std::condition_variable wake;        // requestStop, writerFinish, the end of the threads

    std::thread sessionThread;
    std::thread writerThread;
    bool started = false;
    bool finished = false;

    // Written by the session thread, read after it has ended.
    Outcome outcome = Outcome::Completed;
    std::string message;
    int failureCode = -1;
    int reconnects = 0;
    bool outputOpenFailed = false;

    // Written by the writer thread, read after it has ended.
    std::map<std::string, int> eventsByType;
    long long written = 0;
    long long fillersWritten = 0;
    Sample lastWritten;
    bool haveWritten = false;
    std::string writeError;
};

// ---------------------------------------------------------------------------
// Consumers. They never call the library, never wait and never allocate
// (but for the rare status event).

double RecordingSession::Impl::onsetNow() const
{
    const long long count = timeline.load();
    if (count == 0)
        return 0.0;
    const long long since = std::max(0LL, steadyMs() - lastArrival.load());
    return static_cast<double>(count - 1) / SAMPLE_RATE_HZ + static_cast<double>(since) / 1000.0;
}

void RecordingSession::Impl::onSample(const OndiraData& sample)
{
    librarySamples.fetch_add(1, std::memory_order_relaxed);
    if (ended.load()) {
        afterEnd.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const long long now = steadyMs();
    long long expected = -1;
    firstArrival.compare_exchange_strong(expected, now);
    lastArrival.store(now);

    QueuedSample q{};
    q.timestampMs = sample.getTimestamp();
    q.microvolts[0] = sample.getChannel1();
    q.microvolts[1] = sample.getChannel2();
    q.microvolts[2] = sample.getChannel3();
    q.microvolts[3] = sample.getChannel4();
    q.flag = sample.getFlag();
    q.offsetChangeIndex = sample.getOffsetChangeIndex();
    q.restart = restartPending.exchange(false);
    // Time that passed without samples becomes fillers, on the 4 ms grid of
    // the samples before: the time the headset was away, and any other jump
    // of the library's time line (its clock restarts with each start of
    // streaming, and samples can come just before that restart).
    if (haveLast)
        q.gapFill = std::max(0LL, std::llround(static_cast<double>(q.timestampMs - lastTimestamp) / SAMPLE_PERIOD_MS) - 1);

    const long long onLine = timeline.load(std::memory_order_relaxed);
    const long long room = target - onLine;
    if (q.gapFill >= room) {
        q.gapFill = room;
        q.skipSelf = true;
    }
    const long long added = q.gapFill + (q.skipSelf ? 0 : 1);
    lastTimestamp = q.skipSelf ? lastTimestamp + SAMPLE_PERIOD_MS * q.gapFill : q.timestampMs;
    haveLast = true;
    const bool filler = q.flag == FLAG_LOST_SAMPLE;
    if (!q.skipSelf && !filler)
        realSamples.fetch_add(1, std::memory_order_relaxed);
    long long newlyLost = q.gapFill + (!q.skipSelf && filler ? 1 : 0);

    if (havePending) {
        q.gapFill += pending.gapFill;
        q.droppedFill += pending.droppedFill;
        q.restart = q.restart || pending.restart;
    }
    q.fillBefore = q.gapFill + q.droppedFill;
    if (queue.push(q)) {
        havePending = false;
    } else {
        // No room: this sample and the fillers before it wait as fillers
        // in front of the next sample that fits.
        pending = q;
        if (!q.skipSelf) {
            pending.droppedFill += 1;
            overflowed.fetch_add(1, std::memory_order_relaxed);
            if (!filler)
                ++newlyLost;
        }
        havePending = true;
    }
    lost.fetch_add(newlyLost, std::memory_order_relaxed);
    timeline.store(onLine + added);
    if (onLine + added >= target)
        ended.store(true);
}

void RecordingSession::Impl::onStatus(const StatusData& status)
{
    const int code = status.getCode();
    const PendingEvent event{QDateTime::currentMSecsSinceEpoch(), onsetNow(), code};
    lastStatusCode.store(code);
    {
        std::lock_guard<std::mutex> lock(eventMutex);
        if (pendingEvents.size() < EVENT_LIMIT)
            pendingEvents.push_back(event);
        else
            ++uncountedEvents;
        if (controlCodes.size() < 64)
            controlCodes.push_back(code);
    }
    if ((code == StatusData::DEVICE_IO_ERROR || code == StatusData::DEVICE_NOT_RESPONDING) && watching.load()
        && !lostSignal.exchange(true)) {
        lostOnset.store(event.onsetSeconds);
        lostCode.store(code);
    }
}

// ---------------------------------------------------------------------------
// Session thread: all calls into the library.

void RecordingSession::Impl::clearControlCodes()
{
    std::lock_guard<std::mutex> lock(eventMutex);
    controlCodes.clear();
}

std::string RecordingSession::Impl::controlTexts()
{
    std::vector<int> codes;
    {
        std::lock_guard<std::mutex> lock(eventMutex);
        codes = controlCodes;
    }
    std::string texts;
    std::vector<int> seen;
    for (int code : codes) {
        if (std::find(seen.begin(), seen.end(), code) != seen.end())
            continue;
        seen.push_back(code);
        if (!texts.empty())
            texts += " / ";
        texts += StatusData::getStringFromCode(static_cast<StatusData::statusCode>(code));
    }
    return texts.empty() ? std::string("no status event") : texts;
}

int RecordingSession::Impl::controlFailureCode()
{
    std::lock_guard<std::mutex> lock(eventMutex);
    for (int code : controlCodes) {
        if (std::string(StatusData::getTypeFromCode(static_cast<StatusData::statusCode>(code))) == "ERROR")
            return code;
    }
    return controlCodes.empty() ? -1 : controlCodes.front();
}

void RecordingSession::Impl::addNote(double onset, const std::string& text, double duration)
{
    std::lock_guard<std::mutex> lock(eventMutex);
    pendingNotes.push_back(Note{onset, duration, text});
}

void RecordingSession::Impl::setOutcome(Outcome result, const std::string& text)
{
    outcome = result;
    message = text;
}

bool RecordingSession::Impl::waitForStop(std::chrono::milliseconds period)
{
    std::unique_lock<std::mutex> lock(wakeMutex);
    return wake.wait_for(lock, period, [this] { return stopRequested.load(); });
}

void RecordingSession::Impl::applyCalibration(Ondira& facade)
{
    const char* const names[CHANNEL_COUNT] = {
        Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, Ondira::STR_PROPERTY_ENABLE_CHANNEL_2,
        Ondira::STR_PROPERTY_ENABLE_CHANNEL_3, Ondira::STR_PROPERTY_ENABLE_CHANNEL_4};
    for (int c = 0; c < CHANNEL_COUNT; ++c)
        facade.setProperty(Property(names[c], options.calibrate[c] ? 1 : 0));
}

void RecordingSession::Impl::run()
{
    Ondira facade;
    facade.registerConsumer(IDataProcessor::STATUS_DATA, statusConsumer);
    facade.registerConsumer(IDataProcessor::SAMPLE_DATA, sampleConsumer);

    setState(SessionState::Opening);
    bool recording = false;
    clearControlCodes();
    if (!facade.openDevice()) {
        setOutcome(Outcome::HeadsetFailed, "could not open the headset: " + controlTexts());
        failureCode = controlFailureCode();
    } else {
        const DeviceInfo device = readDeviceInfo(facade);
        {
            std::lock_guard<std::mutex> lock(infoMutex);
            info = device;
            haveInfo = true;
        }
        if (device.headsetFirmware.empty()) {
            setOutcome(Outcome::HeadsetFailed, "the dongle answered but the headset did not: " + controlTexts());
            failureCode = controlFailureCode();
        } else if (stopRequested.load()) {
            setOutcome(Outcome::NothingRecorded, std::string());
        } else {
            RecordingInfo recordingInfo;
            recordingInfo.labels = options.labels;
            recordingInfo.device = device;
            for (auto& writer : writers)
                writer->describe(recordingInfo);
            applyCalibration(facade);
            clearControlCodes();
            lostSignal.store(false);
            watching.store(true);
            if (facade.startStreaming()) {
                recording = true;
            } else {
                watching.store(false);
                setOutcome(Outcome::HeadsetFailed, "the headset did not start streaming: " + controlTexts());
                failureCode = controlFailureCode();
            }
        }
    }

    if (recording) {
        writerThread = std::thread([this] { writeLoop(); });
        setState(SessionState::Recording);
        for (;;) {
            if (waitForStop(WATCH_PERIOD)) {
                setOutcome(Outcome::Stopped, std::string());
                break;
            }
            if (ended.load()) {
                setOutcome(Outcome::Completed, std::string());
                break;
            }
            if (writerFailed.load()) {
                setOutcome(Outcome::OutputFailed, std::string()); // the writer's message is added at the end
                break;
            }
            if (lostSignal.load()) {
                watching.store(false);
                addNote(lostOnset.load(), "Headset lost");
                if (!reconnect(facade))
                    break;
            }
        }
    }

    setState(SessionState::Stopping);
    watching.store(false);
    if (recording)
        facade.stopStreaming();
    facade.closeDevice();
    facade.deregisterConsumer(IDataProcessor::SAMPLE_DATA, sampleConsumer);
    facade.deregisterConsumer(IDataProcessor::STATUS_DATA, statusConsumer);

    if (writerThread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(wakeMutex);
            writerFinish.store(true);
        }
        wake.notify_all();
        writerThread.join();
    } else {
        // No recording: the events of the attempt still go to the writers.
        drainEventsAndNotes();
    }
    if (!recording && outcome == Outcome::Completed)
        outcome = Outcome::NothingRecorded;
}

bool RecordingSession::Impl::reconnect(Ondira& facade)
{
    const std::string why = StatusData::getStringFromCode(static_cast<StatusData::statusCode>(lostCode.load()));
    failureCode = lostCode.load(); // used only if the headset does not come back
    facade.stopStreaming();
    facade.closeDevice();
    if (options.reconnectSeconds <= 0) {
        setOutcome(Outcome::HeadsetFailed,
                   "the headset stopped answering (" + why + ") and --reconnect 0 gives up at once");
        return false;
    }
    setState(SessionState::Reconnecting);
    const long long deadline = steadyMs() + std::llround(options.reconnectSeconds * 1000);
    const auto interval = std::chrono::milliseconds(std::max(1LL, std::llround(options.reconnectIntervalSeconds * 1000)));
    for (;;) {
        if (waitForStop(interval)) {
            setOutcome(Outcome::Stopped, std::string());
            return false;
        }
        // The time line would be full by now: the recording time is over.
        const long long away = (steadyMs() - lastArrival.load()) / SAMPLE_PERIOD_MS;
        if (target != LLONG_MAX && timeline.load() + away >= target) {
            setOutcome(Outcome::HeadsetFailed, "the headset stopped answering (" + why
                                                   + ") and had not come back when the recording time was over");
            return false;
        }
        clearControlCodes();
        restartPending.store(true);
        if (facade.openDevice() && facade.ping()) {
            applyCalibration(facade);
            clearControlCodes();
            lostSignal.store(false);
            watching.store(true);
            if (facade.startStreaming()) {
                ++reconnects;
                setState(SessionState::Recording);
                return true;
            }
            watching.store(false);
        }
        restartPending.store(false);
        facade.closeDevice();
        if (steadyMs() >= deadline) {
            setOutcome(Outcome::HeadsetFailed, "the headset stopped answering (" + why + ") and did not come back within "
                                                   + secondsText(options.reconnectSeconds) + " s");
            return false;
        }
    }
}

// ---------------------------------------------------------------------------
// Writer thread: the only one that touches the writers while recording.

void RecordingSession::Impl::writerFailure(const Writer& writer)
{
    if (writeError.empty())
        writeError = writer.error().empty() ? "cannot write " + writer.path() : writer.error();
    writerFailed.store(true);
}

void RecordingSession::Impl::dispatchSamples(const std::vector<Sample>& samples)
{
    if (samples.empty() || writerFailed.load())
        return;
    for (auto& writer : writers) {
        if (!writer->writeSamples(samples.data(), samples.size())) {
            writerFailure(*writer);
            return;
        }
    }
    written += static_cast<long long>(samples.size());
    for (const Sample& s : samples)
        fillersWritten += isFiller(s) ? 1 : 0;
}

void RecordingSession::Impl::dispatchNote(const Note& note)
{
    if (writerFailed.load())
        return;
    for (auto& writer : writers) {
        if (!writer->writeNote(note)) {
            writerFailure(*writer);
            return;
        }
    }
}

void RecordingSession::Impl::dispatchEvent(const StatusEvent& event)
{
    ++eventsByType[event.type];
    {
        std::lock_guard<std::mutex> lock(eventMutex);
        // For a front end that shows them; nobody may be asking.
        if (displayEvents.size() >= DISPLAY_LIMIT)
            displayEvents.erase(displayEvents.begin(), displayEvents.begin() + DISPLAY_LIMIT / 2);
        displayEvents.push_back(event);
    }
    if (writerFailed.load())
        return;
    for (auto& writer : writers) {
        if (!writer->writeEvent(event)) {
            writerFailure(*writer);
            return;
        }
    }
}

void RecordingSession::Impl::appendFillers(std::vector<Sample>& out, long long count)
{
    for (long long k = 0; k < count; ++k) {
        Sample filler = haveWritten ? lastWritten : Sample{};
        filler.flag = FLAG_LOST_SAMPLE;
        filler.offsetChangeIndex = 0;
        filler.timestampMs += SAMPLE_PERIOD_MS;
        out.push_back(filler);
        lastWritten = filler;
        haveWritten = true;
    }
}

void RecordingSession::Impl::drainSamples(std::vector<QueuedSample>& batch, std::vector<Sample>& out,
                                          std::vector<Note>& notes)
{
    for (;;) {
        const std::size_t count = queue.pop(batch.data(), batch.size());
        out.clear();
        notes.clear();
        for (std::size_t i = 0; i < count; ++i) {
            const QueuedSample& q = batch[i];
            const double before = static_cast<double>(written + static_cast<long long>(out.size()));
            if (!haveWritten && q.fillBefore > 0) {
                // Fillers before the very first sample repeat that sample.
                lastWritten.timestampMs = q.timestampMs - SAMPLE_PERIOD_MS * (q.fillBefore + 1);
                std::copy(q.microvolts, q.microvolts + CHANNEL_COUNT, lastWritten.microvolts.begin());
                haveWritten = true;
            }
            appendFillers(out, q.fillBefore);
            if (q.droppedFill > 0) {
                notes.push_back(Note{before / SAMPLE_RATE_HZ, static_cast<double>(q.fillBefore) / SAMPLE_RATE_HZ,
                                     std::to_string(q.droppedFill) + " samples dropped: recorder queue full"});
            }
            if (q.restart) {
                notes.push_back(Note{static_cast<double>(written + static_cast<long long>(out.size())) / SAMPLE_RATE_HZ,
                                     -1.0,
                                     "Headset back after "
                                         + secondsText(static_cast<double>(q.gapFill + 1) / SAMPLE_RATE_HZ) + " s"});
            }
            if (!q.skipSelf) {
                Sample s;
                s.timestampMs = q.timestampMs;
                std::copy(q.microvolts, q.microvolts + CHANNEL_COUNT, s.microvolts.begin());
                s.flag = q.flag;
                s.offsetChangeIndex = q.offsetChangeIndex;
                out.push_back(s);
                lastWritten = s;
                haveWritten = true;
            }
        }
        dispatchSamples(out);
        for (const Note& note : notes)
            dispatchNote(note);
        if (count < batch.size())
            return;
    }
}

void RecordingSession::Impl::drainEventsAndNotes()
{
    std::vector<PendingEvent> events;
    std::vector<Note> notes;
    {
        std::lock_guard<std::mutex> lock(eventMutex);
        events.swap(pendingEvents);
        notes.swap(pendingNotes);
        pendingEvents.reserve(1024);
    }
    for (const PendingEvent& e : events) {
        const auto code = static_cast<StatusData::statusCode>(e.code);
        dispatchEvent(StatusEvent{e.wallMs, e.onsetSeconds, e.code, StatusData::getTypeFromCode(code),
                                  StatusData::getStringFromCode(code)});
    }
    for (const Note& note : notes)
        dispatchNote(note);
}

void RecordingSession::Impl::writeLoop()
{
    std::vector<QueuedSample> batch(WRITE_BATCH);
    std::vector<Sample> out;
    std::vector<Note> notes;
    out.reserve(WRITE_BATCH);
    for (;;) {
        const bool finishing = writerFinish.load();
        drainSamples(batch, out, notes);
        drainEventsAndNotes();
        if (finishing)
            break;
        std::unique_lock<std::mutex> lock(wakeMutex);
        wake.wait_for(lock, WRITE_PERIOD, [this] { return writerFinish.load(); });
    }
    long long unrecorded = 0;
    {
        std::lock_guard<std::mutex> lock(eventMutex);
        unrecorded = uncountedEvents;
    }
    if (unrecorded > 0)
        dispatchNote(Note{static_cast<double>(written) / SAMPLE_RATE_HZ, -1.0,
                          std::to_string(unrecorded) + " status events not recorded: too many"});
    // Every worker has ended: what the queue had no room for at the very end.
    if (havePending) {
        out.clear();
        const long long fill = pending.gapFill + pending.droppedFill;
        appendFillers(out, fill);
        if (pending.droppedFill > 0) {
            dispatchNote(Note{static_cast<double>(written) / SAMPLE_RATE_HZ,
                              static_cast<double>(fill) / SAMPLE_RATE_HZ,
                              std::to_string(pending.droppedFill) + " samples dropped: recorder queue full"});
        }
        dispatchSamples(out);
        havePending = false;
    }
}

// ---------------------------------------------------------------------------

RecordingSession::RecordingSession(const SessionOptions& options)
    : d(new Impl(options))
{
}

RecordingSession::~RecordingSession()
{
    if (d->started && !d->finished) {
        requestStop();
        finish();
    }
}

void RecordingSession::addWriter(std::unique_ptr<Writer> writer)
{
    if (!d->started && writer)
        d->writers.push_back(std::move(writer));
}

bool RecordingSession::start()
{
    if (d->started)
        return false;
    d->started = true;
    for (auto& writer : d->writers) {
        if (!writer->open()) {
            d->setOutcome(Outcome::OutputFailed, writer->error());
            d->outputOpenFailed = true;
            d->setState(SessionState::Finished);
            d->threadsDone.store(true);
            return false;
        }
    }
    d->sessionThread = std::thread([this] {
        d->run();
        {
            std::lock_guard<std::mutex> lock(d->wakeMutex);
            d->threadsDone.store(true);
            d->setState(SessionState::Finished);
        }
        d->wake.notify_all();
    });
    return true;
}

void RecordingSession::requestStop()
{
    {
        std::lock_guard<std::mutex> lock(d->wakeMutex);
        d->stopRequested.store(true);
    }
    d->wake.notify_all();
}

bool RecordingSession::waitUntilFinished(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(d->wakeMutex);
    return d->wake.wait_for(lock, std::chrono::milliseconds(std::max(0, timeoutMs)),
                            [this] { return d->threadsDone.load(); });
}

Progress RecordingSession::progress() const
{
    Progress p;
    p.state = static_cast<SessionState>(d->state.load());
    p.samples = std::min(d->timeline.load(), d->target);
    p.samplesLost = d->lost.load();
    p.recordedSeconds = static_cast<double>(p.samples) / SAMPLE_RATE_HZ;
    p.totalSeconds = d->options.seconds > 0 ? d->options.seconds : 0.0;
    const int code = d->lastStatusCode.load();
    if (code >= 0)
        p.lastStatus = StatusData::getStringFromCode(static_cast<StatusData::statusCode>(code));
    return p;
}

bool RecordingSession::deviceInfo(DeviceInfo& info) const
{
    std::lock_guard<std::mutex> lock(d->infoMutex);
    if (d->haveInfo)
        info = d->info;
    return d->haveInfo;
}

std::vector<StatusEvent> RecordingSession::takeEvents()
{
    std::vector<StatusEvent> events;
    std::lock_guard<std::mutex> lock(d->eventMutex);
    events.swap(d->displayEvents);
    return events;
}

Summary RecordingSession::finish()
{
    Summary summary;
    if (!d->started || d->finished)
        return summary;
    if (d->sessionThread.joinable())
        d->sessionThread.join();
    d->finished = true;

    Outcome outcome = d->outcome;
    std::string message = d->message;
    if (d->outputOpenFailed) {
        outcome = Outcome::OutputFailed;
    } else if (!d->writeError.empty()) {
        outcome = Outcome::OutputFailed;
        message = d->writeError;
    }
    const bool nothing = d->written == 0 && !d->outputOpenFailed;
    if (nothing && outcome != Outcome::HeadsetFailed && outcome != Outcome::OutputFailed)
        outcome = Outcome::NothingRecorded;

    for (auto& writer : d->writers) {
        if (d->outputOpenFailed || nothing) {
            writer->discard();
            continue;
        }
        if (!writer->close() && outcome != Outcome::OutputFailed && outcome != Outcome::HeadsetFailed) {
            outcome = Outcome::OutputFailed;
            message = writer->error();
        }
        // A writer may remove a file it could not complete (a partial picture).
        if (QFileInfo::exists(QString::fromStdString(writer->path())))
            summary.files.push_back(writer->path());
    }

    summary.outcome = outcome;
    summary.message = message;
    if (outcome == Outcome::HeadsetFailed)
        summary.failureCode = d->failureCode;
    summary.samples = d->written;
    summary.fillers = d->fillersWritten;
    summary.librarySamples = d->librarySamples.load();
    summary.afterEnd = d->afterEnd.load();
    summary.overflowed = d->overflowed.load();
    summary.reconnects = d->reconnects;
    summary.eventsByType = d->eventsByType;
    summary.recordedSeconds = static_cast<double>(d->written) / SAMPLE_RATE_HZ;
    const long long first = d->firstArrival.load();
    const long long span = d->lastArrival.load() - first;
    if (first >= 0)
        summary.effectiveRate = static_cast<double>(d->realSamples.load()) / (std::max(1LL, span) / 1000.0 + 1.0 / SAMPLE_RATE_HZ);
    deviceInfo(summary.device);
    return summary;
}

} // namespace recorder
} // namespace ondira
