#ifndef ONDIRA_TESTS_PACKETBYTES_H
#define ONDIRA_TESTS_PACKETBYTES_H

// Received packets built from their fields, and a driver that feeds bytes to
// the parser and records what it reports.

#include "protocol/ZAREProtocol.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <vector>

namespace protocol_test {

using Bytes = std::vector<std::uint8_t>;
using Sample = std::array<std::uint16_t, 4>;
using P = ondira::ZAREProtocol;

constexpr std::uint16_t DONGLE = 0x1234;
constexpr std::uint16_t HEADSET = 0x1235;

inline Bytes operator+(Bytes left, const Bytes& right)
{
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

inline Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count)
{
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
}

inline Bytes packet(std::uint8_t length, std::uint16_t destination, std::uint16_t source,
                    std::uint8_t kind, const Bytes& body = {})
{
    return Bytes{length, std::uint8_t(destination >> 8), std::uint8_t(destination),
                 std::uint8_t(source >> 8), std::uint8_t(source), kind}
           + body;
}

inline Bytes firmwareReply(std::uint16_t source, std::uint8_t version, std::uint16_t destination = DONGLE)
{
    return packet(6, destination, source, P::REPLY_FIRMWARE_VERSION, {version});
}

inline Bytes parameterReply(std::uint16_t source, std::uint8_t value)
{
    return packet(6, DONGLE, source, P::REPLY_PARAMETER, {value});
}

inline Bytes identityReply(std::uint16_t address)
{
    return packet(7, 0, 0, P::REPLY_ID, {std::uint8_t(address >> 8), std::uint8_t(address)});
}

inline Bytes record(const Sample& s)
{
    return {0x40, 0x0F, std::uint8_t(s[0] >> 8), std::uint8_t(s[0]), std::uint8_t(s[1] >> 8), std::uint8_t(s[1]),
            std::uint8_t(s[2] >> 8), std::uint8_t(s[2]), std::uint8_t(s[3] >> 8), std::uint8_t(s[3])};
}

/// A data packet from the headset around a payload of 50 bytes.
inline Bytes dataPacket(std::uint8_t sequence, const Bytes& payload, std::uint8_t toggle = 0,
                        std::uint8_t offsetChangeSequence = 0)
{
    return packet(58, DONGLE, HEADSET, P::PACKET_DATA, Bytes{sequence, toggle, offsetChangeSequence} + payload);
}

inline Bytes dataPacket(std::uint8_t sequence, const std::array<Sample, 5>& samples,
                        std::uint8_t toggle = 0, std::uint8_t offsetChangeSequence = 0)
{
    Bytes payload;
    for (const Sample& sample : samples)
        payload = payload + record(sample);
    return dataPacket(sequence, payload, toggle, offsetChangeSequence);
}

inline Sample sampleOf(const unsigned char* b)
{
    return {std::uint16_t(b[0] << 8 | b[1]), std::uint16_t(b[2] << 8 | b[3]),
            std::uint16_t(b[4] << 8 | b[5]), std::uint16_t(b[6] << 8 | b[7])};
}

/// What one true result of processByte offered its caller.
struct Event
{
    std::size_t offset; ///< index of the byte in the fed bytes
    int lostPackets;
    Sample sample;

    bool operator==(const Event& o) const
    {
        return offset == o.offset && lostPackets == o.lostPackets && sample == o.sample;
    }
};

inline void PrintTo(const Event& e, std::ostream* os)
{
    *os << "{byte " << e.offset << ", lost " << e.lostPackets << ", " << testing::PrintToString(e.sample) << '}';
}

inline std::vector<Event> feed(P& parser, const Bytes& bytes)
{
    std::vector<Event> events;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (parser.processByte(bytes[i]))
            events.push_back({i, parser.getLostPackets(), sampleOf(parser.getLastSample())});
    }
    return events;
}

inline std::vector<Sample> samplesOf(const std::vector<Event>& events)
{
    std::vector<Sample> samples;
    for (const Event& event : events)
        samples.push_back(event.sample);
    return samples;
}

/// The identity reply that gives the dongle DONGLE and the headset HEADSET.
inline void identify(P& parser)
{
    feed(parser, identityReply(DONGLE));
}

} // namespace protocol_test

#endif
