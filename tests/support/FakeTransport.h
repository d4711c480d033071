#ifndef ONDIRA_TESTS_SUPPORT_FAKETRANSPORT_H
#define ONDIRA_TESTS_SUPPORT_FAKETRANSPORT_H

// The engine's fake transport: the virtual headset's model (dongles, headsets,
// faults as configuration keys) on a manual clock, handed to FTDIDevice as a
// table of D2XX entry points, and a fake clock for the engine. No GoogleTest:
// the engine's unit tests, the fault scenarios and the engine's fuzz target
// share it, each with its own way of reporting a failure.
//
// Time moves only when the engine sleeps. Each sleep lasts until fake time
// has reached its end; how the worker's sleeps are paced depends on the
// stepping:
//
// - Flowing (unit tests and scenarios): the worker runs alongside the test,
//   and time moves only while the test lets it flow (a Flow object lives:
//   while the test waits for something, closes the engine, or the engine
//   itself waits for a reply) or the worker is being stopped. A worker poll
//   advances time by 100 ms at once; a wait between requests on the
//   application's thread advances it and then lets the worker read and parse
//   whatever has arrived, so that exchanges see their replies as they would
//   in real time, only without waiting for them. While the test's own code
//   runs, fake time stands still, so that what it does lands at a moment it
//   knows.
// - Lockstep (the fuzz target): one thread runs at a time, so that a run
//   depends on nothing but its input. The worker waits at its first call
//   into the transport and at every sleep until it is given a turn: step()
//   gives it one and returns when the worker sleeps again (or has ended); a
//   wait between requests on the application's thread steps the worker
//   until the wait is over, so that it polls at its own pace meanwhile. A
//   worker that is being stopped runs on without turns, while the thread
//   that stops it waits for it.
//
// It also watches the device's byte stream: a status query, read or write
// that begins while another thread is inside one is counted as an overlap.

#include "World.h"
#include "device/D2xxLoader.h"
#include "engine/EngineClock.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ondira {
class ReaderEngine;
}

namespace ondira_engine_test {

/// A command packet the host wrote, without its zero preamble.
struct Command {
    std::vector<unsigned char> bytes;
    long long atMs; ///< fake milliseconds since the configuration
};

class FakeTransport
{
public:
    /// Wall-clock time (ms since 1970) at fake time 0.
    static constexpr long long EPOCH_MS = 1700000000000LL;

    enum class Stepping { Flowing, Lockstep };
    /// Told what went wrong: a bad configuration or change, or an engine that
    /// does not move on. The default prints the message and aborts.
    using FailureHandler = std::function<void(const std::string&)>;

    /// `config` holds the virtual headset's keys (sim/README.md).
    explicit FakeTransport(const std::string& config, Stepping stepping = Stepping::Flowing,
                           FailureHandler onFailure = {});
    ~FakeTransport();

    FakeTransport(const FakeTransport&) = delete;
    FakeTransport& operator=(const FakeTransport&) = delete;

    /// Lets fake time flow while it lives.
    class Flow
    {
    public:
        explicit Flow(FakeTransport& fake);
        ~Flow();
        Flow(const Flow&) = delete;
        Flow& operator=(const Flow&) = delete;

    private:
        FakeTransport& fake;
    };

    ondira::D2xxBinding binding() const;
    ondira::EngineClock clock();
    /// Tells the clock which thread is the engine's worker and whether it runs.
    void attach(const ondira::ReaderEngine* engine);

    /// Fake milliseconds since the configuration.
    long long elapsedMs();
    /// Fake time at which the worker last went to sleep, having read what had
    /// arrived by then; -1 before its first sleep.
    long long workerSleptAtMs() const { return workerSleptAt.load(); }
    /// Lockstep: lets the worker run from its sleep (or its start) to its next
    /// sleep, or to its end. Its sleep ends at once if fake time has passed
    /// its end meanwhile; otherwise time moves on to that end. Does nothing
    /// while no worker runs.
    void step();

    /// Changes per-device keys now ("headset=off"), or when fake time reaches
    /// `atMs`.
    void set(int device, const std::string& changes);
    void setAt(long long atMs, int device, const std::string& changes);
    /// Bytes arriving from the radio side now.
    void inject(int device, const std::vector<unsigned char>& bytes);
    /// Bytes that arrive from the radio side when the next start command is
    /// written: a hand-made answer to a start, in place of the headset's own.
    void answerNextStart(int device, const std::vector<unsigned char>& bytes);
    /// Makes an entry point fail while `condition` holds (checked on every call).
    void failWhen(std::function<bool(ondira_sim::EntryPoint)> condition);

    int deviceCount();
    OndiraSimDeviceState state(int device);
    /// The raw channel values of the device's sample `index` (ondira_sim_sample).
    std::array<std::uint16_t, 4> sample(int device, std::uint64_t index);
    std::vector<Command> commands(int device);
    /// Register writes among the commands: address and value.
    std::vector<std::pair<std::uint32_t, std::uint16_t>> registerWrites(int device);
    int streamCommands(int device, std::uint16_t value);
    /// Fake times (ms) of the reads that returned data.
    std::vector<long long> readTimes();

    /// Makes each command's zero preamble wait (up to 100 ms of real time)
    /// for another thread to touch the byte stream, to show whether anything
    /// can get between a preamble and its command.
    void holdPreambles(bool hold) { holdingPreambles = hold; }
    int overlaps() const { return overlapCount.load(); }

private:
    struct Change {
        long long atMs;
        int device;
        std::string text;
    };
    struct Trampolines;

    /// Moves fake time on to `ms` unless it is there already.
    void advanceTo(long long ms);
    void waitForFlow();
    /// Lockstep: on the worker, ends its turn (when `yield`) and waits for the
    /// next one; returns at once while the worker is being stopped.
    void awaitTurn(bool yield);
    bool onWorker() const;
    void fail(const std::string& message);
    void applyDue();  // world locked by the caller
    void settle();
    bool failing(ondira_sim::EntryPoint entry);
    void answerStart(void* handle, const unsigned char* bytes, std::uint32_t length);
    void enterStream();
    void leaveStream();

    const Stepping stepping;
    const FailureHandler onFailure;
    ondira_sim::World world;
    std::vector<Change> changes;
    std::vector<std::pair<int, std::vector<unsigned char>>> startAnswers;
    std::function<bool(ondira_sim::EntryPoint)> failCondition;
    const ondira::ReaderEngine* engine = nullptr;
    std::mutex flowMutex;
    std::condition_variable flowChanged;
    int flowing = 0;
    std::mutex turnMutex;
    std::condition_variable turnChanged;
    bool workerTurn = false; // lockstep: the worker may run
    std::atomic<long long> workerSleptAt{-1};
    std::atomic<int> insideStream{0};
    std::atomic<int> overlapCount{0};
    std::atomic<bool> holdingPreambles{false};
    std::atomic<unsigned long> statusQueries{0};
    std::atomic<unsigned long long> bytesRead{0};
    std::vector<long long> reads;

    static FakeTransport* current;
};

} // namespace ondira_engine_test

#endif
