// The session against the virtual headset, in-process: a reader on a thread
// of its own while calls come from another, the policy for a lost headset,
// where events lie on the time line, and the driver chosen per session.

#include "TestSupport.h"
#include "ondira_sim.h"

#include <ondira/StatusData.h>
#include <ondira/session/Session.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace ondira::session;
using ondira_test::waitFor;

namespace {

SessionOptions virtualHeadset(LostPolicy lost = LostPolicy::stop())
{
    SessionOptions options;
    options.driver = Driver::virtualHeadset(ONDIRA_SIM_LIBRARY);
    options.lost = lost;
    options.calibrateSet = false;
    return options;
}

std::vector<Row> drain(TapReader& reader)
{
    std::vector<Row> rows;
    std::vector<Row> part(1024);
    reader.collect();
    for (std::size_t n; (n = reader.take(part.data(), part.size())) > 0;)
        rows.insert(rows.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(n));
    return rows;
}

std::vector<LogEntry> entriesOf(Session& session)
{
    long long cursor = 0;
    std::vector<LogEntry> entries;
    session.log().read(cursor, entries);
    return entries;
}

bool hasText(const std::vector<LogEntry>& entries, LogEntry::Kind kind, const std::string& text)
{
    return std::any_of(entries.begin(), entries.end(), [&](const LogEntry& e) {
        return e.kind == kind && e.text.find(text) != std::string::npos;
    });
}

class SessionTest : public ::testing::Test
{
protected:
    void configure(const std::string& config)
    {
        ASSERT_EQ(ondira_sim_configure(config.c_str()), 0) << ondira_sim_last_error();
    }
    ondira_test::ScopedWorkingDirectory cwd;
};

} // namespace

// The worker overflows a small tap while a reader thread takes rows out of
// it and a third thread makes calls: every dropped sample comes back as a
// filler, every row on one 4 ms time line.
TEST_F(SessionTest, SmallTapReaderThreadAndCallsFromAnother_OneTimeLine)
{
    configure("fast=1");
    Session session(virtualHeadset());
    Tap tap(50);
    ASSERT_TRUE(session.attach(tap));
    ASSERT_TRUE(session.open().result().ok);
    ASSERT_TRUE(session.start().result().ok);
    constexpr std::size_t WANTED = 20000;
    std::vector<Row> rows;
    std::thread reader([&] {
        TapReader taker(tap);
        std::vector<Row> part(64);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (rows.size() < WANTED && std::chrono::steady_clock::now() < deadline) {
            tap.waitFor(1, 20);
            taker.collect();
            const std::size_t n = taker.take(part.data(), std::min(part.size(), WANTED - rows.size()));
            rows.insert(rows.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(n));
        }
    });
    std::atomic<bool> calling{true};
    std::thread caller([&] {
        while (calling.load())
            session.getProperty("BaudRate").wait();
    });
    reader.join();
    calling.store(false);
    caller.join();
    session.stop().wait();
    session.detach(tap);

    ASSERT_EQ(rows.size(), WANTED);
    long long dropped = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].index, rows[i - 1].index + 1) << "row " << i;
        ASSERT_EQ(rows[i].sample.timestampMs - rows[i - 1].sample.timestampMs, 4) << "row " << i;
        dropped += rows[i].kind == Row::Kind::Dropped ? 1 : 0;
    }
    EXPECT_GT(dropped, 0) << "the tap overflowed";
    EXPECT_LE(dropped, tap.dropped());
}

TEST_F(SessionTest, WaitingReader_WokenFromAnotherThread)
{
    configure("");
    Tap tap(1000);
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        tap.wake();
    });
    const auto before = std::chrono::steady_clock::now();
    tap.waitFor(500, 20000);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    waker.join();
}

