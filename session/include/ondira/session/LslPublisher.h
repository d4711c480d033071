#ifndef ONDIRA_SESSION_LSLPUBLISHER_H
#define ONDIRA_SESSION_LSLPUBLISHER_H

// A session's stream on the Lab Streaming Layer, for the lab's software
// (recorders, online analysis, neurofeedback) to receive: an EEG stream of
// every sample (fillers included) with its acquisition time from the
// session's time line, as it stood when the sample was sent, in LSL's clock;
// and a marker stream of the markers (their text), status events ("status:
// <text>"), notes ("note: Headset lost") and runs of lost samples ("N
// samples lost"). A tap of the session feeds it; the outlets are the
// project's own (session/lsl).

#include <ondira/session/Session.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace ondira {
namespace session {

struct LslOptions
{
    /// The EEG stream's name; the marker stream's is the same with
    /// "-Markers" after it.
    std::string name = "Ondira";
    /// "" serves every interface, as LSL tools do; an address of this
    /// machine (e.g. 127.0.0.1) serves that interface alone.
    std::string interfaceAddress;
    std::array<std::string, OndiraData::CHANNEL_COUNT> labels{ { "Ch1", "Ch2", "Ch3", "Ch4" } };
    /// Samples on their way to the outlet; beyond it they are dropped
    /// (sent as fillers, and told on the marker stream).
    std::size_t queueCapacity = 10 * OndiraData::SAMPLE_RATE_HZ;
};

struct LslStatus
{
    bool running = false;
    std::string sourceId; ///< the EEG stream's
    std::uint16_t dataPort = 0; ///< the EEG stream's TCP data port
    int inlets = 0; ///< feeds of either stream being served
    long long samples = 0; ///< sent on the EEG stream, fillers included
    long long markers = 0; ///< sent on the marker stream
    long long droppedForInlets = 0; ///< lost by inlets that did not keep up
    long long badRequests = 0; ///< malformed or refused network requests
};

/// The source id that names a dongle's stream, so that an inlet finds it
/// again after a restart or a re-plugged headset: the host, and the
/// dongle's radio channel (two headsets in one room use two channels).
std::string lslSourceId(const DeviceInfo& device, bool virtualHeadset, const std::string& host);

/// Threads: start, stop and the destructor from one controlling thread;
/// status() from any. Between start and stop a thread of its own reads the
/// tap and the session's log and pushes to the outlets (never blocking the
/// session: an inlet that stalls loses its oldest samples).
class LslPublisher
{
public:
    LslPublisher(Session& session, LslOptions options);
    /// Stops.
    ~LslPublisher();
    LslPublisher(const LslPublisher&) = delete;
    LslPublisher& operator=(const LslPublisher&) = delete;

    /// Publishes both streams, described by `device` (read it with the
    /// session's connect() or readDeviceInfo() first). False, with what to
    /// do, when a stream cannot be published (no port free, a bad address).
    bool start(const DeviceInfo& device, std::string& error);
    void stop();
    LslStatus status() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace session
} // namespace ondira

#endif
