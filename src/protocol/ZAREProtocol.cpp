#include "protocol/ZAREProtocol.h"

#include <cstdio>
#include <utility>

// Received packets (device to host). Multi-byte numbers are big-endian.
//
//   offset  size  field
//   0       1     length byte: 5, 6, 7 or 58. It only marks a packet start;
//                 the kind byte decides how many bytes follow.
//   1       2     destination: must equal the dongle address
//   3       2     source: the headset address or the dongle address (the
//                 headset is tested first, so with equal addresses a packet
//                 counts as the headset's)
//   5       1     kind
//
//   kind                          body
//   C0 firmware version           6: version        -> dongle's or headset's, by source
//   C4 parameter                  6: value          -> dongle's or headset's channel
//   C5 set acknowledgement        none; the packet ends at its kind byte
//   CF identity                   6-7: address      -> dongle address; headset = address + 1
//   D1 data (59 bytes in all)     6: sequence number (modulo 256)
//                                 7: offset-change toggle (0 or nonzero)
//                                 8: offset-change sequence
//                                 9-58: five sample records
//
//   sample record (10 bytes):  40 0F | ch1 hi lo | ch2 hi lo | ch3 hi lo | ch4 hi lo
//
// There is no checksum. A byte that does not fit its place (wrong
// destination, foreign source, unknown kind) is dropped and ends the packet;
// the search for a length byte resumes with the following byte.
//
// The sample decoder sees only payload bytes and is not reset at a packet
// boundary: a record that one data packet leaves unfinished is completed by
// the payload of the next one.

