// The tap and its reader without a headset: what rows a reader gets for the
// records a tap took in, dropped, or that a gap left out; and the log's
// cursor, its overflow and the one text of a failure.

#include <ondira/StatusData.h>
#include <ondira/session/StatusLog.h>
#include <ondira/session/Tap.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ondira::session;

namespace {

TapRecord record(long long index, unsigned stream = 1, bool resumed = false)
{
    TapRecord r{};
    r.index = index;
    r.timestampMs = 1000000 + 4 * index;
    for (int c = 0; c < 4; ++c)
        r.microvolts[c] = static_cast<std::int32_t>(100 * index + c);
    r.stream = stream;
    r.resumed = resumed ? 1 : 0;
    return r;
}

/// One letter per row: D delivered, d dropped, a away; R marks a resumed row.
std::string shapeOf(const std::vector<Row>& rows)
{
    std::string shape;
    for (const Row& row : rows) {
        shape += row.kind == Row::Kind::Delivered ? 'D' : row.kind == Row::Kind::Dropped ? 'd' : 'a';
        if (row.resumed)
            shape += 'R';
    }
    return shape;
}

std::vector<Row> readAll(TapReader& reader, std::size_t step)
{
    std::vector<Row> rows;
    reader.collect();
    std::vector<Row> part(step);
    for (;;) {
        const std::size_t n = reader.take(part.data(), part.size());
        rows.insert(rows.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(n));
        if (n == 0)
            return rows;
    }
}

struct Step {
    enum { Push, Read, Discard } what;
    TapRecord record;
};

struct Case {
    const char* name;
    std::size_t capacity;
    std::vector<Step> steps;
    const char* shape;
};

Step push(TapRecord r) { return Step{Step::Push, r}; }
Step read() { return Step{Step::Read, TapRecord{}}; }
Step discard() { return Step{Step::Discard, TapRecord{}}; }

} // namespace

// Whatever the reader's step, rows lie 4 ms apart within a stream, fillers
// repeat the row before them (the one after, when there is none before),
// and the first row after a lost headset's absence says it is back.
TEST(TapReader, RowsFourMillisecondsApart_FillersForDropsAndAbsence)
{
    const Case cases[] = {
        {"contiguous", 8, {push(record(0)), push(record(1)), push(record(2))}, "DDD"},
        {"the tap was full", 2,
         {push(record(0)), push(record(1)), push(record(2)), push(record(3)), read(), push(record(4))}, "DDddD"},
        {"drops before the first record read", 1,
         {push(record(0)), push(record(1)), discard(), push(record(2))}, "dD"},
        {"a lost headset came back", 8, {push(record(0)), push(record(1)), push(record(6, 1, true))}, "DDaaaaDR"},
        {"back, and dropped right after", 2,
         {push(record(0)), push(record(1)), push(record(6, 1, true)), read(), push(record(7))}, "DDaaaadRD"},
        {"a new stream starts afresh", 8, {push(record(0)), push(record(1)), push(record(0, 2))}, "DDD"},
    };
    for (const Case& c : cases) {
        for (std::size_t step : {1u, 3u, 1000u}) {
            SCOPED_TRACE(std::string(c.name) + ", taken " + std::to_string(step) + " at a time");
            Tap tap(c.capacity);
            TapReader reader(tap);
            std::vector<Row> rows;
            for (const Step& s : c.steps) {
                if (s.what == Step::Push) {
                    tap.push(s.record);
                } else if (s.what == Step::Discard) {
                    TapRecord gone{};
                    ASSERT_EQ(tap.pop(&gone, 1), 1u);
                } else {
                    const std::vector<Row> part = readAll(reader, step);
                    rows.insert(rows.end(), part.begin(), part.end());
                }
            }
            const std::vector<Row> last = readAll(reader, step);
            rows.insert(rows.end(), last.begin(), last.end());
            EXPECT_EQ(shapeOf(rows), c.shape);
            EXPECT_EQ(reader.rowsReady(), 0);
            for (std::size_t i = 1; i < rows.size(); ++i) {
                if (rows[i].stream != rows[i - 1].stream)
                    continue;
                EXPECT_EQ(rows[i].sample.timestampMs - rows[i - 1].sample.timestampMs, 4) << "row " << i;
                EXPECT_EQ(rows[i].index, rows[i - 1].index + 1) << "row " << i;
                if (rows[i].kind != Row::Kind::Delivered) {
                    EXPECT_EQ(rows[i].sample.flag, 1);
                    EXPECT_EQ(rows[i].sample.microvolts, rows[i - 1].sample.microvolts) << "row " << i;
                }
            }
        }
    }
}

