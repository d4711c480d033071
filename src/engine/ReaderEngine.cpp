#include "engine/ReaderEngine.h"

#include "device/FTDIDevice.h"
#include "diagnostics/Trace.h"
#include "protocol/ZAREProtocol.h"

#include <ondira/PData.h>

#include <algorithm>
#include <cstring>

namespace ondira {

namespace {
constexpr std::uint32_t READ_CHUNK = ZAREProtocol::DATA_PACKET_SIZE; // one data packet
constexpr unsigned long POLL_SLEEP_MS = 100;
constexpr std::uint32_t WORKER_READ_TIMEOUT_MS = 100;
constexpr std::uint8_t MAX_SILENT_POLLS = 50;
constexpr std::uint8_t MAX_STRAY_SAMPLES = 50;
constexpr std::uint8_t STRAY_SAMPLES_PER_STOP = 5;
constexpr std::uint32_t COMMAND_PREAMBLE_SIZE = 126;
constexpr long long SLOW_WRITE_MS = 900;
constexpr int CHANNEL_COUNT = 4;
} // namespace

ReaderEngine::ReaderEngine(FTDIDevice* device, ZAREProtocol* protocol, EngineClock clock)
    : sampleClock(0)
    , device(device)
    , protocol(protocol)
    , running(false)
    , packetCounter(0)
    , calibrationStep(0)
    , streaming(false)
    , clock(std::move(clock))
    , workerFailed(false)
    , lastDelivered{}
{
    for (auto& state : lastChannelStates)
        state.store(StatusData::DEFAULT_CHANNEL_STATE);
    calibrator.setup(CHANNEL_COUNT);
    resetSession();
}

ReaderEngine::~ReaderEngine()
{
    closeDevice();
}

bool ReaderEngine::isWorkerRunning() const
{
    return future.isRunning();
}

void ReaderEngine::PendingEvents::add(StatusData::statusCode code)
{
    // No locked step raises more than CAPACITY events; the bound only keeps
    // the array safe.
    if (count < CAPACITY)
        codes[count++] = code;
}

void ReaderEngine::publish(const PendingEvents& events)
{
    for (int i = 0; i < events.count; ++i)
        publishStatus(events.codes[i]);
}

bool ReaderEngine::refuseWhileStalled()
{
    if (!isStalled())
        return false;
    publishStatus(StatusData::DEVICE_IO_ERROR);
    return true;
}

// ---------------------------------------------------------------------------
// Worker

void ReaderEngine::startWorker()
{
    // Never more than one worker per engine. A worker that ended itself
    // (an error exit) has lowered `running` and is joined by the launch.
    if (future.isRunning() && running.load())
        return;
    // A new worker begins a new session: nothing is delivered until the
    // application starts streaming in it, whatever the last one left behind.
    streaming.store(false);
    workerFailed.store(false);
    // The worker runs for as long as the device is open, on a thread of its
    // own: a worker queued behind other work in a shared pool would miss the
    // identification replies. Raised before the launch, so that a
    // waitForWorker that comes before the worker has begun still stops it.
    running.store(true);
    if (!future.launch([this] { return run(); }))
        running.store(false); // no thread: identification times out
}

void ReaderEngine::waitForWorker()
{
    if (!future.isRunning())
        return;
    running.store(false);
    // Called from a consumer on the worker itself: the worker stops when that
    // consumer returns; it cannot wait for itself.
    if (future.isWorkerThread())
        return;
    const bool result = future.result();
    Trace() << "Thread stopped. Result =" << result;
}

bool ReaderEngine::exitWorker(int exitNumber, PendingEvents* held)
{
    // Marked stalled before anyone hears of it: a consumer that reacts to the
    // event by starting again is told that nothing is read any more.
    workerFailed.store(true);
    running.store(false);
    if (held) {
        controlMutex.unlock();
        publish(*held);
    }
    publishStatus(StatusData::DEVICE_IO_ERROR);
    static const char* const traces[] = {
        "Unexpected end of thread (0)", "Unexpected end of thread (1)",
        "Unexpected end of thread (2)", "Unexpected end of thread (3)",
        "Unexpected end of thread (4)",
    };
    Trace() << traces[exitNumber];
    return false;
}

bool ReaderEngine::run()
{
    unsigned char buffer[READ_CHUNK];
    std::uint8_t straySamples = 0; // samples that arrived while not streaming
    std::uint8_t silentPolls = 0;  // consecutive empty polls while streaming

    Trace() << "Starting thread";
    if (!device->setReadTimeout(WORKER_READ_TIMEOUT_MS))
        return exitWorker(0, nullptr);

    while (running.load()) {
        std::uint32_t count = 0;
        HWDevice::errorCode error;
        {
            ioMutex.lock();
            if (device->getBytesAvailable() == 0) {
                // Never sleep while holding the I/O lock: commands go out meanwhile.
                ioMutex.unlock();
                clock.sleepMs(POLL_SLEEP_MS);
                ioMutex.lock();
            }
            count = device->getBytesAvailable();
            if (count > 0)
                count = device->read(buffer, std::min(count, READ_CHUNK));
            error = device->getLastError();
            ioMutex.unlock();
        }
        if (error != HWDevice::HW_OK)
            return exitWorker(1, nullptr);
        // The device never reports more than was asked for; guard the buffer anyway.
        count = std::min(count, READ_CHUNK);

        if (count > 0) {
            // After one stray sample the rest of the read is still parsed, so
            // that the parser keeps its place and a reply behind the samples
            // is not lost, but its samples are dropped.
            bool strayAnswered = false;
            for (std::uint32_t i = 0; i < count; ++i) {
                if (!protocol->processByte(buffer[i]) || strayAnswered)
                    continue;
                if (streaming.load()) {
                    if (silentPolls > 0)
                        fillSilence(silentPolls);
                    handlePacket();
                    silentPolls = 0;
                    continue;
                }
                if (!controlMutex.tryLock())
                    continue;
                if (streaming.load()) {
                    controlMutex.unlock();
                    continue;
                }
                // A sample (or a loss report) although the headset was told
                // to stop: tell it again, four times out of five.
                PendingEvents events;
                if (straySamples % STRAY_SAMPLES_PER_STOP != 0) {
                    Trace() << "stopping from thread";
                    if (!pause(events))
                        return exitWorker(3, &events);
                }
                if (straySamples == MAX_STRAY_SAMPLES)
                    return exitWorker(4, &events);
                ++straySamples;
                controlMutex.unlock();
                publish(events);
                strayAnswered = true;
            }
            continue;
        }

        // Nothing arrived.
        if (!controlMutex.tryLock())
            continue;
        PendingEvents events;
        if (!streaming.load()) {
            straySamples = 0;
        } else {
            Trace() << "0 bytes! (" << static_cast<std::int32_t>(silentPolls) << ")";
            if (silentPolls == MAX_SILENT_POLLS) {
                streaming.store(false);
                events.add(StatusData::DEVICE_NOT_RESPONDING);
                silentPolls = 0;
            } else if (writeStart(events, true)) {
                ++silentPolls;
            } else {
                return exitWorker(2, &events);
            }
        }
        controlMutex.unlock();
        publish(events);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Open and close

bool ReaderEngine::openDevice()
{
    const HWDevice::errorCode error = device->getLastError();
    if (error == HWDevice::HW_LIBRARY_NOT_LOADED || error == HWDevice::HW_LIBRARY_SYMBOL_MISSING) {
        publishStatus(StatusData::FTDI_LIBRARY_ERROR);
        return false;
    }
    if (findDevice() && device->configure())
        return true;
    // The device refuses to open without its driver library even when a
    // setter has overwritten the load failure in its last error; it then
    // records the load failure again, and the event names the real cause.
    const HWDevice::errorCode after = device->getLastError();
    if (after == HWDevice::HW_LIBRARY_NOT_LOADED || after == HWDevice::HW_LIBRARY_SYMBOL_MISSING)
        publishStatus(StatusData::FTDI_LIBRARY_ERROR);
    else
        publishStatus(StatusData::DEVICE_IO_ERROR);
    return false;
}

void ReaderEngine::closeDevice()
{
    if (streaming.load()) {
        for (int i = 0; i < 4; ++i) {
            if (!stopStreaming())
                break;
        }
    }
    waitForWorker();
    const bool closed = device->close() == HWDevice::HW_OK;
    // Closed is closed, whatever ended the worker and whether or not the
    // headset heard the stop: the next session streams only once started.
    streaming.store(false);
    workerFailed.store(false);
    if (!closed)
        publishStatus(StatusData::DEVICE_IO_ERROR);
}

// ---------------------------------------------------------------------------
// Start and stop

bool ReaderEngine::startStreaming()
{
    PendingEvents events;
    bool started = false;
    {
        QMutexLocker lock(&controlMutex);
        // After the worker ended on an error nothing would be read: say so
        // instead of starting a stream that nobody receives.
        if (isStalled())
            events.add(StatusData::DEVICE_IO_ERROR);
        else
            started = resume(events);
    }
    publish(events);
    return started;
}

bool ReaderEngine::stopStreaming()
{
    PendingEvents events;
    bool stopped;
    {
        QMutexLocker lock(&controlMutex);
        stopped = pause(events);
    }
    publish(events);
    return stopped;
}

bool ReaderEngine::resume(PendingEvents& events)
{
    // The new session begins with a clean parser, sample clock and
    // calibration pass, and is streaming, before the start goes out: the
    // headset's first samples find it ready, whenever they come, and none of
    // them lands on a time line that is reset under it. While the command is
    // written the worker waits for the I/O lock, so it sees the session only
    // once the start is on its way.
    const bool wasStreaming = streaming.load();
    streaming.store(false);
    protocol->setSequenceNumber(-1);
    resetSession();
    streaming.store(true);
    if (writeStart(events, wasStreaming))
        return true;
    streaming.store(wasStreaming); // a failed start leaves streaming as it was
    return false;
}

void ReaderEngine::buildRegisterCommand(std::uint32_t address, std::uint16_t value,
                                        unsigned char* command) const
{
    ZAREProtocol::buildRegisterWrite(protocol->getOndiraId(), protocol->getUsbId(), address, value,
                                     command);
}

bool ReaderEngine::writeStart(PendingEvents& events, bool wasStreaming)
{
    unsigned char command[ZAREProtocol::REGISTER_WRITE_SIZE];
    buildRegisterCommand(ZAREProtocol::REG_STREAM_CONTROL, ZAREProtocol::STREAM_START, command);
    writeCommand(command, sizeof command);
    Trace() << "resuming:" << wasStreaming;
    const HWDevice::errorCode error = device->getLastError();
    if (error == HWDevice::HW_OK)
        return true;
    events.add(error == HWDevice::HW_NOT_OPEN ? StatusData::DEVICE_NOT_OPEN
                                               : StatusData::DEVICE_IO_ERROR);
    return false;
}

bool ReaderEngine::pause(PendingEvents& events)
{
    unsigned char command[ZAREProtocol::REGISTER_WRITE_SIZE];
    buildRegisterCommand(ZAREProtocol::REG_STREAM_CONTROL, ZAREProtocol::STREAM_STOP, command);
    writeCommand(command, sizeof command);
    const HWDevice::errorCode error = device->getLastError();
    if (error == HWDevice::HW_OK) {
        streaming.store(false);
        Trace() << "pausing NO ERROR:" << false;
        resetSession();
        return true;
    }
    if (error == HWDevice::HW_NOT_OPEN) {
        resetSession();
        Trace() << "pausing WITH NO DEVICE ERROR" << streaming.load();
        events.add(StatusData::DEVICE_NOT_OPEN);
        return false;
    }
    Trace() << "pausing WITH ANOTHER ERROR" << streaming.load();
    events.add(StatusData::DEVICE_IO_ERROR);
    // The headset did not hear the stop: while the stream goes on, what the
    // worker still delivers of it (until the device's error ends the worker
    // at its next poll) keeps the session's parser state and time line.
    if (!streaming.load())
        resetSession();
    return false;
}

void ReaderEngine::resetSession()
{
    sampleClock.store(0);
    protocol->reset();
    calibrator.reset();
    for (auto& state : lastChannelStates)
        state.store(StatusData::DEFAULT_CHANNEL_STATE);
}

void ReaderEngine::writeCommand(const unsigned char* bytes, std::uint32_t length)
{
    // The dongle needs a run of zero bytes ahead of every command.
    static const unsigned char preamble[COMMAND_PREAMBLE_SIZE] = {};

    const long long t0 = clock.nowMs();
    ioMutex.lock();
    device->write(preamble, COMMAND_PREAMBLE_SIZE);
    device->write(bytes, length);
    const long long t1 = clock.nowMs();
    ioMutex.unlock();

    const long long elapsed = t1 - t0;
    if (elapsed > SLOW_WRITE_MS)
        Trace() << "-----------Something wrong while writing (" << elapsed << ")---------------";
}

bool ReaderEngine::writeRequest(const unsigned char* bytes, std::uint32_t length)
{
    writeCommand(bytes, length);
    if (device->getLastError() != HWDevice::HW_OK) {
        publishStatus(StatusData::DEVICE_IO_ERROR);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Calibration switches

std::uint8_t ReaderEngine::isChannelEnabled(std::uint8_t channel) const
{
    return calibrator.isEnabled(channel) ? 1 : 0;
}

bool ReaderEngine::setChannelEnabled(std::uint8_t channel, int value)
{
    const std::uint8_t flag = static_cast<std::uint8_t>(value & 0xFF);
    if (flag > 1)
        return false;
    calibrator.setEnabled(channel, flag == 1);
    return true;
}

} // namespace ondira
