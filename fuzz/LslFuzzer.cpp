// What the network sends an LSL outlet: datagrams, TCP requests and queries.
//
// The first byte picks what the rest of the input is:
// 0  a datagram (discovery query or time probe);
// 1  the bytes of a TCP request;
// 2  a feed request built from choices: header keys in any case, values,
//    comments, line ends;
// 3  a query over a stream's full info.
// Checked:
// - a datagram parses as Complete or Invalid, never NeedMore; a complete one
//   lies within the bounds (query length and characters, return port, id),
//   and written again in the canonical form it parses to the same fields; a
//   time probe's answer carries its wave id and times exactly;
// - a TCP request: every prefix shorter than a complete request is NeedMore,
//   every longer input parses to the same request; once Invalid, every longer
//   input is Invalid; NeedMore only below the size limit; the answer to a feed
//   request is the one its fields call for, and an accepted one ends in the
//   test pattern;
// - a built feed request gives back the values put in;
// - a query beyond the bounds is refused without being compiled, a verdict is
//   the same when asked again, and no query crashes the evaluation.

#include "FuzzInput.h"

#include <ondira/lsl/QueryMatcher.h>
#include <ondira/lsl/StreamInfo.h>
#include <ondira/lsl/Wire.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

namespace {

namespace wire = ondira::lsl::wire;
using ondira::lsl::ChannelFormat;
using ondira_fuzz::FuzzInput;
using wire::Parsed;

constexpr const char* TARGET = "lsl";
const std::string UID = "2b8e7c1a-4f3d-4a6b-9e0c-5d7f1a2b3c4d";

void check(bool holds, const std::string& what)
{
    if (!holds)
        ondira_fuzz::broken(TARGET, what);
}

bool printable(const std::string& text)
{
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F)
            return false;
    }
    return true;
}

void checkDatagram(const std::string& bytes)
{
    wire::Datagram datagram;
    const Parsed result = wire::parseDatagram(bytes.data(), bytes.size(), datagram);
    check(result != Parsed::NeedMore, "a datagram needs more");
    if (result != Parsed::Complete)
        return;
    check(bytes.size() <= wire::MAX_DATAGRAM, "an oversized datagram is complete");
    wire::Datagram again;
    if (datagram.kind == wire::Datagram::Kind::ShortInfo) {
        check(datagram.query.size() <= wire::MAX_QUERY && printable(datagram.query),
            "query out of bounds");
        check(datagram.returnPort >= 1024, "return port below 1024");
        check(datagram.queryId.size() <= wire::MAX_ID && printable(datagram.queryId)
                && datagram.queryId.find_first_of(" \t") == std::string::npos,
            "query id out of bounds");
        const std::string canonical = "LSL:shortinfo\r\n" + datagram.query + "\r\n"
            + std::to_string(datagram.returnPort) + " " + datagram.queryId + "\r\n";
        check(wire::parseDatagram(canonical.data(), canonical.size(), again) == Parsed::Complete
                && again.query == datagram.query && again.returnPort == datagram.returnPort
                && again.queryId == datagram.queryId,
            "a query written again parses otherwise");
        return;
    }
    char reply[wire::TIME_REPLY_CAPACITY];
    const double t1 = -1.5e9, t2 = 123.456789;
    const std::size_t n = wire::formatTimeReply(reply, sizeof reply, datagram, t1, t2);
    // " <wave> <t0> <t1> <t2>", each number exact.
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < n;) {
        check(reply[at] == ' ', "a time answer's fields are not blank-separated");
        const char* begin = reply + at + 1;
        const char* end = static_cast<const char*>(std::memchr(begin, ' ', n - at - 1));
        if (end == nullptr)
            end = reply + n;
        fields.emplace_back(begin, end);
        at = static_cast<std::size_t>(end - reply);
    }
    check(fields.size() == 4, "a time answer has four fields");
    std::int32_t wave = 0;
    double times[3] = {};
    bool parsed = std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), wave).ec
        == std::errc();
    for (int i = 0; i < 3; ++i) {
        const std::string& field = fields[static_cast<std::size_t>(i) + 1];
        parsed = parsed
            && std::from_chars(field.data(), field.data() + field.size(), times[i]).ec
                == std::errc();
    }
    check(parsed && wave == datagram.waveId && times[0] == datagram.t0 && times[1] == t1
            && times[2] == t2,
        "a time answer does not carry the probe's wave and the times exactly");
}

bool sameRequest(const wire::TcpRequest& a, const wire::TcpRequest& b)
{
    const wire::FeedRequest& f = a.feed;
    const wire::FeedRequest& g = b.feed;
    return a.kind == b.kind && a.query == b.query && a.length == b.length
        && (a.kind != wire::TcpRequest::Kind::StreamFeed
            || (f.requestVersion == g.requestVersion && f.uid == g.uid
                && f.protocolVersion == g.protocolVersion && f.byteOrder == g.byteOrder
                && f.valueSize == g.valueSize && f.ieee754Floats == g.ieee754Floats
                && f.supportsSubnormals == g.supportsSubnormals
                && f.maxBufferLength == g.maxBufferLength && f.maxChunkLength == g.maxChunkLength));
}