// The dongle unplugged while streaming, under each policy.
TEST_F(SessionTest, LostHeadset_EachPolicyDoesWhatItSays)
{
    struct Case {
        const char* name;
        const char* config;
        LostPolicy policy;
        Link endsIn;
        const char* failure;  // the session's last word, empty: it came back
    } const cases[] = {
        {"stop", "unplug_after_ms=600", LostPolicy::stop(), Link::Open, "the headset stopped answering"},
        {"reconnect off", "unplug_after_ms=600", LostPolicy::reconnect(0), Link::Closed, "reconnecting is off"},
        {"not back in time", "unplug_after_ms=600", LostPolicy::reconnect(0.5, 0.2), Link::Closed,
         "did not come back within 0.5 s"},
        {"back", "unplug_after_ms=600 replug_after_ms=300", LostPolicy::reconnect(10, 0.2), Link::Streaming, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        configure(c.config);
        Session session(virtualHeadset(c.policy));
        Tap tap(100000);
        TapReader reader(tap);
        ASSERT_TRUE(session.attach(tap));
        ASSERT_TRUE(session.open().result().ok);
        ASSERT_TRUE(session.start().result().ok);
        const bool back = c.endsIn == Link::Streaming;
        ASSERT_TRUE(waitFor([&] {
            const SessionStatus s = session.status();
            return back ? s.reconnects == 1 && s.timeline > 500 : s.endCode >= 0;
        })) << linkName(session.status().link);
        const SessionStatus status = session.status();
        EXPECT_EQ(status.link, c.endsIn);
        EXPECT_EQ(status.lostCode, StatusData::DEVICE_IO_ERROR);
        const std::vector<LogEntry> entries = entriesOf(session);
        if (*c.failure) {
            EXPECT_TRUE(hasText(entries, LogEntry::Kind::Failure, c.failure));
        }
        EXPECT_TRUE(hasText(entries, LogEntry::Kind::Note, "Headset lost"));
        // Whatever the handling of the loss raised lies where the stream stopped.
        const auto lost = std::find_if(entries.begin(), entries.end(),
                                       [](const LogEntry& e) { return e.text == "Headset lost"; });
        ASSERT_NE(lost, entries.end());
        EXPECT_GT(lost->position, 10.0);
        for (auto e = entries.begin(); e != lost; ++e) {
            if (e->kind == LogEntry::Kind::Status && e->code == StatusData::DEVICE_IO_ERROR) {
                EXPECT_EQ(e->position, lost->position) << "the event that told";
            }
        }
        const long long delivered = status.delivered;
        session.stop().wait();
        const std::vector<Row> rows = drain(reader);
        session.detach(tap);
        if (!back) {
            EXPECT_EQ(session.status().delivered, delivered) << "nothing after the stream ended";
            continue;
        }
        // The stream goes on: the time away counts on its time line.
        const auto resumed = std::find_if(rows.begin(), rows.end(), [](const Row& r) { return r.resumed; });
        ASSERT_NE(resumed, rows.end());
        const long long away = std::count_if(rows.begin(), rows.end(), [](const Row& r) { return r.kind == Row::Kind::Away; });
        EXPECT_GE(away, 50) << "at least the 200 ms before the first attempt";
        EXPECT_EQ(resumed->index, std::prev(resumed)->index + 1);
    }
}

TEST_F(SessionTest, DriverChosenPerSession_TheEnvironmentUntouched)
{
    configure("");
    const char* before = std::getenv("ONDIRA_FTD2XX_LIBRARY");
    const std::string environment = before ? before : "";
    Session simulated(virtualHeadset());
    SessionOptions missing;
    missing.driver = Driver::d2xx("/nonexistent/libftd2xx.so");
    Session vendor(missing);
    const CallResult opened = simulated.connect().result();
    EXPECT_TRUE(opened.ok) << opened.message;
    EXPECT_EQ(opened.info.headsetFirmware, "3.5");
    const CallResult refused = vendor.open().result();
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.failure, Failure::Driver);
    EXPECT_EQ(refused.code(), StatusData::FTDI_LIBRARY_ERROR);
    EXPECT_EQ(simulated.setDriver(Driver::d2xx()).result().failure, Failure::NotOpen) << "only while closed";
    simulated.close().wait();
    EXPECT_TRUE(vendor.setDriver(Driver::virtualHeadset(ONDIRA_SIM_LIBRARY)).result().ok);
    EXPECT_TRUE(vendor.connect().result().ok);
    const char* after = std::getenv("ONDIRA_FTD2XX_LIBRARY");
    EXPECT_EQ(after ? std::string(after) : std::string(), environment);
}
