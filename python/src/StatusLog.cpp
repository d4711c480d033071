#include "StatusLog.h"

#include "SampleRing.h"

#include <ondira/PData.h>
#include <ondira/StatusData.h>

#include <chrono>
#include <cstring>

namespace ondira {
namespace python {

namespace {

constexpr std::size_t RECENT_LIMIT = 64; // more than any one facade call raises

long long wallNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int severity(int code)
{
    const char* type = StatusData::getTypeFromCode(static_cast<StatusData::statusCode>(code));
    if (std::strcmp(type, "ERROR") == 0)
        return 3;
    if (std::strcmp(type, "WARNING") == 0)
        return 2;
    return 1;
}

} // namespace

void StatusLog::receiveData(PData& data)
{
    const int code = static_cast<const StatusData*>(data.getData())->getCode();
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (pending.size() >= EVENT_LIMIT) {
            pending.erase(pending.begin());
            ++droppedCount;
        }
        pending.push_back(EventRecord{wallNowMs(), code});
        recent.emplace_back(++sequence, code);
        if (recent.size() > RECENT_LIMIT)
            recent.pop_front();
    }
    if (code == StatusData::DEVICE_NOT_RESPONDING) {
        // The library has stopped streaming.
        notResponding.store(true);
        ring.wake();
    } else if (code == StatusData::DEVICE_IO_ERROR) {
        ioErrorAtMs.store(steadyNowMs());
        ring.wake();
    }
}

std::vector<EventRecord> StatusLog::take()
{
    std::vector<EventRecord> events;
    std::lock_guard<std::mutex> lock(mutex);
    events.swap(pending);
    return events;
}

long long StatusLog::dropped() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return droppedCount;
}

long long StatusLog::mark() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return sequence;
}

int StatusLog::mostSevereSince(long long since) const
{
    std::lock_guard<std::mutex> lock(mutex);
    int found = -1;
    for (const auto& entry : recent) {
        if (entry.first <= since)
            continue;
        if (found < 0 || severity(entry.second) > severity(found))
            found = entry.second;
    }
    return found;
}

void StatusLog::streamStarted()
{
    notResponding.store(false);
    ioErrorAtMs.store(0);
}

int StatusLog::streamEndCode(long long lastArrivalMs) const
{
    if (notResponding.load())
        return StatusData::DEVICE_NOT_RESPONDING;
    // A read or write failure ends the worker, after which nothing arrives;
    // samples that still come after it show that the stream goes on.
    const long long errorAt = ioErrorAtMs.load();
    if (errorAt != 0 && lastArrivalMs <= errorAt && steadyNowMs() - errorAt >= IO_ERROR_SILENCE_MS)
        return StatusData::DEVICE_IO_ERROR;
    return -1;
}

} // namespace python
} // namespace ondira
