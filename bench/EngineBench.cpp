// The library alone, without the virtual headset: the cost of assembling and
// delivering one sample, and the worker's whole path (FTDIDevice, parser,
// assembly, delivery) over a transport that hands out a prepared stream as
// fast as the worker reads, with the heap allocations it makes per sample.

#include "AllocationCounter.h"
#include "BenchMain.h"
#include "MemoryTransport.h"
#include "StreamBytes.h"

#include "device/FTDIDevice.h"
#include "engine/ReaderEngine.h"
#include "protocol/ZAREProtocol.h"

#include <benchmark/benchmark.h>

#include <QtGlobal>

namespace ondira {

/// Reaches the engine's per-sample step.
class ReaderEngineProbe
{
public:
    static void handlePacket(ReaderEngine& engine) { engine.handlePacket(); }
};

} // namespace ondira

namespace {

using namespace ondira_bench;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// One parser event (a completed sample, no loss, no offset change) assembled
// into a record, timestamped, fed to the calibrator's averages and delivered
// to one consumer that does nothing; every 100th event one calibration pass.
void BM_AssemblyAndDelivery(benchmark::State& state)
{
    qInstallMessageHandler(quiet);
    ondira::FTDIDevice device{ondira::D2xxBinding{}};
    ondira::ZAREProtocol protocol;
    for (std::uint8_t b : identityReply())
        protocol.processByte(b);
    const std::vector<std::uint8_t> bytes = realisticStream(1);
    for (std::size_t i = 0; i < bytes.size() && !protocol.processByte(bytes[i]); ++i) {
    }
    ondira::ReaderEngine engine(&device, &protocol);
    CountingConsumer consumer;
    engine.getSampleProducer().registerConsumer(consumer);
    for (auto _ : state)
        ondira::ReaderEngineProbe::handlePacket(engine);
    state.SetItemsProcessed(state.iterations());
    state.counters["ns/sample"] = benchmark::Counter(1,
                                                     benchmark::Counter::kIsIterationInvariantRate
                                                         | benchmark::Counter::kInvert);
    engine.getSampleProducer().deregisterConsumer(consumer);
}
BENCHMARK(BM_AssemblyAndDelivery);

// The worker's whole path over memory. One iteration streams a fixed number
// of samples; the time is wall time, the work is on the worker's one thread.
void BM_LibraryWorkerPath(benchmark::State& state)
{
    qInstallMessageHandler(quiet);
    pinToOneCore();
    ondira::FTDIDevice device(memoryTransport());
    ondira::ZAREProtocol protocol;
    ondira::ReaderEngine engine(&device, &protocol);
    CountingConsumer consumer;
    const long long warmUp = 5000;
    long long firstCounted = -1;
    unsigned long long allocationsAtFirst = 0, allocationsNow = 0;
    long long samplesNow = 0;
    consumer.onSample([&](long long n) {
        if (n == warmUp) {
            firstCounted = n;
            allocationsAtFirst = threadAllocations();
        }
        allocationsNow = threadAllocations();
        samplesNow = n;
    });
    engine.getSampleProducer().registerConsumer(consumer);
    if (!engine.openDevice()) {
        state.SkipWithError("the engine did not open the memory transport");
        return;
    }
    timeStream(
        state, consumer, [&] { engine.startStreaming(); },
        [&] {
            engine.stopStreaming();
            engine.closeDevice();
            engine.getSampleProducer().deregisterConsumer(consumer);
        });
    if (allocationsCounted() && samplesNow > firstCounted && firstCounted >= 0)
        state.counters["allocs/sample"] = static_cast<double>(allocationsNow - allocationsAtFirst)
            / static_cast<double>(samplesNow - firstCounted);
    if (allocationsNow != allocationsAtFirst)
        fail(state, "the streaming path allocates");
}
BENCHMARK(BM_LibraryWorkerPath)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

ONDIRA_BENCH_MAIN()