namespace ondira {

namespace {

// Receive machine states. The numbering is part of the object's state (the
// guard below treats anything above FIRMWARE_VERSION as impossible).
enum ReceiveState : std::uint8_t {
    WAIT_START = 0,
    DESTINATION_HIGH = 1,
    DESTINATION_LOW = 2,
    SOURCE_HIGH = 3,
    SOURCE_LOW = 4,
    KIND = 5,
    SEQUENCE_NUMBER = 6,
    PAYLOAD = 7,
    ADDRESS_HIGH = 8,
    ADDRESS_LOW = 9,
    PARAMETER_VALUE = 10,
    OFFSET_TOGGLE = 11,
    OFFSET_SEQUENCE = 12,
    FIRMWARE_VERSION = 13,
};

// Sample decoder states: 0 and 1 wait for the record's 40 0F; 2..9 take the
// channel bytes, high then low, channel 1 first.
constexpr std::uint8_t SAMPLE_SYNC_FIRST = 0;
constexpr std::uint8_t SAMPLE_SYNC_SECOND = 1;
constexpr std::uint8_t SAMPLE_FIRST_CHANNEL_BYTE = 2;
constexpr std::uint8_t SAMPLE_LAST_CHANNEL_BYTE = 9;
constexpr unsigned char RECORD_SYNC_FIRST = 0x40;
constexpr unsigned char RECORD_SYNC_SECOND = 0x0F;

// Byte position of the last byte of a data packet.
constexpr std::uint16_t LAST_DATA_POSITION = ZAREProtocol::DATA_PACKET_SIZE - 1;

constexpr std::int16_t NO_SEQUENCE_NUMBER = -1;
constexpr std::int32_t NO_OFFSET_CHANGE_SEQUENCE = -1;
constexpr std::uint8_t ACKNOWLEDGED = 1;

const char GUARD_MESSAGE[] = "LOG: Went to default state";

} // namespace

ZAREProtocol::ZAREProtocol()
    : dongleAddress(0)
    , headsetAddress(0)
    , dongleChannel(NO_CHANNEL)
    , headsetChannel(NO_CHANNEL)
    , channelAcknowledged(ACKNOWLEDGED)
    , headsetFirmwareVersion(NO_FIRMWARE_VERSION)
    , dongleFirmwareVersion(NO_FIRMWARE_VERSION)
    , lastSequenceNumber(NO_SEQUENCE_NUMBER)
    , receiveState(WAIT_START)
    , sampleState(SAMPLE_SYNC_FIRST)
    , bytePosition(0)
    , heldByte(0)
    , sourceIsDongle(true)
    , lostPackets(0)
    , offsetChangeToggle(false)
    , toggleSeen(false)
    , offsetChangeSequence(NO_OFFSET_CHANGE_SEQUENCE)
    , sampleBuffers{}
    , sampleInProgress(sampleBuffers[0])
    , lastSample(sampleBuffers[1])
{
}

// Every relaxed access below is enough because each polled field stands for
// itself: the application's thread writes a "none" value, sends a command and
// polls until the worker stores the reply's value; no other memory is handed
// over with it. The one pair that belongs together, the two addresses of an
// identity reply, is published with release on the dongle address and read
// with acquire, so that whoever sees the new dongle address also sees the
// headset address that came with it.
//
// The worker's own state (receive and sample machines, loss count, toggle)
// belongs to the thread that feeds the bytes; no lock guards it. A reset from
// another thread resets the polled fields at once and leaves the worker's
// state to the worker: it raises resetPending, and the worker carries the
// reset out before its next byte, so that a reset lands between two bytes and
// never halfway through one. A reset that fell between the worker's reading
// of the last sequence number and its storing of the new one is carried out
// after that store, so it is never half undone. The worker's getters answer
// as after the reset while one is pending.

bool ZAREProtocol::processByte(unsigned char byte)
{
    applyPendingReset();
    // Fifty of a data packet's 59 bytes are payload: they take the short way.
    if (receiveState == PAYLOAD)
        return payloadByte(byte);
    return handleByte(byte);
}

inline bool ZAREProtocol::payloadByte(unsigned char byte)
{
    if (bytePosition++ == LAST_DATA_POSITION)
        receiveState = WAIT_START;
    return decodeSampleByte(byte);
}

void ZAREProtocol::applyPendingReset()
{
    if (!resetPending.load(std::memory_order_relaxed)
        || !resetPending.exchange(false, std::memory_order_acquire))
        return;
    receiveState = WAIT_START;
    sampleState = SAMPLE_SYNC_FIRST;
    lastSequenceNumber.store(NO_SEQUENCE_NUMBER, std::memory_order_relaxed);
    lostPackets = 0;
    offsetChangeToggle = false;
    toggleSeen = false;
    offsetChangeSequence = NO_OFFSET_CHANGE_SEQUENCE;
}

bool ZAREProtocol::handleByte(unsigned char byte)
{
    switch (receiveState) {
    case WAIT_START:
        if (isPacketStart(byte)) {
            bytePosition = 1;
            receiveState = DESTINATION_HIGH;
        }
        return false;

    case DESTINATION_HIGH:
        heldByte = byte;
        ++bytePosition;
        receiveState = DESTINATION_LOW;
        return false;

    case DESTINATION_LOW: {
        const std::uint16_t destination = static_cast<std::uint16_t>(heldByte << 8 | byte);
        if (destination == dongleAddress.load(std::memory_order_relaxed)) {
            ++bytePosition;
            receiveState = SOURCE_HIGH;
        } else {
            receiveState = WAIT_START;
        }
        return false;
    }

    case SOURCE_HIGH:
        heldByte = byte;
        ++bytePosition;
        receiveState = SOURCE_LOW;
        return false;

    case SOURCE_LOW: {
        const std::uint16_t source = static_cast<std::uint16_t>(heldByte << 8 | byte);
        if (source == headsetAddress.load(std::memory_order_relaxed)) {
            sourceIsDongle = false;
        } else if (source == dongleAddress.load(std::memory_order_relaxed)) {
            sourceIsDongle = true;
        } else {
            receiveState = WAIT_START;
            return false;
        }
        ++bytePosition;
        receiveState = KIND;
        return false;
    }

    case KIND:
        switch (byte) {
        case PACKET_DATA:
            ++bytePosition;
            receiveState = SEQUENCE_NUMBER;
            break;
        case REPLY_ID:
            ++bytePosition;
            receiveState = ADDRESS_HIGH;
            break;
        case REPLY_PARAMETER:
            ++bytePosition;
            receiveState = PARAMETER_VALUE;
            break;
        case REPLY_FIRMWARE_VERSION:
            ++bytePosition;
            receiveState = FIRMWARE_VERSION;
            break;
        case REPLY_SET_ACK:
            channelAcknowledged.store(ACKNOWLEDGED, std::memory_order_relaxed);
            receiveState = WAIT_START;
            break;
        default:
            receiveState = WAIT_START;
            break;
        }
        return false;

    case SEQUENCE_NUMBER: {
        // Sequence numbers count modulo 256. A repeated number gives -1,
        // which is never reported; the first packet after construction or
        // reset leaves the count alone (0), so it never reports a loss.
        const int last = lastSequenceNumber.load(std::memory_order_relaxed);
        if (last != NO_SEQUENCE_NUMBER) {
            lostPackets = byte >= last ? byte - last - 1 : byte - last + 255;
        }
        lastSequenceNumber.store(byte, std::memory_order_relaxed);
        ++bytePosition;
        receiveState = OFFSET_TOGGLE;
        return false;
    }

    case OFFSET_TOGGLE:
        offsetChangeToggle = byte != 0;
        ++bytePosition;
        receiveState = OFFSET_SEQUENCE;
        return false;

    case OFFSET_SEQUENCE:
        // The loss count is reported here, before the packet's samples; the
        // next payload byte clears it.
        offsetChangeSequence = byte;
        ++bytePosition;
        receiveState = PAYLOAD;
        return lostPackets > 0;

    case PAYLOAD:
        return payloadByte(byte);

    case ADDRESS_HIGH:
        heldByte = byte;
        ++bytePosition;
        receiveState = ADDRESS_LOW;
        return false;

    case ADDRESS_LOW: {
        const std::uint16_t address = static_cast<std::uint16_t>(heldByte << 8 | byte);
        headsetAddress.store(static_cast<std::uint16_t>(address + 1), std::memory_order_relaxed);
        dongleAddress.store(address, std::memory_order_release);
        ++bytePosition;
        receiveState = WAIT_START;
        return false;
    }

    case PARAMETER_VALUE:
        (sourceIsDongle ? dongleChannel : headsetChannel).store(byte, std::memory_order_relaxed);
        receiveState = WAIT_START;
        return false;

    case FIRMWARE_VERSION:
        (sourceIsDongle ? dongleFirmwareVersion : headsetFirmwareVersion)
            .store(byte, std::memory_order_relaxed);
        receiveState = WAIT_START;
        return false;

    default:
        // Cannot be reached from any input; kept as a last line of defence.
        std::fwrite(GUARD_MESSAGE, 1, sizeof GUARD_MESSAGE - 1, stdout);
        receiveState = WAIT_START;
        return false;
    }
}

inline bool ZAREProtocol::decodeSampleByte(unsigned char byte)
{
    if (sampleState == SAMPLE_SYNC_FIRST) {
        lostPackets = 0;
        if (byte == RECORD_SYNC_FIRST)
            sampleState = SAMPLE_SYNC_SECOND;
        return false;
    }
    if (sampleState == SAMPLE_SYNC_SECOND) {
        // A wrong second byte is not looked at again as a possible 0x40.
        lostPackets = 0;
        sampleState = byte == RECORD_SYNC_SECOND ? SAMPLE_FIRST_CHANNEL_BYTE : SAMPLE_SYNC_FIRST;
        return false;
    }
    if (sampleState > SAMPLE_LAST_CHANNEL_BYTE) {
        sampleState = SAMPLE_SYNC_FIRST;
        return false;
    }

    // States 2, 4, 6, 8 take a channel's high byte, 3, 5, 7, 9 its low byte.
    const int index = sampleState - SAMPLE_FIRST_CHANNEL_BYTE;
    sampleInProgress[index] = byte;
    // A loss still pending at a low byte means the previous packet ended
    // between this channel's two bytes and the packets in between are gone:
    // the channel keeps its previous value rather than join bytes of two
    // samples.
    if ((index & 1) != 0 && lostPackets != 0) {
        sampleInProgress[index - 1] = lastSample[index - 1];
        sampleInProgress[index] = lastSample[index];
    }
    lostPackets = 0;

    if (sampleState != SAMPLE_LAST_CHANNEL_BYTE) {
        ++sampleState;
        return false;
    }
    // The completed sample becomes the last sample whole, so that the last
    // sample is always a complete one: a loss reported while a record is
    // half received still finds the sample from before the gap there. The
    // two buffers trade places instead of copying: a copy would load the
    // eight bytes just stored one at a time, which stalls the processor.
    std::swap(sampleInProgress, lastSample);
    sampleState = SAMPLE_SYNC_FIRST;
    return true;
}

int ZAREProtocol::getStatus()
{
    return 0;
}

const unsigned char* ZAREProtocol::getLastSample()
{
    return lastSample;
}

void ZAREProtocol::reset()
{
    dongleChannel.store(NO_CHANNEL, std::memory_order_relaxed);
    headsetChannel.store(NO_CHANNEL, std::memory_order_relaxed);
    channelAcknowledged.store(ACKNOWLEDGED, std::memory_order_relaxed);
    headsetFirmwareVersion.store(NO_FIRMWARE_VERSION, std::memory_order_relaxed);
    dongleFirmwareVersion.store(NO_FIRMWARE_VERSION, std::memory_order_relaxed);
    lastSequenceNumber.store(NO_SEQUENCE_NUMBER, std::memory_order_relaxed);
    resetPending.store(true, std::memory_order_release);
}

bool ZAREProtocol::isPacketStart(unsigned char byte)
{
    // The length bytes of the four received packet sizes.
    return byte == 5 || byte == 6 || byte == 7 || byte == 58;
}

std::uint16_t ZAREProtocol::getUsbId() const
{
    return dongleAddress.load(std::memory_order_acquire);
}

void ZAREProtocol::clearUsbId()
{
    dongleAddress.store(0, std::memory_order_relaxed);
}

std::uint16_t ZAREProtocol::getOndiraId() const
{
    return headsetAddress.load(std::memory_order_relaxed);
}

int ZAREProtocol::getLostPackets() const
{
    return resetPending.load(std::memory_order_acquire) ? 0 : lostPackets;
}

int ZAREProtocol::getSequenceNumber() const
{
    return lastSequenceNumber.load(std::memory_order_relaxed);
}

void ZAREProtocol::setSequenceNumber(int value)
{
    lastSequenceNumber.store(static_cast<std::int16_t>(static_cast<std::uint16_t>(value)),
                             std::memory_order_relaxed);
}

int ZAREProtocol::getOffsetChangeSequence() const
{
    return resetPending.load(std::memory_order_acquire) ? NO_OFFSET_CHANGE_SEQUENCE
                                                        : offsetChangeSequence;
}

bool ZAREProtocol::offsetChangeToggled()
{
    applyPendingReset();
    if (offsetChangeToggle == toggleSeen)
        return false;
    toggleSeen = offsetChangeToggle;
    return true;
}

std::uint8_t ZAREProtocol::getUsbTransmissionChannel() const
{
    return dongleChannel.load(std::memory_order_relaxed);
}

void ZAREProtocol::setUsbTransmissionChannel(std::uint8_t value)
{
    dongleChannel.store(value, std::memory_order_relaxed);
}

std::uint8_t ZAREProtocol::getOndiraTransmissionChannel() const
{
    return headsetChannel.load(std::memory_order_relaxed);
}

void ZAREProtocol::setOndiraTransmissionChannel(std::uint8_t value)
{
    headsetChannel.store(value, std::memory_order_relaxed);
}

std::uint8_t ZAREProtocol::getUsbFirmwareVersion() const
{
    return dongleFirmwareVersion.load(std::memory_order_relaxed);
}

void ZAREProtocol::setUsbFirmwareVersion(std::uint8_t value)
{
    dongleFirmwareVersion.store(value, std::memory_order_relaxed);
}

std::uint8_t ZAREProtocol::getOndiraFirmwareVersion() const
{
    return headsetFirmwareVersion.load(std::memory_order_relaxed);
}

void ZAREProtocol::setOndiraFirmwareVersion(std::uint8_t value)
{
    headsetFirmwareVersion.store(value, std::memory_order_relaxed);
}

std::uint8_t ZAREProtocol::getChannelAck() const
{
    return channelAcknowledged.load(std::memory_order_relaxed);
}

void ZAREProtocol::setChannelAck(std::uint8_t value)
{
    channelAcknowledged.store(value, std::memory_order_relaxed);
}

} // namespace ondira
