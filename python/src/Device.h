#ifndef ONDIRA_PYTHON_DEVICE_H
#define ONDIRA_PYTHON_DEVICE_H

#include "ChunkReader.h"
#include "SampleRing.h"
#include "StatusLog.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class Ondira;

namespace ondira {
namespace python {

/// One facade with the package's two consumers registered, as the Python
/// Headset drives it. No Python in here: the binding releases the interpreter
/// lock around every call that can block.
///
/// Threads: any number of Python threads may call in. Facade calls are
/// serialised by a mutex of the device (the facade does not serialise calls
/// from several threads itself); reads by readMutex(). Neither is ever waited
/// for while holding the interpreter lock.
class Device
{
public:
    /// What a facade call came to: whether it succeeded, and the most severe
    /// status event it raised (-1: none).
    struct Result {
        bool ok = false;
        int code = -1;
    };
    /// A property's value as the library reported it.
    struct Value {
        bool ok = false;
        int code = -1;
        int integer = 0;
        std::string text;
    };

    /// Constructs the facade, which loads the D2XX driver library from
    /// `driverLibrary` (empty: wherever the library finds it by itself).
    Device(const std::string& driverLibrary, std::size_t ringCapacity);
    /// Stops streaming, closes the device and deregisters the consumers.
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    /// Registers the consumers and opens the device; nothing when already open.
    Result open();
    /// Stops streaming and closes the device; nothing when closed.
    void close();
    Result start();
    Result stop();
    Value getProperty(const std::string& name);
    Result setProperty(const std::string& name, int value);

    bool isOpen() const { return opened.load(); }
    /// Started, not stopped, and not ended by the library on an error.
    bool isStreaming() const;
    /// The event that ended the stream the application started (-1: none).
    int streamEndCode() const;

    SampleRing& samples() { return ring; }
    StatusLog& status() { return log; }
    /// Serialises reads; take it without holding the interpreter lock.
    std::timed_mutex& readMutex() { return reading; }
    ChunkReader& reader() { return chunks; }

private:
    template <typename Call>
    Result call(Call facadeCall);

    SampleRing ring;
    StatusLog log;
    ChunkReader chunks;
    std::unique_ptr<Ondira> facade;
    std::mutex control;          // around every facade call
    std::timed_mutex reading;
    std::atomic<bool> opened{false};
    std::atomic<bool> started{false};
};

/// Makes facades constructed while it lives load the D2XX driver library
/// from `path` (all of them, process-wide); the previous setting comes back
/// when it ends. One at a time: a second scope waits for the first.
class DriverLibraryScope
{
public:
    explicit DriverLibraryScope(const std::string& path);
    ~DriverLibraryScope();
    DriverLibraryScope(const DriverLibraryScope&) = delete;
    DriverLibraryScope& operator=(const DriverLibraryScope&) = delete;

private:
    std::unique_lock<std::mutex> lock;
    bool active = false;
    bool hadValue = false;
    std::string previous;
};

} // namespace python
} // namespace ondira

#endif
