#include "FakeTransport.h"

#include "EntryPoints.h"
#include "engine/ReaderEngine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace ondira_sim;

namespace ondira_engine_test {

namespace {
constexpr std::int64_t NS_PER_MS = 1000000;
constexpr std::uint32_t FAILED = 18;
constexpr std::uint32_t PREAMBLE_SIZE = 126;
} // namespace

FakeTransport* FakeTransport::current = nullptr;

// C-callable entry points that run on the current fake's world. FT_Open and
// FT_ListDevices carry no handle, so the fake is found through `current`: one
// fake per process at a time (every test case runs in a process of its own).
// In lockstep a worker that has no turn waits for one before it goes on.
struct FakeTransport::Trampolines {
    static FakeTransport& fake()
    {
        FakeTransport& f = *current;
        f.awaitTurn(false);
        return f;
    }

    static std::uint32_t open(int number, void** handle)
    {
        return fake().failing(EP_OPEN) ? FAILED : ftOpen(fake().world, number, handle);
    }
    static std::uint32_t listDevices(void* count, void* unused, std::uint32_t flags)
    {
        return fake().failing(EP_LIST_DEVICES) ? FAILED
                                               : ftListDevices(fake().world, count, unused, flags);
    }
    static std::uint32_t close(void* handle)
    {
        return fake().failing(EP_CLOSE) ? FAILED : ftClose(fake().world, handle);
    }
    static std::uint32_t read(void* handle, void* buffer, std::uint32_t length, std::uint32_t* count)
    {
        FakeTransport& f = fake();
        f.enterStream();
        const std::uint32_t status =
            f.failing(EP_READ) ? FAILED : ftRead(f.world, handle, buffer, length, count);
        if (status == 0 && *count > 0) {
            WorldLock guard(f.world);
            f.reads.push_back(guard.world.modelNow() / NS_PER_MS);
            f.bytesRead += *count;
        }
        f.leaveStream();
        return status;
    }
    static std::uint32_t write(void* handle, void* buffer, std::uint32_t length, std::uint32_t* count)
    {
        FakeTransport& f = fake();
        f.enterStream();
        const auto* bytes = static_cast<const unsigned char*>(buffer);
        if (f.holdingPreambles && length == PREAMBLE_SIZE
            && std::all_of(bytes, bytes + length, [](unsigned char b) { return b == 0; })) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            while (f.insideStream.load() < 2 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const std::uint32_t status =
            f.failing(EP_WRITE) ? FAILED : ftWrite(f.world, handle, buffer, length, count);
        if (status == 0)
            f.answerStart(handle, bytes, length);
        f.leaveStream();
        return status;
    }
    static std::uint32_t resetDevice(void* handle)
    {
        return fake().failing(EP_RESET_DEVICE) ? FAILED : ftResetDevice(fake().world, handle);
    }
    static std::uint32_t getStatus(void* handle, std::uint32_t* rx, std::uint32_t* tx, std::uint32_t* events)
    {
        FakeTransport& f = fake();
        f.enterStream();
        const std::uint32_t status =
            f.failing(EP_GET_STATUS) ? FAILED : ftGetStatus(f.world, handle, rx, tx, events);
        ++f.statusQueries;
        f.leaveStream();
        return status;
    }
    static std::uint32_t purge(void* handle, std::uint32_t mask)
    {
        return fake().failing(EP_PURGE) ? FAILED : ftPurge(fake().world, handle, mask);
    }
    static std::uint32_t setTimeouts(void* handle, std::uint32_t readMs, std::uint32_t writeMs)
    {
        return fake().failing(EP_SET_TIMEOUTS) ? FAILED
                                               : ftSetTimeouts(fake().world, handle, readMs, writeMs);
    }
    static std::uint32_t getQueueStatus(void* handle, std::uint32_t* rx)
    {
        return ftGetQueueStatus(fake().world, handle, rx);
    }
    static std::uint32_t setBaudRate(void* handle, std::uint32_t baud)
    {
        return fake().failing(EP_SET_BAUD_RATE) ? FAILED : ftSetBaudRate(fake().world, handle, baud);
    }
    static std::uint32_t setDataCharacteristics(void* handle, std::uint8_t word, std::uint8_t stop,
                                                std::uint8_t parity)
    {
        return fake().failing(EP_SET_DATA_CHARACTERISTICS)
            ? FAILED
            : ftSetDataCharacteristics(fake().world, handle, word, stop, parity);
    }
    static std::uint32_t setLatencyTimer(void* handle, std::uint8_t latency)
    {
        return fake().failing(EP_SET_LATENCY_TIMER) ? FAILED
                                                    : ftSetLatencyTimer(fake().world, handle, latency);
    }
};

FakeTransport::FakeTransport(const std::string& config, Stepping stepping, FailureHandler onFailure)
    : stepping(stepping)
    , onFailure(std::move(onFailure))
{
    if (current)
        fail("one fake transport at a time");
    current = this;
    world.manualClock = true;
    world.manualNow = 0;
    if (!world.configure(config.c_str()))
        fail(world.lastError);
}

FakeTransport::~FakeTransport()
{
    current = nullptr;
}

ondira::D2xxBinding FakeTransport::binding() const
{
    ondira::D2xxBinding binding;
    binding.state = ondira::HWDevice::HW_OK;
    d2xx::EntryPoints& ep = binding.entryPoints;
    ep.open = &Trampolines::open;
    ep.listDevices = &Trampolines::listDevices;
    ep.close = &Trampolines::close;
    ep.read = &Trampolines::read;
    ep.write = &Trampolines::write;
    ep.resetDevice = &Trampolines::resetDevice;
    ep.getStatus = &Trampolines::getStatus;
    ep.purge = &Trampolines::purge;
    ep.setTimeouts = &Trampolines::setTimeouts;
    ep.getQueueStatus = &Trampolines::getQueueStatus;
    ep.setBaudRate = &Trampolines::setBaudRate;
    ep.setDataCharacteristics = &Trampolines::setDataCharacteristics;
    ep.setLatencyTimer = &Trampolines::setLatencyTimer;
    return binding;
}

void FakeTransport::fail(const std::string& message)
{
    if (onFailure) {
        onFailure(message);
        return;
    }
    std::fprintf(stderr, "fake transport: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

ondira::EngineClock FakeTransport::clock()
{
    return ondira::EngineClock{
        [this] { return EPOCH_MS + elapsedMs(); },
        [this](unsigned long ms) {
            const long long until = elapsedMs() + static_cast<long long>(ms);
            if (onWorker())
                workerSleptAt = until - static_cast<long long>(ms);
            if (stepping == Stepping::Lockstep) {
                if (onWorker()) {
                    awaitTurn(true);
                    advanceTo(until);
                    return;
                }
                // The worker polls on at its own pace while the application
                // waits.
                while (engine && engine->isWorkerRunning() && elapsedMs() < until)
                    step();
                advanceTo(until);
            } else if (onWorker()) {
                waitForFlow();
                advanceTo(until);
                // Lets other threads in, so that a streaming worker does not
                // run fake time away from a test that waits for it.
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            } else {
                Flow flow(*this);
                advanceTo(until);
                settle();
            }
        }};
}

FakeTransport::Flow::Flow(FakeTransport& fake)
    : fake(fake)
{
    std::lock_guard<std::mutex> lock(fake.flowMutex);
    ++fake.flowing;
    fake.flowChanged.notify_all();
}

FakeTransport::Flow::~Flow()
{
    std::lock_guard<std::mutex> lock(fake.flowMutex);
    --fake.flowing;
}

bool FakeTransport::onWorker() const
{
    return engine && engine->isWorkerThread();
}

void FakeTransport::awaitTurn(bool yield)
{
    if (stepping != Stepping::Lockstep || !onWorker())
        return;
    std::unique_lock<std::mutex> lock(turnMutex);
    if (yield) {
        workerTurn = false;
        turnChanged.notify_all();
    }
    // A worker being stopped is waited for by the thread that stops it.
    while (!workerTurn && !engine->isWorkerStopping())
        turnChanged.wait_for(lock, std::chrono::milliseconds(1));
}

void FakeTransport::step()
{
    if (stepping != Stepping::Lockstep || !engine || !engine->isWorkerRunning())
        return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::unique_lock<std::mutex> lock(turnMutex);
    workerTurn = true;
    turnChanged.notify_all();
    while (workerTurn && engine->isWorkerRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            fail("the worker did not come back to a sleep within 10 s");
            break;
        }
        turnChanged.wait_for(lock, std::chrono::milliseconds(1));
    }
    // A worker that ended in its turn leaves none for the next one.
    workerTurn = false;
}

void FakeTransport::waitForFlow()
{
    // A worker told to stop goes on at once: whoever stops it waits for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::unique_lock<std::mutex> lock(flowMutex);
    while (flowing == 0 && !engine->isWorkerStopping()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            fail("fake time stood still for 10 s: wait through the fixture");
            return;
        }
        flowChanged.wait_for(lock, std::chrono::milliseconds(1));
    }
}

void FakeTransport::attach(const ondira::ReaderEngine* e)
{
    engine = e;
}

long long FakeTransport::elapsedMs()
{
    WorldLock guard(world);
    return world.modelNow() / NS_PER_MS;
}

void FakeTransport::advanceTo(long long ms)
{
    WorldLock guard(world);
    world.manualNow = std::max<std::int64_t>(world.manualNow, ms * NS_PER_MS);
    applyDue();
    world.changed.notify_all();
}

void FakeTransport::applyDue()
{
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Change& a, const Change& b) { return a.atMs < b.atMs; });
    const long long now = world.modelNow() / NS_PER_MS;
    while (!changes.empty() && changes.front().atMs <= now) {
        const Change change = changes.front();
        changes.erase(changes.begin());
        VirtualDevice& device = *world.devices.at(static_cast<std::size_t>(change.device));
        DeviceConfig settings = device.config();
        std::string error;
        if (!parseDeviceChanges(change.text, settings, error)) {
            fail(error);
            continue;
        }
        device.reconfigure(settings, change.atMs * NS_PER_MS);
    }
}

