#include "protocol/ZAREProtocol.h"

// Placeholder until the packet parser lands.

namespace ondira {

ZAREProtocol::ZAREProtocol()
    : dongleAddress(0)
    , headsetAddress(0)
    , dongleChannel(NO_CHANNEL)
    , headsetChannel(NO_CHANNEL)
    , channelAcknowledged(1)
    , headsetFirmwareVersion(0)
    , dongleFirmwareVersion(0)
    , lastSequenceNumber(-1)
    , receiveState(0)
    , sampleState(0)
    , bytePosition(0)
    , heldByte(0)
    , sourceIsDongle(true)
    , lostPackets(0)
    , offsetChangeToggle(false)
    , toggleSeen(false)
    , offsetChangeSequence(-1)
    , sampleInProgress{}
    , lastSample{}
{
}

bool ZAREProtocol::processByte(unsigned char) { return false; }
int ZAREProtocol::getStatus() { return 0; }
const unsigned char* ZAREProtocol::getLastSample() { return lastSample; }
void ZAREProtocol::reset() {}
std::uint16_t ZAREProtocol::getUsbId() const { return dongleAddress; }
void ZAREProtocol::clearUsbId() { dongleAddress = 0; }
std::uint16_t ZAREProtocol::getOndiraId() const { return headsetAddress; }

} // namespace ondira
