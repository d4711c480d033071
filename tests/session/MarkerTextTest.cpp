// What counts as a marker from outside: texts, lines of a stream, sources.

#include <ondira/session/MarkerInput.h>
#include <ondira/session/StatusLog.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ondira::session;

TEST(MarkerText, Utf8WithoutControlCharactersOfAtMost255Bytes)
{
    struct Case {
        std::string text;
        const char* reason;  // nullptr: valid
    } const cases[] = {
        {"stimulus 1", nullptr},
        {"Bild 3: Gesicht \xC3\xA4ngstlich \xE2\x82\xAC \xF0\x9F\x98\x80", nullptr},
        {std::string(255, 'x'), nullptr},
        {std::string(254, 'x') + "\xC3\xA4", "longer than 255 bytes"},
        {"", "empty"},
        {"tab\there", "a control character"},
        {"line\nbreak", "a control character"},
        {"c1 \xC2\x85", "a control character"},
        {"\xFF\xFE", "not UTF-8"},
        {"cut \xE2\x82", "not UTF-8"},
        {"overlong \xC0\xAF", "not UTF-8"},
        {"overlong \xE0\x80\xAF", "not UTF-8"},
        {"surrogate \xED\xA0\x80", "not UTF-8"},
        {"beyond \xF4\x90\x80\x80", "not UTF-8"},
        {"lone \x80", "not UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string reason;
        EXPECT_EQ(isValidMarkerText(c.text.data(), c.text.size(), reason), c.reason == nullptr);
        if (c.reason) {
            EXPECT_EQ(reason, c.reason);
        }
    }
}

TEST(LineSplitter, LinesOfAnyChunkingWithoutTheirBreaks_LongOnesCutAndSaid)
{
    const std::string stream = "one\r\ntwo\n" + std::string(300, 'y') + "\nthree\nlast";
    for (std::size_t chunk : {1u, 7u, 4096u}) {
        SCOPED_TRACE(chunk);
        LineSplitter splitter;
        std::vector<LineSplitter::Line> lines;
        for (std::size_t at = 0; at < stream.size(); at += chunk)
            splitter.feed(stream.data() + at, std::min(chunk, stream.size() - at), lines);
        LineSplitter::Line last;
        ASSERT_TRUE(splitter.finish(last));
        lines.push_back(last);
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[0].text, "one");
        EXPECT_EQ(lines[1].text, "two");
        EXPECT_TRUE(lines[2].tooLong);
        EXPECT_EQ(lines[2].text.size(), MAX_MARKER_BYTES);
        EXPECT_FALSE(lines[3].tooLong);
        EXPECT_EQ(lines[3].text, "three");
        EXPECT_EQ(lines[4].text, "last");
        EXPECT_FALSE(splitter.finish(last)) << "nothing left";
    }
}

TEST(MarkerSource, StdinOrUdpOnLoopbackUnlessAnAddressIsGiven)
{
    struct Case {
        const char* text;
        bool ok;
        MarkerSource::Kind kind;
        const char* address;
        int port;
    } const cases[] = {
        {"stdin", true, MarkerSource::Kind::Stdin, "127.0.0.1", 0},
        {"udp:5005", true, MarkerSource::Kind::Udp, "127.0.0.1", 5005},
        {"udp:0.0.0.0:65535", true, MarkerSource::Kind::Udp, "0.0.0.0", 65535},
        {"udp:0", false, MarkerSource::Kind::Udp, "", 0},
        {"udp:70000", false, MarkerSource::Kind::Udp, "", 0},
        {"udp:12a", false, MarkerSource::Kind::Udp, "", 0},
        {"udp:localhost:5005", false, MarkerSource::Kind::Udp, "", 0},
        {"udp:", false, MarkerSource::Kind::Udp, "", 0},
        {"tcp:5005", false, MarkerSource::Kind::Udp, "", 0},
        {"STDIN", false, MarkerSource::Kind::Udp, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        MarkerSource source;
        std::string error;
        ASSERT_EQ(parseMarkerSource(c.text, source, error), c.ok) << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(source.kind, c.kind);
        EXPECT_EQ(source.address, c.address);
        EXPECT_EQ(source.port, c.port);
    }
}
