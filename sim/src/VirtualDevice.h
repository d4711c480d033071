#ifndef ONDIRA_SIM_VIRTUALDEVICE_H
#define ONDIRA_SIM_VIRTUALDEVICE_H

// One attached virtual FTDI device: the USB side (handle, receive queue,
// line settings), the dongle behind it and the headset at the other end of
// the radio link.
//
// Time is model time in nanoseconds, given by the caller. The device has no
// thread: every call first brings the model up to the time it is given
// (advance), generating the data packets and replies due by then and moving
// bytes into the receive queue at the pace of the baud rate. Not thread-safe:
// the caller serialises every call.

#include "Ring.h"
#include "SimConfig.h"
#include "ondira_sim.h"

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

namespace ondira_sim {

/// Small deterministic generator (splitmix64), the same on every platform.
class Rng
{
public:
    explicit Rng(std::uint64_t seed) : state(seed) {}
    std::uint64_t next();
    /// Uniform in [0, 1).
    double uniform();
    /// The `n`-th output (from 1) of a generator seeded with `seed`, without
    /// drawing the ones before it.
    static std::uint64_t at(std::uint64_t seed, std::uint64_t n);
    static double toUniform(std::uint64_t bits);

private:
    std::uint64_t state;
};

class VirtualDevice
{
public:
    static constexpr std::int64_t NEVER = INT64_MAX;

    VirtualDevice(int index, const DeviceConfig& config, const GlobalConfig& global);

    int number() const { return index; }

    // --- settings ---------------------------------------------------------
    const DeviceConfig& config() const { return settings; }
    /// Applies changed settings at model time `now` (the past keeps the old ones).
    void reconfigure(const DeviceConfig& config, std::int64_t now);

    // --- USB side -----------------------------------------------------------
    bool isOpen() const { return open; }
    /// Whether the device is unplugged at `now`, after the timed unplug and
    /// re-plug (unplug_after_ms, replug_after_ms) due by then.
    bool isUnplugged(std::int64_t now);
    /// Whether calls on the held handle fail at `now`: the device is unplugged,
    /// or the handle was taken before an unplug (it stays dead until closed).
    bool isCutOff(std::int64_t now);
    std::uint64_t handleToken() const { return token; }
    /// Takes the device for the handle `newToken`; whatever arrived while it
    /// was closed is gone.
    void openAs(std::uint64_t newToken, std::int64_t now);
    void release();
    void unplug(std::int64_t now);
    /// Plugs an unplugged device in again: it can be opened anew; what was
    /// on its way to the host is gone.
    void replug(std::int64_t now);

    /// Bytes waiting in the receive queue at `now`.
    std::size_t available(std::int64_t now);
    /// Moves at most `length` waiting bytes into `buffer`.
    std::size_t take(unsigned char* buffer, std::size_t length);
    /// In fast mode: puts the next data packet into the receive queue at once
    /// when fewer than `wanted` bytes wait. Returns whether it added bytes.
    bool topUp(std::size_t wanted, std::int64_t now);
    /// Model time at which it is worth looking again for `wanted` bytes;
    /// NEVER when nothing is on its way.
    std::int64_t nextArrival(std::size_t wanted) const;
    /// Bytes from the radio side that the model does not make itself (a test's
    /// hand-made packets or noise), put on the line at `now` like a packet.
    void inject(std::vector<unsigned char> bytes, std::int64_t now);
    /// Bytes written by the host at `now`; `realMs` stamps recorded commands.
    void hostWrite(const unsigned char* bytes, std::size_t length, std::int64_t now, double realMs);

    void countReset() { ++resetCount; }
    void purge(unsigned mask);
    void setBaudRate(std::uint32_t baud, std::int64_t now);
    void setDataCharacteristics(unsigned word, unsigned stop, unsigned parityCode);
    void setTimeouts(std::uint32_t readMs, std::uint32_t writeMs);
    void setLatencyTimer(unsigned ms) { latency = ms; }
    std::uint32_t readTimeoutMs() const { return readTimeout; }

    std::size_t commandCount() const { return commands.size(); }
    const std::vector<OndiraSimCommand>& commandLog() const { return commands; }
    const std::vector<unsigned char>& writtenLog() const { return written; }
    void fillState(OndiraSimDeviceState& state, std::int64_t now);

    /// Brings the model up to `now`.
    void advance(std::int64_t now);

