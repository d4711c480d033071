#include "Acquisition.h"

#include <ondira/StatusData.h>
#include <ondira/formats/Outputs.h>
#include <ondira/session/Recording.h>
#include <ondira/session/Session.h>

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace ondira {
namespace view {

using session::CallResult;
using session::Failure;

namespace {

std::string known(const std::string& text)
{
    return text.empty() ? std::string("unknown") : text;
}

std::string channelText(int channel)
{
    return channel < 0 ? std::string("unknown") : std::to_string(channel);
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

/// Why a marker was not placed, and what to do.
std::string markFailure(const std::string& text, const session::MarkResult& r)
{
    const std::string which = "Marker '" + text + "' not placed: ";
    switch (r.placement) {
    case session::MarkPlacement::NotStreaming:
        return which + "start streaming first.";
    case session::MarkPlacement::BeforeFirstSample:
        return which + "no sample has arrived yet. Mark again once the traces move.";
    case session::MarkPlacement::QueueFull:
        return which + "too many markers at once. Mark less often.";
    case session::MarkPlacement::Refused:
    case session::MarkPlacement::Placed:
        break;
    }
    // The text itself was refused: it may not even be printable.
    if (text.empty())
        return "Marker not placed: type its text first.";
    return "Marker not placed: its text is refused (" + r.reason + "). Use 1 to "
        + std::to_string(session::MAX_MARKER_BYTES) + " bytes of text without control characters.";
}

} // namespace

const char* linkName(Link link)
{
    switch (link) {
    case Link::Disconnected:
        return "disconnected";
    case Link::Connecting:
        return "connecting";
    case Link::Connected:
        return "connected";
    case Link::Streaming:
        return "streaming";
    case Link::Reconnecting:
        return "reconnecting";
    case Link::Disconnecting:
        return "disconnecting";
    }
    return "?";
}

struct Acquisition::Impl {
    explicit Impl(const AcquisitionOptions& options)
        : options(options)
        , session(sessionOptions(options))
        , display(options.displayCapacity)
        , displayReader(display)
        , logCursor(session.log().next())
        , chipsFrom(logCursor)
        , rows(2048)
    {
        session.attach(display);
        for (auto& chip : chips)
            chip = Calibration::Unknown;
    }
    ~Impl() { session.detach(display); }

    static session::SessionOptions sessionOptions(const AcquisitionOptions& options)
    {
        session::SessionOptions s;
        s.lost = options.reconnectSeconds > 0
            ? session::LostPolicy::reconnect(options.reconnectSeconds, options.reconnectIntervalSeconds)
            : session::LostPolicy::stop();
        s.calibrate = options.calibrationOn;
        s.driver = session::Driver::d2xx(options.headsetLibrary);
        return s;
    }

    // --- the request thread
    void run();
    void post(std::function<void()> request);
    void doConnect(Source source, bool thenStart);
    void doDisconnect();
    void doStart();
    void doStop();
    void doCalibration(int channel, bool on);
    void doPublishing(bool on);
    void startPublisher();
    void stopPublisher();
    void doStartRecording(RecordingRequest& request);
    void finishRecording();
    void watch();
    void say(LogEntry::Kind kind, const std::string& text)
    {
        session.note(kind == LogEntry::Kind::Failure ? session::LogEntry::Kind::Failure : session::LogEntry::Kind::Info,
                     text);
    }
    void setLink(Link l) { shownLink.store(static_cast<int>(l)); }
    void resetChips();
    /// Follows the calibration states through the log entries that the window gets.
    void followChips(const std::vector<session::LogEntry>& entries);

    const AcquisitionOptions options;
    session::Session session;
    session::Tap display;           // the library's worker -> the GUI thread
    session::TapReader displayReader;
    std::mutex logMutex;            // guards logCursor
    long long logCursor;            // takeLog's
    long long chipsFrom;            // entries before it left out of the chips
    std::vector<session::Row> rows; // takeSamples'
    long long displayFill = 0;      // Dropped rows not yet folded into a sample
    bool restartNext = true;        // the next sample shown starts a stream
    unsigned shownStream = 0;

    std::atomic<int> shownLink{static_cast<int>(Link::Disconnected)};
    std::atomic<int> source{static_cast<int>(Source::Headset)};
    std::atomic<int> pending{0};
    std::atomic<long long> eventsSkipped{0};
    std::atomic<long long> earlierSamples{0}; // delivered in earlier streams since connecting
    std::atomic<long long> earlierLost{0};
    std::atomic<bool> connected{false};

    mutable std::mutex chipMutex;   // guards chips, chipsFrom
    std::array<Calibration, OndiraData::CHANNEL_COUNT> chips;

    std::mutex requestMutex;        // guards requests, stopping
    std::condition_variable requestWake;
    std::deque<std::function<void()>> requests;
    bool stopping = false;

    std::atomic<bool> publishWanted{ false };
    mutable std::mutex publisherMutex; // guards publisher (status() reads it)
    std::unique_ptr<session::LslPublisher> publisher;

    mutable std::mutex recordingMutex; // guards the three below
    std::unique_ptr<session::Recording> recording;
    std::string recordingBase;
    bool haveRecording = false;

    std::thread thread;
};

// ---------------------------------------------------------------------------

void Acquisition::Impl::resetChips()
{
    std::lock_guard<std::mutex> lock(chipMutex);
    chipsFrom = session.log().next();
    for (auto& chip : chips)
        chip = Calibration::Unknown;
}

void Acquisition::Impl::followChips(const std::vector<session::LogEntry>& entries)
{
    std::lock_guard<std::mutex> lock(chipMutex);
    for (const session::LogEntry& entry : entries) {
        if (entry.kind != session::LogEntry::Kind::Status || entry.sequence < chipsFrom)
            continue;
        for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
            chips[c] = nextCalibration(chips[c], static_cast<int>(c), entry.code);
    }
}

void Acquisition::Impl::post(std::function<void()> request)
{
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        requests.push_back(std::move(request));
        pending.fetch_add(1);
    }
    requestWake.notify_one();
}

void Acquisition::Impl::doConnect(Source chosen, bool thenStart)
{
    if (connected.load()) {
        say(LogEntry::Kind::Failure, "Already connected: disconnect first.");
        return;
    }
    if (chosen == Source::VirtualHeadset && options.virtualHeadset.empty()) {
        say(LogEntry::Kind::Failure, "The virtual headset (libFtd2xx.so) was not found beside this program: build the "
                                     "project with ONDIRA_BUILD_SIM=ON, or install it.");
        return;
    }
    setLink(Link::Connecting);
    source.store(static_cast<int>(chosen));
    earlierSamples.store(0);
    earlierLost.store(0);
    resetChips();
    const bool virtualHeadset = chosen == Source::VirtualHeadset;
    session.setDriver(virtualHeadset ? session::Driver::virtualHeadset(options.virtualHeadset)
                                     : session::Driver::d2xx(options.headsetLibrary))
        .wait();
    say(LogEntry::Kind::Note, virtualHeadset ? "Connecting to the virtual headset" : "Connecting to the headset");
    const CallResult r = session.connect().result();
    if (!r.ok) {
        setLink(Link::Disconnected);
        const std::string why = session::reasonOf(r.codes);
        switch (r.failure) {
        case Failure::Driver:
            say(LogEntry::Kind::Failure,
                "Could not connect: the D2XX driver library could not be loaded (" + why
                    + "). Install the FTDI D2XX driver, or set ONDIRA_FTD2XX_LIBRARY to its file, or choose the "
                      "virtual headset.");
            break;
        case Failure::NoHeadset:
            say(LogEntry::Kind::Failure,
                "Could not connect: the dongle answered but the headset did not (" + why
                    + "). Switch the headset on, check that it is charged and uses the dongle's radio channel, then "
                      "connect again.");
            break;
        default:
            say(LogEntry::Kind::Failure,
                "Could not connect: no dongle answered (" + why
                    + "). Plug the dongle in, wait a few seconds and connect again.");
            break;
        }
        return;
    }
    connected.store(true);
    setLink(Link::Connected);
    const DeviceInfo& read = r.info;
    say(LogEntry::Kind::Note, "Connected. Dongle: firmware " + known(read.dongleFirmware) + ", radio channel "
                                  + channelText(read.dongleChannel) + ". Headset: firmware "
                                  + known(read.headsetFirmware) + ", radio channel " + channelText(read.headsetChannel)
                                  + ".");
    if (publishWanted.load())
        startPublisher();
    if (thenStart)
        doStart();
}

void Acquisition::Impl::doDisconnect()
{
    if (!connected.load())
        return;
    setLink(Link::Disconnecting);
    finishRecording();
    stopPublisher();
    session.close().wait();
    connected.store(false);
    resetChips();
    setLink(Link::Disconnected);
    say(LogEntry::Kind::Note, "Disconnected");
}

void Acquisition::Impl::doStart()
{
    if (!connected.load()) {
        say(LogEntry::Kind::Failure, "Not connected: connect first, then start.");
        return;
    }
    const session::SessionStatus before = session.status();
    if (before.link == session::Link::Streaming || before.link == session::Link::Reconnecting)
        return;
    // The library starts the calibration states afresh with every stream.
    resetChips();
    earlierSamples.fetch_add(before.delivered);
    earlierLost.fetch_add(before.fillers);
    const CallResult r = session.start().result();
    if (!r.ok) {
        say(LogEntry::Kind::Failure, "Could not start streaming: " + session::reasonOf(r.codes)
                                         + ". Check the headset, or disconnect and connect again.");
        return;
    }
    setLink(Link::Streaming);
    say(LogEntry::Kind::Note, "Streaming started");
}

void Acquisition::Impl::doStop()
{
    const session::Link now = session.status().link;
    if (now != session::Link::Streaming && now != session::Link::Reconnecting)
        return;
    finishRecording();
    const CallResult r = session.stop().result();
    if (now == session::Link::Reconnecting) {
        stopPublisher();
        connected.store(false);
        setLink(Link::Disconnected);
        say(LogEntry::Kind::Note, "Streaming stopped: the headset was not back. Connect again once it is.");
        return;
    }
    setLink(Link::Connected);
    if (r.ok)
        say(LogEntry::Kind::Note, "Streaming stopped");
    else
        say(LogEntry::Kind::Failure, "The headset did not confirm the stop (" + session::reasonOf(r.codes)
                                         + "). Disconnect and connect again if samples keep coming.");
}

void Acquisition::Impl::doCalibration(int channel, bool on)
{
    if (channel < 0 || channel >= OndiraData::CHANNEL_COUNT)
        return;
    const CallResult r = session.setCalibration(channel, on).result();
    if (!connected.load())
        return;
    if (!r.ok) {
        say(LogEntry::Kind::Failure, r.message + ".");
        return;
    }
    say(LogEntry::Kind::Note, "Calibration of channel " + std::to_string(channel + 1) + (on ? " on" : " off"));
}

void Acquisition::Impl::doStartRecording(RecordingRequest& request)
{
    const session::Link now = session.status().link;
    if (now != session::Link::Streaming && now != session::Link::Reconnecting) {
        say(LogEntry::Kind::Failure, "Not streaming: start streaming first, then record.");
        return;
    }
    if (haveRecording) {
        say(LogEntry::Kind::Failure, "A recording is already running: stop it first.");
        return;
    }
    QString base = QString::fromStdString(request.base).trimmed();
    if (base.endsWith(QLatin1String(".edf"), Qt::CaseInsensitive))
        base.chop(4);
    if (base.isEmpty() || base.endsWith(QLatin1Char('/')) || QFileInfo(base).fileName().isEmpty()) {
        say(LogEntry::Kind::Failure, "Choose a file name for the recording, e.g. recordings/session1.edf.");
        return;
    }
    const QFileInfo where(base);
    if (!QFileInfo(where.absolutePath()).isDir()) {
        say(LogEntry::Kind::Failure, "Cannot record: the folder "
                                         + QDir::toNativeSeparators(where.absolutePath()).toStdString()
                                         + " does not exist.");
        return;
    }
    const unsigned formats = formats::FORMAT_EDF | (request.csv ? formats::FORMAT_CSV | formats::FORMAT_EVENTS : 0u);
    std::vector<std::unique_ptr<formats::Writer>> writers = formats::makeWriters(base.toStdString(), formats);
    for (const auto& writer : writers) {
        if (QFileInfo::exists(QString::fromStdString(writer->path()))) {
            say(LogEntry::Kind::Failure, "Cannot record: " + writer->path()
                                             + " already exists. Choose another name: a recording is never replaced.");
            return;
        }
    }
    for (auto& writer : request.extraWriters)
        writers.push_back(std::move(writer));
    session::RecordingOptions recordingOptions;
    recordingOptions.labels = options.labels;
    recordingOptions.queueCapacity = options.recordCapacity;
    auto started = std::make_unique<session::Recording>(session, std::move(writers), recordingOptions);
    std::string error;
    if (!started->open(error)) {
        say(LogEntry::Kind::Failure, "Cannot record: " + error + ".");
        return;
    }
    started->start(session.status().info);
    {
        std::lock_guard<std::mutex> lock(recordingMutex);
        recording = std::move(started);
        recordingBase = base.toStdString();
        haveRecording = true;
    }
    say(LogEntry::Kind::Note, "Recording to " + base.toStdString() + ".edf");
}

void Acquisition::Impl::finishRecording()
{
    std::unique_ptr<session::Recording> finishing;
    std::string base;
    {
        std::lock_guard<std::mutex> lock(recordingMutex);
        if (!haveRecording)
            return;
        finishing = std::move(recording);
        base = recordingBase;
        recordingBase.clear();
        haveRecording = false;
    }
    const session::RecordingResult result = finishing->finish();
    if (!result.error.empty())
        say(LogEntry::Kind::Failure, "The recording stopped: " + result.error
                                         + ". What was written before is kept, and the files are valid.");
    if (result.samples == 0) {
        say(LogEntry::Kind::Note, "Nothing was recorded to " + base + ".edf: the files were removed.");
        return;
    }
    std::string files;
    for (const std::string& file : result.files)
        files += (files.empty() ? "" : ", ") + file;
    say(LogEntry::Kind::Note, "Recorded " + secondsText(static_cast<double>(result.samples) / OndiraData::SAMPLE_RATE_HZ)
                                  + " s, " + std::to_string(result.fillers) + " samples lost: " + files);
}

void Acquisition::Impl::watch()
{
    bool failed = false;
    {
        std::lock_guard<std::mutex> lock(recordingMutex);
        failed = haveRecording && recording->progress().failed;
    }
    if (failed)
        finishRecording();
    const session::SessionStatus status = session.status();
    if (!connected.load())
        return;
    if (status.link == session::Link::Reconnecting) {
        setLink(Link::Reconnecting);
        return;
    }
    if (status.link == session::Link::Streaming) {
        setLink(Link::Streaming);
        return;
    }
    if (status.endCode < 0 || static_cast<Link>(shownLink.load()) == Link::Connected)
        return;
    // The stream ended on a lost headset (reconnecting is off, or it gave up).
    bool wasRecording = false;
    {
        std::lock_guard<std::mutex> lock(recordingMutex);
        wasRecording = haveRecording;
    }
    finishRecording();
    stopPublisher();
    session.close().wait();
    connected.store(false);
    resetChips();
    setLink(Link::Disconnected);
    say(LogEntry::Kind::Failure,
        "The headset was lost: " + std::string(StatusData::getStringFromCode(static_cast<StatusData::statusCode>(status.endCode)))
            + (wasRecording ? " The recording was closed; its files are valid." : "")
            + " Connect again once dongle and headset are back.");
}

void Acquisition::Impl::run()
{
    for (;;) {
        std::function<void()> request;
        {
            std::unique_lock<std::mutex> lock(requestMutex);
            requestWake.wait_for(lock, std::chrono::milliseconds(50), [this] { return stopping || !requests.empty(); });
            if (stopping) {
                pending.fetch_sub(static_cast<int>(requests.size()));
                requests.clear();
                break;
            }
            if (!requests.empty()) {
                request = std::move(requests.front());
                requests.pop_front();
            }
        }
        if (request) {
            request();
            pending.fetch_sub(1);
        }
        watch();
    }
    finishRecording();
    stopPublisher();
    session.close().wait();
    connected.store(false);
    setLink(Link::Disconnected);
}

void Acquisition::Impl::doPublishing(bool on)
{
    publishWanted.store(on);
    if (!on)
        stopPublisher();
    else if (connected.load())
        startPublisher();
    else
        say(LogEntry::Kind::Note, "The stream will be published on LSL once connected");
}

void Acquisition::Impl::startPublisher()
{
    if (publisher)
        return;
    session::LslOptions lsl = options.lsl;
    lsl.labels = options.labels;
    auto started = std::make_unique<session::LslPublisher>(session, lsl);
    std::string error;
    if (!started->start(session.status().info, error)) {
        publishWanted.store(false);
        say(LogEntry::Kind::Failure, "Could not publish the stream on LSL: " + error);
        return;
    }
    const std::string id = started->status().sourceId;
    {
        std::lock_guard<std::mutex> lock(publisherMutex);
        publisher = std::move(started);
    }
    say(LogEntry::Kind::Note,
        "Publishing '" + lsl.name + "' and '" + lsl.name + "-Markers' on LSL (source id " + id
            + ")");
}

void Acquisition::Impl::stopPublisher()
{
    std::unique_ptr<session::LslPublisher> stopped;
    {
        std::lock_guard<std::mutex> lock(publisherMutex);
        stopped = std::move(publisher);
    }
    if (!stopped)
        return;
    stopped->stop();
    say(LogEntry::Kind::Note, "LSL stream closed");
}

// ---------------------------------------------------------------------------

Acquisition::Acquisition(const AcquisitionOptions& options)
    : d(new Impl(options))
{
    d->thread = std::thread([this] { d->run(); });
}

Acquisition::~Acquisition()
{
    {
        std::lock_guard<std::mutex> lock(d->requestMutex);
        d->stopping = true;
    }
    d->requestWake.notify_all();
    d->thread.join();
}

void Acquisition::connect(Source source, bool thenStart)
{
    d->post([this, source, thenStart] { d->doConnect(source, thenStart); });
}

void Acquisition::disconnect()
{
    d->post([this] { d->doDisconnect(); });
}

void Acquisition::startStreaming()
{
    d->post([this] { d->doStart(); });
}

void Acquisition::stopStreaming()
{
    d->post([this] { d->doStop(); });
}

void Acquisition::setCalibration(int channel, bool on)
{
    d->post([this, channel, on] { d->doCalibration(channel, on); });
}

void Acquisition::startRecording(RecordingRequest request)
{
    auto shared = std::make_shared<RecordingRequest>(std::move(request));
    d->post([this, shared] { d->doStartRecording(*shared); });
}

void Acquisition::setPublishing(bool on)
{
    d->post([this, on] { d->doPublishing(on); });
}

void Acquisition::stopRecording()
{
    d->post([this] { d->finishRecording(); });
}

bool Acquisition::mark(const std::string& text)
{
    const session::MarkResult r = d->session.mark(text);
    if (r.placed())
        return true;
    d->say(LogEntry::Kind::Failure, markFailure(text, r));
    return false;
}

std::size_t Acquisition::takeSamples(DisplaySample* out, std::size_t max)
{
    std::size_t taken = 0;
    d->displayReader.collect();
    while (taken < max) {
        const std::size_t count = d->displayReader.take(d->rows.data(), std::min(d->rows.size(), max - taken));
        if (count == 0)
            break;
        for (std::size_t i = 0; i < count; ++i) {
            const session::Row& row = d->rows[i];
            // Samples the display had no room for become the gap before the
            // next one shown.
            if (row.kind == session::Row::Kind::Dropped) {
                ++d->displayFill;
                continue;
            }
            DisplaySample& shown = out[taken++];
            shown.sample = row.sample;
            shown.skippedBefore = static_cast<int>(std::min<long long>(d->displayFill, INT_MAX));
            shown.restart = row.stream != d->shownStream || row.resumed;
            shown.index = row.index;
            shown.stream = row.stream;
            d->shownStream = row.stream;
            d->displayFill = 0;
        }
        if (count < d->rows.size())
            break;
    }
    return taken;
}

std::vector<LogEntry> Acquisition::takeLog()
{
    std::vector<session::LogEntry> entries;
    {
        std::lock_guard<std::mutex> lock(d->logMutex);
        d->eventsSkipped.fetch_add(d->session.log().read(d->logCursor, entries));
    }
    d->followChips(entries);
    std::vector<LogEntry> shown;
    shown.reserve(entries.size());
    for (const session::LogEntry& e : entries) {
        LogEntry entry;
        entry.sequence = e.sequence;
        entry.wallMs = e.wallMs;
        entry.kind = e.kind == session::LogEntry::Kind::Status    ? LogEntry::Kind::Status
                     : e.kind == session::LogEntry::Kind::Failure ? LogEntry::Kind::Failure
                     : e.kind == session::LogEntry::Kind::Marker  ? LogEntry::Kind::Marker
                                                                  : LogEntry::Kind::Note;
        entry.code = e.code;
        entry.type = e.type();
        entry.text = e.text;
        entry.position = e.position;
        entry.stream = e.stream;
        shown.push_back(std::move(entry));
    }
    return shown;
}

AcquisitionStatus Acquisition::status() const
{
    AcquisitionStatus s;
    const session::SessionStatus session = d->session.status();
    s.link = static_cast<Link>(d->shownLink.load());
    s.busy = d->pending.load() > 0;
    s.source = static_cast<Source>(d->source.load());
    {
        std::lock_guard<std::mutex> lock(d->chipMutex);
        s.calibration = d->chips;
    }
    s.calibrationOn = session.calibrate;
    s.effectiveRate = session.effectiveRate;
    s.driftPpm = session.ratePpm;
    s.rateSettled = session.timeLineConverged;
    s.samples = d->earlierSamples.load() + session.delivered;
    s.lost = d->earlierLost.load() + session.fillers;
    s.displaySkipped = d->display.dropped();
    s.eventsSkipped = d->eventsSkipped.load();
    s.haveInfo = session.haveInfo;
    s.info = session.info;
    s.publishWanted = d->publishWanted.load();
    {
        std::lock_guard<std::mutex> lock(d->publisherMutex);
        if (d->publisher)
            s.lsl = d->publisher->status();
    }
    std::lock_guard<std::mutex> lock(d->recordingMutex);
    if (d->haveRecording) {
        const session::RecordingProgress progress = d->recording->progress();
        s.recording = true;
        s.recordingBase = d->recordingBase;
        s.recordedSeconds = static_cast<double>(progress.samples) / OndiraData::SAMPLE_RATE_HZ;
        s.recordedLost = progress.fillers;
    }
    return s;
}

bool Acquisition::idle() const
{
    return d->pending.load() == 0;
}

} // namespace view
} // namespace ondira
