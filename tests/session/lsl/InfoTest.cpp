// The stream's XML, the queries evaluated over it, and the history the feeds
// read from.

#include <ondira/lsl/QueryMatcher.h>
#include <ondira/lsl/StreamInfo.h>

#include "SampleHistory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

using namespace ondira::lsl;

namespace {

StreamInfo eegInfo()
{
    StreamInfo info;
    info.name = "Ondira";
    info.type = "EEG";
    info.channelCount = 2;
    info.nominalRate = 250;
    info.sourceId = "dongle-0x1234";
    info.channels = { { "Fp1", "microvolts", "EEG" }, { "Fp2", "microvolts", "" } };
    info.acquisition = { { "manufacturer", "Ondira" }, { "firmware", "3.5 & 2.4" } };
    return info;
}

StreamIdentity identity()
{
    StreamIdentity id;
    id.uid = "0f9b3c1e-77aa-4d2b-9c1f-3a2b1c0d9e8f";
    id.sessionId = "default";
    id.hostname = "lab-pc";
    id.createdAt = 4242.5;
    id.dataPort = 16572;
    id.servicePort = 16573;
    return id;
}

const char* const FIELDS = "<?xml version=\"1.0\"?>\n"
                           "<info>\n"
                           "\t<name>Ondira</name>\n"
                           "\t<type>EEG</type>\n"
                           "\t<channel_count>2</channel_count>\n"
                           "\t<channel_format>float32</channel_format>\n"
                           "\t<source_id>dongle-0x1234</source_id>\n"
                           "\t<nominal_srate>250.0000000000000</nominal_srate>\n"
                           "\t<version>1.100000000000000</version>\n"
                           "\t<created_at>4242.500000000000</created_at>\n"
                           "\t<uid>0f9b3c1e-77aa-4d2b-9c1f-3a2b1c0d9e8f</uid>\n"
                           "\t<session_id>default</session_id>\n"
                           "\t<hostname>lab-pc</hostname>\n"
                           "\t<v4address></v4address>\n"
                           "\t<v4data_port>16572</v4data_port>\n"
                           "\t<v4service_port>16573</v4service_port>\n"
                           "\t<v6address></v6address>\n"
                           "\t<v6data_port>0</v6data_port>\n"
                           "\t<v6service_port>0</v6service_port>\n";

TEST(StreamXml, ShortAndFullInfo_InLslsLayout)
{
    EXPECT_EQ(infoXml(eegInfo(), identity(), InfoPart::Short),
        std::string(FIELDS) + "\t<desc />\n</info>\n");
    EXPECT_EQ(infoXml(eegInfo(), identity(), InfoPart::Full),
        std::string(FIELDS)
            + "\t<desc>\n"
              "\t\t<channels>\n"
              "\t\t\t<channel>\n"
              "\t\t\t\t<label>Fp1</label>\n"
              "\t\t\t\t<unit>microvolts</unit>\n"
              "\t\t\t\t<type>EEG</type>\n"
              "\t\t\t</channel>\n"
              "\t\t\t<channel>\n"
              "\t\t\t\t<label>Fp2</label>\n"
              "\t\t\t\t<unit>microvolts</unit>\n"
              "\t\t\t</channel>\n"
              "\t\t</channels>\n"
              "\t\t<acquisition>\n"
              "\t\t\t<manufacturer>Ondira</manufacturer>\n"
              "\t\t\t<firmware>3.5 &amp; 2.4</firmware>\n"
              "\t\t</acquisition>\n"
              "\t</desc>\n"
              "</info>\n");
}

TEST(StreamXml, NumbersAndRates_AsInletsReadThemBack)
{
    EXPECT_EQ(formatInfoNumber(0), "0.000000000000000");
    EXPECT_EQ(formatInfoNumber(512.3), "512.3000000000000");
    EXPECT_EQ(formatInfoNumber(1234567.123456789), "1234567.123456789");
    EXPECT_EQ(rateAsSeen(250), 250.0);
    EXPECT_EQ(rateAsSeen(1.0 / 3.0), 0.3333333333333333);
}

TEST(StreamXml, InfoThatCannotBePublished_SaysWhy)
{
    const struct
    {
        const char* what;
        void (*spoil)(StreamInfo&);
        const char* says;
    } cases[] = {
        { "no name", [](StreamInfo& i) { i.name.clear(); }, "no name" },
        { "long type", [](StreamInfo& i) { i.type = std::string(257, 't'); }, "type is longer" },
        { "control character", [](StreamInfo& i) { i.sourceId = "a\x01"; }, "control character" },
        { "no channel",
            [](StreamInfo& i) {
                i.channelCount = 0;
                i.channels.clear();
            },
            "channel count" },
        { "too many",
            [](StreamInfo& i) {
                i.channelCount = 1025;
                i.channels.clear();
            },
            "channel count" },
        { "string of two",
            [](StreamInfo& i) {
                i.format = ChannelFormat::String;
                i.channels.clear();
            },
            "one channel" },
        { "negative rate", [](StreamInfo& i) { i.nominalRate = -1; }, "nominal rate" },
        { "rate not a number", [](StreamInfo& i) { i.nominalRate = std::nan(""); },
            "nominal rate" },
        { "channel list", [](StreamInfo& i) { i.channels.pop_back(); }, "has 1 channels" },
        { "field name",
            [](StreamInfo& i) {
                i.acquisition.push_back({ "1st", "x" });
            },
            "XML element name" },
        { "reserved name",
            [](StreamInfo& i) {
                i.acquisition.push_back({ "XmlThing", "x" });
            },
            "XML element name" },
        { "field value",
            [](StreamInfo& i) {
                i.acquisition.push_back({ "model", std::string(300, 'm') });
            },
            "longer" },
    };
    EXPECT_EQ(checkStreamInfo(eegInfo()), "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StreamInfo info = eegInfo();
        c.spoil(info);
        EXPECT_NE(checkStreamInfo(info).find(c.says), std::string::npos) << checkStreamInfo(info);
    }
}

TEST(Queries, OverTheFullInfo_MatchAsXPath_AndRefuseWhatCostsTooMuch)
{
    QueryMatcher matcher(infoXml(eegInfo(), identity(), InfoPart::Full));
    using V = QueryMatcher::Verdict;
    const struct
    {
        std::string query;
        V verdict;
    } cases[] = {
        { "", V::Match },
        { "type='EEG'", V::Match },
        { "type='Markers'", V::NoMatch },
        { "name='Ondira' and source_id='dongle-0x1234'", V::Match },
        { "source_id='dongle-0x1235'", V::NoMatch },
        { "channel_count=2 and nominal_srate>200", V::Match },
        { "starts-with(uid, '0f9b')", V::Match },
        { "session_id='default' and hostname='lab-pc'", V::Match },
        { "count(desc/channels/channel)=2", V::Match },
        { "desc/channels/channel[label='Fp2']/unit='microvolts'", V::Match },
        { "desc/acquisition/firmware='3.5 & 2.4'", V::Match },
        { "desc[channels[channel[label='Fp1']]]", V::Refused },
        { "desc[channels[channel]]", V::Match },
        { "name='[[['", V::NoMatch }, // brackets in a literal do not nest
        { "type=", V::Refused },
        { "$variable", V::Refused },
        { "name='" + std::string(520, 'x') + "'", V::Refused },
        { std::string("name='a\x01'"), V::Refused },
        { std::string("name='a\x7f'"), V::Refused },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query.substr(0, 60));
        EXPECT_EQ(matcher.evaluate(c.query), c.verdict);
        EXPECT_TRUE(matcher.remembers(c.query));
        EXPECT_EQ(matcher.evaluate(c.query), c.verdict);
    }
}

