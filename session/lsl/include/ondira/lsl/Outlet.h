#ifndef ONDIRA_LSL_OUTLET_H
#define ONDIRA_LSL_OUTLET_H

#include <ondira/lsl/Clock.h>
#include <ondira/lsl/StreamInfo.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ondira {
namespace lsl {

struct OutletOptions
{
    /// "" serves every IPv4 interface (as LSL tools do); an address of this
    /// machine, e.g. "127.0.0.1", serves that interface alone: the data and
    /// service ports are bound to it, and discovery queries are answered only
    /// when they arrive on it or come from this machine.
    std::string interfaceAddress;
    /// Join LSL's multicast groups (wire::MULTICAST_GROUPS) on the served
    /// interfaces, so that resolvers on the network find the stream. Without,
    /// it is found by broadcast and unicast queries only.
    bool joinMulticast = true;
    /// Seconds of samples kept for an inlet that does not keep up (irregular
    /// streams: 100 samples a second); an inlet may ask for less. Beyond it
    /// the inlet loses its oldest samples.
    double bufferSeconds = 360;
    /// LSL's ports: queries on discoveryPort, data and service ports from
    /// basePort up.
    std::uint16_t discoveryPort = 16571;
    std::uint16_t basePort = 16572;
    int portRange = 32;
    /// A connection that has not completed its request by then is closed.
    double requestTimeoutSeconds = 5;
    /// Open connections (inlets and requests); a new one beyond it takes the
    /// place of the oldest that is still requesting, or is closed.
    int maxConnections = 64;
    /// The kernel's send buffer per connection, in bytes; 0: the system's.
    int socketSendBufferBytes = 0;
    /// A longer string sample is cut to this length.
    std::size_t maxStringBytes = 16384;
    /// LSL's session id, which a lab may set to keep its experiments apart.
    std::string sessionId = "default";
    /// Share of a core that evaluating new discovery queries may take; beyond
    /// it, queries not seen before go unanswered until the share recovers.
    double queryCpuShare = 0.25;
};

/// What the outlet did so far (since its last start). Any thread.
struct OutletStats
{
    int inlets = 0; ///< data feeds being served now
    std::uint64_t feedsServed = 0; ///< data feeds that began
    std::uint64_t samplesPushed = 0; ///< accepted by pushSamples/pushString
    std::uint64_t samplesDroppedPushing
        = 0; ///< the outlet's own queue was full (it never should be)
    std::uint64_t samplesDroppedForInlets = 0; ///< lost by inlets that did not keep up, summed
    std::uint64_t stringsCut = 0; ///< strings longer than maxStringBytes
    std::uint64_t queriesAnswered = 0; ///< discovery and short-info queries that matched
    std::uint64_t queriesThrottled = 0; ///< left unanswered for their cost
    std::uint64_t timeProbesAnswered = 0;
    std::uint64_t requestsDeclined = 0; ///< feeds answered 404 or 505
    std::uint64_t badRequests = 0; ///< malformed, oversized or refused requests and datagrams
    std::uint64_t connectionsTimedOut = 0; ///< requests not completed in time
    std::uint64_t connectionsRefused = 0; ///< beyond maxConnections
};

/// One LSL stream (protocol 1.10) published on the network: inlets find it
/// by discovery, read its XML, take its samples with their timestamps, and
/// probe its clock. A process may hold several outlets (EEG and markers);
/// outlets of several processes share the discovery port.
///
/// Threads. The outlet runs two threads of its own between start() and
/// stop(): a service thread (discovery, time probes, TCP requests, feed
/// handshakes) and a data thread (the samples to every inlet). Nothing the
/// network does blocks either for long, nor the pushing thread at all.
/// - start, stop and the destructor: one control thread, never at once.
/// - pushSamples / pushString: one producer thread at a time (which may be
///   the control thread), also while start or stop run; they never block on
///   the network and, once warm, allocate nothing.
/// - stats: any thread. dataPort, servicePort, uid: the control thread, after
///   start.
class Outlet
{
public:
    Outlet(StreamInfo info, OutletOptions options = {});
    /// Stops and joins its threads.
    ~Outlet();
    Outlet(const Outlet&) = delete;
    Outlet& operator=(const Outlet&) = delete;

    /// Checks the stream info, binds the ports and starts serving. False, with
    /// `error` saying what is wrong and what to do, when it cannot; nothing
    /// runs then. True at once when already started.
    bool start(std::string& error);
    /// Closes every connection and port, joins the threads. The outlet may be
    /// started again (with a new uid: inlets find it again by its source id).
    void stop();
    bool running() const;

    /// Float32 streams: `count` samples of channelCount values each,
    /// interleaved, with one timestamp each in localClock() seconds. Without
    /// timestamps the last sample is stamped now and each one before it one
    /// sampling period earlier (irregular streams: all now). False when the
    /// outlet is not running or not a float stream, or when the samples did
    /// not fit into its queue (counted in samplesDroppedPushing).
    bool pushSamples(const float* values, const double* timestamps, std::size_t count);
    /// String streams: one sample, cut to maxStringBytes.
    bool pushString(const std::string& text, double timestamp);

    OutletStats stats() const;
    std::uint16_t dataPort() const;
    std::uint16_t servicePort() const;
    const std::string& uid() const;
    const StreamInfo& info() const;

    struct State;

private:
    std::unique_ptr<State> state;
};

} // namespace lsl
} // namespace ondira

#endif
