#ifndef ONDIRA_BENCH_BENCHMAIN_H
#define ONDIRA_BENCH_BENCHMAIN_H

// Shared by the benchmark programs: a smoke mode (--smoke) in which every
// benchmark runs briefly, for CTest, and the counting consumer.

#include <ondira/IDataConsumer.h>
#include <ondira/PData.h>

#include <atomic>
#include <functional>
#include <vector>

namespace benchmark {
class State;
}

namespace ondira_bench {

/// True when the program runs as a smoke test: measure briefly, judge nothing.
bool smoke();

/// CPU time of the whole process so far, in seconds.
double processCpuSeconds();

/// The value at fraction `p` (0..1) of the sorted `values`; 0 when empty.
double percentile(std::vector<double> values, double p);

/// Marks the run failed (the program exits with 1) and says why; for what
/// must hold whatever the machine: no allocation per sample, for one.
void fail(benchmark::State& state, const char* why);

/// Keeps the calling thread, and every thread it starts from now on, on the
/// one CPU it runs on: what follows is measured on one core.
void pinToOneCore();

/// Counts the samples it receives; on the first one it remembers its thread,
/// and it can run a probe on that thread at a chosen sample.
class CountingConsumer : public IDataConsumer
{
public:
    void receiveData(PData& data) override;

    long long count() const { return received.load(std::memory_order_acquire); }
    /// Waits (sleeping) until `target` samples have arrived or `seconds` passed.
    bool waitFor(long long target, double seconds) const;
    /// Runs `probe(sample number)` on the delivering thread for every sample.
    void onSample(std::function<void(long long)> probe) { this->probe = std::move(probe); }

private:
    std::atomic<long long> received{0};
    std::function<void(long long)> probe;
};

/// Streams between `start` and `stop` for the benchmark's iterations (500,000
/// samples each, 20,000 in a smoke run) and sets the throughput counters:
/// samples/s, and samples per CPU-second of the whole process (the rate on
/// one core, whatever else the machine runs). `stop` ends the stream and
/// releases the device; its cost is counted. Returns the samples waited for.
long long timeStream(benchmark::State& state, const CountingConsumer& consumer,
                     const std::function<void()>& start, const std::function<void()>& stop);

} // namespace ondira_bench

/// main() for a benchmark program: Google Benchmark's, plus --smoke.
#define ONDIRA_BENCH_MAIN()                                                                         \
    int main(int argc, char** argv) { return ondira_bench::runBenchmarks(argc, argv); }

namespace ondira_bench {
int runBenchmarks(int argc, char** argv);
}

#endif
