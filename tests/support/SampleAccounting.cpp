#include "SampleAccounting.h"

#include <algorithm>

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

Accounting failed(Accounting result, std::size_t at, const std::string& what)
{
    result.exact = false;
    result.failure = "record " + std::to_string(at) + ": " + what;
    return result;
}

} // namespace

int microvolts(std::uint16_t raw)
{
    return static_cast<int>(static_cast<std::int64_t>(raw) * 2700000 / 4587520);
}

Accounting account(const std::vector<Record>& records, const Signal& signal, std::uint64_t from,
                   std::uint64_t to)
{
    Accounting result;
    if (records.empty()) {
        result.exact = true;
        return result;
    }

    // Every record is a sample or a filler, on the 4 ms time line.
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].flag != 0 && records[i].flag != FLAG_LOST)
            return failed(result, i, "flag " + std::to_string(records[i].flag) + " in a session without calibration");
        if (i > 0 && records[i].timestamp - records[i - 1].timestamp != SAMPLE_PERIOD_MS)
            return failed(result, i, "timestamp " + std::to_string(records[i].timestamp) + " follows "
                                         + std::to_string(records[i - 1].timestamp));
        if (i > 0 && records[i].flag == FLAG_LOST && records[i].channels != records[i - 1].channels)
            return failed(result, i, "a filler that does not repeat the record before it");
    }

    // A session begins with a sample: there is no sample before it to repeat.
    if (records.front().flag == FLAG_LOST)
        return failed(result, 0, "the session begins with a filler");
    std::uint64_t next = from;
    while (next < to && !carries(records.front(), signal, next))
        ++next;
    if (next == to)
        return failed(result, 0, describe(records.front()) + " is none of the samples "
                                     + std::to_string(from) + ".." + std::to_string(to - 1));
    result.firstSample = next++;
    result.samples = 1;

    for (std::size_t i = 1; i < records.size();) {
        if (records[i].flag != FLAG_LOST) {
            if (!carries(records[i], signal, next))
                return failed(result, i, describe(records[i]) + " is not sample " + std::to_string(next));
            ++next;
            ++result.samples;
            ++i;
            continue;
        }
        // A run of fillers: the sample after it says how many samples it
        // skipped (whole packets); the rest of the run is silence.
        std::size_t run = 0;
        while (i + run < records.size() && records[i + run].flag == FLAG_LOST)
            ++run;
        if (i + run == records.size()) {
            result.trailingFillers = run;
            break;
        }
        const Record& after = records[i + run];
        std::uint64_t skipped = 0;
        while (skipped <= run && !carries(after, signal, next + skipped))
            skipped += SAMPLES_PER_PACKET;
        if (skipped > run)
            return failed(result, i + run,
                          describe(after) + " is none of the samples a run of " + std::to_string(run)
                              + " fillers can skip from sample " + std::to_string(next));
        next += skipped;
        result.lossFillers += skipped;
        if (run > skipped) {
            result.silenceFillers += run - skipped;
            result.silences.push_back(Silence{i, run - skipped});
        }
        i += run;
    }
    result.endSample = next;
    result.exact = true;
    return result;
}

} // namespace ondira_test
