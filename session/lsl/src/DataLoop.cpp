// The outlet's data thread: takes the pushed samples off the queue into the
// history and writes each inlet's feed from its own place in it. Sockets are
// non-blocking: an inlet that does not read keeps its place (and loses its
// oldest samples once it lags by more than it may), the others go on.

#include "OutletState.h"
#include "SampleHistory.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ondira {
namespace lsl {

namespace {

constexpr int POLL_MS = 100;
constexpr std::size_t SEND_BYTES = 16 * 1024; // one write's worth of samples
constexpr int SENDS_PER_WAKE = 8;

struct Inlet
{
    Fd socket;
    std::uint64_t next = 0; ///< the sample it gets next
    bool followsPrevious = false; ///< it got sample next - 1
    std::uint64_t limit = 0; ///< samples it may lag behind the newest
    std::uint64_t chunk = 0; ///< samples per write at most; 0: no limit
    std::vector<std::uint8_t> pending;
    std::size_t sent = 0;
};

class DataLoop
{
public:
    explicit DataLoop(Outlet::State& state)
        : s(state)
        , history(state.info.format, state.info.channelCount, state.historySamples, state.rate)
        , scratch(state.info.format == ChannelFormat::String ? state.options.maxStringBytes
                                                             : 64 * state.recordBytes)
        , values(static_cast<std::size_t>(state.info.channelCount))
        , pendingCapacity(std::max(SEND_BYTES,
              state.info.format == ChannelFormat::String
                  ? wire::stringSampleSize(state.options.maxStringBytes, false)
                  : wire::floatSampleSize(state.info.channelCount, false)))
    {
    }

    void run();

private:
    void drainQueue();
    void adoptHandovers();
    /// False when the inlet is gone.
    bool readFrom(Inlet& inlet);
    bool pump(Inlet& inlet);
    bool fill(Inlet& inlet);
    void close(Inlet& inlet);

