// The soak: several facades of the shipped library stream from the virtual
// headset at full speed (fast mode: a packet whenever the worker reads) with
// radio loss and garbage, in repeated open/start/stop/close cycles, while
// another thread makes property calls on the same facades. Every session is
// accounted for sample by sample, the resident memory must stay flat after a
// warm-up, every call must return within its bound, and no unexpected status
// event may arrive. Under the thread sanitizer (its build) every access is
// watched as well.
//
//   ondira_soak [--seconds S] [--facades N] [--session-samples N]
//               [--sim "KEYS"] [--rss-growth-mb M]
//
// A session (open, start, stream, stop, close) lasts until it has about
// --session-samples records, or two seconds. Its records are accounted for
// as they arrive, and the result is read after the close, when the worker
// has delivered its last record.
//
// Prints the figures and "soak: OK", or what failed; exits 0 or 1.

#include "ShippedLibrary.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using ondira_test::Record;

struct Options {
    double seconds = 60;
    int facades = 3;
    long sessionSamples = 200000;
    std::string sim = "fast=1 loss=0.01 garbage=0.01";
    double rssGrowthMb = 8;
};

// Upper bounds of the facade calls, in milliseconds (sanitizers included).
constexpr double OPEN_MS = 2000;
constexpr double COMMAND_MS = 1000;
constexpr double CLOSE_MS = 2000;
constexpr double PROPERTY_MS = 2000;
constexpr auto LONGEST_SESSION = std::chrono::seconds(2);

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// What the virtual headset keeps of every host write (ondira_sim_written,
/// the command log), which grows with every command by design.
double simRecordMb(int devices)
{
    double bytes = 0;
    for (int d = 0; d < devices; ++d) {
        bytes += static_cast<double>(ondira_sim_written(d, nullptr, 0));
        bytes += static_cast<double>(ondira_sim_command_count(d)) * sizeof(OndiraSimCommand);
    }
    return bytes / (1024.0 * 1024.0);
}

double residentMb()
{
    long pages = 0, resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

/// Failures from any thread, reported at the end.
class Failures
{
public:
    void add(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (list.size() < 20)
            list.push_back(what);
        ++count;
    }
    std::vector<std::string> all() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return list;
    }
    bool any() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return count > 0;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> list;
    long count = 0;
};

/// The longest time each kind of call took.
class Longest
{
public:
    void note(const char* call, double ms, double bound, Failures& failures)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto entry = std::find_if(entries.begin(), entries.end(), [call](const auto& e) { return e.first == call; });
        if (entry == entries.end())
            entries.emplace_back(call, ms);
        else
            entry->second = std::max(entry->second, ms);
        if (ms > bound)
            failures.add(std::string(call) + " took " + std::to_string(ms) + " ms");
    }
    std::string text() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::string result;
        for (const auto& entry : entries) {
            char item[64];
            std::snprintf(item, sizeof item, "%s%s %.1f ms", result.empty() ? "" : ", ", entry.first.c_str(),
                          entry.second);
            result += item;
        }
        return result;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::pair<std::string, double>> entries;
};

Failures failures;
Longest longest;

template <typename Call>
auto timed(const char* name, double bound, Call&& call)
{
    const auto start = Clock::now();
    auto result = call();
    longest.note(name, msSince(start), bound, failures);
    return result;
}

/// Accounts for a session's records as they arrive, in constant memory, so
/// that the soak's own memory does not move.
class SessionAccount : public IDataConsumer
{
public:
    /// The first sample lies within this many samples of the session's start
    /// (at full speed the worker may read many packets while the start is
    /// being written, which are dropped).
    static constexpr std::uint64_t FIRST_SAMPLE_WINDOW = 5000000;

