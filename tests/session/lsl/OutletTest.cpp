// The outlet on the loopback interface, seen through the tests' own inlet:
// discovery, feeds, time probes, and what misbehaving clients get.

#include "TestInlet.h"

#include <ondira/lsl/Outlet.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

using namespace ondira::lsl;
using namespace lsltest;
using std::chrono::milliseconds;

namespace {

std::string unique(const std::string& what)
{
    return what + "-" + std::to_string(getpid());
}

StreamInfo eegInfo()
{
    StreamInfo info;
    info.name = unique("OndiraTest");
    info.type = "EEG";
    info.channelCount = 4;
    info.nominalRate = 250;
    info.sourceId = unique("dongle");
    for (const char* label : { "Fp1", "Fp2", "O1", "O2" })
        info.channels.push_back({ label, "microvolts", "EEG" });
    info.acquisition = { { "manufacturer", "Ondira" }, { "firmware", "3.5" } };
    return info;
}

StreamInfo markerInfo()
{
    StreamInfo info;
    info.name = unique("OndiraMarkers");
    info.type = "Markers";
    info.format = ChannelFormat::String;
    info.sourceId = unique("markers");
    return info;
}

OutletOptions loopback()
{
    OutletOptions options;
    options.interfaceAddress = LOOPBACK;
    options.requestTimeoutSeconds = 0.5;
    options.bufferSeconds = 10;
    return options;
}

/// A UDP port nobody uses now, for a discovery port of the test's own.
std::uint16_t freeUdpPort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    close(fd);
    return ntohs(local.sin_port);
}

/// Resolves `query` until the stream with `uid` answers (other streams of
/// other tests may answer too).
bool find(const std::string& query, const std::string& uid, Resolved& out,
    const std::vector<std::uint16_t>& ports = resolvePorts(), const std::string& address = LOOPBACK,
    double seconds = 5)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (const Resolved& stream : resolve(query, 0.3, 0, ports, address)) {
            if (stream.uid == uid) {
                out = stream;
                return true;
            }
        }
    }
    return false;
}

class OutletTest : public ::testing::Test
{
protected:
    void startOutlet(StreamInfo info = eegInfo(), OutletOptions options = loopback())
    {
        outlet = std::make_unique<Outlet>(std::move(info), std::move(options));
        std::string error;
        ASSERT_TRUE(outlet->start(error)) << error;
        ASSERT_TRUE(find("source_id='" + outlet->info().sourceId + "'", outlet->uid(), stream));
    }

    void connect(Inlet& inlet, FeedOptions options = {})
    {
        std::string error;
        ASSERT_TRUE(inlet.connect(stream, options, error)) << error;
        ASSERT_TRUE(waitUntil([&] { return outlet->stats().inlets >= 1; }));
    }

    /// Pushes samples n..n+count-1 of a signal where every value and
    /// timestamp tells its sample number; every 100th timestamp jumps.
    void push(int first, int count)
    {
        std::vector<float> values;
        std::vector<double> stamps;
        for (int n = first; n < first + count; ++n) {
            for (int k = 0; k < 4; ++k)
                values.push_back(static_cast<float>(n) + 0.25f * static_cast<float>(k));
            stamps.push_back(stampOf(n));
        }
        ASSERT_TRUE(
            outlet->pushSamples(values.data(), stamps.data(), static_cast<std::size_t>(count)));
    }

    static double stampOf(int n)
    {
        // Whole periods since a start, plus a second after each 100th sample.
        double t = 5000.0 + n / 100;
        for (int i = 0; i < n % 100; ++i)
            t += 1.0 / 250;
        return t;
    }

    /// Reads samples until `last` arrived; returns their numbers in order.
    static std::vector<int> readUpTo(Inlet& inlet, int last, bool& exact, int* deduced = nullptr)
    {
        std::vector<int> numbers;
        std::vector<float> values;
        double stamp = 0;
        exact = true;
        while (inlet.readFloat(values, stamp, 5)) {
            const int n = static_cast<int>(values[0]);
            for (int k = 0; k < 4; ++k)
                exact = exact && values[k] == static_cast<float>(n) + 0.25f * static_cast<float>(k);
            exact = exact && stamp == stampOf(n);
            if (deduced != nullptr && inlet.lastTag == 1)
                ++*deduced;
            numbers.push_back(n);
            if (n == last)
                break;
        }
        return numbers;
    }