void FakeTransport::settle()
{
    // Lets the worker read and parse every byte that has arrived by now: it
    // has read them all and asked for bytes once more since, which it does
    // only after handling what it read. Bytes that arrive later, as the
    // worker's own sleeps move time on, are not waited for.
    unsigned long long target = bytesRead.load();
    {
        WorldLock guard(world);
        for (const auto& device : world.devices) {
            if (device->isOpen())
                target += device->available(world.modelNow());
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool allRead = false;
    unsigned long mark = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!engine || !engine->isWorkerRunning())
            return;
        if (!allRead && bytesRead.load() >= target) {
            allRead = true;
            mark = statusQueries.load();
        } else if (allRead && statusQueries.load() > mark) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    fail("the worker did not take the bytes that had arrived");
}

void FakeTransport::set(int device, const std::string& text)
{
    WorldLock guard(world);
    VirtualDevice& target = *world.devices.at(static_cast<std::size_t>(device));
    DeviceConfig settings = target.config();
    std::string error;
    if (!parseDeviceChanges(text, settings, error)) {
        fail(error);
        return;
    }
    target.reconfigure(settings, world.modelNow());
    world.changed.notify_all();
}

void FakeTransport::setAt(long long atMs, int device, const std::string& text)
{
    WorldLock guard(world);
    changes.push_back(Change{atMs, device, text});
    applyDue();
}

void FakeTransport::inject(int device, const std::vector<unsigned char>& bytes)
{
    WorldLock guard(world);
    world.devices.at(static_cast<std::size_t>(device))->inject(bytes, world.modelNow());
    world.changed.notify_all();
}

void FakeTransport::answerNextStart(int device, const std::vector<unsigned char>& bytes)
{
    WorldLock guard(world);
    startAnswers.emplace_back(device, bytes);
}

void FakeTransport::answerStart(void* handle, const unsigned char* bytes, std::uint32_t length)
{
    const bool start = length == 19 && bytes[5] == 0xD0 && bytes[9] == 0x02 && bytes[10] == 0x00
        && bytes[15] == 0x0F && bytes[16] == 0xFC;
    if (!start)
        return;
    WorldLock guard(world);
    VirtualDevice* target = world.find(handle);
    for (auto answer = startAnswers.begin(); target && answer != startAnswers.end(); ++answer) {
        if (answer->first == target->number()) {
            target->inject(answer->second, world.modelNow());
            startAnswers.erase(answer);
            return;
        }
    }
}

void FakeTransport::failWhen(std::function<bool(EntryPoint)> condition)
{
    WorldLock guard(world);
    failCondition = std::move(condition);
}

bool FakeTransport::failing(EntryPoint entry)
{
    std::function<bool(EntryPoint)> condition;
    {
        WorldLock guard(world);
        condition = failCondition;
    }
    return condition && condition(entry);
}

void FakeTransport::enterStream()
{
    if (insideStream.fetch_add(1) > 0)
        ++overlapCount;
}

void FakeTransport::leaveStream()
{
    --insideStream;
}

int FakeTransport::deviceCount()
{
    WorldLock guard(world);
    return static_cast<int>(world.devices.size());
}

OndiraSimDeviceState FakeTransport::state(int device)
{
    WorldLock guard(world);
    OndiraSimDeviceState state{};
    world.devices.at(static_cast<std::size_t>(device))->fillState(state, world.modelNow());
    return state;
}

std::array<std::uint16_t, 4> FakeTransport::sample(int device, std::uint64_t index)
{
    WorldLock guard(world);
    std::array<std::uint16_t, 4> raw{};
    world.devices.at(static_cast<std::size_t>(device))->sample(index, raw);
    return raw;
}

std::vector<Command> FakeTransport::commands(int device)
{
    WorldLock guard(world);
    std::vector<Command> result;
    for (const OndiraSimCommand& c : world.devices.at(static_cast<std::size_t>(device))->commandLog())
        result.push_back(Command{std::vector<unsigned char>(c.bytes, c.bytes + c.length),
                                 static_cast<long long>(c.timeMs)});
    return result;
}

std::vector<std::pair<std::uint32_t, std::uint16_t>> FakeTransport::registerWrites(int device)
{
    std::vector<std::pair<std::uint32_t, std::uint16_t>> writes;
    for (const Command& c : commands(device)) {
        if (c.bytes.size() == 19 && c.bytes[5] == 0xD0) {
            const std::uint32_t address = static_cast<std::uint32_t>(c.bytes[7]) << 24
                | static_cast<std::uint32_t>(c.bytes[8]) << 16
                | static_cast<std::uint32_t>(c.bytes[9]) << 8 | c.bytes[10];
            writes.emplace_back(address, static_cast<std::uint16_t>(c.bytes[15] << 8 | c.bytes[16]));
        }
    }
    return writes;
}

int FakeTransport::streamCommands(int device, std::uint16_t value)
{
    const auto writes = registerWrites(device);
    return static_cast<int>(std::count(writes.begin(), writes.end(),
                                       std::make_pair(std::uint32_t{0x200}, value)));
}

std::vector<long long> FakeTransport::readTimes()
{
    WorldLock guard(world);
    return reads;
}

} // namespace ondira_engine_test
