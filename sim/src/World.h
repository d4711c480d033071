#ifndef ONDIRA_SIM_WORLD_H
#define ONDIRA_SIM_WORLD_H

// The virtual world shared by the D2XX entry points and the control API: the
// attached devices, the model clock and the configuration. One mutex guards
// all of it; FT_Read waits on the condition variable, which releases the
// mutex, so a waiting read never holds up another call.
//
// The exported entry points and the control API work on one process-wide
// world whose model clock follows real time. Unit tests of the library make
// worlds of their own on a manual clock: model time is whatever the test sets,
// and reads never wait.

#include "SimConfig.h"
#include "VirtualDevice.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ondira_sim {

using Clock = std::chrono::steady_clock;

struct World {
    std::mutex mutex;
    std::condition_variable changed;   ///< notified on every write, close, set and configure
    bool initialized = false;          ///< ONDIRA_SIM has been read
    Config config;
    bool refusing = false;             ///< a configuration was refused: no device opens
    std::string lastError;
    std::vector<std::unique_ptr<VirtualDevice>> devices;
    Clock::time_point epoch;           ///< real time of the last configuration
    std::uint64_t nextToken = 1;       ///< handles are never reused, so stale ones never match
    std::FILE* capture = nullptr;
    bool manualClock = false;          ///< model time is manualNow, not real time
    std::int64_t manualNow = 0;        ///< model nanoseconds, set by the owner

    /// Model time in nanoseconds: real time since the configuration, times the time scale.
    std::int64_t modelNow() const;
    /// Real milliseconds since the configuration.
    double realMs() const;
    /// The real moment at which the model clock reaches `model`.
    Clock::time_point toReal(std::int64_t model) const;

    /// The device that `handle` names, or null for an unknown or stale handle.
    VirtualDevice* find(void* handle);
    static void* handleFor(std::uint64_t token);

    /// Replaces the world by one built from `text`. Returns false (and
    /// reports on standard error) for an invalid configuration.
    bool configure(const char* text);
    /// Records a refused configuration: reported, and no device opens.
    void refuse(const std::string& message);
    void writeCapture(int device, const unsigned char* bytes, std::size_t length);
};

/// The process-wide world of the exported entry points and the control API.
World& globalWorld();

/// Locks a world. The process-wide one reads ONDIRA_SIM on first use (unless
/// the caller is about to replace the configuration anyway).
class WorldLock
{
public:
    explicit WorldLock(World& world = globalWorld(), bool readEnvironment = true);
    World& world;
    std::unique_lock<std::mutex> lock;
};

} // namespace ondira_sim

#endif