TEST(Queries, TheCostliestAcceptedQuery_EndsInBoundedTime)
{
    // Two nested predicates over every node, repeated to the length limit: the
    // worst shape the bounds let through.
    const std::string term = "count(//node()[count(//node()[count(//node()//node())=-1])=-1])=-1";
    std::string query = term;
    while (query.size() + term.size() + 4 <= 512)
        query += " or " + term;
    ASSERT_TRUE(QueryMatcher::withinBounds(query));
    ASSERT_FALSE(
        QueryMatcher::withinBounds("count(//node()[count(//node()[count(//node()[1])])])"));
    QueryMatcher matcher(infoXml(eegInfo(), identity(), InfoPart::Full));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(matcher.evaluate(query), QueryMatcher::Verdict::NoMatch);
    const double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    // A few hundred milliseconds optimised; the sanitizers are slower.
    EXPECT_LT(seconds, 20.0);
    RecordProperty("worst_query_seconds", std::to_string(seconds));
}

TEST(History, KeepsTheLastSamples_AndLeavesOutOnlyTimestampsAnInletCanDeduce)
{
    SampleHistory history(ChannelFormat::Float32, 1, 4, 250);
    const double period = 1.0 / 250;
    double t = 100.0;
    for (int i = 0; i < 6; ++i) {
        const float value = static_cast<float>(i);
        history.appendFloat(&value, t);
        t = i == 2 ? t + 0.5 : t + period; // a jump after sample 2
    }
    EXPECT_EQ(history.head(), 6u);
    EXPECT_EQ(history.oldest(), 2u);
    std::uint8_t buffer[32];
    const struct
    {
        std::uint64_t n;
        bool followsPrevious;
        std::uint8_t tag;
    } cases[] = {
        { 2, true, 1 }, // previous + period
        { 3, true, 2 }, // after the jump
        { 4, true, 1 },
        { 4, false, 2 }, // the inlet did not get sample 3
        { 5, true, 1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        const std::size_t size = history.encode(c.n, c.followsPrevious, buffer);
        EXPECT_EQ(size, history.encodedSize(c.n, c.followsPrevious));
        EXPECT_EQ(buffer[0], c.tag);
        float value = -1;
        std::memcpy(&value, buffer + size - 4, 4);
        EXPECT_EQ(value, static_cast<float>(c.n));
        if (c.tag == 2) {
            double stamp = 0;
            std::memcpy(&stamp, buffer + 1, 8);
            EXPECT_EQ(stamp, history.timestamp(c.n));
        }
    }

    SampleHistory irregular(ChannelFormat::String, 1, 2, 0);
    irregular.appendString("a", 1, 5.0);
    irregular.appendString("b", 1, 5.0);
    irregular.encode(1, true, buffer);
    EXPECT_EQ(buffer[0], 2); // nothing is deduced without a rate
}

} // namespace
