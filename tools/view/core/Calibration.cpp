#include "Calibration.h"

#include <ondira/StatusData.h>

namespace ondira {
namespace view {

Calibration nextCalibration(Calibration current, int channel, int code)
{
    if (channel < 0 || channel > 3)
        return current;
    if (code == StatusData::CHANNEL_1_CALIBRATED + channel)
        return Calibration::Calibrated;
    if (code == StatusData::CHANNEL_1_NOT_CALIBRATING + channel)
        return Calibration::Off;
    if (code == StatusData::CHANNEL_1_SLOW_CALIBRATION + channel)
        return Calibration::Slow;
    if (code == StatusData::CHANNEL_1_CALIBRATING + channel)
        return current == Calibration::Slow ? Calibration::Slow : Calibration::Calibrating;
    return current;
}

const char* calibrationText(Calibration state)
{
    switch (state) {
    case Calibration::Unknown:
        return "no report yet";
    case Calibration::Off:
        return "not calibrated";
    case Calibration::Calibrating:
        return "being calibrated";
    case Calibration::Calibrated:
        return "calibrated";
    case Calibration::Slow:
        return "slow calibration";
    }
    return "?";
}

} // namespace view
} // namespace ondira
