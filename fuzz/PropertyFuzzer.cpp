// Property values and names as an application may pass them.
//
// The input is a property name, a zero byte, a value text, a zero byte and
// four bytes of a float. Checked:
// - the text views keep the first 50 characters of name and value;
// - the integer and float readings of the text agree with the C library's
//   strtoll and strtod over the same grammar (the whole text, trimmed, in
//   range; 0 for anything else);
// - a float value reads back as its truncation, and its text reads back as
//   the float to six significant digits;
// - through a facade without a device: setProperty and getProperty answer
//   each name of the table as documented (a switch takes only 0 or 1, a
//   serial setting keeps the last value in its range, queries that need the
//   device fail with DEVICE_IO_ERROR at once), and any other name is
//   accepted by setProperty and unknown to getProperty.

#include "FuzzInput.h"

#include <ondira/Ondira.h>

#include <QtGlobal>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace {

using ondira_fuzz::FuzzInput;

constexpr const char* TARGET = "property";
constexpr std::size_t MAX_TEXT = Property::MAX_TEXT_LENGTH;

void check(bool holds, const std::string& what)
{
    if (!holds)
        ondira_fuzz::broken(TARGET, what);
}

const char* const BLANKS = " \t\n\r\f\v";

std::string trimmed(const std::string& text)
{
    const auto begin = text.find_first_not_of(BLANKS);
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(BLANKS) - begin + 1);
}

int expectedInteger(const std::string& text)
{
    const std::string t = trimmed(text);
    if (t.empty() || t.find_first_not_of("+-0123456789") != std::string::npos)
        return 0;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(t.c_str(), &end, 10);
    if (errno != 0 || end != t.c_str() + t.size() || value < INT_MIN || value > INT_MAX)
        return 0;
    return static_cast<int>(value);
}

float expectedFloat(const std::string& text)
{
    // Decimal notation only: no hexadecimal, infinity or NaN.
    const std::string t = trimmed(text);
    if (t.empty() || t.find_first_not_of("+-.eE0123456789") != std::string::npos)
        return 0.0f;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(t.c_str(), &end);
    if (errno != 0 || end != t.c_str() + t.size() || std::fabs(value) > FLT_MAX)
        return 0.0f;
    return static_cast<float>(value);
}

void checkTextViews(const std::string& name, const std::string& value)
{
    const Property p(name.c_str(), value.c_str());
    check(p.getName() == name.substr(0, MAX_TEXT), "the name is not its first 50 characters");
    check(p.getValueAsString() == value.substr(0, MAX_TEXT), "the text is not its first 50 characters");
    check(p.getValueAsInteger() == expectedInteger(value),
          "\"" + value + "\" reads as the integer " + std::to_string(p.getValueAsInteger()));
    const float f = p.getValueAsFloat();
    check(f == expectedFloat(value), "\"" + value + "\" reads as the float " + std::to_string(f));
}

void checkFloatValue(float value)
{
    const Property p("x", value);
    if (std::isnan(value)) {
        check(std::isnan(p.getValueAsFloat()) && p.getValueAsInteger() == 0, "NaN");
        return;
    }
    check(p.getValueAsFloat() == value, "the float view is not the value");
    const int truncated = value >= 2147483648.0f ? INT_MAX
        : value <= -2147483648.0f                ? INT_MIN
                                                 : static_cast<int>(value);
    check(p.getValueAsInteger() == truncated, "the integer view is not the truncated value");
    if (std::isinf(value))
        return;
    // The text has six significant digits and reads back through the text
    // constructor: half a unit of the sixth digit, and half a float step.
    const Property back("x", p.getValueAsString());
    const double error = std::fabs(static_cast<double>(back.getValueAsFloat()) - value);
    check(error <= (5e-6 + 0.5 / (1 << 23)) * std::fabs(static_cast<double>(value)) + 1e-45,
          std::string("\"") + p.getValueAsString() + "\" does not read back as " + std::to_string(value));
}

// --- Through a facade without a device -----------------------------------------

class StatusCheck : public IDataConsumer
{
public:
    void receiveData(PData& data) override
    {
        const int code = static_cast<const StatusData*>(data.getData())->getCode();
        check(code == StatusData::DEVICE_IO_ERROR, "status event " + std::to_string(code) + " without a device");
        ++events;
    }
    int events = 0;
};

Ondira* facade = nullptr;
StatusCheck* statuses = nullptr;

enum class Kind { Query, RadioChannel, Switch, BaudRate, Setting };

struct Entry {
    const char* name;
    Kind kind;
    int low, high; // the range a setting accepts (of the low byte, but for the baud rate)
};

