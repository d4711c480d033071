#ifndef ONDIRA_DIAGNOSTICS_TRACE_H
#define ONDIRA_DIAGNOSTICS_TRACE_H

#include <QString>

#include <cstdint>

namespace ondira {

/// A debug trace message, composed item by item.
///
/// Every item is followed by one blank, so a message always ends in a blank.
/// When the full expression that composed it ends, the message is handed to
/// QtCore's message output with the debug type; where it goes is the host
/// application's message handler's business.
///
///     Trace() << "0 bytes! (" << count << ")";   // "0 bytes! ( 3 ) "
class Trace
{
public:
    Trace();
    ~Trace();

    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    Trace& operator<<(const char* text);
    Trace& operator<<(bool value);
    Trace& operator<<(std::int32_t value);
    Trace& operator<<(std::uint32_t value);
    Trace& operator<<(std::uint16_t value);
    Trace& operator<<(long long value);

private:
    QString message;
};

} // namespace ondira

#endif
