// The protocol's pure half: requests parsed, answers built, byte for byte
// against what LSL's description says they are.

#include <ondira/lsl/Wire.h>

#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <string>
#include <vector>

namespace wire = ondira::lsl::wire;
using ondira::lsl::ChannelFormat;
using wire::Parsed;

namespace {

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        text += digits[u >> 4];
        text += digits[u & 15];
    }
    return text;
}

std::string fromHex(const std::string& text)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return bytes;
}

// What a stock inlet sends for a 4-channel float stream.
const std::string LIBLSL_REQUEST = "LSL:streamfeed/110 5b0e6f2a-1c3d-4e5f-8a9b-0c1d2e3f4a5b\r\n"
                                   "Native-Byte-Order: 1234\r\n"
                                   "Endian-Performance: 2731468\r\n"
                                   "Has-IEEE754-Floats: 1\r\n"
                                   "Supports-Subnormals: 1\r\n"
                                   "Value-Size: 4\r\n"
                                   "Data-Protocol-Version: 110\r\n"
                                   "Max-Buffer-Length: 90000\r\n"
                                   "Max-Chunk-Length: 0\r\n"
                                   "Hostname: lab-pc\r\n"
                                   "Source-Id: ondira-1234\r\n"
                                   "Session-Id: default\r\n"
                                   "\r\n";
const std::string UID = "5b0e6f2a-1c3d-4e5f-8a9b-0c1d2e3f4a5b";

TEST(Handshake, StockInletRequest_AcceptedWithTheProtocolsHeaderAndTestPattern_ByteForByte)
{
    wire::TcpRequest request;
    ASSERT_EQ(wire::parseTcpRequest(LIBLSL_REQUEST.data(), LIBLSL_REQUEST.size(), request),
        Parsed::Complete);
    EXPECT_EQ(request.length, LIBLSL_REQUEST.size());
    const wire::FeedTerms terms = wire::negotiate(request, ChannelFormat::Float32, UID);
    ASSERT_EQ(terms.answer, wire::FeedAnswer::Accept);
    EXPECT_EQ(terms.bufferSamples, 90000);
    EXPECT_EQ(terms.chunkSamples, 0);

    const std::string header = "LSL/110 200 OK\r\n"
                               "UID: 5b0e6f2a-1c3d-4e5f-8a9b-0c1d2e3f4a5b\r\n"
                               "Byte-Order: 1234\r\n"
                               "Suppress-Subnormals: 0\r\n"
                               "Data-Protocol-Version: 110\r\n"
                               "\r\n";
    // Tag 2, 123456.789, then 4 -5 6 -7; tag 2, 123456.789, then 2 -3 4 -5.
    const std::string pattern = fromHex("02c976be9f0c24fe40"
                                        "00008040"
                                        "0000a0c0"
                                        "0000c040"
                                        "0000e0c0"
                                        "02c976be9f0c24fe40"
                                        "00000040"
                                        "000040c0"
                                        "00008040"
                                        "0000a0c0");
    EXPECT_EQ(wire::feedHeader(terms, UID, ChannelFormat::Float32, 4), header + pattern);
}

TEST(Handshake, StringStreamTestPattern_ByteForByte)
{
    // Channel 0 holds "10" in both samples: tag 2, 123456.789, width 1, length 2, "10".
    EXPECT_EQ(hex(wire::testPattern(ChannelFormat::String, 1)),
        "02c976be9f0c24fe40"
        "0102"
        "3130"
        "02c976be9f0c24fe40"
        "0102"
        "3130");
}

