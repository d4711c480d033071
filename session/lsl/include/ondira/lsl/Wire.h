#ifndef ONDIRA_LSL_WIRE_H
#define ONDIRA_LSL_WIRE_H

// LSL's network protocol, version 1.10, as an outlet speaks it: the parsers of
// what inlets send (bytes in, a request, "need more" or "invalid" out) and the
// builders of what the outlet answers. Pure code: no sockets, no clock, no
// threads; every function may be called from any thread. The byte layouts are
// drawn at the top of Wire.cpp.

#include <ondira/lsl/StreamInfo.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace ondira {
namespace lsl {
namespace wire {

constexpr int PROTOCOL_VERSION = 110;
/// Where discovery queries arrive (multicast, broadcast and unicast).
constexpr std::uint16_t DISCOVERY_PORT = 16571;
/// The first TCP data port and UDP service port an outlet tries; it takes the
/// first free one of PORT_RANGE, then any port the system gives.
constexpr std::uint16_t BASE_PORT = 16572;
constexpr int PORT_RANGE = 32;
/// The IPv4 groups LSL's resolvers query at link and site scope (besides the
/// broadcast address 255.255.255.255 and unicast to 127.0.0.1).
constexpr const char* MULTICAST_GROUPS[] = { "224.0.0.1", "224.0.0.183", "239.255.172.215" };

/// Bounds on what is read from the network. A longer datagram, query or
/// request is invalid as a whole.
constexpr std::size_t MAX_DATAGRAM = 4096;
constexpr std::size_t MAX_QUERY = 512;
constexpr std::size_t MAX_REQUEST = 16384;
constexpr std::size_t MAX_ID = 64;

enum class Parsed {
    Complete, ///< a whole request; the result is filled in
    NeedMore, ///< a prefix of a request that may still become valid
    Invalid, ///< can never become a request, whatever follows
};

/// A datagram to the discovery port or the service port.
struct Datagram
{
    enum class Kind { ShortInfo, TimeProbe } kind = Kind::ShortInfo;
    /// ShortInfo: an XPath 1.0 expression over the stream's <info> (empty:
    /// every stream matches), the port the reply goes to (at the sender's
    /// address) and the id the reply begins with.
    std::string query;
    std::uint16_t returnPort = 0;
    std::string queryId;
    /// TimeProbe: the probe's wave id and the sender's clock when it sent it.
    std::int32_t waveId = 0;
    double t0 = 0;
};

/// A datagram is whole: Complete or Invalid, never NeedMore.
Parsed parseDatagram(const char* data, std::size_t size, Datagram& out);

/// The parameters of a data feed request, as the inlet sent them.
struct FeedRequest
{
    int requestVersion = 0; ///< of the request line, LSL:streamfeed/<version>
    std::string uid; ///< the stream the inlet wants; empty: whichever this is
    int protocolVersion = 0; ///< Protocol-Version header, else requestVersion
    int byteOrder = 1234; ///< Native-Byte-Order
    int valueSize = -1; ///< Value-Size; -1 when not sent
    bool ieee754Floats = true;
    bool supportsSubnormals = true;
    long long maxBufferLength = 0; ///< samples the outlet may hold for it; 0 or less: no data
    long long maxChunkLength = 0; ///< samples per flush; 0 or less: the outlet's choice
};

/// A request on the data port.
struct TcpRequest
{
    enum class Kind {
        ShortInfo, ///< answered with the short info when the query matches
        FullInfo, ///< answered with the full info
        StreamFeed, ///< protocol 1.10 and later: header lines, then the feed
        LegacyStreamFeed, ///< protocol 1.00 (not served)
    } kind
        = Kind::FullInfo;
    std::string query; ///< ShortInfo
    FeedRequest feed; ///< StreamFeed
    std::size_t length = 0; ///< bytes of the input the request took
};

/// NeedMore while `size` < MAX_REQUEST and the bytes may still become a
/// request; bytes after a complete request are left alone (see length).
Parsed parseTcpRequest(const char* data, std::size_t size, TcpRequest& out);

enum class FeedAnswer {
    Accept, ///< LSL/110 200 OK, header lines, test pattern, samples
    VersionNotSupported, ///< LSL/110 505: protocol 1.00 or 2.x, or a data format that needs 1.00
    NotFound, ///< LSL/110 404: another stream's uid
};

/// How the outlet serves a feed request.
struct FeedTerms
{
    FeedAnswer answer = FeedAnswer::VersionNotSupported;
    bool suppressSubnormals = false; ///< told to the inlet, which flushes them to zero
    long long bufferSamples = 0; ///< the inlet's limit (0: none asked, no data is sent)
    long long chunkSamples = 0; ///< flush at least every this many samples (0: per push)
};

FeedTerms negotiate(const TcpRequest& request, ChannelFormat format, const std::string& uid);

/// What the outlet sends first: for Accept the status line, the header lines,
/// the blank line and the two test-pattern samples; otherwise the status line
/// alone, after which the outlet closes the connection.
std::string feedHeader(
    const FeedTerms& terms, const std::string& uid, ChannelFormat format, int channelCount);

/// The two samples every feed begins with, by which the inlet checks that it
/// reads the format right.
std::string testPattern(ChannelFormat format, int channelCount);

constexpr std::uint8_t TAG_DEDUCED_TIMESTAMP = 1;
constexpr std::uint8_t TAG_TRANSMITTED_TIMESTAMP = 2;
constexpr double TEST_PATTERN_TIMESTAMP = 123456.789;

/// Bytes of one sample on the wire.
constexpr std::size_t floatSampleSize(int channelCount, bool deduced)
{
    return 1 + (deduced ? 0 : 8) + 4 * static_cast<std::size_t>(channelCount);
}
std::size_t stringSampleSize(std::size_t length, bool deduced);

/// Writes one sample at `out` (room for its size) and returns its size. A
/// deduced timestamp is left out: the inlet takes the previous sample's plus
/// one sampling period.
std::size_t encodeFloatSample(
    std::uint8_t* out, const float* values, int channelCount, double timestamp, bool deduced);
std::size_t encodeStringSample(
    std::uint8_t* out, const char* text, std::size_t length, double timestamp, bool deduced);

/// The answer to a discovery query: the query id, a line break, the short info.
std::string queryReply(const std::string& queryId, const std::string& shortInfo);

/// The answer to a time probe: " <wave id> <t0> <t1> <t2>", with t1 the
/// outlet's clock when the probe arrived and t2 when the answer leaves.
/// Writes at most `capacity` bytes at `out` and returns how many.
constexpr std::size_t TIME_REPLY_CAPACITY = 128;
std::size_t formatTimeReply(
    char* out, std::size_t capacity, const Datagram& probe, double t1, double t2);

} // namespace wire
} // namespace lsl
} // namespace ondira

#endif
