#ifndef ONDIRA_ENGINE_READERENGINE_H
#define ONDIRA_ENGINE_READERENGINE_H

#include "engine/DefaultDataProducer.h"
#include "engine/EngineClock.h"
#include "engine/WorkerFuture.h"
#include "protocol/OffsetCalibrator.h"

#include <ondira/StatusData.h>

#include <QMutex>

#include <atomic>
#include <cstdint>

namespace ondira {

class FTDIDevice;
class ZAREProtocol;

/// Owns the conversation with the device: the worker that reads and parses
/// the byte stream, start and stop, open and close, the command write path and
/// the request/reply exchanges with dongle and headset.
///
/// Threads: the public operations run on the application's thread (one at a
/// time). From openDevice until closeDevice one worker runs `run` on a thread
/// of its own and delivers samples and acquisition events there.
///
/// Locks: controlMutex is held around every start and stop command (the
/// worker only try-locks it); ioMutex around every access to the device's byte
/// stream. Order: controlMutex before ioMutex. No status event is published
/// while either is held: events raised under a lock are collected and
/// published, in order, once it is released, so that a status consumer may
/// call back into the engine. Flags and counters shared between the two
/// threads are atomics.
///
/// Time comes from the injected clock: sample timestamps, the timing of
/// command writes, the worker's poll sleep and the waits between requests.
class ReaderEngine
{
public:
    ReaderEngine(FTDIDevice* device, ZAREProtocol* protocol,
                 EngineClock clock = EngineClock::system());
    ~ReaderEngine();

    ReaderEngine(const ReaderEngine&) = delete;
    ReaderEngine& operator=(const ReaderEngine&) = delete;

    bool openDevice();
    void closeDevice();
    bool startStreaming();
    bool stopStreaming();
    bool ping();

    // Request/reply exchanges; each blocks up to about 1.2 s.
    std::uint8_t askUsbFirmwareVersion();          ///< 0: no answer
    std::uint8_t askOndiraFirmwareVersion();       ///< 0: no answer
    std::uint8_t askUsbTransmissionChannel();      ///< 100: no answer
    std::uint8_t askOndiraTransmissionChannel();   ///< 100: no answer
    bool sendUsbTransmissionChannel(std::uint8_t channel);    ///< 0..15
    bool sendOndiraTransmissionChannel(std::uint8_t channel); ///< 0..15

    std::uint8_t isChannelEnabled(std::uint8_t channel) const;
    /// The low 8 bits of `value` must be 0 or 1; anything else changes nothing.
    bool setChannelEnabled(std::uint8_t channel, int value);

    DefaultDataProducer& getSampleProducer() { return sampleProducer; }
    DefaultDataProducer& getStatusProducer() { return statusProducer; }

    bool isStreaming() const { return streaming.load(); }
    bool isWorkerRunning() const;
    /// True on the engine's worker thread (consumers called from it, for one).
    bool isWorkerThread() const { return future.isWorkerThread(); }
    /// The worker has been told to stop, or ended itself: it returns at its
    /// next check.
    bool isWorkerStopping() const { return !running.load(); }

private:
    // Reaches the sample path directly, to measure its cost per sample.
    friend class ReaderEngineProbe;

    /// Status events raised while an engine lock is held; published in order
    /// once the lock is released.
    class PendingEvents
    {
    public:
        void add(StatusData::statusCode code);

    private:
        friend class ReaderEngine;
        static constexpr int CAPACITY = 4; // the most any locked step raises
        StatusData::statusCode codes[CAPACITY];
        int count = 0;
    };

    /// How a request/reply exchange ended.
    enum class Reply { Answered, WriteFailed, NoAnswer };

    // Worker.
    bool run();
    void startWorker();
    void waitForWorker();
    /// The worker's error exits 0..4: `running` lowered, the engine marked
    /// stalled, the control lock released if the exit holds it (`held` then
    /// has the events raised under it), then the events and DEVICE_IO_ERROR
    /// published and a trace; false.
    bool exitWorker(int exitNumber, PendingEvents* held);
    /// The worker ended on an error and the device is still open: nothing is
    /// read until the device is opened again.
    bool isStalled() const { return workerFailed.load(); }
    /// For operations that need the worker: publishes DEVICE_IO_ERROR while
    /// stalled and says so.
    bool refuseWhileStalled();

    // Start and stop.
    bool resume(PendingEvents& events);
    /// Writes the start command; false (and the event) on a device error.
    /// `wasStreaming` is traced.
    bool writeStart(PendingEvents& events, bool wasStreaming);
    bool pause(PendingEvents& events);
    void resetSession();
    void writeCommand(const unsigned char* bytes, std::uint32_t length);
    /// writeCommand; a device error afterwards publishes DEVICE_IO_ERROR and
    /// gives false.
    bool writeRequest(const unsigned char* bytes, std::uint32_t length);
    /// Builds a register write to the headset with the current addresses.
    void buildRegisterCommand(std::uint32_t address, std::uint16_t value, unsigned char* command) const;

    // Samples and calibration.
    void handlePacket();
    /// After empty polls while streaming, the time the headset was silent
    /// and that no sequence number accounts for becomes filler samples.
    void fillSilence(std::uint8_t silentPolls);
    void emitSample(const unsigned char* sample, std::uint8_t flag, std::uint8_t offsetChangeIndex);
    void publishData(int ch1, int ch2, int ch3, int ch4, std::uint8_t flag,
                     std::uint8_t offsetChangeIndex, long long timestamp);
    void publishStatus(StatusData::statusCode code);
    void publish(const PendingEvents& events);
    void publishChannelStates();
    bool sendOffset();

    // Handshake.
    bool findDevice();
    /// Joins the worker and closes a device that did not identify.
    void releaseCandidate();
    bool identifyDongle();
    bool requestId();
    bool requestFirmwareVersion(bool toHeadset);
    bool sendChannelCommand(std::uint8_t value, bool toHeadset, bool set);
    std::uint8_t askFirmwareVersion(bool headset);
    std::uint8_t askTransmissionChannel(bool headset);
    bool sendTransmissionChannel(std::uint8_t channel, bool headset);
    /// Up to seven requests, 200 ms apart, until `answered` holds;
    /// `announce(attempt)` runs before each request.
    template <typename Announce, typename Request, typename Answered>
    Reply exchange(Announce announce, Request request, Answered answered);

    WorkerFuture future;
    std::atomic<long long> sampleClock;
    std::atomic<StatusData::statusCode> lastChannelStates[4];
    OffsetCalibrator calibrator;
    DefaultDataProducer sampleProducer;
    DefaultDataProducer statusProducer;
    FTDIDevice* device;
    ZAREProtocol* protocol;
    std::atomic<bool> running;
    // Worker-only counters; atomics so that workers launched one after the
    // other need no ordering beyond their own.
    std::atomic<std::uint8_t> packetCounter;
    std::atomic<std::uint8_t> calibrationStep;
    std::atomic<bool> streaming;
    QMutex controlMutex;
    QMutex ioMutex;
    const EngineClock clock;
    /// The worker ended on an error exit; cleared by a new launch and by close.
    std::atomic<bool> workerFailed;
    /// The last sample handed to the consumers, repeated by silence fillers.
    /// Worker only.
    unsigned char lastDelivered[8];
};

} // namespace ondira

#endif