// How each kind of feed request is answered.
TEST(Handshake, FeedRequests_AnsweredAsTheProtocolSays)
{
    const auto withHeader = [](const std::string& line) {
        return "LSL:streamfeed/110 " + UID + "\r\n" + line + "\r\nMax-Buffer-Length: 500\r\n\r\n";
    };
    const struct
    {
        const char* what;
        std::string request;
        ChannelFormat format;
        std::string status;
        bool suppress;
        long long buffer;
    } cases[] = {
        { "protocol 1.00", "LSL:streamfeed\r\n500 0\r\n", ChannelFormat::Float32,
            "LSL/110 505 Version not supported\r\n", false, 0 },
        { "version 1.00 request line",
            "LSL:streamfeed/100 " + UID + "\r\nMax-Buffer-Length: 5\r\n\r\n",
            ChannelFormat::Float32, "LSL/110 505 Version not supported\r\n", false, 0 },
        { "version 2.00", "LSL:streamfeed/200 " + UID + "\r\n\r\n", ChannelFormat::Float32,
            "LSL/110 505 Version not supported\r\n", false, 0 },
        { "asks for 1.00 data", withHeader("Protocol-Version: 100"), ChannelFormat::Float32,
            "LSL/110 505 Version not supported\r\n", false, 0 },
        { "doubles wanted", withHeader("Value-Size: 8"), ChannelFormat::Float32,
            "LSL/110 505 Version not supported\r\n", false, 0 },
        { "no IEEE 754", withHeader("Has-IEEE754-Floats: 0"), ChannelFormat::Float32,
            "LSL/110 505 Version not supported\r\n", false, 0 },
        { "another uid", "LSL:streamfeed/110 another\r\n\r\n", ChannelFormat::Float32,
            "LSL/110 404 Not found\r\n", false, 0 },
        { "version checked before uid", "LSL:streamfeed/210 another\r\n\r\n",
            ChannelFormat::Float32, "LSL/110 505 Version not supported\r\n", false, 0 },
        { "no uid", "LSL:streamfeed/110\r\nMax-Buffer-Length: 7\r\n\r\n", ChannelFormat::Float32,
            "LSL/110 200 OK\r\n", false, 7 },
        { "a newer 1.x", "LSL:streamfeed/115 " + UID + "\r\nMax-Buffer-Length: 7\r\n\r\n",
            ChannelFormat::Float32, "LSL/110 200 OK\r\n", false, 7 },
        { "no subnormals", withHeader("Supports-Subnormals: 0"), ChannelFormat::Float32,
            "LSL/110 200 OK\r\n", true, 500 },
        { "strings ignore value size and subnormals",
            withHeader("Value-Size: 32\r\nSupports-Subnormals: 0"), ChannelFormat::String,
            "LSL/110 200 OK\r\n", false, 500 },
        { "no buffer asked", "LSL:streamfeed/110 " + UID + "\r\n\r\n", ChannelFormat::Float32,
            "LSL/110 200 OK\r\n", false, 0 },
        { "negative buffer", "LSL:streamfeed/110\r\nMax-Buffer-Length: -4\r\n\r\n",
            ChannelFormat::Float32, "LSL/110 200 OK\r\n", false, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        wire::TcpRequest request;
        ASSERT_EQ(
            wire::parseTcpRequest(c.request.data(), c.request.size(), request), Parsed::Complete);
        const wire::FeedTerms terms = wire::negotiate(request, c.format, UID);
        const std::string answer = wire::feedHeader(terms, UID, c.format, 4);
        EXPECT_EQ(answer.substr(0, c.status.size()), c.status);
        if (terms.answer != wire::FeedAnswer::Accept) {
            EXPECT_EQ(answer, c.status);
            continue;
        }
        EXPECT_EQ(terms.suppressSubnormals, c.suppress);
        EXPECT_NE(
            answer.find(c.suppress ? "Suppress-Subnormals: 1\r\n" : "Suppress-Subnormals: 0\r\n"),
            std::string::npos);
        EXPECT_EQ(terms.bufferSamples, c.buffer);
    }
}

TEST(TcpRequests, EveryKind_ParsedWithItsFields_WhateverTheCaseCommentsAndLineEnds)
{
    wire::TcpRequest request;
    const std::string shortInfo = "LSL:shortinfo\r\n  type='EEG' and name='Ondira'  \r\nrest";
    ASSERT_EQ(wire::parseTcpRequest(shortInfo.data(), shortInfo.size(), request), Parsed::Complete);
    EXPECT_EQ(request.kind, wire::TcpRequest::Kind::ShortInfo);
    EXPECT_EQ(request.query, "type='EEG' and name='Ondira'");
    EXPECT_EQ(request.length, shortInfo.size() - 4);

    const std::string fullInfo = "LSL:fullinfo\n";
    ASSERT_EQ(wire::parseTcpRequest(fullInfo.data(), fullInfo.size(), request), Parsed::Complete);
    EXPECT_EQ(request.kind, wire::TcpRequest::Kind::FullInfo);

    const std::string feed = "LSL:streamfeed/110 abc\n"
                             "max-buffer-LENGTH: 250 ; a comment\r\n"
                             "MAX-CHUNK-LENGTH:5\n"
                             "Native-Byte-Order: 4321\r\n"
                             "Protocol-Version: +110\r\n"
                             "Supports-Subnormals: true\r\n"
                             "A line without a colon\r\n"
                             "X-Unknown: whatever\r\n"
                             "\n";
    ASSERT_EQ(wire::parseTcpRequest(feed.data(), feed.size(), request), Parsed::Complete);
    EXPECT_EQ(request.kind, wire::TcpRequest::Kind::StreamFeed);
    EXPECT_EQ(request.feed.uid, "abc");
    EXPECT_EQ(request.feed.requestVersion, 110);
    EXPECT_EQ(request.feed.protocolVersion, 110);
    EXPECT_EQ(request.feed.maxBufferLength, 250);
    EXPECT_EQ(request.feed.maxChunkLength, 5);
    EXPECT_EQ(request.feed.byteOrder, 4321);
    EXPECT_FALSE(request.feed.supportsSubnormals); // only "1" is true
    EXPECT_EQ(request.feed.valueSize, -1);
}

// Each input, and whether it is a request, the beginning of one, or neither.
TEST(TcpRequests, MalformedAndUnfinishedRequests_TellInvalidFromNeedMore)
{
    const struct
    {
        std::string input;
        Parsed expected;
    } cases[] = {
        { "", Parsed::NeedMore },
        { "LSL:str", Parsed::NeedMore },
        { "  LSL:fullinfo", Parsed::NeedMore },
        { "LSL:streamfeed/110 abc\r", Parsed::NeedMore },
        { "LSL:streamfeed/110 abc\r\nMax-Buffer-Length: 5\r\n", Parsed::NeedMore },
        { "LSL:shortinfo\r\ntype='EE", Parsed::NeedMore },
        { "GET / HTTP/1.1\r\n", Parsed::Invalid },
        { "GET", Parsed::Invalid },
        { "LSL:fullinfoX", Parsed::Invalid },
        { "LSL:fullinfo extra\r\n", Parsed::Invalid },
        { "LSL:streamfeed/abc\r\n\r\n", Parsed::Invalid },
        { "LSL:streamfeed/ ", Parsed::Invalid },
        { "LSL:streamfeed/ 110 u\r\n\r\n", Parsed::Invalid },
        { "LSL:streamfeed/11000 u\r\n\r\n", Parsed::Invalid },
        { "LSL:streamfeed/110 a b\r\n\r\n", Parsed::Invalid },
        { "LSL:streamfeed/110 " + std::string(65, 'u') + "\r\n\r\n", Parsed::Invalid },
        { "LSL:streamfeed/110 u\r\nMax-Buffer-Length: 12x\r\n\r\n", Parsed::Invalid },
        { "LSL:streamfeed/110 u\r\nMax-Buffer-Length: 99999999999999999999\r\n\r\n",
            Parsed::Invalid },
        { "LSL:streamfeed/110 u\r\nValue-Size: 4294967300\r\n\r\n", Parsed::Invalid },
        { "LSL:streamfeed/110 u\r\nHost\x01name: x\r\n\r\n", Parsed::Invalid },
        { "LSL:streamfeed/110 u\r\nHost\x01", Parsed::Invalid },
        { "LSL:shortinfo\r\n" + std::string(513, 'x') + "\r\n", Parsed::Invalid },
        { "LSL:shortinfo\r\n" + std::string(513, 'x'), Parsed::Invalid },
        { "LSL:shortinfo\r\nname='a\x7f'\r\n", Parsed::Invalid },
        { std::string("LSL:full\0info\r\n", 15), Parsed::Invalid },
        { "LSL:streamfeed/110 u\r\n" + std::string(wire::MAX_REQUEST, 'a'), Parsed::Invalid },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex(c.input.substr(0, 60)));
        wire::TcpRequest request;
        EXPECT_EQ(wire::parseTcpRequest(c.input.data(), c.input.size(), request), c.expected);
    }
}

