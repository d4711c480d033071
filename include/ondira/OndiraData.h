#ifndef ONDIRA_ONDIRADATA_H
#define ONDIRA_ONDIRADATA_H

#include <ondira/OndiraExport.h>

/// One sample of the four EEG channels.
///
/// Channel values are the raw 16-bit converter values scaled by
/// 2700000 / 4587520 and truncated (0 .. 38570). Timestamps are milliseconds
/// since 1970-01-01 UTC: the first sample after a start of streaming carries
/// the wall-clock time, every later one its predecessor's time plus 4 ms, lost
/// samples (fillers) included. The class is trivially copyable.
class ONDIRA_EXPORT OndiraData
{
public:
    /// The shape of the stream: four channels, 250 samples per second and
    /// channel, one sample every 4 ms.
    static constexpr int CHANNEL_COUNT = 4;
    static constexpr int SAMPLE_RATE_HZ = 250;
    static constexpr int SAMPLE_PERIOD_MS = 4;
    /// The largest channel value: the converter's full scale 65535 scaled by
    /// 2700000 / 4587520, truncated.
    static constexpr int MAX_CHANNEL_VALUE = 38570;

    enum flagValue : int {
        FLAG_NONE = 0,                  ///< ordinary sample
        FLAG_LOST_SAMPLE = 1,           ///< filler repeating the last sample before a gap
        FLAG_OFFSET_DOWN_CHANNEL_1 = 2, ///< the headset applied a lowered offset of channel 1
        FLAG_OFFSET_DOWN_CHANNEL_2 = 3,
        FLAG_OFFSET_DOWN_CHANNEL_3 = 4,
        FLAG_OFFSET_DOWN_CHANNEL_4 = 5,
        FLAG_OFFSET_UP_CHANNEL_1 = 6,   ///< the headset applied a raised offset of channel 1
        FLAG_OFFSET_UP_CHANNEL_2 = 7,
        FLAG_OFFSET_UP_CHANNEL_3 = 8,
        FLAG_OFFSET_UP_CHANNEL_4 = 9
    };

    OndiraData(int ch1, int ch2, int ch3, int ch4, flagValue flag,
               unsigned char offsetChangeIndex, long long timestamp);

    int getChannel1() const;
    int getChannel2() const;
    int getChannel3() const;
    int getChannel4() const;

    /// Store `value` truncated toward zero. Values beyond the 32-bit range
    /// saturate to its limits; NaN stores 0.
    void setChannel1(double value);
    void setChannel2(double value);
    void setChannel3(double value);
    void setChannel4(double value);

    /// Channel index 0..3 selects channel 1..4; any other index reads channel 1.
    int getDataFromChannel(unsigned char channel) const;
    /// Channel index 0..3 stores into channel 1..4 as the setters do; any
    /// other index changes nothing.
    void setDataToChannel(double value, unsigned char channel);

    flagValue getFlag() const;
    unsigned char getOffsetChangeIndex() const;
    long long getTimestamp() const;

private:
    int channel1;
    int channel2;
    int channel3;
    int channel4;
    flagValue flag;
    unsigned char offsetChangeIndex;
    long long timestamp;
};

#endif
