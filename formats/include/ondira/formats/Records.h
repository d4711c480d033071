#ifndef ONDIRA_FORMATS_RECORDS_H
#define ONDIRA_FORMATS_RECORDS_H

// The plain records that a recording hands to its writers. No Qt, and of
// the library only the stream's vocabulary (OndiraData's constants): a
// Python binding or a viewer can build and read them.

#include <ondira/OndiraData.h>

#include <array>
#include <string>

namespace ondira {
namespace formats {

/// The longest electrode name: "EEG " and the name fill the 16 characters
/// of an EDF+ signal label.
constexpr int MAX_LABEL_LENGTH = 12;

/// True for 1 to MAX_LABEL_LENGTH printable ASCII characters without blanks
/// or double quotes: a name that every file format takes as it is.
bool isValidLabel(const std::string& label);

/// One sample of the recording's time line: as the library delivered it, or a
/// filler (flag 1) that stands for time without samples.
struct Sample {
    long long timestampMs = 0;            ///< ms since 1970-01-01 UTC
    std::array<int, OndiraData::CHANNEL_COUNT> microvolts{};
    int flag = OndiraData::FLAG_NONE;                 ///< OndiraData::flagValue
    int offsetChangeIndex = 0;
};

inline bool isFiller(const Sample& sample) { return sample.flag == OndiraData::FLAG_LOST_SAMPLE; }

/// The channel (1..4) whose offset the headset changed at this sample, 0 if none.
inline int offsetChangeChannel(const Sample& sample)
{
    return sample.flag >= 2 && sample.flag <= 9 ? (sample.flag - 2) % 4 + 1 : 0;
}

/// One status event of the library.
struct StatusEvent {
    long long timestampMs = 0;   ///< wall clock when it arrived, ms since 1970-01-01 UTC
    double onsetSeconds = 0.0;   ///< where it falls on the recording's time line
    int code = 0;                ///< StatusData::statusCode
    std::string type;            ///< "ERROR", "WARNING" or "INFO"
    std::string text;
};

/// A remark of the recording itself: "Headset lost", "Headset back after 4.2 s", ...
struct Note {
    double onsetSeconds = 0.0;
    double durationSeconds = -1.0; ///< negative: none
    std::string text;
    long long wallMs = 0;          ///< wall clock when it happened, ms since 1970-01-01 UTC
};

/// A stimulus marker that an experiment put into the recording.
struct Marker {
    double onsetSeconds = 0.0;     ///< where it lies on the recording's time line
    long long wallMs = 0;          ///< wall clock when it was marked, ms since 1970-01-01 UTC
    std::string text;              ///< UTF-8, at most 255 bytes
};

/// The recording's sample rate on the host's clock, as the session's time
/// line found it by the end.
struct ClockSummary
{
    double samplesPerSecond = 0.0;
    double driftPpm = 0.0; ///< from the nominal 250 samples/s
    double driftUncertaintyPpm = 0.0;
    bool settled = false; ///< the time line had converged
    double onsetSeconds = 0.0; ///< the end of the recording's time line
    long long wallMs = 0;
};

/// "Rate 250.0130 samples/s, +52.0 ppm (+/- 0.4) against the host clock".
std::string clockText(const ClockSummary& clock);

/// What the library reports about dongle and headset; empty or -1 when unknown.
struct DeviceInfo {
    std::string dongleFirmware;
    std::string headsetFirmware;
    int dongleChannel = -1;
    int headsetChannel = -1;

    /// "Ondira dongle FW 2.4 headset FW 3.5" (for the EDF+ equipment field).
    std::string equipment() const;
};

/// What a writer learns once the headset is open, before the first sample.
struct RecordingInfo {
    std::array<std::string, OndiraData::CHANNEL_COUNT> labels{{"Ch1", "Ch2", "Ch3", "Ch4"}};
    DeviceInfo device;
};

} // namespace formats
} // namespace ondira

#endif
