// What the display derives from the stream: the marks of the trace buffer,
// the calibration chips and the automatic scale.

#include "Calibration.h"
#include "Scale.h"
#include "TraceBuffer.h"

#include <ondira/StatusData.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ondira::view;

namespace {

DisplaySample sampleWith(int value, int flag = 0, int skippedBefore = 0, bool restart = false)
{
    DisplaySample d;
    d.sample.microvolts = {value, value + 1, value + 2, value + 3};
    d.sample.flag = flag;
    d.skippedBefore = skippedBefore;
    d.restart = restart;
    return d;
}

/// Appends samples `from`..`to` - 1 of `stream`, the first after `skipped`.
void append(TraceBuffer& buffer, unsigned stream, long long from, long long to, int skipped = 0)
{
    for (long long i = from; i < to; ++i) {
        DisplaySample d = sampleWith(0, 0, i == from ? skipped : 0);
        d.index = i;
        d.stream = stream;
        buffer.append(&d, 1);
    }
}

std::string markersOf(const TraceBuffer& buffer)
{
    std::string list;
    for (const TraceBuffer::Marker& m : buffer.markers())
        list += m.text + "@" + std::to_string(m.at).substr(0, 4) + " ";
    return list;
}

} // namespace

TEST(TraceBuffer_Markers, PlacedByTheirStreamsSamplesAndKeptWithinTheBuffer)
{
    TraceBuffer buffer(20);
    buffer.addMarker(1, 2.5, "early"); // before stream 1's first sample: waits for it
    append(buffer, 1, 0, 4);
    append(buffer, 1, 5, 6, 1);        // index 4 skipped: still aligned
    buffer.addMarker(1, 4.25, "gap");
    buffer.addMarker(1, 7.0, "late");  // ahead of the newest sample, then the stream ends
    buffer.addMarker(2, 1.0, "next");
    buffer.addMarker(3, 1.0, "never"); // stream 3 shows no sample
    append(buffer, 2, 3, 4, 3);        // stream 2 from buffer sample 6: index 3 at 9
    append(buffer, 4, 0, 1);
    EXPECT_EQ(markersOf(buffer), "early@2.50 gap@4.25 late@5.00 next@7.00 ");
    append(buffer, 4, 1, 20);
    ASSERT_EQ(buffer.first(), 10);
    EXPECT_EQ(markersOf(buffer), "") << "older than the oldest sample kept";

    for (std::size_t k = 0; k < TraceBuffer::MAX_MARKERS + 10; ++k)
        buffer.addMarker(4, 25.0 + 0.01 * static_cast<double>(k), std::to_string(k));
    ASSERT_EQ(buffer.markers().size(), TraceBuffer::MAX_MARKERS);
    EXPECT_EQ(buffer.markers().front().text, "10");
    buffer.clear();
    EXPECT_TRUE(buffer.markers().empty());
}

TEST(TraceBuffer_Marks, FillersOffsetChangesRestartsAndSkippedSamples)
{
    TraceBuffer buffer(100);
    const std::vector<DisplaySample> samples = {
        sampleWith(10, 0, 0, true),
        sampleWith(11),
        sampleWith(11, 1),      // a lost sample
        sampleWith(12, 3),      // channel 2's offset lowered
        sampleWith(13, 8, 2),   // channel 3's offset raised, after two skipped by the display
        sampleWith(14),
    };
    buffer.append(samples.data(), samples.size());
    ASSERT_EQ(buffer.end(), 8) << "the two skipped samples keep their place on the time axis";

    struct Expected {
        long long index;
        unsigned char marks;
        int rawChannel1;
    };
    const Expected expected[] = {
        {0, TraceBuffer::MARK_RESTART, 10},
        {1, 0, 11},
        {2, TraceBuffer::MARK_FILLER, 11},
        {3, TraceBuffer::offsetMark(1), 12},
        {4, TraceBuffer::MARK_FILLER | TraceBuffer::MARK_SKIPPED, 12}, // repeats the last values
        {5, TraceBuffer::MARK_FILLER | TraceBuffer::MARK_SKIPPED, 12},
        {6, TraceBuffer::offsetMark(2), 13},
        {7, 0, 14},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.index);
        EXPECT_EQ(buffer.marks(e.index), e.marks);
        EXPECT_EQ(buffer.raw(0, e.index), static_cast<float>(e.rawChannel1));
    }

    // The spectrum's view of channel 3: its own offset change, fillers and
    // the restart are marked; channel 2's offset change is not.
    std::vector<float> values(8);
    std::vector<unsigned char> marked(8);
    ASSERT_EQ(buffer.lastRaw(2, 8, values.data(), marked.data()), 8u);
    EXPECT_EQ(marked, (std::vector<unsigned char>{1, 0, 1, 0, 1, 1, 1, 0}));
    EXPECT_EQ(values[7], 16.0f);
}