    std::unique_ptr<Outlet> outlet;
    Resolved stream;
};

TEST_F(OutletTest, Resolve_ByTypeNameOrSourceId_AndOnlyWhenTheQueryMatches)
{
    startOutlet();
    const StreamInfo& info = outlet->info();
    EXPECT_EQ(stream.name, info.name);
    EXPECT_EQ(stream.type, "EEG");
    EXPECT_EQ(stream.channelCount, 4);
    EXPECT_EQ(stream.nominalRate, 250);
    EXPECT_EQ(stream.channelFormat, "float32");
    EXPECT_EQ(stream.version, "1.100000000000000");
    EXPECT_EQ(stream.dataPort, outlet->dataPort());
    EXPECT_EQ(stream.servicePort, outlet->servicePort());
    EXPECT_EQ(stream.address, "127.0.0.1");
    EXPECT_GE(outlet->dataPort(), 16572);
    Resolved found;
    for (const std::string& query : { std::string("type='EEG'"), "name='" + info.name + "'",
             "type='EEG' and source_id='" + info.sourceId + "'",
             std::string("desc/acquisition/manufacturer='Ondira'") }) {
        SCOPED_TRACE(query);
        EXPECT_TRUE(find(query, outlet->uid(), found));
    }
    for (const std::string& query :
        { std::string("type='Markers'"), "name='" + info.name + "x'" }) {
        SCOPED_TRACE(query);
        for (const Resolved& other : resolve(query, 0.5))
            EXPECT_NE(other.uid, outlet->uid());
    }
    EXPECT_GT(outlet->stats().queriesAnswered, 0u);
}

// A restricted outlet answers this machine's queries whatever address they
// were sent to (a local resolver's multicast query loops back through another
// interface), from the served address; only that address takes connections.
TEST_F(OutletTest, Resolve_OnTheDiscoveryPort_ThisMachinesQueriesAnswered_DataOnTheServedAddress)
{
    const std::uint16_t port = freeUdpPort();
    for (const std::string& interface : { std::string(LOOPBACK), std::string() }) {
        SCOPED_TRACE("interface '" + interface + "'");
        OutletOptions options = loopback();
        options.discoveryPort = port;
        options.interfaceAddress = interface;
        options.joinMulticast = false; // nothing leaves the machine
        Outlet served(eegInfo(), options);
        std::string error;
        ASSERT_TRUE(served.start(error)) << error;
        Resolved found;
        EXPECT_TRUE(find("type='EEG'", served.uid(), found, { port }));
        // 127.0.0.2 is this machine too, but not the served address.
        EXPECT_TRUE(find("type='EEG'", served.uid(), found, { port }, "127.0.0.2"));
        EXPECT_EQ(found.address, LOOPBACK);
        const bool everywhere = interface.empty();
        Connection connection;
        EXPECT_EQ(connection.open(served.dataPort(), "127.0.0.2"), everywhere);
    }
}

TEST_F(OutletTest, Feed_EverySampleValueExact_WithItsTimestamp_DeducedWhereItCanBe)
{
    startOutlet();
    Inlet inlet;
    connect(inlet);
    EXPECT_EQ(inlet.headers["suppress-subnormals"], "0");
    for (int n = 0; n < 2000; n += 50)
        push(n, 50);
    bool exact = false;
    int deduced = 0;
    const std::vector<int> numbers = readUpTo(inlet, 1999, exact, &deduced);
    ASSERT_EQ(numbers.size(), 2000u);
    for (int n = 0; n < 2000; ++n)
        ASSERT_EQ(numbers[static_cast<std::size_t>(n)], n);
    EXPECT_TRUE(exact);
    // All but the first and those after a jump: a period after the one before.
    EXPECT_EQ(deduced, 2000 - 20);
    EXPECT_EQ(outlet->stats().samplesPushed, 2000u);
    EXPECT_EQ(outlet->stats().samplesDroppedForInlets, 0u);
}

