#include "SampleAccounting.h"

namespace ondira_test {

namespace {

constexpr int FLAG_LOST = OndiraData::FLAG_LOST_SAMPLE;
constexpr long long SAMPLE_PERIOD_MS = 4;
constexpr std::uint64_t SAMPLES_PER_PACKET = 5;

bool carries(const Record& record, const Signal& signal, std::uint64_t index)
{
    const std::array<std::uint16_t, 4> raw = signal(index);
    for (std::size_t c = 0; c < 4; ++c) {
        if (record.channels[c] != microvolts(raw[c]))
            return false;
    }
    return true;
}

std::string describe(const Record& record)
{
    std::string text = "{";
    for (int value : record.channels)
        text += std::to_string(value) + ",";
    return text + " flag " + std::to_string(record.flag) + ", t " + std::to_string(record.timestamp) + "}";
}

} // namespace

int microvolts(std::uint16_t raw)
{
    return static_cast<int>(static_cast<std::int64_t>(raw) * 2700000 / 4587520);
}

Accountant::Accountant(Signal signal, std::uint64_t from, std::uint64_t to)
    : signal(std::move(signal)), from(from), to(to)
{
    accounting.exact = true;
}

bool Accountant::fail(const std::string& what)
{
    failedAlready = true;
    accounting.exact = false;
    accounting.failure = "record " + std::to_string(count) + ": " + what;
    return false;
}

bool Accountant::add(const Record& record)
{
    if (failedAlready)
        return false;
    // Every record is a sample or a filler, on the 4 ms time line.
    if (record.flag != 0 && record.flag != FLAG_LOST)
        return fail("flag " + std::to_string(record.flag) + " in a session without calibration");
    if (count > 0 && record.timestamp - last.timestamp != SAMPLE_PERIOD_MS)
        return fail("timestamp " + std::to_string(record.timestamp) + " follows " + std::to_string(last.timestamp));

    if (count == 0) {
        // A session begins with a sample: there is no sample before it to repeat.
        if (record.flag == FLAG_LOST)
            return fail("the session begins with a filler");
        std::uint64_t first = from;
        while (first < to && !carries(record, signal, first))
            ++first;
        if (first == to)
            return fail(describe(record) + " is none of the samples " + std::to_string(from) + ".."
                        + std::to_string(to - 1));
        accounting.firstSample = first;
        accounting.endSample = first + 1;
        accounting.samples = 1;
    } else if (record.flag == FLAG_LOST) {
        if (record.channels != last.channels)
            return fail("a filler that does not repeat the record before it");
        if (run++ == 0)
            runStart = count;
    } else if (run > 0) {
        if (!closeRun(record))
            return false;
    } else {
        if (!carries(record, signal, accounting.endSample))
            return fail(describe(record) + " is not sample " + std::to_string(accounting.endSample));
        ++accounting.endSample;
        ++accounting.samples;
    }
    last = record;
    ++count;
    return true;
}

bool Accountant::closeRun(const Record& after)
{
    // The sample after a run of fillers says how many samples the run stood
    // for (whole packets); the rest of the run is silence.
    const std::uint64_t next = accounting.endSample;
    std::uint64_t skipped = 0;
    while (skipped <= run && !carries(after, signal, next + skipped))
        skipped += SAMPLES_PER_PACKET;
    if (skipped > run)
        return fail(describe(after) + " is none of the samples a run of " + std::to_string(run)
                    + " fillers can skip from sample " + std::to_string(next));
    accounting.lossFillers += skipped;
    if (run > skipped) {
        accounting.silenceFillers += run - skipped;
        accounting.silences.push_back(Silence{runStart, run - skipped});
    }
    accounting.endSample = next + skipped + 1;
    ++accounting.samples;
    run = 0;
    return true;
}

Accounting Accountant::result() const
{
    Accounting result = accounting;
    if (!failedAlready)
        result.trailingFillers = run;
    return result;
}

Accounting account(const std::vector<Record>& records, const Signal& signal, std::uint64_t from,
                   std::uint64_t to)
{
    Accountant accountant(signal, from, to);
    for (const Record& record : records) {
        if (!accountant.add(record))
            break;
    }
    return accountant.result();
}

} // namespace ondira_test
