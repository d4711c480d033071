#include <ondira/OndiraData.h>

#include <cmath>
#include <limits>

namespace {

// Truncates toward zero. Beyond the int range the value saturates to the
// nearest limit, and NaN gives 0, instead of the undefined behaviour of a
// plain conversion.
int saturatingTruncate(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (value <= static_cast<double>(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

} // namespace

OndiraData::OndiraData(int ch1, int ch2, int ch3, int ch4, flagValue flag,
                       unsigned char offsetChangeIndex, long long timestamp)
    : channel1(ch1)
    , channel2(ch2)
    , channel3(ch3)
    , channel4(ch4)
    , flag(flag)
    , offsetChangeIndex(offsetChangeIndex)
    , timestamp(timestamp)
{
}

int OndiraData::getChannel1() const { return channel1; }
int OndiraData::getChannel2() const { return channel2; }
int OndiraData::getChannel3() const { return channel3; }
int OndiraData::getChannel4() const { return channel4; }

void OndiraData::setChannel1(double value) { channel1 = saturatingTruncate(value); }
void OndiraData::setChannel2(double value) { channel2 = saturatingTruncate(value); }
void OndiraData::setChannel3(double value) { channel3 = saturatingTruncate(value); }
void OndiraData::setChannel4(double value) { channel4 = saturatingTruncate(value); }

int OndiraData::getDataFromChannel(unsigned char channel) const
{
    switch (channel) {
    case 1:
        return channel2;
    case 2:
        return channel3;
    case 3:
        return channel4;
    default:
        return channel1;
    }
}

void OndiraData::setDataToChannel(double value, unsigned char channel)
{
    switch (channel) {
    case 0:
        setChannel1(value);
        break;
    case 1:
        setChannel2(value);
        break;
    case 2:
        setChannel3(value);
        break;
    case 3:
        setChannel4(value);
        break;
    default:
        break;
    }
}

OndiraData::flagValue OndiraData::getFlag() const { return flag; }
unsigned char OndiraData::getOffsetChangeIndex() const { return offsetChangeIndex; }
long long OndiraData::getTimestamp() const { return timestamp; }
