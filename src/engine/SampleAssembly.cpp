// What the worker does with each event of the parser while streaming: filler
// samples for lost packets and for a silence that no sequence number
// accounts for, one record per completed sample with its flag, offset-change
// index and timestamp, and every 100th event one pass of the offset
// calibration.

#include "engine/ReaderEngine.h"

#include "device/FTDIDevice.h"
#include "protocol/ZAREProtocol.h"

#include <ondira/OndiraData.h>
#include <ondira/PData.h>

#include <algorithm>
#include <cstring>

namespace ondira {

namespace {
constexpr int SAMPLES_PER_PACKET = 5;
constexpr long long SAMPLE_PERIOD_MS = 4;
// raw x 2700000 / 4587520, reduced: the same truncated result for every raw
// value 0..65535, in integers.
constexpr std::int64_t SCALE_NUMERATOR = 16875;
constexpr std::int64_t SCALE_DENOMINATOR = 28672;
constexpr std::uint8_t CALIBRATION_INTERVAL = 100;
constexpr int CHANNEL_COUNT = 4;
constexpr long long PACKET_PERIOD_MS = SAMPLES_PER_PACKET * SAMPLE_PERIOD_MS;
/// The worker's sleep between empty polls.
constexpr long long POLL_MS = 100;
/// A gap up to this long is read latency, not silence: a packet may wait a
/// poll (and a command write) in the receive queue before it is read.
constexpr long long SILENCE_THRESHOLD_MS = POLL_MS * 3 / 2;

// The sample that shows an applied offset step carries the step code as its
// flag.
static_assert(OffsetCalibrator::STEP_LOWERED == OndiraData::FLAG_OFFSET_DOWN_CHANNEL_1,
              "a lowered offset of channel 1 flags its sample FLAG_OFFSET_DOWN_CHANNEL_1");
static_assert(OffsetCalibrator::STEP_LOWERED + 3 == OndiraData::FLAG_OFFSET_DOWN_CHANNEL_4,
              "one lowered-offset flag per channel");
static_assert(OffsetCalibrator::STEP_RAISED == OndiraData::FLAG_OFFSET_UP_CHANNEL_1,
              "a raised offset of channel 1 flags its sample FLAG_OFFSET_UP_CHANNEL_1");
static_assert(OffsetCalibrator::STEP_RAISED + 3 == OndiraData::FLAG_OFFSET_UP_CHANNEL_4,
              "one raised-offset flag per channel");
static_assert(ZAREProtocol::SAMPLE_SIZE == 8, "four 16-bit channels");
} // namespace

void ReaderEngine::fillSilence(std::uint8_t silentPolls)
{
    // Only a running time line can have a gap; the first sample after a
    // start reads the clock anyway.
    const long long last = sampleClock.load();
    if (last == 0)
        return;
    // How far the clock has run ahead of the time line, less what the
    // sequence numbers of this packet report as lost (those become fillers of
    // their own). Bounded by the silence the worker saw, so that a clock step
    // cannot flood the consumers.
    const std::uint8_t lost = static_cast<std::uint8_t>(protocol->getLostPackets());
    long long gap = clock.nowMs() - (last + SAMPLE_PERIOD_MS) - lost * PACKET_PERIOD_MS;
    gap = std::min(gap, (silentPolls + 1LL) * 2 * POLL_MS);
    if (gap <= SILENCE_THRESHOLD_MS)
        return;
    for (long long i = gap / SAMPLE_PERIOD_MS; i > 0; --i)
        emitSample(lastDelivered, OndiraData::FLAG_LOST_SAMPLE, 0);
}

void ReaderEngine::handlePacket()
{
    const std::uint8_t lost = static_cast<std::uint8_t>(protocol->getLostPackets());
    if (lost != 0) {
        // A data packet's header reported missing packets: five fillers each,
        // repeating the last sample received before the gap.
        for (int i = 0; i < lost * SAMPLES_PER_PACKET; ++i)
            emitSample(protocol->getLastSample(), OndiraData::FLAG_LOST_SAMPLE, 0);
    } else {
        std::uint8_t flag = OndiraData::FLAG_NONE;
        std::uint8_t index = 0;
        if (protocol->offsetChangeToggled()) {
            // The headset applied the last offset written: mark this sample
            // and move the calibration on to the next channel.
            calibrator.setWaiting(false);
            const int packets = (protocol->getSequenceNumber() % 256)
                - (protocol->getOffsetChangeSequence() % 256);
            index = static_cast<std::uint8_t>(SAMPLES_PER_PACKET * packets); // modulo 256
            flag = calibrationStep.load();
            calibrator.advance();
        }
        emitSample(protocol->getLastSample(), flag, index);
    }

    const std::uint8_t events = static_cast<std::uint8_t>(packetCounter.load() + 1);
    if (events < CALIBRATION_INTERVAL) {
        packetCounter.store(events);
        return;
    }
    packetCounter.store(0);

    const std::int8_t code = calibrator.calibrate();
    publishChannelStates();
    if (code == 0)
        return;
    if (code >= 2) {
        calibrationStep.store(static_cast<std::uint8_t>(code));
    } else if (code < 0) {
        publishStatus(static_cast<StatusData::statusCode>(
            StatusData::CHANNEL_1_SLOW_CALIBRATION + calibrator.getPosition()));
        calibrationStep.store(static_cast<std::uint8_t>(-code));
    }
    // Code 1 (still waiting) sends the same offset again.
    if (!sendOffset())
        publishStatus(StatusData::DEVICE_IO_ERROR);
}

bool ReaderEngine::sendOffset()
{
    const std::uint8_t channel = calibrator.getPosition();
    unsigned char command[ZAREProtocol::REGISTER_WRITE_SIZE];
    buildRegisterCommand(ZAREProtocol::REG_CHANNEL_OFFSET + 2u * channel,
                         static_cast<std::uint16_t>(calibrator.getOffset(channel)), command);
    return writeRequest(command, sizeof command);
}

void ReaderEngine::emitSample(const unsigned char* sample, std::uint8_t flag,
                              std::uint8_t offsetChangeIndex)
{
    // The first record after a reset reads the wall clock, every later one
    // lies 4 ms after its predecessor. A reset from the application's thread
    // may come in between: then this record keeps the old time line and the
    // next one starts the new one from the clock.
    long long previous = sampleClock.load();
    // A stop (from the application's thread, or from a consumer in the middle
    // of a run of fillers) ends the session: what the worker still had to
    // deliver of it is dropped, like any sample that arrives after a stop.
    // Checked after the clock is read: a stop lowers the flag before it
    // resets the clock, so a record that passes here read its own session's.
    if (!streaming.load())
        return;
    const long long timestamp = previous == 0 ? clock.nowMs() : previous + SAMPLE_PERIOD_MS;
    sampleClock.compare_exchange_strong(previous, timestamp);
    if (sample != lastDelivered)
        std::memcpy(lastDelivered, sample, sizeof lastDelivered);

    std::int32_t raw[CHANNEL_COUNT];
    int value[CHANNEL_COUNT];
    for (int k = 0; k < CHANNEL_COUNT; ++k) {
        raw[k] = sample[2 * k] * 256 + sample[2 * k + 1];
        value[k] = static_cast<int>(raw[k] * SCALE_NUMERATOR / SCALE_DENOMINATOR);
    }
    calibrator.updateAverages(raw);
    publishData(value[0], value[1], value[2], value[3], flag, offsetChangeIndex, timestamp);
}

void ReaderEngine::publishData(int ch1, int ch2, int ch3, int ch4, std::uint8_t flag,
                               std::uint8_t offsetChangeIndex, long long timestamp)
{
    OndiraData record(ch1, ch2, ch3, ch4, static_cast<OndiraData::flagValue>(flag),
                      offsetChangeIndex, timestamp);
    PData envelope(&record);
    sampleProducer.sendData(envelope);
}

void ReaderEngine::publishStatus(StatusData::statusCode code)
{
    StatusData record(code);
    PData envelope(&record);
    statusProducer.sendData(envelope);
}

void ReaderEngine::publishChannelStates()
{
    for (std::uint8_t channel = 0; channel < CHANNEL_COUNT; ++channel) {
        const StatusData::statusCode state = calibrator.getChannelState(channel);
        if (state != lastChannelStates[channel].load()) {
            publishStatus(state);
            lastChannelStates[channel].store(state);
        }
    }
}

} // namespace ondira
