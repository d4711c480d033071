// The chunk reader without a headset: which chunk each marker of the log goes
// with, and where in it, for rows and markers fed by hand.

#include "ChunkReader.h"

#include <ondira/session/StatusLog.h>
#include <ondira/session/Tap.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace ondira::python;
using ondira::session::LogEntry;
using ondira::session::StatusLog;
using ondira::session::Tap;
using ondira::session::TapRecord;

namespace {

struct Step {
    enum { Push, Mark, Take } what;
    unsigned stream;
    double from;          // Push: the first index; Mark: the position
    std::size_t count;    // Push: records; Take: rows
    const char* text;     // Mark: its text; Take: the markers expected, "text@position ..."
    bool streaming;       // Take: the stream `stream` still streams
};

Step push(unsigned stream, long long from, std::size_t count)
{
    return Step{Step::Push, stream, static_cast<double>(from), count, "", true};
}
Step mark(unsigned stream, double position, const char* text)
{
    return Step{Step::Mark, stream, position, 0, text, true};
}
Step take(std::size_t rows, const char* expected, unsigned stream = 1, bool streaming = true)
{
    return Step{Step::Take, stream, 0, rows, expected, streaming};
}

std::string describe(const std::vector<ChunkMarker>& markers)
{
    std::string text;
    for (const ChunkMarker& m : markers) {
        char position[32];
        std::snprintf(position, sizeof position, "%g", m.position);
        text += (text.empty() ? "" : " ") + m.text + "@" + position;
    }
    return text;
}

struct Case {
    const char* name;
    std::vector<Step> steps;
};

} // namespace

// Every marker goes with exactly one chunk: the one that holds its row, else
// the next one after its row was handed out, else the first row of a later
// stream, else the end of its stream once that has ended and every row is out.
TEST(ChunkReader, EachMarkerGoesWithOneChunk_AtItsRowOrTheFirstRowAfter)
{
    const Case cases[] = {
        {"in the chunk that holds its row, at its fraction",
         {push(1, 0, 10), mark(1, 3.25, "a"), take(5, "a@3.25"), take(5, "")}},
        {"its row comes later: it waits",
         {push(1, 0, 5), mark(1, 7.5, "b"), take(5, ""), push(1, 5, 5), take(5, "b@2.5")}},
        {"its row was handed out already: 0 of the next chunk",
         {push(1, 0, 10), take(5, ""), mark(1, 2, "c"), take(5, "c@0")}},
        {"its row was handed out, nothing new: an empty chunk carries it",
         {push(1, 0, 5), take(5, ""), mark(1, 4.5, "d"), take(0, "d@0")}},
        {"after an ended stream's last row: once every row is out, at the end",
         {push(1, 0, 5), mark(1, 9, "e"), take(3, "", 1, false), take(2, "e@2", 1, false)}},
        {"after the last row while it still streams: it waits, then an empty chunk",
         {push(1, 0, 5), mark(1, 9, "f"), take(5, ""), take(0, "f@0", 1, false)}},
        {"after an ended stream's last row, the next stream in the chunk: its first row",
         {push(1, 0, 5), mark(1, 8, "g"), push(2, 0, 5), take(10, "g@5", 2)}},
        {"of a stream whose rows have not come: it waits",
         {push(1, 0, 5), mark(2, 1.5, "h"), take(5, "", 2), push(2, 0, 5), take(5, "h@1.5", 2)}},
        {"a later stream started after the state was read: it waits",
         {push(1, 0, 5), mark(2, 1, "i"), take(5, "", 1, false), push(2, 0, 3), take(3, "i@1", 2)}},
        {"by position, ties in the order placed",
         {push(1, 0, 10), mark(1, 5, "x"), mark(1, 2, "y"), mark(1, 5, "z"),
          take(10, "y@2 x@5 z@5")}},
        {"on the fillers for a lost headset's absence",
         {push(1, 0, 5), push(1, 10, 5), mark(1, 7.5, "j"), take(6, ""), take(9, "j@1.5")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tap tap(64);
        StatusLog log;
        ChunkReader reader(tap, log);
        std::vector<double> microvolts(64 * 4);
        std::vector<std::int64_t> timestamps(64);
        std::vector<std::uint8_t> flags(64);
        std::vector<std::uint8_t> offsets(64);
        std::unique_ptr<bool[]> dropped(new bool[64]);
        const ChunkArrays out{microvolts.data(), timestamps.data(), flags.data(), offsets.data(),
                              dropped.get()};
        std::vector<ChunkMarker> markers;
        std::size_t placed = 0;
        std::size_t handedOut = 0;
        for (const Step& s : c.steps) {
            if (s.what == Step::Push) {
                for (std::size_t k = 0; k < s.count; ++k) {
                    TapRecord r{};
                    r.index = static_cast<long long>(s.from) + static_cast<long long>(k);
                    r.timestampMs = 1000 + 4 * r.index;
                    r.stream = s.stream;
                    r.resumed = k == 0 && s.from > 0 ? 1 : 0;
                    tap.push(r);
                }
            } else if (s.what == Step::Mark) {
                ASSERT_TRUE(log.addMarker(0, 0, s.stream, s.from, s.text));
                ++placed;
            } else {
                reader.collect();
                const StreamState state{s.stream, s.streaming};
                ASSERT_EQ(reader.take(s.count, out, state, markers), s.count);
                EXPECT_EQ(describe(markers), s.text);
                handedOut += markers.size();
            }
        }
        EXPECT_EQ(handedOut, placed) << "every marker once";
        EXPECT_EQ(reader.markersWaiting(), 0u);
    }
}

TEST(ChunkReader, CountsLogEntriesOverwrittenBeforeItRead)
{
    Tap tap(4);
    StatusLog log;
    ChunkReader reader(tap, log);
    for (std::size_t i = 0; i < StatusLog::CAPACITY + 7; ++i)
        log.add(LogEntry());
    bool dropped[1];
    double microvolts[4];
    std::int64_t timestamp[1];
    std::uint8_t flag[1];
    std::uint8_t offset[1];
    std::vector<ChunkMarker> markers;
    const ChunkArrays out{microvolts, timestamp, flag, offset, dropped};
    reader.take(0, out, StreamState{1, true}, markers);
    EXPECT_EQ(reader.entriesLost(), 7);
}
