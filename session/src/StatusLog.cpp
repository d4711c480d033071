#include <ondira/session/StatusLog.h>

#include <ondira/StatusData.h>

#include <algorithm>
#include <cstring>

namespace ondira {
namespace session {

namespace {

int severity(int code)
{
    const char* type = StatusData::getTypeFromCode(static_cast<StatusData::statusCode>(code));
    if (std::strcmp(type, "ERROR") == 0)
        return 3;
    if (std::strcmp(type, "WARNING") == 0)
        return 2;
    return std::strcmp(type, "INFO") == 0 ? 1 : 0;
}

} // namespace

const char* LogEntry::type() const
{
    return kind == Kind::Status ? StatusData::getTypeFromCode(static_cast<StatusData::statusCode>(code)) : "";
}

bool meansHeadsetLost(int code)
{
    return code == StatusData::DEVICE_IO_ERROR || code == StatusData::DEVICE_NOT_RESPONDING;
}

bool isChannelState(int code)
{
    return code >= StatusData::CHANNEL_1_CALIBRATED && code <= StatusData::DEFAULT_CHANNEL_STATE;
}

int mostSevere(const std::vector<int>& codes)
{
    int found = -1;
    for (int code : codes) {
        if (severity(code) > 0 && (found < 0 || severity(code) > severity(found)))
            found = code;
    }
    return found;
}

std::string reasonOf(const std::vector<int>& codes)
{
    std::vector<int> seen;
    std::string texts;
    for (int code : codes) {
        if (isChannelState(code) || std::find(seen.begin(), seen.end(), code) != seen.end())
            continue;
        seen.push_back(code);
        if (!texts.empty())
            texts += " / ";
        texts += StatusData::getStringFromCode(static_cast<StatusData::statusCode>(code));
    }
    return texts.empty() ? std::string("the library reported no reason") : texts;
}

StatusLog::StatusLog()
    : ring(CAPACITY)
{
}

void StatusLog::put(LogEntry entry) const
{
    entry.sequence = count;
    ring[static_cast<std::size_t>(count % static_cast<long long>(CAPACITY))] = std::move(entry);
    ++count;
}

void StatusLog::takeMarkers() const
{
    QueuedMarker queued;
    while (markers.pop(queued)) {
        LogEntry entry;
        entry.kind = LogEntry::Kind::Marker;
        entry.steadyNs = queued.steadyNs;
        entry.wallMs = queued.wallMs;
        entry.stream = queued.stream;
        entry.position = queued.position;
        entry.text.assign(queued.text, queued.length);
        put(std::move(entry));
    }
}

bool StatusLog::addMarker(std::int64_t steadyNs, long long wallMs, unsigned stream, double position,
                          const std::string& text)
{
    QueuedMarker queued;
    queued.steadyNs = steadyNs;
    queued.wallMs = wallMs;
    queued.position = position;
    queued.stream = stream;
    queued.length = static_cast<unsigned>(std::min(text.size(), MAX_MARKER_BYTES));
    std::memcpy(queued.text, text.data(), queued.length);
    return markers.bounded_push(queued);
}

long long StatusLog::add(LogEntry entry)
{
    std::lock_guard<std::mutex> lock(mutex);
    takeMarkers();
    put(std::move(entry));
    return count - 1;
}

long long StatusLog::next() const
{
    std::lock_guard<std::mutex> lock(mutex);
    takeMarkers();
    return count;
}

long long StatusLog::read(long long& cursor, std::vector<LogEntry>& out, std::size_t max) const
{
    std::lock_guard<std::mutex> lock(mutex);
    takeMarkers();
    const long long oldest = std::max(0LL, count - static_cast<long long>(CAPACITY));
    long long lost = 0;
    if (cursor < oldest) {
        lost = oldest - cursor;
        cursor = oldest;
    }
    for (; cursor < count && max > 0; ++cursor, --max)
        out.push_back(ring[static_cast<std::size_t>(cursor % static_cast<long long>(CAPACITY))]);
    return lost;
}

std::vector<int> StatusLog::codesSince(long long since) const
{
    std::lock_guard<std::mutex> lock(mutex);
    takeMarkers();
    std::vector<int> codes;
    for (long long s = std::max({since, 0LL, count - static_cast<long long>(CAPACITY)}); s < count; ++s) {
        const LogEntry& entry = ring[static_cast<std::size_t>(s % static_cast<long long>(CAPACITY))];
        if (entry.kind == LogEntry::Kind::Status)
            codes.push_back(entry.code);
    }
    return codes;
}

} // namespace session
} // namespace ondira