TEST(TraceBuffer_Capacity, KeepsTheNewestSamples)
{
    TraceBuffer buffer(5);
    std::vector<DisplaySample> samples;
    for (int i = 0; i < 12; ++i)
        samples.push_back(sampleWith(i));
    buffer.append(samples.data(), 7);
    buffer.append(samples.data() + 7, 5);
    EXPECT_EQ(buffer.size(), 5u);
    EXPECT_EQ(buffer.first(), 7);
    EXPECT_EQ(buffer.end(), 12);
    for (long long i = buffer.first(); i < buffer.end(); ++i)
        EXPECT_EQ(buffer.raw(0, i), static_cast<float>(i));
    std::vector<float> values(10);
    std::vector<unsigned char> marked(10);
    EXPECT_EQ(buffer.lastRaw(0, 10, values.data(), marked.data()), 5u);
    EXPECT_EQ(values[0], 7.0f);
    buffer.clear();
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.end(), 0);
}

TEST(TraceBuffer_Capacity, AGapLongerThanTheHistoryCostsNoMoreThanTheHistory)
{
    // The display may fall behind by millions of samples (a stream faster
    // than it can draw): the gap must not be drawn sample by sample.
    TraceBuffer buffer(1000);
    const std::vector<DisplaySample> samples = {sampleWith(5), sampleWith(7, 0, 2000000000)};
    buffer.append(samples.data(), samples.size());
    EXPECT_EQ(buffer.end(), 2000000002LL);
    EXPECT_EQ(buffer.size(), 1000u);
    EXPECT_EQ(buffer.raw(0, buffer.end() - 1), 7.0f);
    EXPECT_EQ(buffer.marks(buffer.end() - 1), 0);
    EXPECT_EQ(buffer.raw(0, buffer.end() - 2), 5.0f) << "the gap repeats the last value";
    EXPECT_EQ(buffer.marks(buffer.first()), TraceBuffer::MARK_FILLER | TraceBuffer::MARK_SKIPPED);
}

TEST(Calibration_Chips, FollowTheStatusEventsOfTheirChannel)
{
    using C = Calibration;
    struct Case {
        const char* what;
        C from;
        int channel;
        int code;
        C to;
    };
    const Case cases[] = {
        {"calibrated", C::Unknown, 0, StatusData::CHANNEL_1_CALIBRATED, C::Calibrated},
        {"being calibrated", C::Calibrated, 0, StatusData::CHANNEL_1_CALIBRATING, C::Calibrating},
        {"switched off", C::Calibrating, 0, StatusData::CHANNEL_1_NOT_CALIBRATING, C::Off},
        {"channel 4's own codes", C::Unknown, 3, StatusData::CHANNEL_4_CALIBRATED, C::Calibrated},
        {"another channel's event", C::Calibrating, 1, StatusData::CHANNEL_1_CALIBRATED, C::Calibrating},
        {"slow calibration", C::Calibrating, 2, StatusData::CHANNEL_3_SLOW_CALIBRATION, C::Slow},
        {"slow stays while still calibrating", C::Slow, 2, StatusData::CHANNEL_3_CALIBRATING, C::Slow},
        {"slow ends when calibrated", C::Slow, 2, StatusData::CHANNEL_3_CALIBRATED, C::Calibrated},
        {"slow ends when switched off", C::Slow, 2, StatusData::CHANNEL_3_NOT_CALIBRATING, C::Off},
        {"errors do not touch the chips", C::Calibrated, 0, StatusData::DEVICE_NOT_RESPONDING, C::Calibrated},
        {"nor does the default state", C::Calibrated, 0, StatusData::DEFAULT_CHANNEL_STATE, C::Calibrated},
        {"a channel out of range changes nothing", C::Off, 4, StatusData::CHANNEL_1_CALIBRATED, C::Off},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(nextCalibration(c.from, c.channel, c.code), c.to);
    }
}

TEST(Scale_Auto, PicksTheSmallestStepThatFitsAndDoesNotFlicker)
{
    struct Case {
        const char* what;
        double span;
        double current;
        double expected;
    };
    const Case cases[] = {
        {"fits exactly", 200.0, 0.0, 50.0},
        {"just over a step", 201.0, 0.0, 100.0},
        {"tiny signal", 0.5, 0.0, 1.0},
        {"flat signal", 0.0, 0.0, 1.0},
        {"beyond the largest step", 1e7, 0.0, 10000.0},
        {"grows at once", 300.0, 50.0, 100.0},
        {"kept while two steps too coarse", 150.0, 100.0, 100.0},
        {"kept: 100 for a 20 µV/div signal", 80.0, 100.0, 100.0},
        {"shrinks when three steps too coarse", 30.0, 100.0, 10.0},
        {"an unknown current step is replaced", 150.0, 70.0, 50.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(autoMicrovoltsPerDivision(c.span, 4, c.current), c.expected);
    }
}
