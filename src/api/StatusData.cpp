#include <ondira/StatusData.h>

namespace {
const int STATUS_CODE_COUNT = 23;
const int INVALID_ENTRY = 23;
} // namespace

const char* const StatusData::strStatus[24] = {
    "Error while reading, writing or configuring the device. Please check that the device is "
    "plugged in, and not damaged and then open the device again.",
    "Ondira is not responding, please check if the device is switched on and that the battery is "
    "charged",
    "Channel 1 is taking a long time to calibrate. Please check the contact with the skin",
    "Channel 2 is taking a long time to calibrate. Please check the contact with the skin",
    "Channel 3 is taking a long time to calibrate. Please check the contact with the skin",
    "Channel 4 is taking a long time to calibrate. Please check the contact with the skin",
    "Problem with the FTDI dynamic library. Please make sure the FTDI device drivers are "
    "installed correctly",
    "Cannot retrieve FW version.",
    "Cannot retrieve tranceiver channel.",
    "Channel 1 is calibrated",
    "Channel 2 is calibrated",
    "Channel 3 is calibrated",
    "Channel 4 is calibrated",
    "Channel 1 is being calibrated",
    "Channel 2 is being calibrated",
    "Channel 3 is being calibrated",
    "Channel 4 is being calibrated",
    "Channel 1 is not being calibrated",
    "Channel 2 is not being calibrated",
    "Channel 3 is not being calibrated",
    "Channel 4 is not being calibrated",
    "Default channel state",
    "The device is not open. Please open the device before sending any other command",
    "Invalid status code",
};

const char* const StatusData::strType[24] = {
    "ERROR",   // DEVICE_IO_ERROR
    "ERROR",   // DEVICE_NOT_RESPONDING
    "WARNING", // CHANNEL_1_SLOW_CALIBRATION
    "WARNING",
    "WARNING",
    "WARNING",
    "ERROR",   // FTDI_LIBRARY_ERROR
    "ERROR",   // FW_VERSION_ERROR
    "ERROR",   // TRANSCEIVER_CHANNEL_ERROR
    "INFO",    // CHANNEL_1_CALIBRATED
    "INFO",
    "INFO",
    "INFO",
    "INFO",    // CHANNEL_1_CALIBRATING
    "INFO",
    "INFO",
    "INFO",
    "INFO",    // CHANNEL_1_NOT_CALIBRATING
    "INFO",
    "INFO",
    "INFO",
    "INFO",    // DEFAULT_CHANNEL_STATE
    "WARNING", // DEVICE_NOT_OPEN
    "Invalid status code",
};

namespace {
int tableIndex(StatusData::statusCode code)
{
    const int value = static_cast<int>(code);
    return (value >= 0 && value < STATUS_CODE_COUNT) ? value : INVALID_ENTRY;
}
} // namespace

StatusData::StatusData(statusCode code)
    : code(code)
{
}

StatusData::statusCode StatusData::getCode() const
{
    return code;
}

const char* StatusData::getString() const
{
    return getStringFromCode(code);
}

const char* StatusData::getStringFromCode(statusCode code)
{
    return strStatus[tableIndex(code)];
}

const char* StatusData::getTypeFromCode(statusCode code)
{
    return strType[tableIndex(code)];
}