    /// Model time at which the last byte of data packet `packet` (counted
    /// from 0 since configuration) entered the receive queue; false when it
    /// was lost, has not arrived, or is too old to be remembered.
    bool arrivalOf(std::uint64_t packet, std::int64_t& at) const;

    /// The raw channel values of sample `sampleIndex`: sample n is sample
    /// n mod 5 of data packet n / 5, counted since the configuration. A pure
    /// function of the seed, the device, its signal settings and its offset
    /// registers as they are now; whether the packet was lost does not matter.
    void sample(std::uint64_t sampleIndex, std::array<std::uint16_t, 4>& raw) const;

private:
    enum class EffectKind { Reply, StartStream, StopStream, SetOffset };
    struct Effect {
        std::int64_t at;
        EffectKind kind;
        std::vector<unsigned char> bytes; // Reply
        int channel;                      // SetOffset
        int value;                        // SetOffset
    };
    /// A packet (or reply, or injected bytes) on the line; its bytes are
    /// the next `length` bytes of lineBytes after those of earlier chunks.
    struct Chunk {
        std::int64_t ready = 0;           // model time it may start on the line
        std::size_t length = 0;
        std::size_t sent = 0;             // bytes already in the receive queue
        std::int64_t packet = -1;         // data packet number; -1 for others
    };
    /// When the last byte of a data packet reached the receive queue.
    struct Arrival {
        std::uint64_t packet = ~0ull;
        std::int64_t at = 0;              // model time
    };
    static constexpr std::size_t ARRIVALS_KEPT = 4096;

    std::uint16_t dongleAddress() const;
    std::uint16_t headsetAddress() const { return static_cast<std::uint16_t>(dongleAddress() + 1); }
    std::int64_t byteTime() const;
    void schedule(Effect effect);
    void apply(const Effect& effect);
    void generatePacket(std::int64_t at);
    void serialize(std::int64_t now);
    void enqueue(const unsigned char* bytes, std::size_t length, std::int64_t at, std::int64_t packet);
    void hostByte(unsigned char byte, std::int64_t now, double realMs);
    void handleCommand(const OndiraSimCommand& command, std::int64_t now);
    void reply(std::uint16_t to, std::uint16_t from, unsigned char kind,
               const std::vector<unsigned char>& body, std::int64_t now);

    const int index;
    DeviceConfig settings;
    const bool hasDongle;   // false: a plain FTDI device, nothing behind it
    const bool fast;

    // USB side
    bool open = false;
    bool unplugged = false;
    bool timedUnplugDone = false;   // unplug_after_ms fires once
    bool packetUnplugDone = false;  // unplug_after_packets too
    bool staleHandle = false;       // the held handle dates from before an unplug
    std::int64_t unpluggedAt = 0;
    std::uint64_t token = 0;
    std::int64_t openedAt = 0;
    Ring<unsigned char> receiveQueue;
    Ring<Chunk> line;               // packets on their way to the receive queue
    Ring<unsigned char> lineBytes;  // their bytes not yet received
    std::array<Arrival, ARRIVALS_KEPT> arrivals{};
    std::int64_t lineFreeAt = 0;    // end of the last byte put on the line
    std::uint32_t baudRate = 0, wordLength = 0, stopBits = 0, parity = 0;
    std::uint32_t readTimeout = 0, writeTimeout = 0, latency = 0;
    unsigned openCount = 0, closeCount = 0, resetCount = 0, purgeCount = 0, lastPurgeMask = 0;

    // Host bytes and commands
    std::vector<unsigned char> written;
    std::vector<OndiraSimCommand> commands;
    unsigned zeroRun = 0;
    OndiraSimCommand pending{};
    unsigned pendingTotal = 0;      // 0: not inside a command

    // Radio and headset
    std::deque<Effect> effects;     // ordered by time
    std::uint8_t dongleChannel;
    std::uint8_t headsetChannel;
    bool streaming = false;
    std::int64_t nextPacketAt = NEVER;
    std::uint64_t packetNumber = 0;
    std::uint64_t packetsSent = 0, packetsLost = 0;
    std::array<int, 4> offsets{{512, 512, 512, 512}};
    std::array<int, 4> pendingOffsets{{-1, -1, -1, -1}};
    std::uint8_t toggle = 0;
    std::uint8_t offsetChangeSequence = 0;
    const std::uint64_t signalSeed;  // noise of sample n, channel i: output 4n + i + 1 of its generator
    Rng linkRng;
};

} // namespace ondira_sim

#endif
