#ifndef ONDIRA_TESTS_SUPPORT_SAMPLEACCOUNTING_H
#define ONDIRA_TESTS_SUPPORT_SAMPLEACCOUNTING_H

// Exact accounting of the samples of one streaming session against the
// virtual headset's signal, which is a pure function of the sample's index.
//
// The records of a session (from a start to its stop, calibration off) must
// be the headset's samples in order, each with its value, where every sample
// that was sent but did not arrive is replaced by exactly one filler (flag 1,
// repeating the record before it), and every record lies exactly 4 ms after
// the one before. Fillers may also stand for time in which the headset sent
// nothing at all (switched off, out of range): those take no sample's place.
// A run of fillers is told apart by the sample that follows it: the samples
// it skipped are the lost ones, the rest of the run is silence. A run that
// ends the session has no sample after it (a stop can come in the middle of
// a gap's fillers): it is counted apart.
//
// No GoogleTest: the scenarios, the soak and the engine's fuzz target use it.

#include <ondira/OndiraData.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ondira_test {

/// One record as a consumer received it.
struct Record {
    std::array<int, 4> channels;
    int flag;
    int offsetChangeIndex;
    long long timestamp;
};

inline Record toRecord(const OndiraData& s)
{
    return Record{{s.getChannel1(), s.getChannel2(), s.getChannel3(), s.getChannel4()},
                  s.getFlag(), s.getOffsetChangeIndex(), s.getTimestamp()};
}

inline std::vector<Record> toRecords(const std::vector<OndiraData>& samples)
{
    std::vector<Record> records;
    records.reserve(samples.size());
    for (const OndiraData& s : samples)
        records.push_back(toRecord(s));
    return records;
}

/// The headset's raw channel values of sample `index` (ondira_sim_sample).
using Signal = std::function<std::array<std::uint16_t, 4>(std::uint64_t index)>;

/// The value the library delivers for a raw value: raw x 2700000 / 4587520,
/// truncated (0..38570).
int microvolts(std::uint16_t raw);

/// A run of fillers that stood for silence, wholly or in part.
struct Silence {
    std::size_t record;   ///< index of the run's first filler
    std::size_t fillers;  ///< the fillers of the run that took no sample's place
};

struct Accounting {
    bool exact = false;
    std::string failure;          ///< what did not hold, and at which record
    std::uint64_t firstSample = 0; ///< index of the session's first sample
    std::uint64_t endSample = 0;   ///< one past the index of its last sample
    std::size_t samples = 0;       ///< records that carried a sample
    std::size_t lossFillers = 0;   ///< fillers in place of a sample that was sent
    std::size_t silenceFillers = 0;
    std::size_t trailingFillers = 0; ///< the run of fillers that ends the session
    std::vector<Silence> silences;
};

/// Accounts for the records of one session as they come, in constant
/// memory. Its first sample is looked for among indices [from, to): a session
/// begins with whichever sample arrived first.
class Accountant
{
public:
    Accountant(Signal signal, std::uint64_t from, std::uint64_t to);

    /// Takes the next record; false once a check has failed.
    bool add(const Record& record);
    /// The session so far; no records account exactly to nothing.
    Accounting result() const;

private:
    bool fail(const std::string& what);
    /// Ends a run of fillers with the sample after it.
    bool closeRun(const Record& after);

    Signal signal;
    std::uint64_t from;
    std::uint64_t to;
    Accounting accounting;
    std::size_t count = 0;      ///< records taken
    bool failedAlready = false;
    Record last{};
    std::size_t run = 0;        ///< fillers since the last sample
    std::size_t runStart = 0;   ///< index of the run's first filler
};

/// The whole session at once.
Accounting account(const std::vector<Record>& records, const Signal& signal, std::uint64_t from,
                   std::uint64_t to);

} // namespace ondira_test

#endif
