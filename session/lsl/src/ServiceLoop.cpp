// The outlet's service thread: discovery queries, time probes, and every TCP
// connection until its request has been answered or its feed handed over to
// the data thread. All sockets are non-blocking; the thread sleeps only in
// poll(), so that a slow or silent client costs it nothing but a descriptor
// until its time limit.

#include "OutletState.h"

#include <ondira/lsl/QueryMatcher.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

namespace ondira {
namespace lsl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int DATAGRAMS_PER_WAKE = 64;
constexpr int ACCEPTS_PER_WAKE = 16;

/// How much time evaluating new queries may take: a share of each second,
/// saved up to one second's worth.
class QueryBudget
{
public:
    explicit QueryBudget(double share)
        : share(share)
        , balance(share)
        , last(Clock::now())
    {
    }

    bool allows()
    {
        const Clock::time_point now = Clock::now();
        balance
            = std::min(share, balance + share * std::chrono::duration<double>(now - last).count());
        last = now;
        return balance > 0;
    }
    void spend(double seconds) { balance -= seconds; }

private:
    double share;
    double balance;
    Clock::time_point last;
};

/// A TCP connection from its accept until its request is answered.
struct Connection
{
    enum class Phase {
        Request, ///< reading the request
        Reply, ///< writing the answer
        Drain, ///< answer sent, write side shut: waiting for the peer to close
    };
    Fd socket;
    Phase phase = Phase::Request;
    std::string input;
    std::string output;
    std::size_t written = 0;
    Clock::time_point deadline;
    Clock::time_point opened;
};

class ServiceLoop
{
public:
    explicit ServiceLoop(Outlet::State& state)
        : s(state)
        , matcher(state.fullInfo)
        , budget(state.options.queryCpuShare)
        , timeLimit(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(state.options.requestTimeoutSeconds)))
    {
    }

    void run();

private:
    void receiveDatagrams(int socket, bool discovery);
    void handleDatagram(const char* data, std::size_t size, const sockaddr_in& from, bool discovery,
        double arrival);
    bool arrivedOnServedInterface(const in_pktinfo& info) const;
    bool fromThisMachine(in_addr source) const;
    QueryMatcher::Verdict match(const std::string& query);
    void acceptConnections();
    /// False when the connection is done with.
    bool serve(Connection& connection, short events);
    bool onRequest(Connection& connection, const wire::TcpRequest& request);
    void reply(Connection& connection, std::string answer);
    bool flush(Connection& connection);

    Outlet::State& s;
    QueryMatcher matcher;
    QueryBudget budget;
    Clock::duration timeLimit;
    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    char datagram[wire::MAX_DATAGRAM + 1];
    char timeReply[wire::TIME_REPLY_CAPACITY];
};

void ServiceLoop::run()
{
    const int fixed = 4;
    while (!s.stopping.load(std::memory_order_acquire)) {
        fds.clear();
        fds.push_back({ s.serviceWakeup.get(), POLLIN, 0 });
        fds.push_back({ s.discoverySocket.get(), POLLIN, 0 });
        fds.push_back({ s.serviceSocket.get(), POLLIN, 0 });
        fds.push_back({ s.listenSocket.get(), POLLIN, 0 });
        Clock::time_point wakeAt = Clock::now() + std::chrono::seconds(1);
        for (const Connection& connection : connections) {
            const short events = connection.phase == Connection::Phase::Reply ? POLLOUT : POLLIN;
            fds.push_back({ connection.socket.get(), events, 0 });
            wakeAt = std::min(wakeAt, connection.deadline);
        }
        const auto wait
            = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - Clock::now());
        const int timeout = static_cast<int>(std::clamp<long long>(wait.count() + 1, 0, 1000));
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents != 0)
            drain(s.serviceWakeup);
        if (s.stopping.load(std::memory_order_acquire))
            break;
        if (fds[1].revents != 0)
            receiveDatagrams(s.discoverySocket.get(), true);
        if (fds[2].revents != 0)
            receiveDatagrams(s.serviceSocket.get(), false);

        // Connections first, then new ones, so that fds and connections line up.
        const Clock::time_point now = Clock::now();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& connection = connections[i];
            bool keep = true;
            if (fds[fixed + i].revents != 0)
                keep = serve(connection, fds[fixed + i].revents);
            if (keep && now >= connection.deadline) {
                if (connection.phase == Connection::Phase::Request)
                    count(s.counters.connectionsTimedOut);
                keep = false;
            }
            if (keep && kept != i)
                connections[kept] = std::move(connection);
            if (keep)
                ++kept;
        }
        connections.resize(kept);
        if (fds[3].revents != 0)
            acceptConnections();
    }
    connections.clear();
}

