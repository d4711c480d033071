#include <ondira/Property.h>

#include "diagnostics/DiagnosticLog.h"

#include <QByteArray>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Copies at most MAX_TEXT_LENGTH characters and terminates the copy. A null
// text is stored as the empty text.
void copyText(char* destination, const char* text)
{
    if (!text) {
        destination[0] = '\0';
        return;
    }
    std::size_t length = 0;
    while (length < static_cast<std::size_t>(Property::MAX_TEXT_LENGTH) && text[length] != '\0')
        ++length;
    std::memcpy(destination, text, length);
    destination[length] = '\0';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The text without leading and trailing blanks, as [begin, end).
void trimmed(const char* text, const char*& begin, const char*& end)
{
    begin = text;
    end = text + std::strlen(text);
    while (begin < end && isBlank(*begin))
        ++begin;
    while (end > begin && isBlank(end[-1]))
        --end;
}

// The whole text as a base-10 integer with an optional sign; 0 for anything
// else, including values beyond the 32-bit range.
int parseInteger(const char* text)
{
    const char* begin;
    const char* end;
    trimmed(text, begin, end);
    // from_chars takes a '-' but not a '+'.
    if (begin < end && *begin == '+') {
        ++begin;
        if (begin < end && *begin == '-')
            return 0;
    }
    int value = 0;
    const auto result = std::from_chars(begin, end, value, 10);
    if (begin == end || result.ec != std::errc() || result.ptr != end)
        return 0;
    return value;
}

// The whole text as a decimal number: optional sign, digits with an optional
// fraction (at least one digit), optional exponent. 0 for anything else,
// including values that a float cannot hold.
float parseFloat(const char* text)
{
    const char* begin;
    const char* end;
    trimmed(text, begin, end);
    const char* p = begin;
    if (p < end && (*p == '+' || *p == '-'))
        ++p;
    int mantissaDigits = 0;
    while (p < end && isDigit(*p)) {
        ++p;
        ++mantissaDigits;
    }
    if (p < end && *p == '.') {
        ++p;
        while (p < end && isDigit(*p)) {
            ++p;
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0)
        return 0.0f;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-'))
            ++p;
        if (p == end || !isDigit(*p))
            return 0.0f;
        while (p < end && isDigit(*p))
            ++p;
    }
    if (p != end)
        return 0.0f;

    // from_chars does not take a leading '+'.
    if (*begin == '+')
        ++begin;
    double value = 0.0;
    const auto result = std::from_chars(begin, end, value, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != end || std::fabs(value) > FLT_MAX)
        return 0.0f;
    return static_cast<float>(value);
}

// Truncates toward zero, saturating at the int limits; NaN gives 0.
int saturatingTruncate(float value)
{
    if (std::isnan(value))
        return 0;
    // 2^31 is exactly representable as a float; INT_MAX is not.
    if (value >= 2147483648.0f)
        return std::numeric_limits<int>::max();
    if (value <= -2147483648.0f)
        return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

} // namespace

Property::Property(const char* name, const char* value)
{
    copyText(this->name, name);
    setValue(value);
}

Property::Property(const char* name, float value)
{
    copyText(this->name, name);
    setValue(value);
}

Property::Property(const char* name, int value)
{
    copyText(this->name, name);
    setValue(value);
}

const char* Property::getName() const
{
    return name;
}

const char* Property::getValueAsString() const
{
    return valueAsString;
}

int Property::getValueAsInteger() const
{
    return valueAsInteger;
}

float Property::getValueAsFloat() const
{
    return valueAsFloat;
}

void Property::setValue(const char* value)
{
    const char* text = value ? value : "";
    copyText(valueAsString, text);
    valueAsInteger = parseInteger(text);
    valueAsFloat = parseFloat(text);
}

void Property::setValue(float value)
{
    valueAsInteger = saturatingTruncate(value);
    valueAsFloat = value;
    // Qt's formatting ignores the C locale, so the decimal point is always '.'.
    copyText(valueAsString, QByteArray::number(static_cast<double>(value), 'g', 6).constData());
}

void Property::setValue(int value)
{
    valueAsInteger = value;
    valueAsFloat = static_cast<float>(value);
    copyText(valueAsString, QByteArray::number(value).constData());
    ondira::logPropertyValue(name, value);
}
