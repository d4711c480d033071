#include "OutletState.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>

namespace ondira {
namespace lsl {

namespace {

constexpr std::size_t PUSH_BATCH = 64; // float samples composed before one queue push

std::size_t queueBytes(const StreamInfo& info, std::size_t recordBytes, std::size_t maxString)
{
    if (info.format == ChannelFormat::String)
        return std::max<std::size_t>(256 * 1024, 4 * (12 + maxString));
    // Two seconds of samples, at least 64 KiB: the data thread drains it on
    // every push, and every 100 ms without inlets.
    const double twoSeconds = std::ceil(2 * std::max(info.nominalRate, 1.0));
    return std::max<std::size_t>(64 * 1024, static_cast<std::size_t>(twoSeconds) * recordBytes);
}

std::string randomUid()
{
    std::random_device device;
    std::uint8_t bytes[16];
    for (std::size_t i = 0; i < sizeof bytes; i += 4) {
        const std::uint32_t word = device();
        std::memcpy(bytes + i, &word, 4);
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string hostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return name;
}

std::string checkOptions(const OutletOptions& options)
{
    if (!(options.bufferSeconds > 0) || options.bufferSeconds > 3600)
        return "the buffer must hold more than 0 and at most 3600 seconds";
    if (options.portRange < 0 || options.portRange > 1000 || options.basePort == 0)
        return "the data ports must start above 0 and span at most 1000";
    if (!(options.requestTimeoutSeconds > 0) || options.requestTimeoutSeconds > 600)
        return "the request time limit must lie in (0, 600] seconds";
    if (options.maxConnections < 1 || options.maxConnections > 1000)
        return "the connection limit must lie in 1..1000";
    if (options.maxStringBytes < 1 || options.maxStringBytes > 1024 * 1024)
        return "the longest string must lie in 1 byte..1 MiB";
    if (!(options.queryCpuShare > 0) || options.queryCpuShare > 1)
        return "the share of a core for queries must lie in (0, 1]";
    return {};
}

/// Joins LSL's groups on the given interfaces; a group that cannot be joined
/// on one of them is left out there.
void joinGroups(int socket, const std::vector<Interface>& interfaces)
{
    for (const char* group : wire::MULTICAST_GROUPS) {
        for (const Interface& interface : interfaces) {
            ip_mreqn request{};
            inet_pton(AF_INET, group, &request.imr_multiaddr);
            request.imr_address = interface.address;
            request.imr_ifindex = static_cast<int>(interface.index);
            setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
        }
    }
}

void accountPush(Outlet::State& s, std::size_t accepted, std::size_t offered)
{
    count(s.counters.samplesPushed, accepted);
    if (accepted < offered)
        count(s.counters.samplesDroppedPushing, offered - accepted);
    // Without inlets the data thread looks at the queue every 100 ms anyway.
    if (accepted > 0 && s.counters.inlets.load(std::memory_order_relaxed) > 0)
        signal(s.dataWakeup);
}

} // namespace

void Counters::reset()
{
    inlets = 0;
    for (auto* counter :
        { &feedsServed, &samplesPushed, &samplesDroppedPushing, &samplesDroppedForInlets,
            &stringsCut, &queriesAnswered, &queriesThrottled, &timeProbesAnswered,
            &requestsDeclined, &badRequests, &connectionsTimedOut, &connectionsRefused })
        counter->store(0);
}

Outlet::State::State(StreamInfo streamInfo, OutletOptions outletOptions)
    : info(std::move(streamInfo))
    , options(std::move(outletOptions))
    , rate(rateAsSeen(info.nominalRate))
    , recordBytes(8 + 4 * static_cast<std::size_t>(std::max(info.channelCount, 0)))
    , historySamples(static_cast<std::size_t>(std::clamp(
          std::ceil(options.bufferSeconds * (info.nominalRate > 0 ? info.nominalRate : 100.0)), 1.0,
          1e8)))
    , queue(
          queueBytes(info, recordBytes, std::min<std::size_t>(options.maxStringBytes, 1024 * 1024)))
    , dataWakeup(makeWakeup())
    , serviceWakeup(makeWakeup())
{
    pushScratch.resize(info.format == ChannelFormat::String ? 12 + options.maxStringBytes
                                                            : PUSH_BATCH * recordBytes);
}

Outlet::Outlet(StreamInfo info, OutletOptions options)
    : state(std::make_unique<State>(std::move(info), std::move(options)))
{
}

Outlet::~Outlet()
{
    stop();
}

bool Outlet::running() const
{
    return state->serving.load(std::memory_order_acquire);
}

bool Outlet::start(std::string& error)
{
    State& s = *state;
    if (s.serviceThread.joinable())
        return true;
    error = checkStreamInfo(s.info);
    if (error.empty())
        error = checkOptions(s.options);
    if (error.empty() && (!s.dataWakeup || !s.serviceWakeup))
        error = "cannot create an event descriptor: " + lastError();
    if (!error.empty()) {
        error = "LSL outlet '" + s.info.name + "': " + error;
        return false;
    }
    const auto fail = [&](const std::string& what) {
        error = "LSL outlet '" + s.info.name + "': " + what;
        s.discoverySocket.reset();
        s.serviceSocket.reset();
        s.listenSocket.reset();
        return false;
    };

    // Which interfaces.
    const std::vector<Interface> interfaces = ipv4Interfaces();
    s.localAddresses.clear();
    for (const Interface& interface : interfaces)
        s.localAddresses.push_back(interface.address);
    std::vector<Interface> served;
    s.allInterfaces = s.options.interfaceAddress.empty();
    s.interfaceAddress.s_addr = htonl(INADDR_ANY);
    if (s.allInterfaces) {
        for (const Interface& interface : interfaces) {
            if (interface.multicast)
                served.push_back(interface);
        }
    } else {
        if (inet_pton(AF_INET, s.options.interfaceAddress.c_str(), &s.interfaceAddress) != 1)
            return fail("'" + s.options.interfaceAddress + "' is not an IPv4 address");
        const auto found = std::find_if(interfaces.begin(), interfaces.end(),
            [&](const Interface& i) { return i.address.s_addr == s.interfaceAddress.s_addr; });
        if (found == interfaces.end()) {
            std::string known;
            for (const Interface& interface : interfaces)
                known += (known.empty() ? "" : ", ") + addressText(interface.address);
            return fail(s.options.interfaceAddress
                + " is not an address of this machine; use one of: " + known);
        }
        s.interfaceIndex = found->index;
        s.interfaceBroadcast = found->broadcast;
        served.push_back(*found);
    }

    // The service port (time probes, unicast queries) and the data port.
    s.serviceSocket = Fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    s.listenSocket = Fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.serviceSocket || !s.listenSocket)
        return fail("cannot open a socket: " + lastError());
    const int on = 1;
    setsockopt(s.listenSocket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    s.identity = StreamIdentity{};
    if (!bindInRange(s.serviceSocket.get(), s.interfaceAddress, s.options.basePort,
            s.options.portRange, s.identity.servicePort)
        || !bindInRange(s.listenSocket.get(), s.interfaceAddress, s.options.basePort,
            s.options.portRange, s.identity.dataPort))
        return fail("cannot bind a data or service port from " + std::to_string(s.options.basePort)
            + ": " + lastError());
    if (listen(s.listenSocket.get(), 16) != 0)
        return fail("cannot listen on TCP port " + std::to_string(s.identity.dataPort) + ": "
            + lastError());

    // The discovery port, shared with every other outlet of the machine.
    s.discoverySocket = Fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.discoverySocket)
        return fail("cannot open a socket: " + lastError());
    setsockopt(s.discoverySocket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(s.discoverySocket.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(s.options.discoveryPort);
    if (bind(s.discoverySocket.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        return fail("UDP port " + std::to_string(s.options.discoveryPort)
            + " (LSL discovery) is taken by a "
              "program that does not share it ("
            + lastError() + "); close that program");
    if (s.options.joinMulticast)
        joinGroups(s.discoverySocket.get(), served);

    s.identity.uid = randomUid();
    s.identity.sessionId = s.options.sessionId;
    s.identity.hostname = hostName();
    s.identity.createdAt = localClock();
    s.shortInfo = infoXml(s.info, s.identity, InfoPart::Short);
    s.fullInfo = infoXml(s.info, s.identity, InfoPart::Full);

    s.counters.reset();
    s.stopping = false;
    // What a pushing thread left in the queue before this start is stale. No
    // data thread runs now: this thread is the queue's reader until it starts one.
    s.queue.consume_all([](std::uint8_t) {});
    drain(s.dataWakeup);
    drain(s.serviceWakeup);
    s.serviceThread = std::thread([&s] { runServiceLoop(s); });
    s.dataThread = std::thread([&s] { runDataLoop(s); });
    s.serving.store(true, std::memory_order_release);
    return true;
}

void Outlet::stop()
{
    State& s = *state;
    if (!s.serviceThread.joinable())
        return;
    s.serving.store(false, std::memory_order_release);
    s.stopping.store(true, std::memory_order_release);
    signal(s.dataWakeup);
    signal(s.serviceWakeup);
    s.serviceThread.join();
    s.dataThread.join();
    {
        std::lock_guard<std::mutex> lock(s.handoverMutex);
        s.handovers.clear();
    }
    s.counters.inlets = 0;
    s.discoverySocket.reset();
    s.serviceSocket.reset();
    s.listenSocket.reset();
}

bool Outlet::pushSamples(const float* values, const double* timestamps, std::size_t count)
{
    State& s = *state;
    if (!s.serving.load(std::memory_order_acquire) || s.info.format != ChannelFormat::Float32)
        return false;
    const std::size_t channels = static_cast<std::size_t>(s.info.channelCount);
    const double period = s.rate > 0 ? 1.0 / s.rate : 0;
    double stamp = 0;
    if (timestamps == nullptr && count > 0)
        stamp = localClock() - static_cast<double>(count - 1) * period;
    std::size_t accepted = 0;
    for (std::size_t first = 0; first < count; first += PUSH_BATCH) {
        const std::size_t batch = std::min(PUSH_BATCH, count - first);
        std::uint8_t* at = s.pushScratch.data();
        for (std::size_t i = first; i < first + batch; ++i) {
            double timestamp = stamp;
            if (timestamps != nullptr)
                timestamp = timestamps[i];
            else
                stamp += period;
            std::memcpy(at, &timestamp, 8);
            std::memcpy(at + 8, values + i * channels, channels * sizeof(float));
            at += s.recordBytes;
        }
        // Whole records only: the data thread takes what it finds as records.
        const std::size_t room = s.queue.write_available() / s.recordBytes;
        const std::size_t fits = std::min(batch, room);
        if (fits > 0)
            s.queue.push(s.pushScratch.data(), fits * s.recordBytes);
        accepted += fits;
    }
    accountPush(s, accepted, count);
    return accepted == count;
}

bool Outlet::pushString(const std::string& text, double timestamp)
{
    State& s = *state;
    if (!s.serving.load(std::memory_order_acquire) || s.info.format != ChannelFormat::String)
        return false;
    const std::size_t length = std::min(text.size(), s.options.maxStringBytes);
    if (length < text.size())
        count(s.counters.stringsCut);
    const auto size = static_cast<std::uint32_t>(length);
    std::uint8_t* at = s.pushScratch.data();
    std::memcpy(at, &timestamp, 8);
    std::memcpy(at + 8, &size, 4);
    std::memcpy(at + 12, text.data(), length);
    const bool fits = s.queue.write_available() >= 12 + length;
    if (fits)
        s.queue.push(s.pushScratch.data(), 12 + length);
    accountPush(s, fits ? 1 : 0, 1);
    return fits;
}

OutletStats Outlet::stats() const
{
    const Counters& c = state->counters;
    OutletStats result;
    result.inlets = c.inlets.load(std::memory_order_relaxed);
    result.feedsServed = c.feedsServed.load(std::memory_order_relaxed);
    result.samplesPushed = c.samplesPushed.load(std::memory_order_relaxed);
    result.samplesDroppedPushing = c.samplesDroppedPushing.load(std::memory_order_relaxed);
    result.samplesDroppedForInlets = c.samplesDroppedForInlets.load(std::memory_order_relaxed);
    result.stringsCut = c.stringsCut.load(std::memory_order_relaxed);
    result.queriesAnswered = c.queriesAnswered.load(std::memory_order_relaxed);
    result.queriesThrottled = c.queriesThrottled.load(std::memory_order_relaxed);
    result.timeProbesAnswered = c.timeProbesAnswered.load(std::memory_order_relaxed);
    result.requestsDeclined = c.requestsDeclined.load(std::memory_order_relaxed);
    result.badRequests = c.badRequests.load(std::memory_order_relaxed);
    result.connectionsTimedOut = c.connectionsTimedOut.load(std::memory_order_relaxed);
    result.connectionsRefused = c.connectionsRefused.load(std::memory_order_relaxed);
    return result;
}

std::uint16_t Outlet::dataPort() const
{
    return state->identity.dataPort;
}

std::uint16_t Outlet::servicePort() const
{
    return state->identity.servicePort;
}

const std::string& Outlet::uid() const
{
    return state->identity.uid;
}

const StreamInfo& Outlet::info() const
{
    return state->info;
}

} // namespace lsl
} // namespace ondira
