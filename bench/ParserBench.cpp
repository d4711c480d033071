// The packet parser over a realistic byte stream, next to plain copies of the
// same bytes: memcpy, and a loop that hands every byte to a function of its
// own, as the worker hands every byte to the parser.

#include "StreamBytes.h"

#include "protocol/ZAREProtocol.h"

#include <benchmark/benchmark.h>

#include <cstring>

#include "BenchMain.h"

namespace {

using ondira_bench::realisticStream;

const std::vector<std::uint8_t>& stream()
{
    static const std::vector<std::uint8_t> bytes = realisticStream(2000);
    return bytes;
}

void BM_Parser(benchmark::State& state)
{
    const std::vector<std::uint8_t>& bytes = stream();
    ondira::ZAREProtocol parser;
    for (std::uint8_t b : ondira_bench::identityReply())
        parser.processByte(b);
    long long events = 0;
    for (auto _ : state) {
        for (std::uint8_t b : bytes)
            events += parser.processByte(b);
        benchmark::DoNotOptimize(events);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long long>(bytes.size()));
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Parser);

void BM_CopyMemcpy(benchmark::State& state)
{
    const std::vector<std::uint8_t>& bytes = stream();
    std::vector<std::uint8_t> out(bytes.size());
    for (auto _ : state) {
        std::memcpy(out.data(), bytes.data(), bytes.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long long>(bytes.size()));
}
BENCHMARK(BM_CopyMemcpy);

// One call per byte that stores it: the least any per-byte consumer does.
struct ByteSink {
    virtual ~ByteSink() = default;
    virtual bool put(unsigned char byte) = 0;
};
struct CopySink final : ByteSink {
    std::vector<std::uint8_t> out;
    std::size_t at = 0;
    bool put(unsigned char byte) override
    {
        out[at] = byte;
        at = at + 1 == out.size() ? 0 : at + 1;
        return false;
    }
};

void BM_CopyPerByteCall(benchmark::State& state)
{
    const std::vector<std::uint8_t>& bytes = stream();
    CopySink copy;
    copy.out.resize(bytes.size());
    ByteSink* sink = &copy;
    benchmark::DoNotOptimize(sink);
    for (auto _ : state) {
        for (std::uint8_t b : bytes)
            sink->put(b);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long long>(bytes.size()));
}
BENCHMARK(BM_CopyPerByteCall);

} // namespace
ONDIRA_BENCH_MAIN()