void checkAnswer(const wire::TcpRequest& request)
{
    for (const ChannelFormat format : { ChannelFormat::Float32, ChannelFormat::String }) {
        const wire::FeedTerms terms = wire::negotiate(request, format, UID);
        const std::string header = wire::feedHeader(terms, UID, format, 4);
        const wire::FeedRequest& feed = request.feed;
        const bool feedRequest = request.kind == wire::TcpRequest::Kind::StreamFeed;
        const bool versionOk = feedRequest && feed.requestVersion / 100 <= 1;
        const bool uidOk = feed.uid.empty() || feed.uid == UID;
        const bool formatOk = feed.requestVersion >= 110 && feed.protocolVersion >= 110
            && feed.ieee754Floats
            && (format == ChannelFormat::String || feed.valueSize == -1 || feed.valueSize == 4);
        wire::FeedAnswer expected = wire::FeedAnswer::VersionNotSupported;
        if (versionOk && !uidOk)
            expected = wire::FeedAnswer::NotFound;
        else if (versionOk && formatOk)
            expected = wire::FeedAnswer::Accept;
        check(
            terms.answer == expected, "a feed request answered otherwise than its fields call for");
        if (terms.answer != wire::FeedAnswer::Accept) {
            check(header
                    == (expected == wire::FeedAnswer::NotFound
                            ? "LSL/110 404 Not found\r\n"
                            : "LSL/110 505 Version not supported\r\n"),
                "a declined feed's status line");
            continue;
        }
        const std::string pattern = wire::testPattern(format, 4);
        check(header.rfind("LSL/110 200 OK\r\nUID: " + UID + "\r\n", 0) == 0,
            "an accepted feed's status");
        check(header.size() > pattern.size()
                && header.compare(header.size() - pattern.size(), pattern.size(), pattern) == 0
                && header.compare(header.size() - pattern.size() - 4, 4, "\r\n\r\n") == 0,
            "an accepted feed's header does not end in a blank line and the test pattern");
        check(terms.bufferSamples == std::max(0LL, feed.maxBufferLength)
                && terms.chunkSamples == std::max(0LL, feed.maxChunkLength),
            "buffer or chunk not as asked");
        check(terms.suppressSubnormals
                == (format == ChannelFormat::Float32 && !feed.supportsSubnormals),
            "subnormals");
    }
}

void checkTcp(const std::string& bytes)
{
    wire::TcpRequest whole;
    const Parsed result = wire::parseTcpRequest(bytes.data(), bytes.size(), whole);
    check(result != Parsed::NeedMore || bytes.size() < wire::MAX_REQUEST,
        "needs more beyond the limit");
    if (result == Parsed::Complete) {
        check(whole.length > 0 && whole.length <= bytes.size() && whole.length <= wire::MAX_REQUEST,
            "a request's length");
        check(whole.query.size() <= wire::MAX_QUERY && printable(whole.query), "a request's query");
        check(whole.feed.uid.size() <= wire::MAX_ID, "a request's uid");
        checkAnswer(whole);
    }
    // Prefixes: all of the short ones, and those around the request's end.
    bool invalidSeen = false;
    const std::size_t end = result == Parsed::Complete ? whole.length : bytes.size();
    for (std::size_t size = 0; size <= bytes.size(); ++size) {
        if (size > 300 && size + 2 < end && size != bytes.size())
            continue;
        if (size > end + 2 && size != bytes.size())
            continue;
        wire::TcpRequest part;
        const Parsed partial = wire::parseTcpRequest(bytes.data(), size, part);
        if (result == Parsed::Complete) {
            if (size < whole.length)
                check(partial == Parsed::NeedMore, "a prefix of a request is not NeedMore");
            else
                check(partial == Parsed::Complete && sameRequest(part, whole),
                    "a request changes as bytes follow");
        }
        if (invalidSeen)
            check(partial == Parsed::Invalid, "an invalid input becomes valid as bytes follow");
        invalidSeen = invalidSeen || partial == Parsed::Invalid;
    }
}