TEST(Datagrams, QueriesAndProbesAsResolversSendThem_Parsed)
{
    wire::Datagram datagram;
    const std::string query
        = "LSL:shortinfo\r\nsession_id='default' and type='EEG'\r\n50312 14995723004612217\r\n";
    ASSERT_EQ(wire::parseDatagram(query.data(), query.size(), datagram), Parsed::Complete);
    EXPECT_EQ(datagram.kind, wire::Datagram::Kind::ShortInfo);
    EXPECT_EQ(datagram.query, "session_id='default' and type='EEG'");
    EXPECT_EQ(datagram.returnPort, 50312);
    EXPECT_EQ(datagram.queryId, "14995723004612217");

    const std::string probe = "LSL:timedata\r\n3 4242.123456789012\r\n";
    ASSERT_EQ(wire::parseDatagram(probe.data(), probe.size(), datagram), Parsed::Complete);
    EXPECT_EQ(datagram.kind, wire::Datagram::Kind::TimeProbe);
    EXPECT_EQ(datagram.waveId, 3);
    EXPECT_EQ(datagram.t0, 4242.123456789012);

    const std::string empty = "LSL:shortinfo\r\n\r\n16573 1\r\n";
    ASSERT_EQ(wire::parseDatagram(empty.data(), empty.size(), datagram), Parsed::Complete);
    EXPECT_EQ(datagram.query, "");
}