TEST_F(OutletTest, Feed_WithoutTimestamps_TheLastIsNowAndEachOneAPeriodBefore)
{
    startOutlet();
    Inlet inlet;
    connect(inlet);
    const std::vector<float> values(4 * 10, 1.0f);
    const double before = clockSeconds();
    ASSERT_TRUE(outlet->pushSamples(values.data(), nullptr, 10));
    const double after = clockSeconds();
    std::vector<double> stamps;
    std::vector<float> sample;
    double stamp = 0;
    while (stamps.size() < 10 && inlet.readFloat(sample, stamp, 5))
        stamps.push_back(stamp);
    ASSERT_EQ(stamps.size(), 10u);
    EXPECT_GE(stamps.back(), before);
    EXPECT_LE(stamps.back(), after);
    for (std::size_t i = 1; i < stamps.size(); ++i)
        EXPECT_NEAR(stamps[i] - stamps[i - 1], 0.004, 1e-9);
}

TEST_F(OutletTest, Markers_ArriveWithTheirTimes_LongOnesCutToTheLimit)
{
    OutletOptions options = loopback();
    options.maxStringBytes = 1000;
    startOutlet(markerInfo(), options);
    Inlet inlet;
    connect(inlet);
    EXPECT_FALSE(outlet->pushSamples(nullptr, nullptr, 0));
    const std::vector<std::pair<std::string, double>> markers = { { "stimulus 1", 100.25 },
        { "", 100.5 }, { std::string(300, 'x'), 101.0 }, { std::string(1500, 'y'), 102.0 } };
    for (const auto& [text, time] : markers)
        ASSERT_TRUE(outlet->pushString(text, time));
    for (const auto& [text, time] : markers) {
        std::string got;
        double stamp = 0;
        ASSERT_TRUE(inlet.readString(got, stamp, 5));
        EXPECT_EQ(got, text.substr(0, 1000));
        EXPECT_EQ(stamp, time);
        EXPECT_EQ(inlet.lastTag, 2); // an irregular stream deduces nothing
    }
    EXPECT_EQ(outlet->stats().stringsCut, 1u);
}

TEST_F(OutletTest, TwoInlets_EachGetsEverySample)
{
    startOutlet();
    Inlet first, second;
    connect(first);
    connect(second);
    ASSERT_TRUE(waitUntil([&] { return outlet->stats().inlets == 2; }));
    for (int n = 0; n < 500; n += 5)
        push(n, 5);
    for (Inlet* inlet : { &first, &second }) {
        bool exact = false;
        EXPECT_EQ(readUpTo(*inlet, 499, exact).size(), 500u);
        EXPECT_TRUE(exact);
    }
}

// An inlet that stops reading for 10 s while the outlet pushes at 250
// samples/s: the other inlet gets every sample in time, the pusher never
// waits, and the stalled one, once it reads again, has lost only the oldest
// of what it could not take, a run that ends at the newest samples.
TEST_F(OutletTest, StalledInlet_LosesItsOldestSamples_WhileTheOtherGetsAll_AndThePusherNeverWaits)
{
    OutletOptions options = loopback();
    options.socketSendBufferBytes = 4096;
    startOutlet(eegInfo(), options);
    Inlet stalled, reader;
    FeedOptions small;
    small.maxBufferLength = 250; // one second
    small.receiveBuffer = 2048;
    connect(stalled, small);
    connect(reader);
    ASSERT_TRUE(waitUntil([&] { return outlet->stats().inlets == 2; }));

    std::atomic<bool> done{ false };
    std::vector<int> received;
    bool exact = false;
    std::thread reading([&] {
        received = readUpTo(reader, 2499, exact);
        done = true;
    });
    double slowestPush = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < 2500; n += 5) {
        std::this_thread::sleep_until(start + milliseconds(4 * n));
        const auto before = std::chrono::steady_clock::now();
        push(n, 5);
        slowestPush = std::max(slowestPush,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count());
    }
    reading.join();
    EXPECT_EQ(received.size(), 2500u);
    EXPECT_TRUE(exact);
    EXPECT_LT(slowestPush, 0.05);

    bool stalledExact = false;
    const std::vector<int> late = readUpTo(stalled, 2499, stalledExact);
    EXPECT_TRUE(stalledExact);
    ASSERT_FALSE(late.empty());
    EXPECT_EQ(late.back(), 2499);
    // One gap: what the kernel held before the stall, then the last samples.
    int gaps = 0;
    long long missing = 0;
    for (std::size_t i = 1; i < late.size(); ++i) {
        ASSERT_GT(late[i], late[i - 1]);
        if (late[i] != late[i - 1] + 1) {
            ++gaps;
            missing += late[i] - late[i - 1] - 1;
        }
    }
    EXPECT_EQ(gaps, 1);
    EXPECT_EQ(static_cast<long long>(late.front()), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(missing), outlet->stats().samplesDroppedForInlets);
    EXPECT_GE(missing, 1000);
    RecordProperty("stalled_inlet_received", static_cast<int>(late.size()));
    RecordProperty("slowest_push_us", static_cast<int>(slowestPush * 1e6));
}

