#ifndef ONDIRA_ENGINE_READERENGINE_H
#define ONDIRA_ENGINE_READERENGINE_H

#include "api/DefaultDataProducer.h"
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
/// stream. Order: controlMutex before ioMutex. Flags and counters shared
/// between the two threads are atomics.
class ReaderEngine
{
public:
    ReaderEngine(FTDIDevice* device, ZAREProtocol* protocol);
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

private:
    // Worker.
    bool run();
    void startWorker();
    void waitForWorker();
    /// The worker's error exits 0..4: DEVICE_IO_ERROR, `running` lowered,
    /// the control lock released if the exit holds it, a trace; false.
    bool exitWorker(int exitNumber, bool unlockControl);

    // Start and stop.
    bool resume();
    bool sendStart();
    bool pause();
    void resetSession();
    void writeCommand(const unsigned char* bytes, std::uint32_t length);
    /// writeCommand; a device error afterwards publishes DEVICE_IO_ERROR and
    /// gives false.
    bool writeRequest(const unsigned char* bytes, std::uint32_t length);

    // Samples and calibration.
    void handlePacket();
    void emitSample(const unsigned char* sample, std::uint8_t flag, std::uint8_t offsetChangeIndex);
    void publishData(int ch1, int ch2, int ch3, int ch4, std::uint8_t flag,
                     std::uint8_t offsetChangeIndex, long long timestamp);
    void publishStatus(StatusData::statusCode code);
    void publishChannelStates();
    bool sendOffset();

    // Handshake.
    bool findDevice();
    bool identifyDongle();
    bool requestId();
    bool requestFirmwareVersion(bool toHeadset);
    bool sendChannelCommand(std::uint8_t value, bool toHeadset, bool set);
    std::uint8_t askFirmwareVersion(bool headset);
    std::uint8_t askTransmissionChannel(bool headset);
    bool sendTransmissionChannel(std::uint8_t channel, bool headset);

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
};

} // namespace ondira

#endif