/// A feed request as an inlet may write it, from the input's choices.
void checkBuiltFeed(FuzzInput& in)
{
    const auto lineEnd = [&] { return in.pick(4) == 0 ? std::string("\n") : std::string("\r\n"); };
    const auto cased = [&](std::string key) {
        const unsigned mode = in.pick(3);
        for (char& c : key) {
            if (mode == 1 && c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            else if (mode == 2 && c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
        return key;
    };
    wire::FeedRequest expected;
    expected.requestVersion = 100 + in.pick(120);
    expected.protocolVersion = expected.requestVersion;
    if (in.pick(2) == 1)
        expected.uid = UID.substr(0, in.pick(static_cast<unsigned>(UID.size()) + 1));
    std::string request = "LSL:streamfeed/" + std::to_string(expected.requestVersion)
        + (expected.uid.empty() ? "" : " " + expected.uid) + lineEnd();
    const unsigned lines = in.pick(12);
    for (unsigned i = 0; i < lines; ++i) {
        const long long number = static_cast<long long>(static_cast<std::int16_t>(in.word()))
            * (in.pick(2) ? 1 : 40000);
        const std::string value = std::to_string(number);
        const std::string comment = in.pick(3) == 0 ? " ; note: x" : "";
        switch (in.pick(8)) {
        case 0:
            expected.maxBufferLength = number;
            request += cased("Max-Buffer-Length") + ": " + value + comment;
            break;
        case 1:
            expected.maxChunkLength = number;
            request += cased("Max-Chunk-Length") + ":" + value + comment;
            break;
        case 2:
            expected.valueSize = static_cast<int>(number % 100000);
            request += cased("Value-Size") + ": " + std::to_string(expected.valueSize) + comment;
            break;
        case 3:
            expected.protocolVersion = static_cast<int>(number % 1000);
            request += cased("Protocol-Version") + ": " + std::to_string(expected.protocolVersion)
                + comment;
            break;
        case 4:
            expected.ieee754Floats = in.pick(2) == 1;
            request += cased("Has-IEEE754-Floats") + ": " + (expected.ieee754Floats ? "1" : "0")
                + comment;
            break;
        case 5:
            expected.supportsSubnormals = in.pick(2) == 1;
            request += cased("Supports-Subnormals") + ": "
                + (expected.supportsSubnormals ? "1" : "0") + comment;
            break;
        case 6:
            expected.byteOrder = in.pick(2) ? 1234 : 4321;
            request
                += cased("Native-Byte-Order") + ": " + std::to_string(expected.byteOrder) + comment;
            break;
        default:
            request += cased("Hostname") + ": lab-" + value;
            break;
        }
        request += lineEnd();
    }
    request += lineEnd();
    wire::TcpRequest parsed;
    check(wire::parseTcpRequest(request.data(), request.size(), parsed) == Parsed::Complete,
        "a well-formed feed request is not complete");
    wire::TcpRequest want;
    want.kind = wire::TcpRequest::Kind::StreamFeed;
    want.feed = expected;
    want.length = request.size();
    check(sameRequest(parsed, want), "a feed request's values do not come back");
    checkAnswer(parsed);
    checkTcp(request);
}

int predicateDepth(const std::string& query)
{
    int depth = 0, deepest = 0;
    char quote = 0;
    for (const char c : query) {
        if (quote != 0)
            quote = c == quote ? 0 : quote;
        else if (c == '\'' || c == '"')
            quote = c;
        else if (c == '[')
            deepest = std::max(deepest, ++depth);
        else if (c == ']')
            --depth;
    }
    return deepest;
}

void checkQuery(const std::string& query)
{
    static const std::string xml = [] {
        ondira::lsl::StreamInfo info;
        info.name = "Ondira";
        info.type = "EEG";
        info.channelCount = 4;
        info.nominalRate = 250;
        info.sourceId = "dongle-1";
        for (const char* label : { "Fp1", "Fp2", "O1", "O2" })
            info.channels.push_back({ label, "microvolts", "EEG" });
        info.acquisition = { { "manufacturer", "Ondira" }, { "firmware", "3.5" } };
        ondira::lsl::StreamIdentity identity;
        identity.uid = UID;
        return infoXml(info, identity, ondira::lsl::InfoPart::Full);
    }();
    using Verdict = ondira::lsl::QueryMatcher::Verdict;
    ondira::lsl::QueryMatcher matcher(xml);
    const bool bounded = ondira::lsl::QueryMatcher::withinBounds(query);
    check(bounded
            == (query.size() <= wire::MAX_QUERY && printable(query)
                && predicateDepth(query) <= ondira::lsl::QueryMatcher::MAX_PREDICATE_DEPTH),
        "the bounds of a query");
    const Verdict verdict = matcher.evaluate(query);
    check(query.empty() ? verdict == Verdict::Match : bounded || verdict == Verdict::Refused,
        "a query beyond the bounds is evaluated");
    check(matcher.evaluate(query) == verdict, "a verdict changes when asked again");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
    case 0:
        checkDatagram(rest);
        break;
    case 1:
        checkTcp(rest);
        break;
    case 2: {
        FuzzInput in(data + 1, size - 1);
        checkBuiltFeed(in);
        break;
    }
    default:
        checkQuery(rest);
        break;
    }
    return 0;
}
