#include "diagnostics/Trace.h"

#include <QtGlobal>

namespace ondira {

Trace::Trace() = default;

Trace::~Trace()
{
    qt_message_output(QtDebugMsg, QMessageLogContext(), message);
}

Trace& Trace::operator<<(const char* text)
{
    message += QLatin1String(text ? text : "");
    message += QLatin1Char(' ');
    return *this;
}

Trace& Trace::operator<<(bool value)
{
    return *this << (value ? "true" : "false");
}

Trace& Trace::operator<<(std::int32_t value)
{
    message += QString::number(value);
    message += QLatin1Char(' ');
    return *this;
}

Trace& Trace::operator<<(std::uint32_t value)
{
    message += QString::number(value);
    message += QLatin1Char(' ');
    return *this;
}

Trace& Trace::operator<<(std::uint16_t value)
{
    message += QString::number(value);
    message += QLatin1Char(' ');
    return *this;
}

Trace& Trace::operator<<(long long value)
{
    message += QString::number(static_cast<qlonglong>(value));
    message += QLatin1Char(' ');
    return *this;
}

} // namespace ondira
