#ifndef ONDIRA_LSL_OUTLETSTATE_H
#define ONDIRA_LSL_OUTLETSTATE_H

// What the outlet's threads share. The control thread writes everything but
// the atomics, the queue and the hand-over list before it starts the threads
// and reads it again only after it has joined them.

#include "Sockets.h"

#include <ondira/lsl/Outlet.h>
#include <ondira/lsl/Wire.h>

#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ondira {
namespace lsl {

/// A feed whose handshake the service thread has done, for the data thread
/// to serve from its next sample on.
struct FeedHandover
{
    Fd socket;
    wire::FeedTerms terms;
    std::string unsent; ///< the end of the handshake that did not fit the socket at once
};

struct Counters
{
    std::atomic<int> inlets{ 0 };
    std::atomic<std::uint64_t> feedsServed{ 0 };
    std::atomic<std::uint64_t> samplesPushed{ 0 };
    std::atomic<std::uint64_t> samplesDroppedPushing{ 0 };
    std::atomic<std::uint64_t> samplesDroppedForInlets{ 0 };
    std::atomic<std::uint64_t> stringsCut{ 0 };
    std::atomic<std::uint64_t> queriesAnswered{ 0 };
    std::atomic<std::uint64_t> queriesThrottled{ 0 };
    std::atomic<std::uint64_t> timeProbesAnswered{ 0 };
    std::atomic<std::uint64_t> requestsDeclined{ 0 };
    std::atomic<std::uint64_t> badRequests{ 0 };
    std::atomic<std::uint64_t> connectionsTimedOut{ 0 };
    std::atomic<std::uint64_t> connectionsRefused{ 0 };

    void reset();
};

inline void count(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1)
{
    counter.fetch_add(n, std::memory_order_relaxed);
}

struct Outlet::State
{
    State(StreamInfo info, OutletOptions options);

    StreamInfo info;
    OutletOptions options;
    double rate; ///< as inlets read it back
    std::size_t recordBytes; ///< of a float sample in the queue: timestamp and values
    std::size_t historySamples;

    // The pushing thread's queue to the data thread: whole records, pushed at
    // once. Float record: timestamp (8 bytes), values (4 each); string record:
    // timestamp, length (4 bytes), text.
    boost::lockfree::spsc_queue<std::uint8_t> queue;
    std::vector<std::uint8_t> pushScratch; ///< the pushing thread's
    Fd dataWakeup; ///< samples queued, a feed handed over, or stop
    Fd serviceWakeup; ///< stop

    std::atomic<bool> serving{ false };
    std::atomic<bool> stopping{ false };
    Counters counters;

    // Set by start(), constant while the threads run.
    StreamIdentity identity;
    std::string shortInfo, fullInfo;
    Fd discoverySocket, serviceSocket, listenSocket;
    bool allInterfaces = true;
    in_addr interfaceAddress{};
    in_addr interfaceBroadcast{};
    unsigned interfaceIndex = 0;
    std::vector<in_addr> localAddresses; ///< of every interface, at the start

    std::mutex handoverMutex;
    std::vector<FeedHandover> handovers;

    std::thread serviceThread, dataThread;
};

/// The threads' bodies: they return when `stopping` is set.
void runServiceLoop(Outlet::State& state);
void runDataLoop(Outlet::State& state);

} // namespace lsl
} // namespace ondira

#endif
