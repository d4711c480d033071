#ifndef ONDIRA_STATUSDATA_H
#define ONDIRA_STATUSDATA_H

#include <ondira/OndiraExport.h>

/// One status event: a code with a fixed text and a fixed type
/// ("ERROR", "WARNING" or "INFO"). The class is trivially copyable.
class ONDIRA_EXPORT StatusData
{
public:
    enum statusCode : int {
        DEVICE_IO_ERROR = 0,
        DEVICE_NOT_RESPONDING = 1,
        CHANNEL_1_SLOW_CALIBRATION = 2,
        CHANNEL_2_SLOW_CALIBRATION = 3,
        CHANNEL_3_SLOW_CALIBRATION = 4,
        CHANNEL_4_SLOW_CALIBRATION = 5,
        FTDI_LIBRARY_ERROR = 6,
        FW_VERSION_ERROR = 7,
        TRANSCEIVER_CHANNEL_ERROR = 8,
        CHANNEL_1_CALIBRATED = 9,
        CHANNEL_2_CALIBRATED = 10,
        CHANNEL_3_CALIBRATED = 11,
        CHANNEL_4_CALIBRATED = 12,
        CHANNEL_1_CALIBRATING = 13,
        CHANNEL_2_CALIBRATING = 14,
        CHANNEL_3_CALIBRATING = 15,
        CHANNEL_4_CALIBRATING = 16,
        CHANNEL_1_NOT_CALIBRATING = 17,
        CHANNEL_2_NOT_CALIBRATING = 18,
        CHANNEL_3_NOT_CALIBRATING = 19,
        CHANNEL_4_NOT_CALIBRATING = 20,
        DEFAULT_CHANNEL_STATE = 21,
        DEVICE_NOT_OPEN = 22
    };

    /// Stores `code` as given, without checking it.
    explicit StatusData(statusCode code);

    statusCode getCode() const;
    /// Same as getStringFromCode(getCode()).
    const char* getString() const;

    /// The event text of codes 0..22; "Invalid status code" for any other value.
    static const char* getStringFromCode(statusCode code);
    /// "ERROR", "WARNING" or "INFO" for codes 0..22; "Invalid status code" otherwise.
    static const char* getTypeFromCode(statusCode code);

    /// Texts and types by code; entry 23 of both is "Invalid status code".
    /// The texts are static: the pointers may be kept.
    static const char* const strStatus[24];
    static const char* const strType[24];

private:
    statusCode code;
};

#endif
