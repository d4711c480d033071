// The worker parses and calibrates while the application's thread polls,
// writes the polled fields, switches channels and resets. Under the thread
// sanitizer this must show no data race; the checks catch torn or impossible
// values, and a worker that a reset leaves stuck.

#include "protocol/OffsetCalibrator.h"

#include "PacketBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

using namespace protocol_test;

namespace {

TEST(ProtocolConcurrency, WorkerParsesAndCalibratesWhileTheApplicationPollsAndResets)
{
    // No byte is a length byte or 12: what is left of a packet cut short by a
    // reset cannot pass for a header, so every sample reported is one of these.
    const std::array<Sample, 5> known{Sample{0x8000, 0x8001, 0x7FFF, 0x0010}, Sample{1, 2, 3, 4},
                                      Sample{0xFFFF, 0, 0x4040, 0x0F0F}, Sample{1000, 2000, 3000, 4000},
                                      Sample{0xA5A5, 0x5A5A, 0xC3C3, 0x3C3C}};
    P parser;
    identify(parser);
    ondira::OffsetCalibrator calibrator;
    calibrator.setup(4);
    std::atomic<bool> stop{false};
    std::atomic<int> samples{0}, bad{0};
    std::thread worker([&] {
        const std::int32_t low[4] = {0, 0, 65535, 0};
        const std::int32_t high[4] = {65535, 0, 65535, 30000};
        for (int i = 0; !stop; ++i) {
            // The identity reply to address 0 counts only after clearUsbId.
            const Bytes bytes = dataPacket(std::uint8_t(i), known, std::uint8_t(i & 1), 0x21)
                                + firmwareReply(HEADSET, std::uint8_t(100 + i % 100))
                                + parameterReply(DONGLE, 9) + identityReply(DONGLE);
            for (std::uint8_t b : bytes) {
                if (!parser.processByte(b))
                    continue;
                // What the engine reads on a true result.
                const int lost = parser.getLostPackets();
                const Sample sample = sampleOf(parser.getLastSample());
                parser.offsetChangeToggled();
                parser.getSequenceNumber();
                parser.getOffsetChangeSequence();
                samples += lost <= 0;
                bad += std::find(known.begin(), known.end(), sample) == known.end();
            }

            calibrator.updateAverages(i % 64 < 32 ? low : high);
            const int code = calibrator.calibrate();
            bad += code < -9 || code > 9 || code == -1;
            if (code != 0 && i % 3 == 0) { // the headset confirms now and then
                calibrator.setWaiting(false);
                calibrator.advance();
            }
            const std::uint8_t position = calibrator.getPosition();
            const int offset = calibrator.getOffset(position);
            bad += position >= 4 || offset < 25 || offset > 1000;
        }
    });

    for (int poll = 1; poll <= 20000; ++poll) {
        parser.setOndiraFirmwareVersion(0);
        parser.setUsbTransmissionChannel(100);
        parser.setChannelAck(0);
        const int version = parser.getOndiraFirmwareVersion();
        const int channel = parser.getUsbTransmissionChannel();
        bad += (version != 0 && (version < 100 || version >= 200)) + (channel != 100 && channel != 9);
        bad += parser.getUsbId() == DONGLE && parser.getOndiraId() != HEADSET;
        const std::uint8_t index = std::uint8_t(poll % 4);
        calibrator.setEnabled(index, !calibrator.isEnabled(index));
        const int state = calibrator.getChannelState(index);
        bad += state != 9 + index && state != 13 + index && state != 17 + index && state != 21;
        if (poll % 10 == 0)
            calibrator.reset();
        if (poll % 50 == 0)
            parser.reset();
        if (poll % 50 == 25)
            parser.setSequenceNumber(-1);
        if (poll % 400 == 0)
            parser.clearUsbId();
        if (poll % 100 == 0)
            std::this_thread::yield();
    }
    // However the threads were scheduled, the worker goes on decoding.
    const int decoded = samples;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (samples <= decoded + 100 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    stop = true;
    worker.join();

    EXPECT_GT(samples, decoded + 100);
    EXPECT_EQ(bad, 0);
}

} // namespace