TEST_F(OutletTest, InletThatLeaves_GetsTheStreamAgain_AlsoFromARestartedOutletBySourceId)
{
    startOutlet();
    {
        Inlet inlet;
        connect(inlet);
        push(0, 10);
        bool exact = false;
        EXPECT_EQ(readUpTo(inlet, 9, exact).size(), 10u);
    }
    ASSERT_TRUE(waitUntil([&] { return outlet->stats().inlets == 0; }));
    Inlet again;
    connect(again);
    push(10, 10);
    bool exact = false;
    EXPECT_EQ(readUpTo(again, 19, exact).front(), 10);

    const std::string oldUid = outlet->uid();
    outlet->stop();
    EXPECT_FALSE(outlet->pushSamples(std::vector<float>(4).data(), nullptr, 1));
    std::vector<float> values;
    double stamp = 0;
    EXPECT_FALSE(again.readFloat(values, stamp, 5)); // closed by the stop
    std::string error;
    ASSERT_TRUE(outlet->start(error)) << error;
    EXPECT_NE(outlet->uid(), oldUid);
    ASSERT_TRUE(find("source_id='" + outlet->info().sourceId + "'", outlet->uid(), stream));
    Inlet restarted;
    connect(restarted);
    push(20, 10);
    EXPECT_EQ(readUpTo(restarted, 29, exact).size(), 10u);
}

TEST_F(OutletTest, Handshake_OnTheWire_ByteForByte)
{
    startOutlet();
    Connection connection;
    ASSERT_TRUE(connection.open(stream.dataPort));
    ASSERT_TRUE(connection.send(feedRequest(stream.uid, 100, 0)));
    const std::string expected = "LSL/110 200 OK\r\nUID: " + stream.uid
        + "\r\nByte-Order: 1234\r\nSuppress-Subnormals: 0\r\nData-Protocol-Version: 110\r\n\r\n"
        + floatTestPattern(4);
    std::string got(expected.size(), '\0');
    ASSERT_TRUE(connection.read(&got[0], got.size(), 5));
    EXPECT_EQ(got, expected);
}

TEST_F(OutletTest, InfoRequestsAndDeclinedFeeds_AnsweredThenClosed)
{
    startOutlet();
    const std::string pattern = floatTestPattern(4);
    const struct
    {
        std::string request;
        std::string answerBegins;
        std::string answerEnds;
    } cases[] = {
        { "LSL:fullinfo\r\n", "<?xml", "<channel>\n\t\t\t\t<label>Fp2</label>" },
        { "LSL:shortinfo\r\ntype='EEG'\r\n", "<?xml", "<desc />\n</info>\n" },
        { "LSL:shortinfo\r\ntype='Nothing'\r\n", "", "" },
        { "LSL:streamfeed\r\n100 0\r\n", "LSL/110 505 Version not supported\r\n", "" },
        { "LSL:streamfeed/110 not-this-one\r\n\r\n", "LSL/110 404 Not found\r\n", "" },
        { "LSL:streamfeed/200\r\n\r\n", "LSL/110 505 Version not supported\r\n", "" },
        { feedRequest(stream.uid, 360, 0, "8"), "LSL/110 505 Version not supported\r\n", "" },
        // No buffer asked for: the handshake, then nothing.
        { feedRequest(stream.uid, 0, 0), "LSL/110 200 OK\r\n", pattern },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 40));
        Connection connection;
        ASSERT_TRUE(connection.open(stream.dataPort));
        ASSERT_TRUE(connection.send(c.request));
        std::string answer;
        ASSERT_TRUE(connection.readToEnd(answer, 5));
        EXPECT_EQ(answer.substr(0, c.answerBegins.size()), c.answerBegins);
        if (c.answerBegins.rfind("LSL/110 5", 0) == 0 || c.answerBegins.rfind("LSL/110 4", 0) == 0)
            EXPECT_EQ(answer, c.answerBegins);
        else if (c.answerBegins == "<?xml")
            EXPECT_NE(answer.find(c.answerEnds), std::string::npos);
        else if (!c.answerEnds.empty())
            EXPECT_EQ(answer.substr(answer.size() - c.answerEnds.size()), c.answerEnds);
        else
            EXPECT_EQ(answer, "");
    }
    EXPECT_EQ(outlet->stats().requestsDeclined, 4u);
}