    void begin(int device, std::uint64_t from)
    {
        std::lock_guard<std::mutex> lock(mutex);
        accountant.emplace(ondira_test::simSignal(device), from, from + FIRST_SAMPLE_WINDOW);
        records = 0;
    }
    void receiveData(PData& data) override
    {
        const Record r = ondira_test::toRecord(*static_cast<const OndiraData*>(data.getData()));
        std::lock_guard<std::mutex> lock(mutex);
        if (accountant)
            accountant->add(r);
        else
            outside = true;
        ++records;
    }
    std::size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return records;
    }
    /// The session's accounting; false in `inside` if a record came between sessions.
    ondira_test::Accounting end(bool& inside)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const ondira_test::Accounting result = accountant ? accountant->result() : ondira_test::Accounting{};
        accountant.reset();
        inside = !outside;
        return result;
    }

private:
    std::mutex mutex;
    std::optional<ondira_test::Accountant> accountant;
    std::size_t records = 0;
    bool outside = false;
};

class StatusWatch : public IDataConsumer
{
public:
    explicit StatusWatch(int facade) : facade(facade) {}
    void receiveData(PData& data) override
    {
        const StatusData::statusCode code = static_cast<const StatusData*>(data.getData())->getCode();
        // The calibration passes report channel states; anything else is a fault here.
        if (code < StatusData::CHANNEL_1_CALIBRATED || code > StatusData::DEFAULT_CHANNEL_STATE)
            failures.add("facade " + std::to_string(facade) + ": status event " + std::to_string(code));
    }

private:
    const int facade;
};

struct Totals {
    std::atomic<long long> sessions{0};
    std::atomic<long long> samples{0};
    std::atomic<long long> fillers{0};
    std::atomic<long long> propertyCalls{0};
};

Totals totals;
std::mutex openMutex; // one open at a time, so that each facade knows its device

std::vector<unsigned> openCounts(int devices)
{
    std::vector<unsigned> counts;
    for (int d = 0; d < devices; ++d) {
        OndiraSimDeviceState state{};
        ondira_sim_get_state(d, &state);
        counts.push_back(state.openCount);
    }
    return counts;
}

/// One facade, its consumers, and the lock that serialises the calls of the
/// session thread and the property thread on it.
struct Headset {
    explicit Headset(int number) : number(number), statuses(number) {}

    bool open(int devices)
    {
        std::lock_guard<std::mutex> serial(openMutex);
        const std::vector<unsigned> before = openCounts(devices);
        if (!timed("open", OPEN_MS, [&] { return facade.openDevice(); })) {
            failures.add("facade " + std::to_string(number) + ": open failed");
            return false;
        }
        const std::vector<unsigned> after = openCounts(devices);
        device = -1;
        for (int d = 0; d < devices; ++d) {
            if (after[static_cast<std::size_t>(d)] != before[static_cast<std::size_t>(d)])
                device = d; // the last device that opened is the one it kept
        }
        isOpen = device >= 0;
        return isOpen;
    }

    const int number;
    Ondira facade;
    SessionAccount samples;
    StatusWatch statuses;
    ondira_test::ConsumerRegistration registration{facade, samples, statuses};
    std::mutex calls;
    bool isOpen = false; // guarded by calls
    int device = -1;
};

void account(Headset& h, std::size_t records)
{
    bool inside = true;
    const ondira_test::Accounting a = h.samples.end(inside);
    const std::string who = "facade " + std::to_string(h.number) + ", device " + std::to_string(h.device);
    if (!a.exact)
        failures.add(who + ": " + a.failure);
    else if (a.silenceFillers != 0)
        failures.add(who + ": " + std::to_string(a.silenceFillers) + " fillers without a silence");
    if (records == 0)
        failures.add(who + ": a session without samples");
    if (!inside)
        failures.add(who + ": a record between sessions");
    totals.sessions += 1;
    totals.samples += static_cast<long long>(a.samples);
    totals.fillers += static_cast<long long>(a.lossFillers);
}