const Entry TABLE[] = {
    {Ondira::STR_PROPERTY_USB_FIRMWARE_VERSION, Kind::Query, 0, 0},
    {Ondira::STR_PROPERTY_ONDIRA_FIRMWARE_VERSION, Kind::Query, 0, 0},
    {Ondira::STR_PROPERTY_USB_TRANSMISSION_CHANNEL, Kind::RadioChannel, 0, 15},
    {Ondira::STR_PROPERTY_ONDIRA_TRANSMISSION_CHANNEL, Kind::RadioChannel, 0, 15},
    {Ondira::STR_PROPERTY_ENABLE_CHANNEL_1, Kind::Switch, 0, 1},
    {Ondira::STR_PROPERTY_ENABLE_CHANNEL_2, Kind::Switch, 0, 1},
    {Ondira::STR_PROPERTY_ENABLE_CHANNEL_3, Kind::Switch, 0, 1},
    {Ondira::STR_PROPERTY_ENABLE_CHANNEL_4, Kind::Switch, 0, 1},
    {"BaudRate", Kind::BaudRate, 300, 921600},
    {"WordLength", Kind::Setting, 5, 8},
    {"StopBits", Kind::Setting, 0, 2},
    {"Parity", Kind::Setting, 0, 4},
    {"Read Timeout", Kind::Setting, 0, 255},
    {"LatencyTimer", Kind::Setting, 2, 255},
};

void checkFacade(const std::string& name, const Property& property)
{
    const Entry* entry = nullptr;
    for (const Entry& e : TABLE) {
        if (name.substr(0, MAX_TEXT) == e.name)
            entry = &e;
    }
    const std::string what = "\"" + name + "\" = " + std::to_string(property.getValueAsInteger());
    Property* before = facade->getProperty(property.getName());
    const int previous = before ? before->getValueAsInteger() : 0;
    statuses->events = 0;
    const bool set = facade->setProperty(property);
    Property* after = facade->getProperty(property.getName());

    if (!entry) {
        check(set && !after && statuses->events == 0, what + ": an unknown name");
        return;
    }
    check(before == after, what + ": the entry moved");
    const int value = property.getValueAsInteger();
    const int low = value & 0xFF;
    const int taken = entry->kind == Kind::BaudRate ? value : low;
    const bool inRange = taken >= entry->low && taken <= entry->high
        && (entry->kind != Kind::BaudRate || value >= 0);
    switch (entry->kind) {
    case Kind::Query:
        check(!set && !after && statuses->events == 2, what + ": a query without a device");
        break;
    case Kind::RadioChannel:
        // A channel in range is written and fails; the query fails too.
        check(!set && !after && statuses->events == (inRange ? 1 : 0) + 2, what + ": a radio channel without a device");
        break;
    case Kind::Switch:
        check(set == inRange && after && after->getValueAsInteger() == (inRange ? low : previous),
              what + ": a calibration switch");
        break;
    case Kind::BaudRate:
    case Kind::Setting:
        // Kept without a device; the device step fails.
        check(!set && after && after->getValueAsInteger() == (inRange ? taken : previous) && statuses->events == 0,
              what + ": a serial setting");
        break;
    }
    check(!after || std::strcmp(after->getName(), property.getName()) == 0, what + ": another entry");
}

void silence(QtMsgType, const QMessageLogContext&, const QString&) {}

char folder[] = "/tmp/ondira-fuzz-property-XXXXXX";

void removeFolder()
{
    std::remove("log.txt");
    if (chdir("/") == 0)
        rmdir(folder);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // No driver library (whatever the machine has), no trace output, and the
    // property log in a folder of its own.
    qInstallMessageHandler(silence);
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0)
        std::abort();
    std::atexit(removeFolder);
    facade = new Ondira("/nonexistent/libFtd2xx.so");
    statuses = new StatusCheck;
    facade->registerConsumer(IDataProcessor::STATUS_DATA, *statuses);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static unsigned runs = 0;
    if (++runs % 4096 == 0)
        std::remove("log.txt"); // every integer assignment appends to it
    FuzzInput input(data, size);
    const std::string name = input.text();
    const std::string value = input.text();
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits = bits << 8 | input.byte();
    float number;
    std::memcpy(&number, &bits, sizeof number);

    checkTextViews(name, value);
    checkFloatValue(number);
    checkFacade(name, Property(name.c_str(), value.c_str()));
    checkFacade(name, Property(name.c_str(), static_cast<int>(bits)));
    return 0;
}