TEST(Datagrams, MalformedDatagrams_AreInvalidNeverNeedMore)
{
    const std::string cases[] = {
        "",
        "LSL:shortinfo",
        "LSL:shortinfo\r\ntype='EEG'",
        "LSL:shortinfo\r\ntype='EEG'\r\n",
        "LSL:shortinfo\r\ntype='EEG'\r\n0 1\r\n",
        "LSL:shortinfo\r\ntype='EEG'\r\n80 1\r\n",
        "LSL:shortinfo\r\ntype='EEG'\r\n65536 1\r\n",
        "LSL:shortinfo\r\ntype='EEG'\r\n-5 1\r\n",
        "LSL:shortinfo\r\ntype='EEG'\r\n5000 1 2\r\n",
        "LSL:shortinfo\r\ntype='EEG'\r\n5000 1\r\nmore",
        "LSL:shortinfo\r\ntype='EEG'\r\n5000 " + std::string(65, '7') + "\r\n",
        "LSL:shortinfo\r\n" + std::string(513, 'q') + "\r\n5000 1\r\n",
        "LSL:timedata\r\n1\r\n",
        "LSL:timedata\r\nx 1.0\r\n",
        "LSL:timedata\r\n1 nan\r\n",
        "LSL:timedata\r\n1 inf\r\n",
        "LSL:timedata\r\n1 2.0 3\r\n",
        "LSL:timedata\r\n99999999999 2.0\r\n",
        "LSL:fullinfo\r\n",
        "LSL:shortinfo\r\ntype='EEG'\r\n5000 1\r\n" + std::string(wire::MAX_DATAGRAM, ' '),
    };
    for (const std::string& input : cases) {
        SCOPED_TRACE(input.substr(0, 60));
        wire::Datagram datagram;
        EXPECT_EQ(wire::parseDatagram(input.data(), input.size(), datagram), Parsed::Invalid);
    }
}

TEST(Samples, EncodedAsTheProtocolSays_ByteForByte)
{
    const float values[2] = { 1.5f, -2.25f };
    std::uint8_t buffer[64];
    std::size_t n = wire::encodeFloatSample(buffer, values, 2, 1000.5, false);
    EXPECT_EQ(n, wire::floatSampleSize(2, false));
    EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(buffer), n)),
        "02"
        "0000000000448f40"
        "0000c03f"
        "000010c0");
    n = wire::encodeFloatSample(buffer, values, 2, 1000.5, true);
    EXPECT_EQ(n, wire::floatSampleSize(2, true));
    EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(buffer), n)),
        "01"
        "0000c03f"
        "000010c0");

    n = wire::encodeStringSample(buffer, "go", 2, 1000.5, false);
    EXPECT_EQ(n, wire::stringSampleSize(2, false));
    EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(buffer), n)),
        "02"
        "0000000000448f40"
        "0102"
        "676f");
    n = wire::encodeStringSample(buffer, "", 0, 0, true);
    EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(buffer), n)),
        "01"
        "0100");

    // Past 255 bytes the length takes four.
    const std::string text(300, 'm');
    std::vector<std::uint8_t> large(wire::stringSampleSize(text.size(), true));
    n = wire::encodeStringSample(large.data(), text.data(), text.size(), 0, true);
    ASSERT_EQ(n, large.size());
    EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(large.data()), 6)),
        "01"
        "04"
        "2c010000");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(large.data()) + 6, 300), text);
}

TEST(TimeProbes, Answer_EchoesWaveAndT0_AndCarriesBothClockReadingsExactly)
{
    wire::Datagram probe;
    probe.kind = wire::Datagram::Kind::TimeProbe;
    probe.waveId = -17;
    probe.t0 = 12345.678901234567;
    char buffer[wire::TIME_REPLY_CAPACITY];
    const double t1 = 98765.43210987654, t2 = 98765.43210987655 + 1e-6;
    const std::string reply(buffer, wire::formatTimeReply(buffer, sizeof buffer, probe, t1, t2));
    ASSERT_EQ(reply[0], ' ');
    // Read back with a parser of its own: every number exact.
    std::vector<std::string> fields;
    for (std::size_t at = 1; at <= reply.size();) {
        const std::size_t space = std::min(reply.find(' ', at), reply.size());
        fields.push_back(reply.substr(at, space - at));
        at = space + 1;
    }
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[0], "-17");
    EXPECT_EQ(std::stod(fields[1]), probe.t0);
    EXPECT_EQ(std::stod(fields[2]), t1);
    EXPECT_EQ(std::stod(fields[3]), t2);
}

} // namespace