void ServiceLoop::receiveDatagrams(int socket, bool discovery)
{
    for (int n = 0; n < DATAGRAMS_PER_WAKE; ++n) {
        sockaddr_in from{};
        iovec buffer{ datagram, sizeof datagram };
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &buffer;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = recvmsg(socket, &message, 0);
        if (size < 0)
            return; // EAGAIN: all read; anything else is the next datagram's business
        const double arrival = localClock();
        if (discovery && !s.allInterfaces) {
            const in_pktinfo* info = nullptr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                    info = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c));
            }
            if (!fromThisMachine(from.sin_addr)
                && (info == nullptr || !arrivedOnServedInterface(*info)))
                continue;
        }
        const bool truncated = (message.msg_flags & MSG_TRUNC) != 0;
        handleDatagram(datagram, truncated ? sizeof datagram : static_cast<std::size_t>(size), from,
            discovery, arrival);
    }
}

bool ServiceLoop::fromThisMachine(in_addr source) const
{
    // A resolver of this machine may query through any of its interfaces (a
    // multicast query goes out of each and loops back): it is answered from
    // the served address, where it can connect.
    if ((ntohl(source.s_addr) >> 24) == 127)
        return true;
    return std::any_of(s.localAddresses.begin(), s.localAddresses.end(),
        [&](in_addr local) { return local.s_addr == source.s_addr; });
}

bool ServiceLoop::arrivedOnServedInterface(const in_pktinfo& info) const
{
    // Sent to the served address itself (also from this machine, which
    // arrives on the loopback interface), or to a group or broadcast address
    // on the served interface.
    const in_addr destination = info.ipi_addr;
    if (destination.s_addr == s.interfaceAddress.s_addr)
        return true;
    if (info.ipi_ifindex != static_cast<int>(s.interfaceIndex))
        return false;
    return IN_MULTICAST(ntohl(destination.s_addr)) || destination.s_addr == htonl(INADDR_BROADCAST)
        || (s.interfaceBroadcast.s_addr != 0 && destination.s_addr == s.interfaceBroadcast.s_addr);
}

QueryMatcher::Verdict ServiceLoop::match(const std::string& query)
{
    if (matcher.remembers(query))
        return matcher.evaluate(query);
    if (!budget.allows()) {
        count(s.counters.queriesThrottled);
        return QueryMatcher::Verdict::NoMatch;
    }
    const Clock::time_point begin = Clock::now();
    const QueryMatcher::Verdict verdict = matcher.evaluate(query);
    budget.spend(std::chrono::duration<double>(Clock::now() - begin).count());
    return verdict;
}

void ServiceLoop::handleDatagram(
    const char* data, std::size_t size, const sockaddr_in& from, bool discovery, double arrival)
{
    wire::Datagram request;
    if (wire::parseDatagram(data, size, request) != wire::Parsed::Complete) {
        count(s.counters.badRequests);
        return;
    }
    sockaddr_in to = from;
    if (request.kind == wire::Datagram::Kind::TimeProbe) {
        // The discovery port does not keep time: a probe goes to the service port.
        if (discovery) {
            count(s.counters.badRequests);
            return;
        }
        const std::size_t length
            = wire::formatTimeReply(timeReply, sizeof timeReply, request, arrival, localClock());
        if (sendto(s.serviceSocket.get(), timeReply, length, 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof to)
            == static_cast<ssize_t>(length))
            count(s.counters.timeProbesAnswered);
        return;
    }
    const QueryMatcher::Verdict verdict = match(request.query);
    if (verdict == QueryMatcher::Verdict::Refused)
        count(s.counters.badRequests);
    if (verdict != QueryMatcher::Verdict::Match)
        return;
    const std::string answer = wire::queryReply(request.queryId, s.shortInfo);
    to.sin_port = htons(request.returnPort);
    // From the service port, so that the answer's source is the served address.
    if (sendto(s.serviceSocket.get(), answer.data(), answer.size(), 0,
            reinterpret_cast<const sockaddr*>(&to), sizeof to)
        == static_cast<ssize_t>(answer.size()))
        count(s.counters.queriesAnswered);
}

