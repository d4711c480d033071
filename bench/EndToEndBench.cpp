// The shipped libondira.so end to end: worker, FTDIDevice, parser, assembly
// and delivery, with the virtual headset handing out packets as fast as the
// host reads (its fast mode), and the heap allocations per sample on the
// worker's thread, the virtual headset's included.

#include "AllocationCounter.h"
#include "BenchMain.h"

#include <ondira/Ondira.h>

#include "ondira_sim.h"

#include <benchmark/benchmark.h>

#include <QtGlobal>

namespace {

using namespace ondira_bench;

// The fastest the real link carries: 921600 baud, 10 bits a byte, 59 bytes
// for a packet of five samples.
constexpr double LINK_SAMPLES_PER_SECOND = 921600.0 / 10 / 59 * 5;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

void BM_EndToEndFastHeadset(benchmark::State& state)
{
    qInstallMessageHandler(quiet);
    pinToOneCore();
    if (ondira_sim_configure("fast=1") != 0) {
        state.SkipWithError(ondira_sim_last_error());
        return;
    }
    Ondira ondira(ONDIRA_BENCH_SIM_LIBRARY);
    CountingConsumer consumer;
    const long long warmUp = 5000;
    unsigned long long allocationsAtFirst = 0, allocationsNow = 0;
    long long samplesNow = 0;
    consumer.onSample([&](long long n) {
        if (n == warmUp)
            allocationsAtFirst = threadAllocations();
        allocationsNow = threadAllocations();
        samplesNow = n;
    });
    ondira.registerConsumer(IDataProcessor::SAMPLE_DATA, consumer);
    if (!ondira.openDevice()) {
        state.SkipWithError("the virtual headset did not open");
        return;
    }
    const long long target = timeStream(
        state, consumer, [&] { ondira.startStreaming(); },
        [&] {
            ondira.stopStreaming();
            ondira.closeDevice();
            ondira.deregisterConsumer(IDataProcessor::SAMPLE_DATA, consumer);
        });
    state.counters["x link"] = benchmark::Counter(static_cast<double>(target) / LINK_SAMPLES_PER_SECOND,
                                                  benchmark::Counter::kIsRate);
    if (allocationsCounted() && samplesNow > warmUp)
        state.counters["allocs/sample"] =
            static_cast<double>(allocationsNow - allocationsAtFirst) / static_cast<double>(samplesNow - warmUp);
    if (allocationsNow != allocationsAtFirst)
        fail(state, "the streaming path allocates");
}
BENCHMARK(BM_EndToEndFastHeadset)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

ONDIRA_BENCH_MAIN()
