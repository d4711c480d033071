#include <ondira/lsl/Wire.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

// What an LSL 1.10 outlet reads and writes. Text lines end in CR LF (a bare
// LF is taken too); blanks and tabs around a line's text are dropped.
//
// Discovery query, one UDP datagram to port 16571 or to the service port:
//   LSL:shortinfo CRLF
//   <XPath 1.0 over the <info> element> CRLF       e.g. type='EEG'
//   <return port> SP <query id> CRLF                e.g. 50312 8751635297453254
// Answer, one datagram to the sender's address at the return port (only when
// the query matches):
//   <query id> CRLF <short info XML>
//
// Time probe, one datagram to the service port:
//   LSL:timedata CRLF
//   <wave id> SP <t0> CRLF                          t0: the sender's clock
// Answer, to the sender:
//   SP <wave id> SP <t0> SP <t1> SP <t2>            t1 on arrival, t2 on sending
//
// On the TCP data port, one request per connection:
//   LSL:shortinfo CRLF <query> CRLF      -> the short info if the query matches, then close
//   LSL:fullinfo CRLF                    -> the full info, then close
//   LSL:streamfeed CRLF <n> SP <m> CRLF  -> protocol 1.00: declined with a 505 status line
//   LSL:streamfeed/<version> [SP <uid>] CRLF
//   <Key>: <value> CRLF ...              (case-insensitive keys; ';' starts a comment)
//   CRLF
// The keys read: Native-Byte-Order (1234 little-endian), Has-IEEE754-Floats
// (1), Supports-Subnormals (1), Value-Size (bytes per value), Protocol-Version,
// Max-Buffer-Length (samples the outlet may hold for the inlet) and
// Max-Chunk-Length (samples per flush). Others (Endian-Performance, Hostname,
// Source-Id, Session-Id, Data-Protocol-Version) are ignored.
//
// Feed answer:
//   LSL/110 200 OK CRLF
//   UID: <uid> CRLF
//   Byte-Order: 1234 CRLF
//   Suppress-Subnormals: <0|1> CRLF
//   Data-Protocol-Version: 110 CRLF
//   CRLF
//   test-pattern sample 1, test-pattern sample 2, then the samples
// or one status line, after which the connection closes:
//   LSL/110 505 Version not supported CRLF      (1.00, 2.x, or a format 1.00 would need)
//   LSL/110 404 Not found CRLF                  (another uid)
//
// A sample, little-endian:
//   tag      1 byte   1: deduced timestamp (the previous one plus 1/nominal rate)
//                     2: transmitted timestamp, which follows
//   [time]   8 bytes  IEEE 754 double, seconds of the outlet's clock
//   float32: channel count x 4 bytes IEEE 754
//   string:  per channel a length: 1 byte giving its size (1 or 4), then the
//            length in that many bytes; then the bytes of the string
//
// Test pattern, both with transmitted timestamp 123456.789: float32 channel k
// holds (k + 4) in the first sample and (k + 2) in the second, negated for odd
// k; a string channel k holds the decimal text of (k + 10), negated for odd k,
// in both.

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
    "the wire carries IEEE 754 values");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "values are copied as they lie in memory");

namespace ondira {
namespace lsl {
namespace wire {

namespace {

struct Text
{
    const char* begin;
    const char* end;