void ServiceLoop::acceptConnections()
{
    for (int n = 0; n < ACCEPTS_PER_WAKE; ++n) {
        Fd socket(accept4(s.listenSocket.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket)
            return;
        const std::size_t open = connections.size()
            + static_cast<std::size_t>(
                std::max(0, s.counters.inlets.load(std::memory_order_relaxed)));
        if (open >= static_cast<std::size_t>(s.options.maxConnections)) {
            // The oldest connection still requesting makes room; inlets are never cut.
            const auto oldest = std::min_element(connections.begin(), connections.end(),
                [](const Connection& a, const Connection& b) {
                    const bool aRequests = a.phase == Connection::Phase::Request;
                    const bool bRequests = b.phase == Connection::Phase::Request;
                    return aRequests != bRequests ? aRequests : a.opened < b.opened;
                });
            count(s.counters.connectionsRefused);
            if (oldest == connections.end() || oldest->phase != Connection::Phase::Request)
                continue;
            connections.erase(oldest);
        }
        const int on = 1;
        setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // A peer that vanishes without a word is noticed within half a minute.
        const int idle = 10, interval = 5, probes = 3;
        setsockopt(socket.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        setsockopt(socket.get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(socket.get(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        setsockopt(socket.get(), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
        if (s.options.socketSendBufferBytes > 0)
            setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &s.options.socketSendBufferBytes,
                sizeof s.options.socketSendBufferBytes);
        Connection connection;
        connection.socket = std::move(socket);
        connection.opened = Clock::now();
        connection.deadline = connection.opened + timeLimit;
        connections.push_back(std::move(connection));
    }
}

bool ServiceLoop::serve(Connection& connection, short events)
{
    if (connection.phase == Connection::Phase::Reply)
        return flush(connection);
    char buffer[4096];
    // Bounded, so that a peer that sends without pause cannot hold the thread.
    for (int reads = 0; reads < 16; ++reads) {
        const ssize_t n = recv(connection.socket.get(), buffer, sizeof buffer, 0);
        if (n == 0)
            return false; // the peer closed (or gave up on its request)
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? (events & (POLLERR | POLLNVAL)) == 0
                                                           : false;
        if (connection.phase == Connection::Phase::Drain)
            continue; // what a client sends after its request is not read
        connection.input.append(buffer, static_cast<std::size_t>(n));
        wire::TcpRequest request;
        switch (wire::parseTcpRequest(connection.input.data(), connection.input.size(), request)) {
        case wire::Parsed::NeedMore:
            continue;
        case wire::Parsed::Invalid:
            count(s.counters.badRequests);
            return false;
        case wire::Parsed::Complete:
            connection.input.clear();
            connection.input.shrink_to_fit();
            if (!onRequest(connection, request))
                return false;
            if (connection.phase == Connection::Phase::Reply)
                return flush(connection);
            if (!connection.socket)
                return false; // handed over to the data thread
            break;
        }
    }
    return true;
}

bool ServiceLoop::onRequest(Connection& connection, const wire::TcpRequest& request)
{
    using Kind = wire::TcpRequest::Kind;
    switch (request.kind) {
    case Kind::FullInfo:
        reply(connection, s.fullInfo);
        return true;
    case Kind::ShortInfo: {
        const QueryMatcher::Verdict verdict = match(request.query);
        if (verdict == QueryMatcher::Verdict::Refused)
            count(s.counters.badRequests);
        if (verdict == QueryMatcher::Verdict::Match)
            count(s.counters.queriesAnswered);
        // No match: the connection closes without an answer.
        reply(connection, verdict == QueryMatcher::Verdict::Match ? s.shortInfo : std::string());
        return true;
    }
    case Kind::StreamFeed:
    case Kind::LegacyStreamFeed:
        break;
    }
    const wire::FeedTerms terms = wire::negotiate(request, s.info.format, s.identity.uid);
    std::string header
        = wire::feedHeader(terms, s.identity.uid, s.info.format, s.info.channelCount);
    if (terms.answer != wire::FeedAnswer::Accept)
        count(s.counters.requestsDeclined);
    if (terms.answer != wire::FeedAnswer::Accept || terms.bufferSamples == 0) {
        // Declined, or an inlet that asked for no buffer: the handshake alone.
        reply(connection, std::move(header));
        return true;
    }
    const ssize_t sent = send(connection.socket.get(), header.data(), header.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return false;
    FeedHandover handover;
    handover.terms = terms;
    handover.unsent = header.substr(static_cast<std::size_t>(std::max<ssize_t>(sent, 0)));
    handover.socket = std::move(connection.socket);
    {
        std::lock_guard<std::mutex> lock(s.handoverMutex);
        s.handovers.push_back(std::move(handover));
    }
    signal(s.dataWakeup);
    return true;
}

void ServiceLoop::reply(Connection& connection, std::string answer)
{
    connection.phase = Connection::Phase::Reply;
    connection.output = std::move(answer);
    connection.written = 0;
    connection.deadline = Clock::now() + timeLimit;
}

bool ServiceLoop::flush(Connection& connection)
{
    while (connection.written < connection.output.size()) {
        const ssize_t n
            = send(connection.socket.get(), connection.output.data() + connection.written,
                connection.output.size() - connection.written, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        connection.written += static_cast<std::size_t>(n);
    }
    // All written: say so, and let the peer close first, so that no unread
    // byte of its own turns the close into a reset that loses the answer.
    shutdown(connection.socket.get(), SHUT_WR);
    connection.phase = Connection::Phase::Drain;
    connection.output.clear();
    connection.output.shrink_to_fit();
    return true;
}

} // namespace

void runServiceLoop(Outlet::State& state)
{
    pthread_setname_np(pthread_self(), "lsl-service");
    ServiceLoop(state).run();
}

} // namespace lsl
} // namespace ondira
