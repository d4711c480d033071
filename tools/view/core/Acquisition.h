#ifndef ONDIRA_VIEW_ACQUISITION_H
#define ONDIRA_VIEW_ACQUISITION_H

#include "Calibration.h"
#include "DisplaySample.h"

#include <ondira/formats/Writer.h>
#include <ondira/session/LslPublisher.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace ondira {
namespace view {

using formats::DeviceInfo;

enum class Source {
    Headset,        ///< the D2XX driver, found as the library finds it
    VirtualHeadset  ///< the virtual headset built with the project
};

enum class Link {
    Disconnected,
    Connecting,
    Connected,
    Streaming,
    Reconnecting,   ///< the headset was lost while streaming; trying to reopen it
    Disconnecting
};

/// One line of the viewer's log: a status event of the library, a step of
/// the viewer, a failure to show to the user, or a stimulus marker.
struct LogEntry {
    enum class Kind { Status, Note, Failure, Marker };
    long long sequence = 0;   ///< orders entries from every thread
    long long wallMs = 0;     ///< ms since 1970-01-01 UTC
    Kind kind = Kind::Note;
    int code = -1;            ///< the status code (Kind::Status)
    std::string type;         ///< "ERROR", "WARNING", "INFO" (Kind::Status)
    std::string text;         ///< Kind::Marker: the marker's own text
    /// Kind::Marker: where it lies on the time line of `stream`, a fractional
    /// sample index (as DisplaySample::index and ::stream).
    double position = -1.0;
    unsigned stream = 0;
};

/// What the GUI shows; a consistent snapshot of counters that move on other threads.
struct AcquisitionStatus {
    Link link = Link::Disconnected;
    bool busy = false;                ///< requests wait or run on the control thread
    Source source = Source::Headset;
    bool haveInfo = false;
    DeviceInfo info;
    /// The calibration states as the log entries handed out by takeLog() say.
    std::array<Calibration, OndiraData::CHANNEL_COUNT> calibration{};
    std::array<bool, OndiraData::CHANNEL_COUNT> calibrationOn{};
    /// The stream's rate on the host clock and its drift from 250 samples/s,
    /// once the session's time line has settled (`rateSettled`).
    double effectiveRate = 0.0;
    double driftPpm = 0.0;
    bool rateSettled = false;
    long long samples = 0;            ///< delivered by the library since connecting, fillers included
    long long lost = 0;               ///< of which fillers (lost samples)
    long long displaySkipped = 0;     ///< not shown: the GUI thread fell behind
    long long eventsSkipped = 0;      ///< status events not listed: the GUI thread fell behind
    bool recording = false;
    std::string recordingBase;
    double recordedSeconds = 0.0;     ///< time line written so far, fillers included
    long long recordedLost = 0;
    bool publishWanted = false; ///< setPublishing(true), and no failure since
    session::LslStatus lsl; ///< `running` while the stream is published
};

struct RecordingRequest {
    /// Writes BASE.edf, and BASE.csv and BASE.events.csv with `csv`; a name
    /// ending in ".edf" is taken without it. Existing files are never replaced.
    std::string base;
    bool csv = true;
    /// Writers of the caller's own, fed like the files.
    std::vector<std::unique_ptr<formats::Writer>> extraWriters;
};

struct AcquisitionOptions {
    std::array<std::string, OndiraData::CHANNEL_COUNT> labels{{"Ch1", "Ch2", "Ch3", "Ch4"}};
    /// The virtual headset's file (findVirtualHeadset); empty when there is none.
    std::string virtualHeadset;
    /// The D2XX driver's file for Source::Headset; empty: as the library finds it.
    std::string headsetLibrary;
    std::size_t displayCapacity = 1u << 15;                         ///< samples
    std::size_t recordCapacity = 60 * OndiraData::SAMPLE_RATE_HZ;   ///< samples
    std::array<bool, OndiraData::CHANNEL_COUNT> calibrationOn{{true, true, true, true}};
    /// How long to keep trying to reopen a lost headset, every
    /// `reconnectIntervalSeconds`, while streaming and recording go on;
    /// 0: a lost headset ends the stream and closes the recording.
    double reconnectSeconds = 60.0;
    double reconnectIntervalSeconds = 2.0;
    /// The LSL stream's name and interface (its labels are `labels`).
    session::LslOptions lsl;
};

/// The viewer's link to the headset, without any GUI: a session of the
/// session layer, a tap of it for the display, and the viewer's requests.
///
/// The request methods return at once: a thread of the viewer carries them
/// out one after the other, in the order they came, through the session
/// (which makes every library call) and says in the log how each went.
///
/// When the headset is lost while streaming, the session reconnects it for
/// `reconnectSeconds` and the recording goes on, the time away written as
/// lost samples; with reconnectSeconds 0 the recording is closed, the device
/// closed, and a failure says what to do.
///
/// Request methods, mark(), status() and takeLog() may be called from any
/// thread; takeSamples() from one thread only (the tap's single reader).
class Acquisition
{
public:
    explicit Acquisition(const AcquisitionOptions& options);
    /// Closes a recording, stops, closes the device and joins the threads.
    ~Acquisition();
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    /// Opens the dongle, checks that the headset answers, applies the
    /// calibration switches and reads firmware versions and radio channels;
    /// with `thenStart`, starts streaming too.
    void connect(Source source, bool thenStart = false);
    /// Closes a recording, stops streaming, closes the device.
    void disconnect();
    void startStreaming();
    /// Closes a recording first.
    void stopStreaming();
    /// Offset calibration of `channel` (0..3) on or off; kept for later
    /// connections too.
    void setCalibration(int channel, bool on);
    /// Publishes the stream on the Lab Streaming Layer while connected (from
    /// the next connection when not connected now), or stops publishing. A
    /// failure to publish says why in the log and leaves the switch off.
    void setPublishing(bool on);
    /// Only while streaming.
    void startRecording(RecordingRequest request);
    void stopRecording();
    /// A stimulus marker with `text` (UTF-8, 1 to 255 bytes, no control
    /// characters), placed on the stream's time line now: it joins the log as
    /// a Kind::Marker entry and every recording writes it. Only while
    /// streaming. Returns at once, without waiting for the requests; false
    /// when it could not be placed, and a failure in the log then says why.
    bool mark(const std::string& text);

    /// Moves up to `max` samples out of the ring; returns how many.
    std::size_t takeSamples(DisplaySample* out, std::size_t max);
    /// Log entries since the last call, in the order they happened.
    std::vector<LogEntry> takeLog();
    AcquisitionStatus status() const;

    /// True once every request made so far has been carried out.
    bool idle() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

const char* linkName(Link link);

} // namespace view
} // namespace ondira

#endif