    Outlet::State& s;
    SampleHistory history;
    std::vector<Inlet> inlets;
    std::vector<pollfd> fds;
    std::vector<std::uint8_t> scratch;
    std::vector<float> values;
    std::size_t pendingCapacity;
};

void DataLoop::run()
{
    while (!s.stopping.load(std::memory_order_acquire)) {
        fds.clear();
        fds.push_back({ s.dataWakeup.get(), POLLIN, 0 });
        for (const Inlet& inlet : inlets) {
            const bool waiting = inlet.sent < inlet.pending.size();
            fds.push_back(
                { inlet.socket.get(), static_cast<short>(POLLIN | (waiting ? POLLOUT : 0)), 0 });
        }
        if (poll(fds.data(), fds.size(), POLL_MS) < 0 && errno != EINTR)
            break;
        if (fds[0].revents != 0)
            drain(s.dataWakeup);
        if (s.stopping.load(std::memory_order_acquire))
            break;
        drainQueue();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < inlets.size(); ++i) {
            Inlet& inlet = inlets[i];
            const short events = fds[i + 1].revents;
            bool keep = (events & (POLLERR | POLLNVAL)) == 0;
            if (keep && (events & (POLLIN | POLLHUP)) != 0)
                keep = readFrom(inlet);
            if (keep)
                keep = pump(inlet);
            if (!keep)
                close(inlet);
            else if (kept != i)
                inlets[kept] = std::move(inlet);
            if (keep)
                ++kept;
        }
        inlets.resize(kept);
        adoptHandovers();
    }
    for (Inlet& inlet : inlets)
        close(inlet);
    inlets.clear();
}

void DataLoop::drainQueue()
{
    auto& queue = s.queue;
    if (s.info.format == ChannelFormat::Float32) {
        const std::size_t record = s.recordBytes;
        // What is there now, not what keeps coming: the feeds get their turn.
        std::size_t left = queue.read_available() / record;
        while (left > 0) {
            const std::size_t records
                = std::min({ queue.read_available() / record, scratch.size() / record, left });
            if (records == 0)
                return;
            queue.pop(scratch.data(), records * record);
            for (std::size_t r = 0; r < records; ++r) {
                const std::uint8_t* at = scratch.data() + r * record;
                double timestamp = 0;
                std::memcpy(&timestamp, at, 8);
                std::memcpy(values.data(), at + 8, record - 8);
                history.appendFloat(values.data(), timestamp);
            }
            left -= records;
        }
        return;
    }
    std::size_t left = queue.read_available();
    while (left >= 12) {
        std::uint8_t header[12];
        queue.pop(header, 12);
        double timestamp = 0;
        std::uint32_t length = 0;
        std::memcpy(&timestamp, header, 8);
        std::memcpy(&length, header + 8, 4);
        // Records are pushed whole: the text is there.
        const std::size_t size = std::min<std::size_t>(length, scratch.size());
        queue.pop(scratch.data(), size);
        history.appendString(reinterpret_cast<const char*>(scratch.data()), size, timestamp);
        left -= std::min(left, 12 + size);
    }
}

void DataLoop::adoptHandovers()
{
    std::vector<FeedHandover> arrived;
    {
        std::lock_guard<std::mutex> lock(s.handoverMutex);
        if (s.handovers.empty())
            return;
        arrived.swap(s.handovers);
    }
    for (FeedHandover& handover : arrived) {
        Inlet inlet;
        inlet.socket = std::move(handover.socket);
        inlet.next = history.head();
        inlet.limit = std::min<std::uint64_t>(
            static_cast<std::uint64_t>(handover.terms.bufferSamples), history.capacity());
        inlet.chunk = static_cast<std::uint64_t>(handover.terms.chunkSamples);
        inlet.pending.reserve(std::max(pendingCapacity, handover.unsent.size()));
        inlet.pending.assign(handover.unsent.begin(), handover.unsent.end());
        s.counters.inlets.fetch_add(1, std::memory_order_relaxed);
        count(s.counters.feedsServed);
        if (pump(inlet))
            inlets.push_back(std::move(inlet));
        else
            close(inlet);
    }
}

bool DataLoop::readFrom(Inlet& inlet)
{
    // An inlet sends nothing after its request; what comes is read and dropped,
    // and its end is the inlet's end.
    char buffer[1024];
    for (int reads = 0; reads < 4; ++reads) {
        const ssize_t n = recv(inlet.socket.get(), buffer, sizeof buffer, 0);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

bool DataLoop::pump(Inlet& inlet)
{
    for (int writes = 0; writes < SENDS_PER_WAKE; ++writes) {
        if (inlet.sent == inlet.pending.size()) {
            inlet.pending.clear();
            inlet.sent = 0;
            if (!fill(inlet))
                return true;
        }
        const ssize_t n = send(inlet.socket.get(), inlet.pending.data() + inlet.sent,
            inlet.pending.size() - inlet.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        inlet.sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool DataLoop::fill(Inlet& inlet)
{
    const std::uint64_t head = history.head();
    const std::uint64_t keepFrom
        = std::max(history.oldest(), head > inlet.limit ? head - inlet.limit : 0);
    if (inlet.next < keepFrom) {
        count(s.counters.samplesDroppedForInlets, keepFrom - inlet.next);
        inlet.next = keepFrom;
        inlet.followsPrevious = false;
    }
    std::uint64_t samples = 0;
    while (inlet.next < head && (inlet.chunk == 0 || samples < inlet.chunk)) {
        const std::size_t size = history.encodedSize(inlet.next, inlet.followsPrevious);
        const std::size_t used = inlet.pending.size();
        if (used + size > pendingCapacity && samples > 0)
            break;
        inlet.pending.resize(used + size);
        history.encode(inlet.next, inlet.followsPrevious, inlet.pending.data() + used);
        ++inlet.next;
        inlet.followsPrevious = true;
        ++samples;
    }
    return samples > 0;
}

void DataLoop::close(Inlet& inlet)
{
    if (inlet.socket) {
        inlet.socket.reset();
        s.counters.inlets.fetch_sub(1, std::memory_order_relaxed);
    }
}

} // namespace

void runDataLoop(Outlet::State& state)
{
    pthread_setname_np(pthread_self(), "lsl-data");
    DataLoop(state).run();
}

} // namespace lsl
} // namespace ondira