    std::size_t size() const { return static_cast<std::size_t>(end - begin); }
    bool empty() const { return begin == end; }
    bool operator==(const char* literal) const
    {
        const std::size_t n = std::strlen(literal);
        return size() == n && std::memcmp(begin, literal, n) == 0;
    }
    std::string str() const { return std::string(begin, end); }
};

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

Text trimmed(Text text)
{
    while (!text.empty() && blank(*text.begin))
        ++text.begin;
    while (!text.empty() && (blank(text.end[-1]) || text.end[-1] == '\r'))
        --text.end;
    return text;
}

/// No control character but tab (a line's own CR is dropped before).
bool printableLine(Text text)
{
    return std::none_of(text.begin, text.end, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7F;
    });
}

/// The line starting at `from`, without its LF and CR; false when no LF follows.
bool nextLine(const char* from, const char* end, Text& line, const char*& after)
{
    const char* lf
        = static_cast<const char*>(std::memchr(from, '\n', static_cast<std::size_t>(end - from)));
    if (lf == nullptr)
        return false;
    line = { from, lf };
    if (!line.empty() && line.end[-1] == '\r')
        --line.end;
    after = lf + 1;
    return true;
}

/// Splits off the next blank-separated token.
Text token(Text& rest)
{
    while (!rest.empty() && blank(*rest.begin))
        ++rest.begin;
    const char* start = rest.begin;
    while (!rest.empty() && !blank(*rest.begin))
        ++rest.begin;
    return { start, rest.begin };
}

template <typename Integer> bool parseInteger(Text text, Integer& value)
{
    if (!text.empty() && *text.begin == '+')
        ++text.begin;
    if (text.empty())
        return false;
    const auto result = std::from_chars(text.begin, text.end, value);
    return result.ec == std::errc() && result.ptr == text.end;
}

bool parseDouble(Text text, double& value)
{
    if (text.empty())
        return false;
    const auto result = std::from_chars(text.begin, text.end, value);
    return result.ec == std::errc() && result.ptr == text.end && std::isfinite(value);
}

bool onlyWhitespace(Text text)
{
    return std::all_of(
        text.begin, text.end, [](char c) { return blank(c) || c == '\r' || c == '\n'; });
}

bool graphic(Text text)
{
    return std::all_of(text.begin, text.end, [](char c) { return c > ' ' && c < 0x7F; });
}

bool validQuery(Text query)
{
    return query.size() <= MAX_QUERY && printableLine(query);
}

// --- the request line of the data port ---

const char* const SHORT_INFO = "LSL:shortinfo";
const char* const FULL_INFO = "LSL:fullinfo";
const char* const STREAM_FEED = "LSL:streamfeed";
const char* const STREAM_FEED_VERSION = "LSL:streamfeed/";

bool parseMethodLine(Text line, TcpRequest& out)
{
    const Text text = trimmed(line);
    if (!printableLine(line))
        return false;
    if (text == SHORT_INFO) {
        out.kind = TcpRequest::Kind::ShortInfo;
        return true;
    }
    if (text == FULL_INFO) {
        out.kind = TcpRequest::Kind::FullInfo;
        return true;
    }
    if (text == STREAM_FEED) {
        out.kind = TcpRequest::Kind::LegacyStreamFeed;
        return true;
    }
    const std::size_t prefix = std::strlen(STREAM_FEED_VERSION);
    if (text.size() <= prefix || std::memcmp(text.begin, STREAM_FEED_VERSION, prefix) != 0)
        return false;
    // The version follows the slash at once; the uid, if any, after a blank.
    const char* digits = text.begin + prefix;
    const char* after = std::find_if(digits, text.end, [](char c) { return c < '0' || c > '9'; });
    const Text version{ digits, after };
    if (version.empty() || version.size() > 4 || (after != text.end && !blank(*after)))
        return false;
    Text rest{ after, text.end };
    const Text uid = token(rest);
    int number = 0;
    if (!token(rest).empty() || uid.size() > MAX_ID || !graphic(uid)
        || !parseInteger(version, number))
        return false;
    out.kind = TcpRequest::Kind::StreamFeed;
    out.feed = FeedRequest{};
    out.feed.requestVersion = number;
    out.feed.protocolVersion = number;
    out.feed.uid = uid.str();
    return true;
}

/// Whether an unfinished request line may still become one.
bool viableMethodPrefix(Text partial)
{
    while (!partial.empty() && blank(*partial.begin))
        ++partial.begin;
    for (const char* keyword : { SHORT_INFO, FULL_INFO, STREAM_FEED_VERSION }) {
        const std::size_t n = std::strlen(keyword);
        if (partial.size() <= n && std::memcmp(partial.begin, keyword, partial.size()) == 0)
            return true;
    }
    if (!partial.empty() && partial.end[-1] == '\r')
        --partial.end;
    TcpRequest scratch;
    return parseMethodLine(partial, scratch);
}

// --- the header lines of a feed request ---

std::string lowered(Text text)
{
    std::string result = text.str();
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

bool parseHeaderLine(Text line, FeedRequest& feed)
{
    if (!printableLine(line))
        return false;
    const char* colon = std::find(line.begin, line.end, ':');
    const char* semicolon = std::find(line.begin, line.end, ';');
    if (colon == line.end || semicolon < colon)
        return true; // no key: ignored
    const std::string key = lowered(trimmed({ line.begin, colon }));
    const Text value = trimmed({ colon + 1, semicolon });
    if (key == "native-byte-order")
        return parseInteger(value, feed.byteOrder);
    if (key == "value-size")
        return parseInteger(value, feed.valueSize);
    if (key == "protocol-version")
        return parseInteger(value, feed.protocolVersion);
    if (key == "max-buffer-length")
        return parseInteger(value, feed.maxBufferLength);
    if (key == "max-chunk-length")
        return parseInteger(value, feed.maxChunkLength);
    if (key == "has-ieee754-floats")
        feed.ieee754Floats = value == "1";
    else if (key == "supports-subnormals")
        feed.supportsSubnormals = value == "1";
    return true;
}

Parsed needMore(std::size_t size)
{
    return size >= MAX_REQUEST ? Parsed::Invalid : Parsed::NeedMore;
}

template <typename T> std::uint8_t* put(std::uint8_t* out, T value)
{
    std::memcpy(out, &value, sizeof value);
    return out + sizeof value;
}

std::uint8_t* putHeader(std::uint8_t* out, double timestamp, bool deduced)
{
    if (deduced) {
        *out = TAG_DEDUCED_TIMESTAMP;
        return out + 1;
    }
    *out = TAG_TRANSMITTED_TIMESTAMP;
    return put(out + 1, timestamp);
}

} // namespace

Parsed parseDatagram(const char* data, std::size_t size, Datagram& out)
{
    if (size > MAX_DATAGRAM)
        return Parsed::Invalid;
    const char* const end = data + size;
    Text method, line;
    const char* at = data;
    if (!nextLine(at, end, method, at))
        return Parsed::Invalid;
    method = trimmed(method);
    if (method == SHORT_INFO) {
        if (!nextLine(at, end, line, at))
            return Parsed::Invalid;
        const Text query = trimmed(line);
        if (!validQuery(query) || !printableLine(line))
            return Parsed::Invalid;
        Text rest{ at, end };
        if (nextLine(at, end, line, at)) {
            if (!onlyWhitespace({ at, end }) || !printableLine(line))
                return Parsed::Invalid;
            rest = line;
        } else if (!printableLine(rest)) {
            return Parsed::Invalid;
        }
        const Text port = token(rest);
        const Text id = token(rest);
        std::uint16_t returnPort = 0;
        if (!token(rest).empty() || !parseInteger(port, returnPort) || returnPort < 1024
            || id.size() > MAX_ID)
            return Parsed::Invalid;
        out = Datagram{};
        out.kind = Datagram::Kind::ShortInfo;
        out.query = query.str();
        out.returnPort = returnPort;
        out.queryId = id.str();
        return Parsed::Complete;
    }
    if (method == "LSL:timedata") {
        Text rest{ at, end };
        if (nextLine(at, end, line, at)) {
            if (!onlyWhitespace({ at, end }))
                return Parsed::Invalid;
            rest = line;
        }
        if (!printableLine(rest))
            return Parsed::Invalid;
        const Text wave = token(rest);
        const Text sent = token(rest);
        std::int32_t waveId = 0;
        double t0 = 0;
        if (!token(rest).empty() || !parseInteger(wave, waveId) || !parseDouble(sent, t0))
            return Parsed::Invalid;
        out = Datagram{};
        out.kind = Datagram::Kind::TimeProbe;
        out.waveId = waveId;
        out.t0 = t0;
        return Parsed::Complete;
    }
    return Parsed::Invalid;
}

Parsed parseTcpRequest(const char* data, std::size_t size, TcpRequest& out)
{
    const std::size_t limit = std::min(size, MAX_REQUEST);
    const char* const end = data + limit;
    Text line;
    const char* at = data;
    TcpRequest request;
    if (!nextLine(at, end, line, at))
        return viableMethodPrefix({ data, end }) ? needMore(size) : Parsed::Invalid;
    if (!parseMethodLine(line, request))
        return Parsed::Invalid;

    switch (request.kind) {
    case TcpRequest::Kind::FullInfo:
        break;
    case TcpRequest::Kind::ShortInfo:
    case TcpRequest::Kind::LegacyStreamFeed: {
        if (!nextLine(at, end, line, at)) {
            const Text partial = trimmed({ at, end });
            if (!printableLine(partial)
                || (request.kind == TcpRequest::Kind::ShortInfo && !validQuery(partial)))
                return Parsed::Invalid;
            return needMore(size);
        }
        const Text text = trimmed(line);
        if (!printableLine(line)
            || (request.kind == TcpRequest::Kind::ShortInfo && !validQuery(text)))
            return Parsed::Invalid;
        if (request.kind == TcpRequest::Kind::ShortInfo)
            request.query = text.str();
        break;
    }
    case TcpRequest::Kind::StreamFeed:
        for (;;) {
            if (!nextLine(at, end, line, at)) {
                Text partial{ at, end };
                if (!partial.empty() && partial.end[-1] == '\r')
                    --partial.end;
                return printableLine(partial) ? needMore(size) : Parsed::Invalid;
            }
            if (line.empty())
                break;
            if (!parseHeaderLine(line, request.feed))
                return Parsed::Invalid;
        }
        break;
    }
    request.length = static_cast<std::size_t>(at - data);
    out = std::move(request);
    return Parsed::Complete;
}

FeedTerms negotiate(const TcpRequest& request, ChannelFormat format, const std::string& uid)
{
    FeedTerms terms;
    if (request.kind != TcpRequest::Kind::StreamFeed)
        return terms;
    const FeedRequest& feed = request.feed;
    if (feed.requestVersion / 100 > PROTOCOL_VERSION / 100)
        return terms;
    if (!feed.uid.empty() && feed.uid != uid) {
        terms.answer = FeedAnswer::NotFound;
        return terms;
    }
    // Protocol 1.00 (a portable binary archive) would be the answer to an
    // older inlet, to another value size or to floats that are not IEEE 754.
    const bool numeric = format == ChannelFormat::Float32;
    if (std::min(feed.requestVersion, feed.protocolVersion) < PROTOCOL_VERSION
        || (numeric && feed.valueSize != -1 && feed.valueSize != 4) || !feed.ieee754Floats)
        return terms;
    terms.answer = FeedAnswer::Accept;
    terms.suppressSubnormals = numeric && !feed.supportsSubnormals;
    terms.bufferSamples = std::max(0LL, feed.maxBufferLength);
    terms.chunkSamples = std::max(0LL, feed.maxChunkLength);
    return terms;
}

std::string feedHeader(
    const FeedTerms& terms, const std::string& uid, ChannelFormat format, int channelCount)
{
    switch (terms.answer) {
    case FeedAnswer::NotFound:
        return "LSL/110 404 Not found\r\n";
    case FeedAnswer::VersionNotSupported:
        return "LSL/110 505 Version not supported\r\n";
    case FeedAnswer::Accept:
        break;
    }
    std::string header = "LSL/110 200 OK\r\nUID: " + uid
        + "\r\nByte-Order: 1234\r\nSuppress-Subnormals: " + (terms.suppressSubnormals ? "1" : "0")
        + "\r\nData-Protocol-Version: 110\r\n\r\n";
    return header + testPattern(format, channelCount);
}

std::string testPattern(ChannelFormat format, int channelCount)
{
    std::string bytes;
    for (const int offset : { 4, 2 }) {
        if (format == ChannelFormat::Float32) {
            std::vector<float> values(static_cast<std::size_t>(std::max(channelCount, 0)));
            for (std::size_t k = 0; k < values.size(); ++k) {
                const auto value = static_cast<float>(k + static_cast<std::size_t>(offset));
                values[k] = k % 2 == 0 ? value : -value;
            }
            std::vector<std::uint8_t> sample(floatSampleSize(channelCount, false));
            const std::size_t n = encodeFloatSample(
                sample.data(), values.data(), channelCount, TEST_PATTERN_TIMESTAMP, false);
            bytes.append(reinterpret_cast<const char*>(sample.data()), n);
        } else {
            std::uint8_t header[9];
            bytes.append(reinterpret_cast<const char*>(header),
                static_cast<std::size_t>(
                    putHeader(header, TEST_PATTERN_TIMESTAMP, false) - header));
            for (int k = 0; k < channelCount; ++k) {
                const std::string text = std::to_string(k % 2 == 0 ? k + 10 : -(k + 10));
                bytes += '\x01';
                bytes += static_cast<char>(text.size());
                bytes += text;
            }
        }
    }
    return bytes;
}

std::size_t stringSampleSize(std::size_t length, bool deduced)
{
    return 1 + (deduced ? 0 : 8) + (length <= 0xFF ? 2 : 5) + length;
}

std::size_t encodeFloatSample(
    std::uint8_t* out, const float* values, int channelCount, double timestamp, bool deduced)
{
    std::uint8_t* at = putHeader(out, timestamp, deduced);
    const std::size_t bytes = 4 * static_cast<std::size_t>(channelCount);
    std::memcpy(at, values, bytes);
    return static_cast<std::size_t>(at + bytes - out);
}

std::size_t encodeStringSample(
    std::uint8_t* out, const char* text, std::size_t length, double timestamp, bool deduced)
{
    std::uint8_t* at = putHeader(out, timestamp, deduced);
    if (length <= 0xFF) {
        *at++ = 1;
        *at++ = static_cast<std::uint8_t>(length);
    } else {
        *at++ = 4;
        at = put(at, static_cast<std::uint32_t>(length));
    }
    if (length > 0)
        std::memcpy(at, text, length);
    return static_cast<std::size_t>(at + length - out);
}

std::string queryReply(const std::string& queryId, const std::string& shortInfo)
{
    return queryId + "\r\n" + shortInfo;
}

std::size_t formatTimeReply(
    char* out, std::size_t capacity, const Datagram& probe, double t1, double t2)
{
    char* at = out;
    char* const end = out + capacity;
    const auto field = [&](auto value) {
        if (at == end)
            return;
        *at++ = ' ';
        const auto result = std::to_chars(at, end, value);
        at = result.ec == std::errc() ? result.ptr : end;
    };
    field(probe.waveId);
    field(probe.t0);
    field(t1);
    field(t2);
    return static_cast<std::size_t>(at - out);
}

} // namespace wire
} // namespace lsl
} // namespace ondira