/// Sessions: open, start, stream, stop, close; then the accounting.
void cycle(Headset& h, int devices, long sessionSamples, Clock::time_point end)
{
    while (Clock::now() < end) {
        {
            std::lock_guard<std::mutex> lock(h.calls);
            if (!h.open(devices))
                return;
            h.samples.begin(h.device, 5 * ondira_test::simPacketsGenerated(h.device));
            if (!timed("start", COMMAND_MS, [&] { return h.facade.startStreaming(); }))
                failures.add("facade " + std::to_string(h.number) + ": start failed");
        }
        // The last session may run on past the end, by two seconds at most.
        const auto until = Clock::now() + LONGEST_SESSION;
        while (Clock::now() < until && h.samples.count() < static_cast<std::size_t>(sessionSamples))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::size_t records = 0;
        {
            std::lock_guard<std::mutex> lock(h.calls);
            if (!timed("stop", COMMAND_MS, [&] { return h.facade.stopStreaming(); }))
                failures.add("facade " + std::to_string(h.number) + ": stop failed");
            timed("close", CLOSE_MS, [&] {
                h.facade.closeDevice();
                return true;
            });
            h.isOpen = false;
            records = h.samples.count();
        }
        account(h, records);
    }
}

/// Property calls on every open facade in turn, from a thread of their own.
void properties(std::vector<std::unique_ptr<Headset>>& headsets, const std::atomic<bool>& done)
{
    for (unsigned round = 0; !done.load(); ++round) {
        for (auto& hp : headsets) {
            Headset& h = *hp;
            std::lock_guard<std::mutex> lock(h.calls);
            if (!h.isOpen)
                continue;
            const std::string who = "facade " + std::to_string(h.number) + ": ";
            bool ok = true;
            switch (round % 6) {
            case 0:
                ok = timed("getProperty", PROPERTY_MS, [&] {
                    return h.facade.getProperty(Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION) != nullptr;
                });
                break;
            case 1:
                ok = timed("getProperty", PROPERTY_MS, [&] {
                    const Property* p = h.facade.getProperty(Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL);
                    return p && p->getValueAsInteger() == 9;
                });
                break;
            case 2:
                ok = timed("setProperty", PROPERTY_MS, [&] {
                    return h.facade.setProperty(Property(Ondira::STR_PROPERTY_ENABLE_CHANNEL_2, 0));
                });
                break;
            case 3:
                ok = timed("getProperty", PROPERTY_MS, [&] {
                    const Property* p = h.facade.getProperty("BaudRate");
                    return p && p->getValueAsInteger() == 128000;
                });
                break;
            case 4:
                ok = timed("ping", PROPERTY_MS, [&] { return h.facade.ping(); });
                break;
            default:
                ok = timed("getProperty", PROPERTY_MS, [&] {
                    return h.facade.getProperty(Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION) != nullptr;
                });
                break;
            }
            if (!ok)
                failures.add(who + "property call " + std::to_string(round % 6) + " failed");
            totals.propertyCalls += 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

double median(std::vector<double>::const_iterator first, std::vector<double>::const_iterator last)
{
    std::vector<double> values(first, last);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

bool parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue)
            options.seconds = std::atof(argv[++i]);
        else if (arg == "--facades" && hasValue)
            options.facades = std::atoi(argv[++i]);
        else if (arg == "--session-samples" && hasValue)
            options.sessionSamples = std::atol(argv[++i]);
        else if (arg == "--sim" && hasValue)
            options.sim = argv[++i];
        else if (arg == "--rss-growth-mb" && hasValue)
            options.rssGrowthMb = std::atof(argv[++i]);
        else
            return false;
    }
    return options.seconds > 0 && options.facades >= 1 && options.facades <= 16 && options.sessionSamples > 0;
}

void silence(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--seconds S] [--facades N] [--session-samples N] [--sim \"KEYS\"] "
                     "[--rss-growth-mb M]\n",
                     argv[0]);
        return 2;
    }
    // The very virtual headset this program configures, not a driver found
    // elsewhere; and no trace output, which would dominate the run.
    setenv("ONDIRA_FTD2XX_LIBRARY", ONDIRA_SOAK_SIM_LIBRARY, 1);
    qInstallMessageHandler(silence);
    char folder[] = "/tmp/ondira-soak-XXXXXX"; // log.txt of the property calls
    if (!mkdtemp(folder) || chdir(folder) != 0) {
        std::perror("ondira_soak: temporary folder");
        return 1;
    }
    const std::string config = "devices=" + std::to_string(options.facades) + " " + options.sim;
    if (ondira_sim_configure(config.c_str()) != 0) {
        std::fprintf(stderr, "ondira_soak: %s\n", ondira_sim_last_error());
        return 2;
    }

    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(static_cast<long long>(options.seconds * 1000));
    std::vector<std::unique_ptr<Headset>> headsets;
    for (int k = 0; k < options.facades; ++k)
        headsets.push_back(std::make_unique<Headset>(k));
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (auto& h : headsets)
        threads.emplace_back(cycle, std::ref(*h), options.facades, options.sessionSamples, end);
    std::thread propertyThread(properties, std::ref(headsets), std::cref(done));

    // Memory, four times a second once the first quarter has warmed the run
    // up: the median of the first half of those readings against the median
    // of the second half, so that a leak shows and a passing peak does not.
    // The virtual headset lives in this process and keeps a record of every
    // host write: its growth is counted apart.
    std::vector<double> readings;
    std::vector<double> records;
    for (double next = 10; Clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(250))) {
        const double elapsed = msSince(start) / 1000;
        if (elapsed >= options.seconds / 4) {
            readings.push_back(residentMb());
            records.push_back(simRecordMb(options.facades));
        }
        if (elapsed >= next) {
            std::printf("soak: %.0f s, %lld sessions, %lld samples, RSS %.1f MB\n", elapsed,
                        totals.sessions.load(), totals.samples.load(), residentMb());
            std::fflush(stdout);
            next += 10;
        }
    }
    for (auto& t : threads)
        t.join();
    done = true;
    propertyThread.join();
    for (auto& h : headsets) {
        std::lock_guard<std::mutex> lock(h->calls);
        h->facade.closeDevice();
    }
    const double last = residentMb();
    if (readings.size() < 2) {
        readings.assign(2, last);
        records.assign(2, simRecordMb(options.facades));
    }
    const auto half = static_cast<std::ptrdiff_t>(readings.size() / 2);
    const double early = median(readings.begin(), readings.begin() + half);
    const double late = median(readings.begin() + half, readings.end());
    const double simGrowth = median(records.begin() + half, records.end()) - median(records.begin(), records.begin() + half);
    const double highest = *std::max_element(readings.begin(), readings.end());
    const double growth = late - early - simGrowth;
    if (growth > options.rssGrowthMb)
        failures.add("resident memory grew by " + std::to_string(growth) + " MB after the warm-up");

    const double seconds = msSince(start) / 1000;
    const double streamHours = static_cast<double>(totals.samples + totals.fillers) / 250 / 3600;
    std::printf("soak: %.1f s, %d facades, %lld sessions, %lld samples and %lld fillers accounted for "
                "(%.2f h of stream), %lld property calls\n",
                seconds, options.facades, totals.sessions.load(), totals.samples.load(), totals.fillers.load(),
                streamHours, totals.propertyCalls.load());
    std::printf("soak: RSS after the warm-up: median %.1f MB, then %.1f MB (%+.1f MB, %+.1f MB without the "
                "virtual headset's record of host writes), at most %.1f MB; %.1f MB once closed\n",
                early, late, late - early, growth, highest, last);
    std::printf("soak: longest calls: %s\n", longest.text().c_str());
    for (const std::string& failure : failures.all())
        std::printf("soak: FAILED: %s\n", failure.c_str());
    if (!failures.any())
        std::printf("soak: OK\n");
    std::remove("log.txt");
    if (chdir("/") == 0)
        rmdir(folder);
    return failures.any() ? 1 : 0;
}
