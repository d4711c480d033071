#include "Acquisition.h"

#include "Recording.h"

#include <ondira/Ondira.h>
#include <ondira/recorder/Headset.h>
#include <ondira/recorder/Outputs.h>

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace ondira {
namespace view {

namespace {

constexpr std::chrono::milliseconds WATCH_PERIOD(50);

long long wallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const char* const ENABLE_PROPERTIES[CHANNEL_COUNT] = {
    Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, Ondira::STR_PROPERTY_ENABLE_CHANNEL_2,
    Ondira::STR_PROPERTY_ENABLE_CHANNEL_3, Ondira::STR_PROPERTY_ENABLE_CHANNEL_4};

std::string statusText(int code)
{
    return StatusData::getStringFromCode(static_cast<StatusData::statusCode>(code));
}

bool isChannelState(int code)
{
    return code >= StatusData::CHANNEL_1_CALIBRATED && code <= StatusData::DEFAULT_CHANNEL_STATE;
}

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
    case Link::Disconnecting:
        return "disconnecting";
    }
    return "?";
}

struct Acquisition::Impl {
    enum class Request { Connect, Disconnect, Start, Stop, Calibration, StartRecording, StopRecording };
    struct Command {
        Command() = default;
        explicit Command(Request request, Source source = Source::Headset, bool thenStart = false, int channel = 0,
                         bool on = false, std::shared_ptr<RecordingRequest> recording = nullptr)
            : request(request), source(source), thenStart(thenStart), channel(channel), on(on),
              recording(std::move(recording))
        {
        }
        Request request = Request::Connect;
        Source source = Source::Headset;
        bool thenStart = false;
        int channel = 0;
        bool on = false;
        std::shared_ptr<RecordingRequest> recording;
    };

    explicit Impl(const AcquisitionOptions& options)
        : options(options)
        , display(std::max<std::size_t>(1, options.displayCapacity))
        , recordSamples(std::max<std::size_t>(1, options.recordCapacity))
        , sampleConsumer([this](const OndiraData& sample) { onSample(sample); })
        , statusConsumer([this](const StatusData& status) { onStatus(status); })
    {
        for (std::size_t c = 0; c < CHANNEL_COUNT; ++c) {
            calibration[c].store(static_cast<int>(Calibration::Unknown));
            calibrationOn[c].store(options.calibrationOn[c]);
        }
        currentDriver = qEnvironmentVariable("ONDIRA_FTD2XX_LIBRARY").toStdString();
    }

    // --- consumers: the library's worker, or the control thread during a call
    void onSample(const OndiraData& data);
    void onStatus(const StatusData& status);

    // --- control thread
    void run();
    void execute(Command& command);
    void doConnect(Source source, bool thenStart);
    void doDisconnect();
    void doStart();
    void doStop();
    void doCalibration(int channel, bool on);
    void doStartRecording(RecordingRequest& request);
    void finishRecording(const std::string& lastNote = std::string());
    void watch();
    void closeFacade();
    void selectDriver(Source source);
    std::string takeFailureTexts();
    void log(LogEntry::Kind kind, const std::string& text);
    void post(Command command)
    {
        {
            std::lock_guard<std::mutex> lock(commandMutex);
            commands.push_back(std::move(command));
            pending.fetch_add(1);
        }
        commandWake.notify_one();
    }
    void setLink(Link l) { link.store(static_cast<int>(l)); }
    Link currentLink() const { return static_cast<Link>(link.load()); }
    void resetChips()
    {
        for (auto& c : calibration)
            c.store(static_cast<int>(Calibration::Unknown));
    }

    const AcquisitionOptions options;
    boost::lockfree::spsc_queue<DisplaySample> display;  // worker -> GUI thread
    RecordQueue recordSamples;                           // worker -> recording thread
    EventQueue guiEvents;                                // consumers -> GUI thread
    EventQueue recordEvents;                             // consumers -> recording thread
    recorder::RecordConsumer<OndiraData> sampleConsumer;
    recorder::RecordConsumer<StatusData> statusConsumer;

    // The sample consumer's own state: only the library's worker touches it
    // (successive workers are joined in between).
    int displaySkipRun = 0;
    bool restartCarry = false;
    long long recordDropped = 0;
    int recordDropGeneration = 0;

    // Shared between the threads.
    std::atomic<int> link{static_cast<int>(Link::Disconnected)};
    std::atomic<int> source{static_cast<int>(Source::Headset)};
    std::atomic<int> pending{0};
    std::atomic<long long> sequence{0};
    std::atomic<long long> samples{0};
    std::atomic<long long> lost{0};
    std::atomic<long long> displaySkipped{0};
    std::atomic<long long> eventsSkipped{0};
    std::atomic<bool> restartPending{false};
    std::atomic<int> recordingGeneration{0};     // 0: not recording
    std::atomic<long long> recordFed{0};         // samples on the current recording's time line
    std::atomic<bool> watching{false};           // a lost headset is acted upon
    std::atomic<int> lostCode{-1};
    std::atomic<unsigned> codesSeen{0};          // bit per status code, for failure messages
    std::array<std::atomic<int>, CHANNEL_COUNT> calibration;
    std::array<std::atomic<bool>, CHANNEL_COUNT> calibrationOn;

    std::mutex commandMutex;                     // guards commands, stopping
    std::condition_variable commandWake;
    std::deque<Command> commands;
    bool stopping = false;

    std::mutex logMutex;                         // guards notes
    std::vector<LogEntry> notes;

    mutable std::mutex infoMutex;                // guards the four below
    DeviceInfo info;
    bool haveInfo = false;
    std::string recordingBase;
    RecordingThread* recordingView = nullptr;    // the live recording, for status()

    // The control thread's own.
    std::unique_ptr<Ondira> facade;
    std::unique_ptr<RecordingThread> recording;
    int lastGeneration = 0;
    std::string currentDriver;

    std::thread control;
};

// ---------------------------------------------------------------------------
// Consumers. They never call the library, never wait and never allocate.

void Acquisition::Impl::onSample(const OndiraData& data)
{
    Sample s;
    s.timestampMs = data.getTimestamp();
    s.microvolts = {data.getChannel1(), data.getChannel2(), data.getChannel3(), data.getChannel4()};
    s.flag = data.getFlag();
    s.offsetChangeIndex = data.getOffsetChangeIndex();
    samples.fetch_add(1, std::memory_order_relaxed);
    if (recorder::isFiller(s))
        lost.fetch_add(1, std::memory_order_relaxed);

    DisplaySample shown;
    shown.sample = s;
    shown.skippedBefore = displaySkipRun;
    shown.restart = restartPending.exchange(false) || restartCarry;
    if (display.push(shown)) {
        displaySkipRun = 0;
        restartCarry = false;
    } else {
        displaySkipRun = displaySkipRun < INT_MAX ? displaySkipRun + 1 : displaySkipRun;
        restartCarry = shown.restart;
        displaySkipped.fetch_add(1, std::memory_order_relaxed);
    }

    const int generation = recordingGeneration.load();
    if (generation != 0) {
        if (generation != recordDropGeneration) {
            recordDropGeneration = generation;
            recordDropped = 0;
        }
        RecordItem item;
        item.sample = s;
        item.generation = generation;
        item.droppedBefore = recordDropped;
        if (recordSamples.push(item))
            recordDropped = 0;
        else
            ++recordDropped;
        recordFed.fetch_add(1);
    }
}

void Acquisition::Impl::onStatus(const StatusData& status)
{
    const int code = status.getCode();
    if (code >= 0 && code < 32)
        codesSeen.fetch_or(1u << code);
    for (std::size_t c = 0; c < CHANNEL_COUNT; ++c) {
        int current = calibration[c].load();
        while (!calibration[c].compare_exchange_weak(
            current, static_cast<int>(nextCalibration(static_cast<Calibration>(current), static_cast<int>(c), code)))) {
        }
    }

    EventItem event;
    event.sequence = sequence.fetch_add(1);
    event.wallMs = wallMs();
    event.code = code;
    if (!guiEvents.bounded_push(event))
        eventsSkipped.fetch_add(1, std::memory_order_relaxed);
    const int generation = recordingGeneration.load();
    if (generation != 0) {
        event.generation = generation;
        event.onsetSeconds = static_cast<double>(recordFed.load()) / SAMPLE_RATE_HZ;
        recordEvents.bounded_push(event);
    }

    if ((code == StatusData::DEVICE_IO_ERROR || code == StatusData::DEVICE_NOT_RESPONDING) && watching.load()) {
        int none = -1;
        lostCode.compare_exchange_strong(none, code);
    }
}

// ---------------------------------------------------------------------------
// Control thread: every call into the library.

void Acquisition::Impl::log(LogEntry::Kind kind, const std::string& text)
{
    LogEntry entry;
    entry.sequence = sequence.fetch_add(1);
    entry.wallMs = wallMs();
    entry.kind = kind;
    entry.text = text;
    std::lock_guard<std::mutex> lock(logMutex);
    notes.push_back(std::move(entry));
}

std::string Acquisition::Impl::takeFailureTexts()
{
    const unsigned seen = codesSeen.exchange(0);
    std::string texts;
    for (int code = 0; code < 32; ++code) {
        if (!(seen & (1u << code)) || isChannelState(code))
            continue;
        if (!texts.empty())
            texts += " / ";
        texts += statusText(code);
    }
    return texts.empty() ? std::string("the library reported no reason") : texts;
}

void Acquisition::Impl::selectDriver(Source chosen)
{
    // The library reads the variable when a facade is made, on this thread.
    const std::string& path = chosen == Source::VirtualHeadset ? options.virtualHeadset : options.headsetLibrary;
    if (path != currentDriver) {
        recorder::useDriverLibrary(path);
        currentDriver = path;
    }
}

void Acquisition::Impl::closeFacade()
{
    watching.store(false);
    if (!facade)
        return;
    facade->closeDevice(); // stops streaming first
    facade->deregisterConsumer(IDataProcessor::SAMPLE_DATA, sampleConsumer);
    facade->deregisterConsumer(IDataProcessor::STATUS_DATA, statusConsumer);
    facade.reset();
    resetChips();
    std::lock_guard<std::mutex> lock(infoMutex);
    haveInfo = false;
    info = DeviceInfo();
}

void Acquisition::Impl::doConnect(Source chosen, bool thenStart)
{
    if (facade) {
        log(LogEntry::Kind::Failure, "Already connected: disconnect first.");
        return;
    }
    if (chosen == Source::VirtualHeadset && options.virtualHeadset.empty()) {
        log(LogEntry::Kind::Failure, "The virtual headset (libFtd2xx.so) was not found beside this program: build the "
                                     "project with ONDIRA_BUILD_SIM=ON, or install it.");
        return;
    }
    setLink(Link::Connecting);
    source.store(static_cast<int>(chosen));
    samples.store(0);
    lost.store(0);
    displaySkipped.store(0);
    resetChips();
    selectDriver(chosen);
    const bool virtualHeadset = chosen == Source::VirtualHeadset;
    log(LogEntry::Kind::Note, virtualHeadset ? "Connecting to the virtual headset" : "Connecting to the headset");

    facade = std::make_unique<Ondira>();
    facade->registerConsumer(IDataProcessor::STATUS_DATA, statusConsumer);
    facade->registerConsumer(IDataProcessor::SAMPLE_DATA, sampleConsumer);
    codesSeen.store(0);
    if (!facade->openDevice()) {
        const bool noDriver = codesSeen.load() & (1u << StatusData::FTDI_LIBRARY_ERROR);
        const std::string why = takeFailureTexts();
        closeFacade();
        setLink(Link::Disconnected);
        if (noDriver)
            log(LogEntry::Kind::Failure,
                "Could not connect: the D2XX driver library could not be loaded (" + why
                    + "). Install the FTDI D2XX driver, or set ONDIRA_FTD2XX_LIBRARY to its file, or choose the "
                      "virtual headset.");
        else
            log(LogEntry::Kind::Failure, "Could not connect: no dongle answered (" + why
                                             + "). Plug the dongle in, wait a few seconds and connect again.");
        return;
    }
    if (!facade->ping()) {
        const std::string why = takeFailureTexts();
        closeFacade();
        setLink(Link::Disconnected);
        log(LogEntry::Kind::Failure,
            "Could not connect: the dongle answered but the headset did not (" + why
                + "). Switch the headset on, check that it is charged and uses the dongle's radio channel, then "
                  "connect again.");
        return;
    }
    for (std::size_t c = 0; c < CHANNEL_COUNT; ++c) {
        if (!facade->setProperty(Property(ENABLE_PROPERTIES[c], calibrationOn[c].load() ? 1 : 0)))
            log(LogEntry::Kind::Failure, "Could not switch the calibration of channel " + std::to_string(c + 1) + ": "
                                             + takeFailureTexts() + ".");
    }
    const DeviceInfo read = recorder::readDeviceInfo(*facade);
    {
        std::lock_guard<std::mutex> lock(infoMutex);
        info = read;
        haveInfo = true;
    }
    codesSeen.store(0);
    setLink(Link::Connected);
    log(LogEntry::Kind::Note, "Connected. Dongle: firmware " + known(read.dongleFirmware) + ", radio channel "
                                  + channelText(read.dongleChannel) + ". Headset: firmware "
                                  + known(read.headsetFirmware) + ", radio channel " + channelText(read.headsetChannel)
                                  + ".");
    if (thenStart)
        doStart();
}

void Acquisition::Impl::doDisconnect()
{
    if (!facade)
        return;
    setLink(Link::Disconnecting);
    if (recording)
        finishRecording();
    closeFacade();
    setLink(Link::Disconnected);
    log(LogEntry::Kind::Note, "Disconnected");
}

void Acquisition::Impl::doStart()
{
    if (!facade) {
        log(LogEntry::Kind::Failure, "Not connected: connect first, then start.");
        return;
    }
    if (currentLink() == Link::Streaming)
        return;
    // The library starts the calibration states afresh with every stream.
    resetChips();
    codesSeen.store(0);
    lostCode.store(-1);
    restartPending.store(true);
    watching.store(true);
    if (!facade->startStreaming()) {
        watching.store(false);
        restartPending.store(false);
        log(LogEntry::Kind::Failure, "Could not start streaming: " + takeFailureTexts()
                                         + ". Check the headset, or disconnect and connect again.");
        return;
    }
    setLink(Link::Streaming);
    log(LogEntry::Kind::Note, "Streaming started");
}

void Acquisition::Impl::doStop()
{
    if (!facade || currentLink() != Link::Streaming)
        return;
    if (recording)
        finishRecording();
    watching.store(false);
    codesSeen.store(0);
    const bool stopped = facade->stopStreaming();
    setLink(Link::Connected);
    if (stopped)
        log(LogEntry::Kind::Note, "Streaming stopped");
    else
        log(LogEntry::Kind::Failure, "The headset did not confirm the stop (" + takeFailureTexts()
                                         + "). Disconnect and connect again if samples keep coming.");
}

void Acquisition::Impl::doCalibration(int channel, bool on)
{
    if (channel < 0 || channel >= CHANNEL_COUNT)
        return;
    calibrationOn[static_cast<std::size_t>(channel)].store(on);
    if (!facade)
        return;
    codesSeen.store(0);
    if (!facade->setProperty(Property(ENABLE_PROPERTIES[channel], on ? 1 : 0))) {
        log(LogEntry::Kind::Failure, "Could not switch the calibration of channel " + std::to_string(channel + 1)
                                         + ": " + takeFailureTexts() + ".");
        return;
    }
    log(LogEntry::Kind::Note, "Calibration of channel " + std::to_string(channel + 1) + (on ? " on" : " off"));
}

void Acquisition::Impl::doStartRecording(RecordingRequest& request)
{
    if (currentLink() != Link::Streaming || !facade) {
        log(LogEntry::Kind::Failure, "Not streaming: start streaming first, then record.");
        return;
    }
    if (recording) {
        log(LogEntry::Kind::Failure, "A recording is already running: stop it first.");
        return;
    }
    QString base = QString::fromStdString(request.base).trimmed();
    if (base.endsWith(QLatin1String(".edf"), Qt::CaseInsensitive))
        base.chop(4);
    if (base.isEmpty() || base.endsWith(QLatin1Char('/')) || QFileInfo(base).fileName().isEmpty()) {
        log(LogEntry::Kind::Failure, "Choose a file name for the recording, e.g. recordings/session1.edf.");
        return;
    }
    const QFileInfo where(base);
    if (!QFileInfo(where.absolutePath()).isDir()) {
        log(LogEntry::Kind::Failure, "Cannot record: the folder " + QDir::toNativeSeparators(where.absolutePath()).toStdString()
                                         + " does not exist.");
        return;
    }
    const unsigned formats = recorder::FORMAT_EDF | (request.csv ? recorder::FORMAT_CSV | recorder::FORMAT_EVENTS : 0u);
    std::vector<std::unique_ptr<recorder::Writer>> writers = recorder::makeWriters(base.toStdString(), formats);
    for (const auto& writer : writers) {
        if (QFileInfo::exists(QString::fromStdString(writer->path()))) {
            log(LogEntry::Kind::Failure, "Cannot record: " + writer->path()
                                             + " already exists. Choose another name: a recording is never replaced.");
            return;
        }
    }
    for (auto& writer : request.extraWriters)
        writers.push_back(std::move(writer));
    for (std::size_t i = 0; i < writers.size(); ++i) {
        if (!writers[i]->open()) {
            const std::string why = writers[i]->error();
            for (std::size_t k = 0; k < i; ++k)
                writers[k]->discard();
            log(LogEntry::Kind::Failure, "Cannot record: " + why + ".");
            return;
        }
    }
    recorder::RecordingInfo recordingInfo;
    recordingInfo.labels = options.labels;
    {
        std::lock_guard<std::mutex> lock(infoMutex);
        recordingInfo.device = info;
    }
    for (auto& writer : writers)
        writer->describe(recordingInfo);

    const int generation = ++lastGeneration;
    recording = std::make_unique<RecordingThread>(generation, std::move(writers), recordSamples, recordEvents);
    recordFed.store(0);
    {
        std::lock_guard<std::mutex> lock(infoMutex);
        recordingBase = base.toStdString();
        recordingView = recording.get();
    }
    recordingGeneration.store(generation);
    log(LogEntry::Kind::Note, "Recording to " + base.toStdString() + ".edf");
}

void Acquisition::Impl::finishRecording(const std::string& lastNote)
{
    if (!recording)
        return;
    if (!lastNote.empty())
        recording->addNote(recorder::Note{static_cast<double>(recordFed.load()) / SAMPLE_RATE_HZ, -1.0, lastNote});
    recordingGeneration.store(0);
    std::string base;
    {
        std::lock_guard<std::mutex> lock(infoMutex);
        recordingView = nullptr;
        base = recordingBase;
        recordingBase.clear();
    }
    const RecordingThread::Result result = recording->finish();
    recording.reset();
    if (!result.error.empty())
        log(LogEntry::Kind::Failure, "The recording stopped: " + result.error
                                         + ". What was written before is kept, and the files are valid.");
    if (result.samples == 0) {
        log(LogEntry::Kind::Note, "Nothing was recorded to " + base + ".edf: the files were removed.");
        return;
    }
    std::string files;
    for (const std::string& file : result.files)
        files += (files.empty() ? "" : ", ") + file;
    log(LogEntry::Kind::Note, "Recorded " + secondsText(static_cast<double>(result.samples) / SAMPLE_RATE_HZ) + " s, "
                                  + std::to_string(result.fillers) + " samples lost: " + files);
}

void Acquisition::Impl::watch()
{
    if (recording && recording->failed())
        finishRecording();
    const int code = lostCode.exchange(-1);
    if (code < 0 || !facade || currentLink() != Link::Streaming)
        return;
    const bool wasRecording = recording != nullptr;
    finishRecording("Headset lost");
    closeFacade();
    setLink(Link::Disconnected);
    log(LogEntry::Kind::Failure, "The headset was lost: " + statusText(code)
                                     + (wasRecording ? " The recording was closed; its files are valid." : "")
                                     + " Connect again once dongle and headset are back.");
}

void Acquisition::Impl::execute(Command& command)
{
    switch (command.request) {
    case Request::Connect:
        doConnect(command.source, command.thenStart);
        break;
    case Request::Disconnect:
        doDisconnect();
        break;
    case Request::Start:
        doStart();
        break;
    case Request::Stop:
        doStop();
        break;
    case Request::Calibration:
        doCalibration(command.channel, command.on);
        break;
    case Request::StartRecording:
        doStartRecording(*command.recording);
        break;
    case Request::StopRecording:
        finishRecording();
        break;
    }
}

void Acquisition::Impl::run()
{
    for (;;) {
        Command command;
        bool have = false;
        {
            std::unique_lock<std::mutex> lock(commandMutex);
            commandWake.wait_for(lock, WATCH_PERIOD, [this] { return stopping || !commands.empty(); });
            if (stopping) {
                pending.fetch_sub(static_cast<int>(commands.size()));
                commands.clear();
                break;
            }
            if (!commands.empty()) {
                command = std::move(commands.front());
                commands.pop_front();
                have = true;
            }
        }
        if (have) {
            execute(command);
            pending.fetch_sub(1);
        }
        watch();
    }
    finishRecording();
    closeFacade();
    setLink(Link::Disconnected);
}

// ---------------------------------------------------------------------------

Acquisition::Acquisition(const AcquisitionOptions& options)
    : d(new Impl(options))
{
    d->control = std::thread([this] { d->run(); });
}

Acquisition::~Acquisition()
{
    {
        std::lock_guard<std::mutex> lock(d->commandMutex);
        d->stopping = true;
    }
    d->commandWake.notify_all();
    d->control.join();
}

void Acquisition::connect(Source source, bool thenStart)
{
    d->post(Impl::Command(Impl::Request::Connect, source, thenStart));
}

void Acquisition::disconnect()
{
    d->post(Impl::Command(Impl::Request::Disconnect));
}

void Acquisition::startStreaming()
{
    d->post(Impl::Command(Impl::Request::Start));
}

void Acquisition::stopStreaming()
{
    d->post(Impl::Command(Impl::Request::Stop));
}

void Acquisition::setCalibration(int channel, bool on)
{
    d->post(Impl::Command(Impl::Request::Calibration, Source::Headset, false, channel, on));
}

void Acquisition::startRecording(RecordingRequest request)
{
    d->post(Impl::Command(Impl::Request::StartRecording, Source::Headset, false, 0, false,
                          std::make_shared<RecordingRequest>(std::move(request))));
}

void Acquisition::stopRecording()
{
    d->post(Impl::Command(Impl::Request::StopRecording));
}

std::size_t Acquisition::takeSamples(DisplaySample* out, std::size_t max)
{
    return d->display.pop(out, max);
}

std::vector<LogEntry> Acquisition::takeLog()
{
    std::vector<LogEntry> entries;
    {
        std::lock_guard<std::mutex> lock(d->logMutex);
        entries.swap(d->notes);
    }
    EventItem event;
    while (d->guiEvents.pop(event)) {
        LogEntry entry;
        entry.sequence = event.sequence;
        entry.wallMs = event.wallMs;
        entry.kind = LogEntry::Kind::Status;
        entry.code = event.code;
        entry.type = StatusData::getTypeFromCode(static_cast<StatusData::statusCode>(event.code));
        entry.text = statusText(event.code);
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(),
              [](const LogEntry& a, const LogEntry& b) { return a.sequence < b.sequence; });
    return entries;
}

AcquisitionStatus Acquisition::status() const
{
    AcquisitionStatus s;
    s.link = d->currentLink();
    s.busy = d->pending.load() > 0;
    s.source = static_cast<Source>(d->source.load());
    for (std::size_t c = 0; c < CHANNEL_COUNT; ++c) {
        s.calibration[c] = static_cast<Calibration>(d->calibration[c].load());
        s.calibrationOn[c] = d->calibrationOn[c].load();
    }
    s.samples = d->samples.load();
    s.lost = d->lost.load();
    s.displaySkipped = d->displaySkipped.load();
    s.eventsSkipped = d->eventsSkipped.load();
    std::lock_guard<std::mutex> lock(d->infoMutex);
    s.haveInfo = d->haveInfo;
    s.info = d->info;
    if (d->recordingView) {
        s.recording = true;
        s.recordingBase = d->recordingBase;
        s.recordedSeconds = static_cast<double>(d->recordingView->written()) / SAMPLE_RATE_HZ;
        s.recordedLost = d->recordingView->fillers();
    }
    return s;
}

bool Acquisition::idle() const
{
    return d->pending.load() == 0;
}

} // namespace view
} // namespace ondira