TEST(Tap, CountsWhatItDroppedAndWhatNoLaterRecordAnnounced)
{
    Tap tap(1);
    tap.push(record(0));
    tap.push(record(1));
    tap.push(record(2));
    EXPECT_EQ(tap.received(), 3);
    EXPECT_EQ(tap.dropped(), 2);
    EXPECT_EQ(tap.trailingDropped(), 2);
    tap.push(record(0, 2)); // a new stream: its own count
    EXPECT_EQ(tap.trailingDropped(), 1);
}

TEST(StatusLog, ReadersKeepTheirOwnCursorAndLearnWhatTheyLost)
{
    StatusLog log;
    const long long late = log.next();
    for (std::size_t i = 0; i < StatusLog::CAPACITY + 10; ++i) {
        LogEntry entry;
        entry.kind = i % 2 ? LogEntry::Kind::Status : LogEntry::Kind::Info;
        entry.code = static_cast<int>(i % 23);
        log.add(entry);
    }
    long long cursor = late;
    std::vector<LogEntry> entries;
    EXPECT_EQ(log.read(cursor, entries, 5), 10) << "the ten oldest were overwritten";
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries.front().sequence, 10);
    EXPECT_EQ(cursor, 15);
    entries.clear();
    EXPECT_EQ(log.read(cursor, entries), 0);
    EXPECT_EQ(entries.size(), StatusLog::CAPACITY - 5);
    EXPECT_EQ(cursor, log.next());
    EXPECT_EQ(log.codesSince(log.next() - 4).size(), 2u) << "status entries only";
}

TEST(StatusLog, OneTextAndOneCodeForWhatACallRaised)
{
    using S = StatusData;
    struct Case {
        std::vector<int> codes;
        int severe;
        const char* reason;
    } const cases[] = {
        {{}, -1, "the library reported no reason"},
        {{S::CHANNEL_1_CALIBRATED, S::DEFAULT_CHANNEL_STATE}, S::CHANNEL_1_CALIBRATED, "the library reported no reason"},
        {{S::CHANNEL_2_SLOW_CALIBRATION, S::DEVICE_IO_ERROR, S::DEVICE_IO_ERROR, S::FW_VERSION_ERROR},
         S::DEVICE_IO_ERROR, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mostSevere(c.codes), c.severe);
        if (c.reason) {
            EXPECT_EQ(reasonOf(c.codes), c.reason);
        }
    }
    const std::string io = S::getStringFromCode(S::DEVICE_IO_ERROR);
    const std::string reason = reasonOf(cases[2].codes);
    EXPECT_EQ(reason.find(S::getStringFromCode(S::CHANNEL_2_SLOW_CALIBRATION)), 0u) << "in the order they came";
    EXPECT_EQ(reason.find(io), reason.rfind(io)) << "each text once";
    EXPECT_NE(reason.find(" / "), std::string::npos);
    EXPECT_TRUE(meansHeadsetLost(S::DEVICE_IO_ERROR) && meansHeadsetLost(S::DEVICE_NOT_RESPONDING));
    EXPECT_FALSE(meansHeadsetLost(S::FW_VERSION_ERROR) || meansHeadsetLost(S::DEVICE_NOT_OPEN));
}
