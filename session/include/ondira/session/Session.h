#ifndef ONDIRA_SESSION_SESSION_H
#define ONDIRA_SESSION_SESSION_H

// The acquisition session: the one owner of the library's facade. A control
// thread of its own makes every library call; the library's worker hands
// each sample to the session's consumer, which numbers it on its stream's
// time line and copies it into every attached tap; status events and the
// session's own steps go into its log. When the headset is lost while
// streaming, the session stops or reconnects, as its policy says.

#include <ondira/formats/Records.h>
#include <ondira/session/Driver.h>
#include <ondira/session/StatusLog.h>
#include <ondira/session/Tap.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ondira {
namespace session {

class TimeLine;
using formats::DeviceInfo;

/// What the session does when the headset is lost while streaming (see
/// meansHeadsetLost).
struct LostPolicy {
    enum class Action {
        /// End the stream: no sample follows; the device stays open, and
        /// status().endCode says why the stream ended.
        Stop,
        /// Close the device and try to open it again every `everySeconds`
        /// for `forSeconds`; once the headset is back the stream goes on,
        /// its time line counting the samples that were due meanwhile. Past
        /// the time (at once for 0) the stream ends and the device stays
        /// closed.
        Reconnect
    };
    Action action = Action::Stop;
    double forSeconds = 60.0;
    double everySeconds = 2.0;

    static LostPolicy stop() { return LostPolicy(); }
    static LostPolicy reconnect(double forSeconds, double everySeconds = 2.0)
    {
        return LostPolicy{Action::Reconnect, forSeconds, everySeconds};
    }
};

struct SessionOptions {
    Driver driver;
    LostPolicy lost;
    /// Offset calibration per channel, applied at every open and reconnect;
    /// false in `calibrateSet`: the library's switches are left as they are
    /// until setCalibration or a property call changes one.
    std::array<bool, OndiraData::CHANNEL_COUNT> calibrate{{true, true, true, true}};
    bool calibrateSet = true;
};

enum class Link {
    Closed,
    Open,          ///< the dongle is open, not streaming
    Streaming,
    Reconnecting   ///< the headset was lost while streaming; trying to reopen it
};
const char* linkName(Link link);

/// Why a call failed.
enum class Failure {
    None,
    Driver,     ///< the D2XX driver library could not be loaded or bound
    NoDongle,   ///< no dongle answered
    NoHeadset,  ///< the dongle answered, the headset did not
    NotOpen,    ///< the call needs an open headset (or a closed one: setDriver)
    Device      ///< the library refused or the device failed
};

/// What a call came to.
struct CallResult {
    bool ok = false;
    Failure failure = Failure::None;
    /// The status codes that arrived while the call ran.
    std::vector<int> codes;
    /// When it failed: what and why, for a person, e.g. "could not open the
    /// headset: <the library's reasons>" (see reasonOf).
    std::string message;
    /// getProperty: the value read.
    int integer = 0;
    std::string text;
    /// connect, readDeviceInfo: what dongle and headset reported.
    DeviceInfo info;

