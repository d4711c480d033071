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

long long StatusLog::add(LogEntry entry)
{
    std::lock_guard<std::mutex> lock(mutex);
    entry.sequence = count;
    ring[static_cast<std::size_t>(count % static_cast<long long>(CAPACITY))] = std::move(entry);
    return count++;
}

long long StatusLog::next() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return count;
}

long long StatusLog::read(long long& cursor, std::vector<LogEntry>& out, std::size_t max) const
{
    std::lock_guard<std::mutex> lock(mutex);
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