TEST_F(OutletTest, TimeProbes_AnsweredOnTheServicePort_WithTheOutletsClock)
{
    startOutlet();
    for (int wave = 1; wave <= 8; ++wave) {
        TimeProbe probe;
        ASSERT_TRUE(probeTime(stream.servicePort, wave, probe, 2));
        // One clock on one machine: sent <= arrived <= left <= back.
        EXPECT_LE(probe.t0, probe.t1 + 1e-6);
        EXPECT_LE(probe.t1, probe.t2);
        EXPECT_LE(probe.t2, probe.t3 + 1e-6);
        EXPECT_LT(probe.t3 - probe.t0, 1.0);
    }
    EXPECT_EQ(outlet->stats().timeProbesAnswered, 8u);
}

// Clients that send garbage, too much, half a request, or nothing: each is
// dropped within the request time limit (0.5 s here), while an inlet goes on
// receiving every sample.
TEST_F(OutletTest, BadConnections_DroppedWithinTheirTimeLimit_WhileAnInletGoesOn)
{
    startOutlet();
    Inlet inlet;
    connect(inlet);
    const struct
    {
        const char* what;
        std::string bytes;
        bool timesOut;
    } cases[] = {
        { "garbage", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), false },
        { "HTTP", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false },
        { "oversized", "LSL:streamfeed/110\r\nX-Pad: " + std::string(20000, 'p'), false },
        { "bad number", "LSL:streamfeed/110\r\nMax-Buffer-Length: many\r\n\r\n", false },
        { "half a request", "LSL:streamfeed/110 " + stream.uid + "\r\nMax-Buf", true },
        { "nothing", "", true },
    };
    std::vector<Connection> connections(std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_TRUE(connections[i].open(stream.dataPort));
        ASSERT_TRUE(connections[i].send(cases[i].bytes));
    }
    int next = 0;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_TRUE(connections[i].closedWithin(3));
        EXPECT_LT(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 2.0);
        push(next, 10);
        next += 10;
    }
    bool exact = false;
    EXPECT_EQ(readUpTo(inlet, next - 1, exact).size(), static_cast<std::size_t>(next));
    EXPECT_TRUE(exact);
    EXPECT_EQ(outlet->stats().badRequests, 4u);
    EXPECT_EQ(outlet->stats().connectionsTimedOut, 2u);
    EXPECT_EQ(outlet->stats().inlets, 1);
}

TEST_F(OutletTest, BadDatagrams_GoUnanswered_AndTheNextQueryIsAnswered)
{
    startOutlet();
    const std::string datagrams[] = {
        std::string("\x00\x01\x02", 3),
        "LSL:shortinfo\r\n",
        "LSL:shortinfo\r\ntype='EEG'\r\n80 1\r\n",
        "LSL:shortinfo\r\ntype='EEG'\r\n5000 1\r\n" + std::string(5000, ' '),
        "LSL:shortinfo\r\ndesc[a[b[c]]]\r\n5000 1\r\n",
        "LSL:timedata\r\n1 nan\r\n",
    };
    for (const std::string& datagram : datagrams)
        EXPECT_TRUE(exchangeDatagram(stream.servicePort, datagram, 0.2).empty());
    EXPECT_TRUE(waitUntil([&] { return outlet->stats().badRequests == std::size(datagrams); }, 2));
    Resolved again;
    EXPECT_TRUE(find("type='EEG'", outlet->uid(), again));
}

TEST_F(OutletTest, ConnectionsBeyondTheLimit_TheOldestRequestingMakesRoom_NeverAnInlet)
{
    OutletOptions options = loopback();
    options.maxConnections = 3;
    options.requestTimeoutSeconds = 30;
    startOutlet(eegInfo(), options);
    std::vector<Connection> silent(3);
    for (Connection& connection : silent)
        ASSERT_TRUE(connection.open(stream.dataPort));
    Inlet inlet;
    connect(inlet);
    EXPECT_EQ(outlet->stats().connectionsRefused, 1u);
    EXPECT_TRUE(silent[0].closedWithin(2));
    // The inlet and two silent connections fill the limit: newcomers push out
    // the silent ones, the inlet streams on.
    std::vector<Connection> late(2);
    for (Connection& connection : late)
        ASSERT_TRUE(connection.open(stream.dataPort));
    EXPECT_TRUE(silent[1].closedWithin(2));
    EXPECT_TRUE(silent[2].closedWithin(2));
    EXPECT_TRUE(waitUntil([&] { return outlet->stats().connectionsRefused == 3; }));
    push(0, 5);
    bool exact = false;
    EXPECT_EQ(readUpTo(inlet, 4, exact).size(), 5u);
}

