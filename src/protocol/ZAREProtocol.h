#ifndef ONDIRA_PROTOCOL_ZAREPROTOCOL_H
#define ONDIRA_PROTOCOL_ZAREPROTOCOL_H

#include "protocol/Protocol.h"

#include <atomic>
#include <cstdint>

namespace ondira {

/// The dongle's packet protocol: receive machine, sample decoder, reply
/// fields, and the static builders of the command packets.
///
/// Pure: no clock, no allocation, constant time per byte, and no I/O apart
/// from one guard message on standard output for a state no input can reach.
///
/// Threading: processByte runs on the engine's worker. The application's
/// thread polls and resets the reply fields (getters/setters, clearUsbId)
/// while the worker parses, and runs reset. Reply fields and addresses are
/// atomics (single bytes or 16-bit words, polled: no ordering beyond each
/// value's own is needed, except that a new dongle address is published after
/// its headset address) and their getters and setters never block.
/// The parser's own state belongs to the thread that feeds the bytes:
/// processByte, getLastSample, getLostPackets, getOffsetChangeSequence and
/// offsetChangeToggled are for that thread. reset may come from any thread:
/// it resets the reply fields at once and has the feeding thread reset the
/// rest before its next byte, so that a reset never lands in the middle of a
/// byte's handling. Nothing here locks or blocks.
class ZAREProtocol final : public Protocol
{
public:
    // Received packet kinds (byte 5 of a packet addressed to the host).
    static constexpr std::uint8_t REPLY_FIRMWARE_VERSION = 0xC0;
    static constexpr std::uint8_t REPLY_PARAMETER = 0xC4;
    static constexpr std::uint8_t REPLY_SET_ACK = 0xC5;
    static constexpr std::uint8_t REPLY_ID = 0xCF;
    static constexpr std::uint8_t PACKET_DATA = 0xD1;

    // Command bytes (byte 5 of a command packet).
    static constexpr std::uint8_t CMD_GET_FIRMWARE_VERSION = 0xA0;
    static constexpr std::uint8_t CMD_REQUEST_ID = 0xB7;
    static constexpr std::uint8_t CMD_GET_PARAMETER = 0xA8;
    static constexpr std::uint8_t CMD_SET_PARAMETER = 0xA9;
    static constexpr std::uint8_t CMD_REGISTER_WRITE = 0xD0;

    static constexpr std::uint8_t PARAM_TRANSMISSION_CHANNEL = 2;
    static constexpr std::uint32_t REG_STREAM_CONTROL = 0x200;
    static constexpr std::uint32_t REG_CHANNEL_OFFSET = 0x400; ///< + 2 x channel index
    static constexpr std::uint16_t STREAM_START = 4092;
    static constexpr std::uint16_t STREAM_STOP = 0;

    // Packet sizes, length byte included.
    static constexpr int SHORT_COMMAND_SIZE = 6;
    static constexpr int GET_PARAMETER_SIZE = 7;
    static constexpr int SET_PARAMETER_SIZE = 8;
    static constexpr int REGISTER_WRITE_SIZE = 19;
    static constexpr int DATA_PACKET_SIZE = 59;
    static constexpr int SAMPLE_SIZE = 8; ///< bytes of getLastSample()

    /// No-answer values of the polled reply fields.
    static constexpr std::uint8_t NO_CHANNEL = 100;
    static constexpr std::uint8_t NO_FIRMWARE_VERSION = 0;

    ZAREProtocol();

    // Protocol
    bool processByte(unsigned char byte) override;
    int getStatus() override;
    /// Valid until the next processByte or reset.
    const unsigned char* getLastSample() override;

    /// Back to the state after construction except for the two addresses,
    /// the byte position, the held byte, the source flag and the sample buffers.
    void reset();
    /// True for the length bytes that may start a packet: 5, 6, 7 and 58.
    static bool isPacketStart(unsigned char byte);

    std::uint16_t getUsbId() const;
    void clearUsbId();
    std::uint16_t getOndiraId() const;

    int getLostPackets() const;
    int getSequenceNumber() const;
    void setSequenceNumber(int value);
    int getOffsetChangeSequence() const;
    /// True once per change of the data packets' offset-change toggle.
    bool offsetChangeToggled();

    std::uint8_t getUsbTransmissionChannel() const;
    void setUsbTransmissionChannel(std::uint8_t value);
    std::uint8_t getOndiraTransmissionChannel() const;
    void setOndiraTransmissionChannel(std::uint8_t value);
    std::uint8_t getUsbFirmwareVersion() const;
    void setUsbFirmwareVersion(std::uint8_t value);
    std::uint8_t getOndiraFirmwareVersion() const;
    void setOndiraFirmwareVersion(std::uint8_t value);
    std::uint8_t getChannelAck() const;
    void setChannelAck(std::uint8_t value);

    // Command builders. Each writes exactly one packet into `buffer`, which
    // must hold the packet's size. Addresses contribute their low 16 bits,
    // every other argument its low 8 bits.
    static void buildShortCommand(int destination, int source, int command, unsigned char* buffer);
    static void buildGetParameter(int destination, int source, int selector, unsigned char* buffer);
    static void buildSetParameter(int destination, int source, int selector, int value,
                                  unsigned char* buffer);
    static void buildRegisterWrite(int destination, int source, int address3, int address2,
                                   int address1, int address0, std::uint16_t value,
                                   unsigned char* buffer);
    /// The same with the register address as one number, sent most
    /// significant byte first (REG_STREAM_CONTROL, REG_CHANNEL_OFFSET + 2i).
    static void buildRegisterWrite(int destination, int source, std::uint32_t address,
                                   std::uint16_t value, unsigned char* buffer);

private:
    // Reaches the receive and sample states, which no input can put out of
    // range, to exercise the guard against such states.
    friend class ZAREProtocolTestAccess;

    bool handleByte(unsigned char byte);
    bool payloadByte(unsigned char byte);
    /// Carries out a reset requested since the last byte (feeding thread).
    void applyPendingReset();
    bool decodeSampleByte(unsigned char byte);

    std::atomic<bool> resetPending{false}; // reset asked for, not yet carried out

    // Polled by the application's thread.
    std::atomic<std::uint16_t> dongleAddress;
    std::atomic<std::uint16_t> headsetAddress;
    std::atomic<std::uint8_t> dongleChannel;
    std::atomic<std::uint8_t> headsetChannel;
    std::atomic<std::uint8_t> channelAcknowledged;
    std::atomic<std::uint8_t> headsetFirmwareVersion;
    std::atomic<std::uint8_t> dongleFirmwareVersion;
    std::atomic<std::int16_t> lastSequenceNumber;

    // Worker state, owned by the thread that feeds the bytes.
    std::uint8_t receiveState;
    std::uint8_t sampleState;
    std::uint16_t bytePosition;
    std::uint8_t heldByte;
    bool sourceIsDongle;
    std::int32_t lostPackets;
    bool offsetChangeToggle;
    bool toggleSeen;
    std::int32_t offsetChangeSequence;
    unsigned char sampleBuffers[2][SAMPLE_SIZE];
    unsigned char* sampleInProgress; // one of sampleBuffers, the other is lastSample
    unsigned char* lastSample;
};

} // namespace ondira

#endif
