#ifndef ONDIRA_RECORDER_RECORDS_H
#define ONDIRA_RECORDER_RECORDS_H

// The plain records that the recording session hands to its writers. No Qt,
// no library types: a Python binding or a viewer can build and read them.

#include <array>
#include <string>

namespace ondira {
namespace recorder {

constexpr int CHANNEL_COUNT = 4;
constexpr int SAMPLE_RATE_HZ = 250;
constexpr int SAMPLE_PERIOD_MS = 4;
/// The largest value the library can deliver: 65535 converter units x
/// 2700000 / 4587520 (16-bit converter, 2.7 V reference, gain 70), in µV.
constexpr double MAX_MICROVOLTS = 38570.4;

/// The longest electrode name: "EEG " and the name fill the 16 characters
/// of an EDF+ signal label.
constexpr int MAX_LABEL_LENGTH = 12;

/// True for 1 to MAX_LABEL_LENGTH printable ASCII characters without blanks
/// or double quotes: a name that every file format takes as it is.
bool isValidLabel(const std::string& label);

/// Sample flags, as `OndiraData::flagValue`.
constexpr int FLAG_NONE = 0;
constexpr int FLAG_LOST_SAMPLE = 1;

/// One sample of the recording's time line: as the library delivered it, or a
/// filler (flag 1) that stands for time without samples.
struct Sample {
    long long timestampMs = 0;            ///< ms since 1970-01-01 UTC
    std::array<int, CHANNEL_COUNT> microvolts{};
    int flag = FLAG_NONE;                 ///< OndiraData::flagValue
    int offsetChangeIndex = 0;
};

inline bool isFiller(const Sample& sample) { return sample.flag == FLAG_LOST_SAMPLE; }

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

/// A remark of the recorder itself: "Headset lost", "Headset back after 4.2 s", ...
struct Note {
    double onsetSeconds = 0.0;
    double durationSeconds = -1.0; ///< negative: none
    std::string text;
};

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
    std::array<std::string, CHANNEL_COUNT> labels{{"Ch1", "Ch2", "Ch3", "Ch4"}};
    DeviceInfo device;
};

} // namespace recorder
} // namespace ondira

#endif
