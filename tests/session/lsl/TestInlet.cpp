#include "TestInlet.h"

#include <pugixml.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>

namespace lsltest {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds)
{
    return Clock::now()
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int millisecondsUntil(Clock::time_point deadline)
{
    const auto left
        = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

sockaddr_in endpoint(const std::string& address, std::uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &result.sin_addr);
    return result;
}

std::string lowercase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(const std::string& text)
{
    const auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

void appendDouble(std::string& out, double value)
{
    char bytes[8];
    std::memcpy(bytes, &value, 8);
    out.append(bytes, 8);
}

void appendFloat(std::string& out, float value)
{
    char bytes[4];
    std::memcpy(bytes, &value, 4);
    out.append(bytes, 4);
}

} // namespace

double clockSeconds()
{
    const long long ns
        = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
              .count();
    return static_cast<double>(ns / 1000000000LL) + static_cast<double>(ns % 1000000000LL) / 1e9;
}

bool waitUntil(const std::function<bool()>& condition, double seconds)
{
    const Clock::time_point end = after(seconds);
    while (!condition()) {
        if (Clock::now() > end)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool parseInfo(const std::string& xml, Resolved& out)
{
    pugi::xml_document document;
    if (!document.load_buffer(xml.data(), xml.size()))
        return false;
    const pugi::xml_node info = document.child("info");
    if (!info)
        return false;
    out.xml = xml;
    out.name = info.child_value("name");
    out.type = info.child_value("type");
    out.sourceId = info.child_value("source_id");
    out.uid = info.child_value("uid");
    out.sessionId = info.child_value("session_id");
    out.hostname = info.child_value("hostname");
    out.channelFormat = info.child_value("channel_format");
    out.version = info.child_value("version");
    out.channelCount = std::atoi(info.child_value("channel_count"));
    out.nominalRate = std::strtod(info.child_value("nominal_srate"), nullptr);
    out.dataPort = static_cast<std::uint16_t>(std::atoi(info.child_value("v4data_port")));
    out.servicePort = static_cast<std::uint16_t>(std::atoi(info.child_value("v4service_port")));
    return !out.uid.empty() && !out.name.empty();
}

std::vector<std::uint16_t> resolvePorts(
    std::uint16_t discoveryPort, std::uint16_t basePort, int range)
{
    std::vector<std::uint16_t> ports{ discoveryPort };
    for (int i = 0; i < range; ++i)
        ports.push_back(static_cast<std::uint16_t>(basePort + i));
    return ports;
}

std::vector<Resolved> resolve(const std::string& query, double seconds, std::size_t enough,
    const std::vector<std::uint16_t>& ports, const std::string& address)
{
    std::vector<Resolved> found;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return found;
    sockaddr_in local = endpoint(LOOPBACK, 0);
    bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    const std::string id = "4711";
    const std::string request = "LSL:shortinfo\r\n" + query + "\r\n"
        + std::to_string(ntohs(local.sin_port)) + " " + id + "\r\n";
    std::set<std::string> uids;
    const Clock::time_point end = after(seconds);
    for (int wave = 0; wave < 3 && Clock::now() < end && (enough == 0 || found.size() < enough);
         ++wave) {
        for (const std::uint16_t port : ports) {
            const sockaddr_in to = endpoint(address, port);
            sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                sizeof to);
        }
        const Clock::time_point waveEnd = std::min(end, after(seconds / 3));
        while (enough == 0 || found.size() < enough) {
            pollfd p{ fd, POLLIN, 0 };
            if (poll(&p, 1, millisecondsUntil(waveEnd)) <= 0)
                break;
            char buffer[65536];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = recvfrom(
                fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n <= 0)
                continue;
            const std::string reply(buffer, static_cast<std::size_t>(n));
            const auto lineEnd = reply.find("\r\n");
            if (lineEnd == std::string::npos || reply.substr(0, lineEnd) != id)
                continue;
            Resolved stream;
            if (!parseInfo(reply.substr(lineEnd + 2), stream) || !uids.insert(stream.uid).second)
                continue;
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            stream.address = text;
            found.push_back(stream);
        }
    }
    ::close(fd);
    return found;
}

std::vector<std::string> exchangeDatagram(std::uint16_t port, const std::string& datagram,
    double seconds, std::size_t enough, const std::string& address)
{
    std::vector<std::string> answers;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return answers;
    const sockaddr_in to = endpoint(address, port);
    sendto(
        fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    const Clock::time_point end = after(seconds);
    while (enough == 0 || answers.size() < enough) {
        pollfd p{ fd, POLLIN, 0 };
        if (poll(&p, 1, millisecondsUntil(end)) <= 0)
            break;
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            answers.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answers;
}

// --- Connection ---

Connection::~Connection()
{
    close();
}

Connection::Connection(Connection&& other) noexcept
    : fd(other.fd)
    , buffered(std::move(other.buffered))
    , position(other.position)
{
    other.fd = -1;
}

Connection& Connection::operator=(Connection&& other) noexcept
{
    if (this != &other) {
        close();
        fd = other.fd;
        buffered = std::move(other.buffered);
        position = other.position;
        other.fd = -1;
    }
    return *this;
}

bool Connection::open(std::uint16_t port, const std::string& address, int receiveBuffer)
{
    close();
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in to = endpoint(address, port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        close();
        return false;
    }
    return true;
}

bool Connection::send(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool Connection::fill(double seconds)
{
    if (position > 0 && position == buffered.size()) {
        buffered.clear();
        position = 0;
    }
    pollfd p{ fd, POLLIN, 0 };
    if (poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0)
        return false;
    char chunk[65536];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0)
        return false;
    buffered.append(chunk, static_cast<std::size_t>(n));
    return true;
}

bool Connection::read(void* out, std::size_t size, double seconds)
{
    const Clock::time_point end = after(seconds);
    while (buffered.size() - position < size) {
        if (!fill(millisecondsUntil(end) / 1000.0))
            return false;
    }
    std::memcpy(out, buffered.data() + position, size);
    position += size;
    return true;
}

bool Connection::readLine(std::string& out, double seconds)
{
    const Clock::time_point end = after(seconds);
    for (;;) {
        const auto found = buffered.find("\r\n", position);
        if (found != std::string::npos) {
            out = buffered.substr(position, found + 2 - position);
            position = found + 2;
            return true;
        }
        if (!fill(millisecondsUntil(end) / 1000.0))
            return false;
    }
}

bool Connection::readToEnd(std::string& out, double seconds)
{
    const Clock::time_point end = after(seconds);
    out = buffered.substr(position);
    buffered.clear();
    position = 0;
    for (;;) {
        pollfd p{ fd, POLLIN, 0 };
        if (poll(&p, 1, millisecondsUntil(end)) <= 0)
            return false;
        char chunk[65536];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return n == 0;
        out.append(chunk, static_cast<std::size_t>(n));
    }
}

bool Connection::closedWithin(double seconds)
{
    const Clock::time_point end = after(seconds);
    for (;;) {
        pollfd p{ fd, POLLIN, 0 };
        if (poll(&p, 1, millisecondsUntil(end)) <= 0)
            return false;
        char chunk[4096];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return true;
    }
}

void Connection::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    buffered.clear();
    position = 0;
}

// --- feeds ---

std::string feedRequest(const std::string& uid, long long maxBufferLength, long long maxChunkLength,
    const std::string& valueSize)
{
    return "LSL:streamfeed/110 " + uid + "\r\n"
        + "Native-Byte-Order: 1234\r\n"
          "Endian-Performance: 1234567\r\n"
          "Has-IEEE754-Floats: 1\r\n"
          "Supports-Subnormals: 1\r\n"
          "Value-Size: "
        + valueSize
        + "\r\n"
          "Data-Protocol-Version: 110\r\n"
          "Max-Buffer-Length: "
        + std::to_string(maxBufferLength)
        + "\r\n"
          "Max-Chunk-Length: "
        + std::to_string(maxChunkLength)
        + "\r\n"
          "Hostname: test\r\n"
          "Source-Id: \r\n"
          "Session-Id: default\r\n"
          "\r\n";
}

std::string floatTestPattern(int channelCount)
{
    std::string bytes;
    for (const int offset : { 4, 2 }) {
        bytes += '\x02';
        appendDouble(bytes, 123456.789);
        for (int k = 0; k < channelCount; ++k)
            appendFloat(bytes, static_cast<float>(k % 2 == 0 ? k + offset : -(k + offset)));
    }
    return bytes;
}

std::string stringTestPattern()
{
    std::string bytes;
    for (int sample = 0; sample < 2; ++sample) {
        bytes += '\x02';
        appendDouble(bytes, 123456.789);
        bytes += std::string("\x01\x02", 2) + "10";
    }
    return bytes;
}

bool Inlet::connect(const Resolved& resolved, const FeedOptions& options, std::string& error)
{
    stream = resolved;
    lastTimestamp = 0;
    headers.clear();
    if (!connection.open(resolved.dataPort, LOOPBACK, options.receiveBuffer)) {
        error = "cannot connect to port " + std::to_string(resolved.dataPort);
        return false;
    }
    const std::string valueSize = resolved.channelFormat == "string" ? "32" : "4";
    if (!connection.send(feedRequest(options.sendUid ? resolved.uid : "", options.maxBufferLength,
            options.maxChunkLength, valueSize))) {
        error = "cannot send the request";
        return false;
    }
    if (!connection.readLine(statusLine, 5)) {
        error = "no status line";
        return false;
    }
    if (statusLine.rfind("LSL/110 200", 0) != 0) {
        error = "declined: " + statusLine;
        return false;
    }
    for (;;) {
        std::string line;
        if (!connection.readLine(line, 5)) {
            error = "the header lines end early";
            return false;
        }
        if (line == "\r\n")
            break;
        const auto colon = line.find(':');
        if (colon != std::string::npos)
            headers[lowercase(trim(line.substr(0, colon)))] = trim(line.substr(colon + 1));
    }
    if (headers["uid"] != resolved.uid || headers["byte-order"] != "1234"
        || headers["data-protocol-version"] != "110") {
        error = "unexpected header lines";
        return false;
    }
    const std::string expected = resolved.channelFormat == "string"
        ? stringTestPattern()
        : floatTestPattern(resolved.channelCount);
    std::string pattern(expected.size(), '\0');
    if (!connection.read(&pattern[0], pattern.size(), 5) || pattern != expected) {
        error = "the test pattern does not match";
        return false;
    }
    return true;
}

bool Inlet::readTimestamp(double& timestamp, double seconds)
{
    if (!connection.read(&lastTag, 1, seconds))
        return false;
    if (lastTag == 1) {
        timestamp = lastTimestamp + (stream.nominalRate > 0 ? 1.0 / stream.nominalRate : 0.0);
    } else if (lastTag == 2) {
        if (!connection.read(&timestamp, 8, seconds))
            return false;
    } else {
        return false;
    }
    lastTimestamp = timestamp;
    return true;
}

bool Inlet::readFloat(std::vector<float>& values, double& timestamp, double seconds)
{
    values.resize(static_cast<std::size_t>(stream.channelCount));
    return readTimestamp(timestamp, seconds)
        && connection.read(values.data(), values.size() * 4, seconds);
}

bool Inlet::readString(std::string& text, double& timestamp, double seconds)
{
    std::uint8_t width = 0;
    if (!readTimestamp(timestamp, seconds) || !connection.read(&width, 1, seconds))
        return false;
    std::uint32_t length = 0;
    if (width == 1) {
        std::uint8_t small = 0;
        if (!connection.read(&small, 1, seconds))
            return false;
        length = small;
    } else if (width != 4 || !connection.read(&length, 4, seconds)) {
        return false;
    }
    text.assign(length, '\0');
    return length == 0 || connection.read(&text[0], length, seconds);
}

bool probeTime(std::uint16_t servicePort, int waveId, TimeProbe& out, double seconds)
{
    std::ostringstream request;
    request.precision(16);
    out.waveId = waveId;
    out.t0 = clockSeconds();
    request << "LSL:timedata\r\n" << waveId << " " << out.t0 << "\r\n";
    const std::vector<std::string> answers
        = exchangeDatagram(servicePort, request.str(), seconds, 1);
    out.t3 = clockSeconds();
    if (answers.size() != 1)
        return false;
    std::istringstream answer(answers[0]);
    int wave = 0;
    double echoed = 0;
    answer >> wave >> echoed >> out.t1 >> out.t2;
    return answer && wave == waveId && std::fabs(echoed - out.t0) < 1e-9;
}

} // namespace lsltest
