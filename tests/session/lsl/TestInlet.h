#ifndef ONDIRA_TESTS_LSL_TESTINLET_H
#define ONDIRA_TESTS_LSL_TESTINLET_H

// An LSL 1.10 inlet of the tests' own, written from the protocol's
// description and sharing no code with the outlet: it resolves streams on the
// loopback address, reads the info, connects to a feed and checks its
// handshake and test pattern, reads samples with their timestamps (deducing
// those the outlet leaves out), and probes the outlet's clock. Blocking
// sockets with deadlines; loopback only.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace lsltest {

/// Where the tests' inlets look: 127.0.0.1.
constexpr const char* LOOPBACK = "127.0.0.1";

/// A stream as a discovery answer describes it.
struct Resolved
{
    std::string xml;
    std::string name, type, sourceId, uid, sessionId, hostname, channelFormat, version;
    int channelCount = 0;
    double nominalRate = 0;
    std::uint16_t dataPort = 0;
    std::uint16_t servicePort = 0;
    std::string address; ///< where the answer came from
};

/// Reads the fields of an <info> document (short or full).
bool parseInfo(const std::string& xml, Resolved& out);

/// The ports a resolver on this machine queries: the discovery port and the
/// range of service ports above it.
std::vector<std::uint16_t> resolvePorts(
    std::uint16_t discoveryPort = 16571, std::uint16_t basePort = 16572, int range = 32);

/// Sends `query` as LSL:shortinfo to each port at `address`, three times over
/// `seconds`, and collects the distinct streams (by uid) that answer; returns
/// early once `enough` (> 0) have.
std::vector<Resolved> resolve(const std::string& query, double seconds, std::size_t enough = 0,
    const std::vector<std::uint16_t>& ports = resolvePorts(),
    const std::string& address = LOOPBACK);

/// One datagram to `port`; the answers that arrive within `seconds`, or the
/// first `enough` (> 0).
std::vector<std::string> exchangeDatagram(std::uint16_t port, const std::string& datagram,
    double seconds, std::size_t enough = 0, const std::string& address = LOOPBACK);

/// A TCP connection that sends what it is given and reads what comes.
class Connection
{
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;

    /// `receiveBuffer` > 0 sets SO_RCVBUF before connecting.
    bool open(std::uint16_t port, const std::string& address = LOOPBACK, int receiveBuffer = 0);
    bool isOpen() const { return fd >= 0; }
    bool send(const std::string& bytes);
    /// Exactly `size` bytes within `seconds`; false on timeout or end.
    bool read(void* out, std::size_t size, double seconds);
    /// Everything up to the peer's end, within `seconds`; false on timeout.
    bool readToEnd(std::string& out, double seconds);
    /// Up to and including the next CR LF, within `seconds`.
    bool readLine(std::string& out, double seconds);
    /// Whether the peer closes (end or reset) within `seconds`, reading and
    /// dropping what comes before.
    bool closedWithin(double seconds);
    void close();

private:
    bool fill(double seconds);

    int fd = -1;
    std::string buffered;
    std::size_t position = 0;
};

struct FeedOptions
{
    long long maxBufferLength = 360 * 250;
    long long maxChunkLength = 0;
    int receiveBuffer = 0;
    bool sendUid = true;
};

/// A data feed from an outlet.
class Inlet
{
public:
    /// Connects to `stream`'s data port, sends the feed request, reads the
    /// answer and checks the test pattern. False with `error` said.
    bool connect(const Resolved& stream, const FeedOptions& options, std::string& error);

    /// The next sample within `seconds`.
    bool readFloat(std::vector<float>& values, double& timestamp, double seconds);
    bool readString(std::string& text, double& timestamp, double seconds);

    std::string statusLine;
    std::map<std::string, std::string> headers; ///< of the answer, keys lower-case
    std::uint8_t lastTag = 0; ///< of the last sample read
    Connection connection;

private:
    bool readTimestamp(double& timestamp, double seconds);

    Resolved stream;
    double lastTimestamp = 0;
};

/// The request a liblsl inlet sends for a feed, with the keys it sends.
std::string feedRequest(const std::string& uid, long long maxBufferLength, long long maxChunkLength,
    const std::string& valueSize = "4");

/// The bytes of the two test-pattern samples.
std::string floatTestPattern(int channelCount);
std::string stringTestPattern();

/// One time probe to the service port and its answer.
struct TimeProbe
{
    int waveId = 0;
    double t0 = 0, t1 = 0, t2 = 0, t3 = 0; ///< sent, arrived there, left there, arrived back
};
bool probeTime(std::uint16_t servicePort, int waveId, TimeProbe& out, double seconds);

/// LSL's clock, written again here: seconds of steady_clock.
double clockSeconds();

/// Waits until `condition` holds, looking every few milliseconds, for at most
/// `seconds`; returns its last value.
bool waitUntil(const std::function<bool()>& condition, double seconds = 20);

} // namespace lsltest

#endif