    /// The first of the most severe codes (-1: none): see mostSevere.
    int code() const { return mostSevere(codes); }
};

/// A request to the control thread. Ignore it to post the call; wait() to
/// make it blocking. Copies share the call. Any thread.
class Call
{
public:
    struct State;
    Call() = default;
    explicit Call(std::shared_ptr<State> state) : state(std::move(state)) {}
    /// Waits up to `timeoutMs` (negative: without limit); true once done.
    bool wait(long long timeoutMs = -1) const;
    bool done() const;
    /// Waits until done, then what the call came to.
    CallResult result() const;

private:
    std::shared_ptr<State> state;
};

/// A consistent snapshot of what moves on the session's threads.
struct SessionStatus {
    Link link = Link::Closed;
    int pendingCalls = 0;             ///< calls posted and not done
    Driver driver;
    bool haveInfo = false;            ///< `info` read since the last open
    DeviceInfo info;
    std::array<bool, OndiraData::CHANNEL_COUNT> calibrate{};
    bool calibrateSet = false;
    unsigned stream = 0;              ///< the stream now or last; 0: none yet
    long long delivered = 0;          ///< samples the library delivered on it, its fillers included
    long long fillers = 0;            ///< the library's fillers among them
    long long timeline = 0;           ///< samples on its time line: the next sample's index
    int reconnects = 0;               ///< times a lost headset came back, since construction
    /// The event that ended the stream (the headset was lost and the policy
    /// gave up); -1 while it streams, or when it was stopped or closed.
    int endCode = -1;
    /// The event that said the headset was lost, the last time it was; -1: never.
    int lostCode = -1;
    /// The stream's sample rate on the host's steady clock: the time line's
    /// once it has converged (then `timeLineConverged`), else the samples the
    /// headset sent per second from the first to the last delivered; 0
    /// before two.
    double effectiveRate = 0.0;
    bool timeLineConverged = false;
    /// The rate's distance from the nominal 250 samples/s in parts per
    /// million, and the uncertainty of it (time line only).
    double ratePpm = 0.0;
    double rateUncertaintyPpm = 0.0;
    /// Steady clock of the newest delivery (0: none on this stream).
    std::int64_t lastDeliveryNs = 0;
};

/// Where a marker went.
enum class MarkPlacement {
    Placed,             ///< on the stream's time line, at MarkResult::position
    BeforeFirstSample,  ///< streaming, but no sample has come yet to place it by
    NotStreaming,       ///< no stream: before the first start, or after the stream ended
    Refused,            ///< not a marker text (isValidMarkerText): MarkResult::reason says why
    QueueFull           ///< more than StatusLog::MARKER_QUEUE markers at once
};

/// "placed", "before the first sample", "not streaming", "refused", "queue full".
const char* placementName(MarkPlacement placement);

struct MarkResult {
    MarkPlacement placement = MarkPlacement::NotStreaming;
    /// Placed: where on the stream's time line, a fractional sample index.
    double position = -1.0;
    unsigned stream = 0;
    long long wallMs = 0;
    std::string reason;
    bool placed() const { return placement == MarkPlacement::Placed; }
};

/// Threads: every method may be called from any thread. Calls run on the
/// control thread one at a time, in the order they were made; while one
/// runs (opening takes up to a few seconds) the others wait their turn.
/// The consumers never block and never call the library: a tap's reader
/// and the log's readers run on threads of their own.
class Session
{
public:
    static constexpr int MAX_TAPS = 8;

    explicit Session(SessionOptions options = SessionOptions());
    /// Stops streaming, closes the device, joins the control thread.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /// Opens the dongle and applies the calibration switches; ok (nothing
    /// done) when open already.
    Call open();
    /// open(), then the headset must answer: otherwise the device is closed
    /// again (Failure::NoHeadset). Reads the device info.
    Call connect();
    /// Starts a new stream: its time line begins at index 0. Ok (nothing
    /// done) while streaming or reconnecting.
    Call start();
    /// Ends the stream (also a reconnection under way, which leaves the
    /// device closed). Asks the headset to stop whenever the device is open.
    Call stop();
    /// Stops streaming and closes the device.
    Call close();
    /// Only while closed: the driver of the next open.
    Call setDriver(Driver driver);
    /// Offset calibration of `channel` (0..3) on or off: now if open, and at
    /// every later open.
    Call setCalibration(int channel, bool on);
    /// The library's properties by name; a calibration switch is kept for
    /// later opens as setCalibration keeps it.
    Call setProperty(std::string name, int value);
    Call getProperty(std::string name);
    /// Firmware versions and radio channels (each read waits up to about
    /// 1.2 s for an answer).
    Call readDeviceInfo();

    /// From now on every sample goes into `tap` too; false when MAX_TAPS are
    /// attached. The tap must outlive its attachment.
    bool attach(Tap& tap);
    /// Returns once the library's worker no longer touches `tap`.
    void detach(Tap& tap);

    StatusLog& log();
    const StatusLog& log() const;
    SessionStatus status() const;

    /// Where steady time `steadyNs` falls on the current stream's time line,
    /// as a fractional sample index; negative before its first sample.
    double positionAt(std::int64_t steadyNs) const;
    /// The stream's time line: the host time of every sample index, the
    /// effective rate; its queries may be made from any thread.
    const TimeLine& timeLine() const;
    /// Adds a note of the program's own to the log, at the time line now.
    void note(LogEntry::Kind kind, const std::string& text);

    /// A stimulus marker with `text` (UTF-8), stamped with the steady and the
    /// wall clock now and placed on the stream's time line at that instant;
    /// it joins the log as a Marker entry, after every marker before it. Any
    /// thread: takes no lock and never waits (a few microseconds).
    MarkResult mark(const std::string& text);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

/// std::chrono::steady_clock now, in ns.
std::int64_t steadyNowNs();
/// The wall clock now, ms since 1970-01-01 UTC.
long long wallNowMs();

} // namespace session
} // namespace ondira

#endif
