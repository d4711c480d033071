#include <ondira/session/MarkerInput.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace ondira {
namespace session {

namespace {

/// How often a source's thread looks whether it should end.
constexpr int POLL_MS = 100;

std::string quoted(const std::string& text)
{
    // Shown on a terminal: keep to printable ASCII.
    std::string shown;
    for (unsigned char c : text.substr(0, 40))
        shown += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    return "'" + shown + (text.size() > 40 ? "...'" : "'");
}

} // namespace

struct MarkerInput::Impl {
    explicit Impl(Session& session) : session(session) {}

    void readLines(int fd);
    void readDatagrams(int socket);
    void take(const std::string& text, bool tooLong, const std::string& origin);
    void problem(const std::string& kind, const std::string& text);

    Session& session;
    std::atomic<bool> stopping{false};
    std::vector<std::thread> threads;
    std::vector<int> sockets;

    mutable std::mutex mutex; // guards the four below
    MarkerCounts counts;
    std::set<std::string> kindsSaid;
    std::vector<std::string> problems;
};

void MarkerInput::Impl::problem(const std::string& kind, const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (kindsSaid.insert(kind).second)
        problems.push_back(text);
}

void MarkerInput::Impl::take(const std::string& text, bool tooLong, const std::string& origin)
{
    std::string reason;
    const bool valid = !tooLong && isValidMarkerText(text.data(), text.size(), reason);
    if (tooLong)
        reason = "longer than " + std::to_string(MAX_MARKER_BYTES) + " bytes";
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++counts.received;
        ++(valid ? counts.placed : counts.bad);
    }
    if (!valid) {
        problem("bad: " + reason, "marker " + origin + " refused: " + reason
                                      + " (a marker is 1 to 255 bytes of UTF-8 text); further ones are only counted");
        return;
    }
    const MarkResult result = session.mark(text);
    if (result.placed())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        --counts.placed;
        ++counts.notPlaced;
    }
    problem(std::string("not placed: ") + placementName(result.placement),
        "marker " + quoted(text) + " not placed: " + placementName(result.placement));
}

void MarkerInput::Impl::readLines(int fd)
{
    LineSplitter splitter;
    std::vector<LineSplitter::Line> lines;
    char buffer[4096];
    while (!stopping.load()) {
        pollfd watched{fd, POLLIN, 0};
        const int ready = poll(&watched, 1, POLL_MS);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break; // the end of the input: no more markers from it
        lines.clear();
        splitter.feed(buffer, static_cast<std::size_t>(got), lines);
        for (const LineSplitter::Line& line : lines)
            take(line.text, line.tooLong, "line");
    }
    LineSplitter::Line last;
    if (!stopping.load() && splitter.finish(last))
        take(last.text, last.tooLong, "line");
}

void MarkerInput::Impl::readDatagrams(int socket)
{
    char buffer[MAX_MARKER_BYTES + 1];
    while (!stopping.load()) {
        pollfd watched{socket, POLLIN, 0};
        const int ready = poll(&watched, 1, POLL_MS);
        if (ready <= 0)
            continue;
        sockaddr_in sender{};
        socklen_t size = sizeof sender;
        // MSG_TRUNC: the datagram's whole length, also of one longer than the buffer.
        const ssize_t got = recvfrom(socket, buffer, sizeof buffer, MSG_TRUNC | MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&sender), &size);
        if (got < 0)
            continue;
        char address[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
        const std::string origin = std::string("datagram from ") + address + ":" + std::to_string(ntohs(sender.sin_port));
        const std::size_t length = static_cast<std::size_t>(got);
        take(std::string(buffer, std::min(length, MAX_MARKER_BYTES)), length > MAX_MARKER_BYTES, origin);
    }
}

MarkerInput::MarkerInput(Session& session)
    : d(new Impl(session))
{
}

MarkerInput::~MarkerInput()
{
    stop();
}

bool MarkerInput::start(const MarkerSource& source, std::string& error)
{
    if (source.kind == MarkerSource::Kind::Stdin) {
        d->threads.emplace_back([this] { d->readLines(0); });
        return true;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot make a UDP socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(source.port));
    inet_pton(AF_INET, source.address.c_str(), &address.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = "cannot receive markers on UDP " + source.address + ":" + std::to_string(source.port) + ": "
            + std::strerror(errno);
        close(fd);
        return false;
    }
    d->sockets.push_back(fd);
    d->threads.emplace_back([this, fd] { d->readDatagrams(fd); });
    return true;
}

void MarkerInput::stop()
{
    d->stopping.store(true);
    for (std::thread& thread : d->threads) {
        if (thread.joinable())
            thread.join();
    }
    d->threads.clear();
    for (int fd : d->sockets)
        close(fd);
    d->sockets.clear();
}

MarkerCounts MarkerInput::counts() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->counts;
}

std::vector<std::string> MarkerInput::takeProblems()
{
    std::vector<std::string> taken;
    std::lock_guard<std::mutex> lock(d->mutex);
    taken.swap(d->problems);
    return taken;
}

} // namespace session
} // namespace ondira