TEST_F(OutletTest, EegAndMarkerOutletsInOneProcess_BothFound_OnTheirOwnPorts)
{
    startOutlet();
    Outlet markers(markerInfo(), loopback());
    std::string error;
    ASSERT_TRUE(markers.start(error)) << error;
    EXPECT_NE(markers.dataPort(), outlet->dataPort());
    EXPECT_NE(markers.servicePort(), outlet->servicePort());
    Resolved eeg, marker;
    EXPECT_TRUE(find("type='EEG'", outlet->uid(), eeg));
    EXPECT_TRUE(find("type='Markers'", markers.uid(), marker));
    Inlet inlet;
    std::string connectError;
    ASSERT_TRUE(inlet.connect(marker, {}, connectError)) << connectError;
    ASSERT_TRUE(waitUntil([&] { return markers.stats().inlets == 1; }));
    ASSERT_TRUE(markers.pushString("block 2", 3.5));
    std::string text;
    double stamp = 0;
    EXPECT_TRUE(inlet.readString(text, stamp, 5));
    EXPECT_EQ(text, "block 2");
}

TEST_F(OutletTest, OutletsOfTwoProcesses_ShareTheDiscoveryPort_AndAreBothFound)
{
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The other process: an outlet on the default discovery port until told to end.
        close(toChild[1]);
        close(fromChild[0]);
        StreamInfo info = markerInfo();
        info.sourceId += "-child";
        Outlet other(info, loopback());
        std::string error, uid;
        if (other.start(error))
            uid = other.uid();
        [[maybe_unused]] const ssize_t written = write(fromChild[1], uid.data(), uid.size());
        close(fromChild[1]);
        char end = 0;
        [[maybe_unused]] const ssize_t read = ::read(toChild[0], &end, 1);
        other.stop();
        _exit(0);
    }
    close(toChild[0]);
    close(fromChild[1]);
    char buffer[64] = {};
    const ssize_t length = read(fromChild[0], buffer, sizeof buffer);
    close(fromChild[0]);
    const std::string childUid(buffer, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    EXPECT_EQ(childUid.size(), 36u) << "the other process's outlet did not start";
    startOutlet(); // binds the discovery port after the other process
    Resolved found;
    EXPECT_TRUE(find("type='Markers'", childUid, found));
    EXPECT_TRUE(find("type='EEG'", outlet->uid(), found));
    close(toChild[1]);
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(OutletTest, StartThatCannotWork_SaysWhy_AndPushesAreRefusedUntilStarted)
{
    const struct
    {
        std::string interface;
        std::string says;
    } cases[] = {
        { "10.255.255.254", "is not an address of this machine; use one of:" },
        { "localhost", "is not an IPv4 address" },
    };
    for (const auto& c : cases) {
        OutletOptions options = loopback();
        options.interfaceAddress = c.interface;
        Outlet bad(eegInfo(), options);
        std::string error;
        EXPECT_FALSE(bad.start(error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_FALSE(bad.running());
    }
    StreamInfo nameless = eegInfo();
    nameless.name.clear();
    Outlet unnamed(nameless, loopback());
    std::string error;
    EXPECT_FALSE(unnamed.start(error));
    EXPECT_NE(error.find("no name"), std::string::npos) << error;

    Outlet eeg(eegInfo(), loopback());
    const std::vector<float> sample(4);
    EXPECT_FALSE(eeg.pushSamples(sample.data(), nullptr, 1));
    ASSERT_TRUE(eeg.start(error)) << error;
    EXPECT_TRUE(eeg.start(error));
    EXPECT_TRUE(eeg.pushSamples(sample.data(), nullptr, 1));
    EXPECT_FALSE(eeg.pushString("wrong kind", 1.0));
}

} // namespace
