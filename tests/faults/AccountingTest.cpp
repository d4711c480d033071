// The accounting that the scenarios, the soak and the engine's fuzz target
// rely on: it must fail on every way a stream can be wrong.

#include "SampleAccounting.h"

#include <gtest/gtest.h>

#include <functional>

namespace ondira_faults {
namespace {

using ondira_test::Accounting;
using ondira_test::Record;

/// Every index gives other values on every channel.
std::array<std::uint16_t, 4> signal(std::uint64_t n)
{
    return {std::uint16_t(n * 7), std::uint16_t(n * 7 + 1000), std::uint16_t(n * 7 + 2000), std::uint16_t(n * 7 + 3000)};
}

Record sample(std::uint64_t n)
{
    const auto raw = signal(n);
    return Record{{ondira_test::microvolts(raw[0]), ondira_test::microvolts(raw[1]), ondira_test::microvolts(raw[2]),
                   ondira_test::microvolts(raw[3])},
                  0, 0, 0};
}

/// Lays the records on a 4 ms time line.
void relay(std::vector<Record>& records)
{
    for (std::size_t i = 0; i < records.size(); ++i)
        records[i].timestamp = 1000 + 4 * static_cast<long long>(i);
}

/// Samples 100..139 with packet 110..114 lost and filled.
std::vector<Record> stream()
{
    std::vector<Record> records;
    for (std::uint64_t n = 100; n < 140; ++n) {
        Record r = n >= 110 && n < 115 ? records.back() : sample(n);
        r.flag = n >= 110 && n < 115 ? 1 : 0;
        records.push_back(r);
    }
    relay(records);
    return records;
}

TEST(Accounting, ExactStreamIsAccounted_EveryFaultOfAStreamIsFound)
{
    const Accounting exact = ondira_test::account(stream(), signal, 90, 200);
    ASSERT_TRUE(exact.exact) << exact.failure;
    EXPECT_EQ(exact.firstSample, 100u);
    EXPECT_EQ(exact.endSample, 140u);
    EXPECT_EQ(exact.samples, 35u);
    EXPECT_EQ(exact.lossFillers, 5u);
    EXPECT_EQ(exact.silenceFillers, 0u);

    struct Case {
        const char* name;
        std::function<void(std::vector<Record>&)> change;
    };
    const Case faults[] = {
        {"a wrong value", [](std::vector<Record>& r) { r[20].channels[2] += 1; }},
        {"a sample missing without a filler", [](std::vector<Record>& r) { r.erase(r.begin() + 20); relay(r); }},
        {"four fillers for a lost packet", [](std::vector<Record>& r) { r.erase(r.begin() + 12); relay(r); }},
        {"two samples swapped", [](std::vector<Record>& r) { std::swap(r[20].channels, r[21].channels); }},
        {"a timestamp off the time line", [](std::vector<Record>& r) { r[30].timestamp += 1; }},
        {"a filler that repeats another sample", [](std::vector<Record>& r) { r[12].channels = r[3].channels; }},
        {"a session that begins with a filler", [](std::vector<Record>& r) { r[0].flag = 1; }},
        {"an offset-step flag", [](std::vector<Record>& r) { r[5].flag = 4; }},
        {"a first sample outside the window", [](std::vector<Record>& r) { r.erase(r.begin()); relay(r); }},
    };
    for (const Case& c : faults) {
        SCOPED_TRACE(c.name);
        std::vector<Record> records = stream();
        c.change(records);
        EXPECT_FALSE(ondira_test::account(records, signal, 90, 101).exact);
    }
}

TEST(Accounting, FillersBeyondTheLostSamplesAreSilence_ARunThatEndsTheSessionIsApart)
{
    std::vector<Record> records = stream();
    records.insert(records.begin() + 12, records[12]); // six fillers for one packet
    records.push_back(records.back());
    records.back().flag = 1;
    relay(records);
    const Accounting a = ondira_test::account(records, signal, 100, 101);
    ASSERT_TRUE(a.exact) << a.failure;
    EXPECT_EQ(a.lossFillers, 5u);
    EXPECT_EQ(a.silenceFillers, 1u);
    ASSERT_EQ(a.silences.size(), 1u);
    EXPECT_EQ(a.silences[0].record, 10u);
    EXPECT_EQ(a.trailingFillers, 1u);
}

} // namespace
} // namespace ondira_faults
