#ifndef ONDIRA_VIEW_CALIBRATION_H
#define ONDIRA_VIEW_CALIBRATION_H

// The calibration state of a channel as its chip shows it, following the
// library's status events.

namespace ondira {
namespace view {

enum class Calibration {
    Unknown,      ///< nothing reported since streaming started
    Off,          ///< "Channel N is not being calibrated"
    Calibrating,  ///< "Channel N is being calibrated"
    Calibrated,   ///< "Channel N is calibrated"
    Slow          ///< "Channel N is taking a long time to calibrate": until it is calibrated or switched off
};

/// The state of channel `channel` (0..3) after status event `code`. A slow
/// calibration stays shown while the channel is still being calibrated, so
/// that the warning does not vanish at the next pass.
Calibration nextCalibration(Calibration current, int channel, int code);

/// "calibrated", "being calibrated", ...
const char* calibrationText(Calibration state);

} // namespace view
} // namespace ondira

#endif
