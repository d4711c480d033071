#include "VirtualDevice.h"

#include <algorithm>
#include <cmath>
#include <cstring>

// Wire formats, as the dongle and the headset speak them (multi-byte numbers
// big-endian, addresses 16-bit):
//
// Host command:  len dstH dstL srcH srcL cmd [body]      len = bytes after it
//   B7 identity request (len 5)        A0 firmware version (len 5)
//   A8 get parameter: sel (len 6)      A9 set parameter: sel value (len 7)
//   D0 register write (len 18): 40 a3 a2 a1 a0 0B 00 FF 21 valH valL 00 00
// Replies go back with destination and source swapped:
//   CF identity: addrH addrL (len 7)   C0 firmware: version (len 6)
//   C4 parameter: value (len 6)        C5 set acknowledged (len 5)
// Data packet, 59 bytes, from the headset to the dongle:
//   3A dongleH dongleL headsetH headsetL D1 seq toggle offsetSeq
//   then five records: 40 0F c1H c1L c2H c2L c3H c3L c4H c4L
// The host writes zero bytes between commands; they are skipped.

namespace ondira_sim {

namespace {

constexpr std::int64_t MS = 1000000;                 // model nanoseconds
constexpr std::int64_t PACKET_PERIOD = 20 * MS;      // five samples at 250/s
constexpr double SAMPLE_PERIOD_S = 0.004;
constexpr std::size_t RECEIVE_CAPACITY = 65536;      // bytes beyond it are lost
constexpr std::size_t LINE_CAPACITY = 65536;         // bytes waiting in the dongle
constexpr std::uint32_t DEFAULT_BAUD = 9600;         // before the host sets one
constexpr int BITS_PER_BYTE = 10;                    // start, 8 data, stop
constexpr int HUM_AMPLITUDE = 40;
constexpr std::size_t FAST_TOP_UP_LIMIT = 256;       // packets per top-up at most
constexpr std::size_t DATA_PACKET_SIZE = 59;
constexpr double TWO_PI = 6.283185307179586;

constexpr unsigned char CMD_REQUEST_ID = 0xB7;
constexpr unsigned char CMD_GET_FIRMWARE_VERSION = 0xA0;
constexpr unsigned char CMD_GET_PARAMETER = 0xA8;
constexpr unsigned char CMD_SET_PARAMETER = 0xA9;
constexpr unsigned char CMD_REGISTER_WRITE = 0xD0;
constexpr unsigned char REPLY_ID = 0xCF;
constexpr unsigned char REPLY_FIRMWARE_VERSION = 0xC0;
constexpr unsigned char REPLY_PARAMETER = 0xC4;
constexpr unsigned char REPLY_SET_ACK = 0xC5;
constexpr unsigned char PACKET_DATA = 0xD1;
constexpr unsigned char PARAM_TRANSMISSION_CHANNEL = 2;
constexpr std::uint32_t REG_STREAM_CONTROL = 0x200;
constexpr std::uint32_t REG_CHANNEL_OFFSET = 0x400;
constexpr unsigned STREAM_START = 4092;
constexpr unsigned STREAM_STOP = 0;

bool isCommandStart(unsigned char byte)
{
    return byte == 5 || byte == 6 || byte == 7 || byte == 18;
}

std::uint64_t mix(std::uint64_t seed, std::uint64_t stream, int index)
{
    return seed * 0x9E3779B97F4A7C15ull + stream * 0xD1B54A32D192ED03ull
        + static_cast<std::uint64_t>(index + 1) * 0x8CB92BA72F3D8DD7ull;
}

} // namespace

std::uint64_t Rng::next()
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::uniform()
{
    return toUniform(next());
}

std::uint64_t Rng::at(std::uint64_t seed, std::uint64_t n)
{
    Rng rng(seed + (n - 1) * 0x9E3779B97F4A7C15ull);
    return rng.next();
}

double Rng::toUniform(std::uint64_t bits)
{
    return static_cast<double>(bits >> 11) * (1.0 / 9007199254740992.0);
}

VirtualDevice::VirtualDevice(int index, const DeviceConfig& config, const GlobalConfig& global)
    : index(index)
    , settings(config)
    , hasDongle(global.dongleIndex < 0 || global.dongleIndex == index)
    , fast(global.fast)
    , dongleChannel(config.channelDongle)
    , headsetChannel(config.channelHeadset)
    , signalSeed(mix(global.seed, 1, index))
    , linkRng(mix(global.seed, 2, index))
{
}

void VirtualDevice::reconfigure(const DeviceConfig& config, std::int64_t now)
{
    advance(now);
    const bool released = settings.hold && !config.hold;
    settings = config;
    // A held stream goes on from now, without a burst of the packets it held.
    if (released && streaming && !fast)
        nextPacketAt = std::max(nextPacketAt, now + PACKET_PERIOD);
    if (!settings.headsetOn) {
        // Switched off: the stream ends and a later power-up starts idle.
        streaming = false;
        nextPacketAt = NEVER;
    }
}

std::uint16_t VirtualDevice::dongleAddress() const
{
    const std::uint32_t address = settings.addressSet
        ? settings.address
        : DEFAULT_ADDRESS + ADDRESS_STRIDE * static_cast<std::uint32_t>(index);
    return static_cast<std::uint16_t>(address);
}

std::int64_t VirtualDevice::byteTime() const
{
    const std::uint32_t baud = baudRate != 0 ? baudRate : DEFAULT_BAUD;
    return std::max<std::int64_t>(1, BITS_PER_BYTE * 1000 * MS / baud);
}

bool VirtualDevice::isUnplugged(std::int64_t now)
{
    if (!unplugged && !timedUnplugDone && open && settings.unplugAfterMs >= 0
        && now - openedAt >= settings.unplugAfterMs * MS) {
        timedUnplugDone = true;
        unplug(openedAt + settings.unplugAfterMs * MS);
    }
    if (unplugged && settings.replugAfterMs >= 0 && now - unpluggedAt >= settings.replugAfterMs * MS)
        replug(unpluggedAt + settings.replugAfterMs * MS);
    return unplugged;
}

bool VirtualDevice::isCutOff(std::int64_t now)
{
    return isUnplugged(now) || staleHandle;
}

void VirtualDevice::unplug(std::int64_t now)
{
    if (unplugged)
        return;
    unplugged = true;
    unpluggedAt = now;
    staleHandle = open;
}

void VirtualDevice::replug(std::int64_t now)
{
    if (!unplugged)
        return;
    // The dongle lost power: the bytes on their way to the host are gone.
    receiveQueue.clear();
    line.clear();
    lineBytes.clear();
    lineFreeAt = now;
    unplugged = false;
}

void VirtualDevice::openAs(std::uint64_t newToken, std::int64_t now)
{
    advance(now);
    // Nobody read the port while it was closed: what arrived is gone.
    receiveQueue.clear();
    line.clear();
    lineBytes.clear();
    lineFreeAt = now;
    pendingTotal = 0;
    zeroRun = 0;
    open = true;
    staleHandle = false;
    token = newToken;
    openedAt = now;
    ++openCount;
}

void VirtualDevice::release()
{
    open = false;
    staleHandle = false;
    token = 0;
    ++closeCount;
}

void VirtualDevice::advance(std::int64_t now)
{
    for (;;) {
        const std::int64_t effectAt = effects.empty() ? NEVER : effects.front().at;
        const std::int64_t packetAt = streaming && !fast ? nextPacketAt : NEVER;
        if (std::min(effectAt, packetAt) > now)
            break;
        if (effectAt <= packetAt) {
            const Effect effect = std::move(effects.front());
            effects.pop_front();
            apply(effect);
        } else {
            if (!settings.hold)
                generatePacket(nextPacketAt);
            nextPacketAt += PACKET_PERIOD;
        }
    }
    serialize(now);
}

void VirtualDevice::schedule(Effect effect)
{
    auto position = effects.end();
    while (position != effects.begin() && std::prev(position)->at > effect.at)
        --position;
    effects.insert(position, std::move(effect));
}

void VirtualDevice::apply(const Effect& effect)
{
    switch (effect.kind) {
    case EffectKind::Reply:
        enqueue(effect.bytes.data(), effect.bytes.size(), effect.at, -1);
        break;
    case EffectKind::StartStream:
        if (settings.headsetOn && !streaming) {
            streaming = true;
            nextPacketAt = effect.at + PACKET_PERIOD; // the first five samples take 20 ms
        }
        break;
    case EffectKind::StopStream:
        if (!settings.ignoreStop) {
            streaming = false;
            nextPacketAt = NEVER;
        }
        break;
    case EffectKind::SetOffset:
        pendingOffsets[static_cast<std::size_t>(effect.channel)] = effect.value;
        break;
    }
}

void VirtualDevice::sample(std::uint64_t sampleIndex, std::array<std::uint16_t, 4>& raw) const
{
    const double t = static_cast<double>(sampleIndex) * SAMPLE_PERIOD_S;
    for (std::size_t i = 0; i < 4; ++i) {
        const double phase = 0.7 * static_cast<double>(i);
        // Lowering the offset register raises the channel's DC level.
        const double level = settings.level[i] + (512.0 - offsets[i]) * settings.offsetGain;
        const double envelope = 0.75 + 0.25 * std::sin(TWO_PI * 0.1 * t + phase);
        double value = level + settings.alpha * envelope * std::sin(TWO_PI * 10.0 * t + phase)
            + settings.noise * (2.0 * Rng::toUniform(Rng::at(signalSeed, 4 * sampleIndex + i + 1)) - 1.0);
        if (settings.hum != 0)
            value += HUM_AMPLITUDE * std::sin(TWO_PI * settings.hum * t);
        raw[i] = static_cast<std::uint16_t>(std::lround(std::clamp(value, 0.0, 65535.0)));
    }
}

void VirtualDevice::generatePacket(std::int64_t at)
{
    // The dongle goes before it sends packet number unplug_after_packets.
    if (!packetUnplugDone && settings.unplugAfterPackets >= 0
        && packetNumber >= static_cast<std::uint64_t>(settings.unplugAfterPackets)) {
        packetUnplugDone = true;
        unplug(at);
        return;
    }
    const std::uint64_t number = packetNumber++;
    const auto sequence = static_cast<std::uint8_t>(number & 0xFF);

    // Offset writes received since the last packet take effect here; the
    // toggle tells the host, and offsetSeq says in which packet.
    bool changed = false;
    for (std::size_t i = 0; i < 4; ++i) {
        if (pendingOffsets[i] >= 0) {
            offsets[i] = pendingOffsets[i];
            pendingOffsets[i] = -1;
            changed = true;
        }
    }
    if (changed) {
        toggle ^= 1;
        offsetChangeSequence = sequence;
    }

    // Garbage (up to 16 bytes) goes in front of the packet; built in place,
    // so that a packet costs no allocation.
    constexpr std::size_t MAX_GARBAGE = 16;
    unsigned char buffer[MAX_GARBAGE + DATA_PACKET_SIZE];
    unsigned char* const packet = buffer + MAX_GARBAGE;
    const std::uint16_t dongle = dongleAddress();
    const std::uint16_t headset = headsetAddress();
    const unsigned char header[] = {
        58,
        static_cast<unsigned char>(dongle >> 8), static_cast<unsigned char>(dongle),
        static_cast<unsigned char>(headset >> 8), static_cast<unsigned char>(headset),
        PACKET_DATA, sequence, toggle, offsetChangeSequence};
    std::copy(std::begin(header), std::end(header), packet);
    unsigned char* out = packet + sizeof header;
    for (std::uint64_t k = 0; k < 5; ++k) {
        std::array<std::uint16_t, 4> raw{};
        sample(number * 5 + k, raw); // drawn even for a lost packet: the signal does not depend on losses
        *out++ = 0x40;
        *out++ = 0x0F;
        for (std::uint16_t value : raw) {
            *out++ = static_cast<unsigned char>(value >> 8);
            *out++ = static_cast<unsigned char>(value);
        }
    }

    const bool lost = settings.drop.count(number) != 0
        || (settings.loss > 0.0 && linkRng.uniform() < settings.loss);
    if (lost) {
        ++packetsLost;
        return;
    }
    unsigned char* start = packet;
    if (settings.garbage > 0.0 && linkRng.uniform() < settings.garbage) {
        const std::size_t count = 1 + linkRng.next() % MAX_GARBAGE;
        start = packet - count;
        for (std::size_t i = 0; i < count; ++i)
            start[i] = static_cast<unsigned char>(linkRng.next());
    }
    ++packetsSent;
    enqueue(start, static_cast<std::size_t>(packet + DATA_PACKET_SIZE - start), at,
            static_cast<std::int64_t>(number));
}

void VirtualDevice::enqueue(const unsigned char* bytes, std::size_t length, std::int64_t at,
                            std::int64_t packet)
{
    // A line too slow for the stream backs up in the dongle, whose buffer
    // then overflows: what does not fit is lost.
    if (lineBytes.size() + length > LINE_CAPACITY)
        return;
    lineBytes.append(bytes, length);
    Chunk chunk;
    chunk.ready = at;
    chunk.length = length;
    chunk.packet = packet;
    line.push_back(chunk);
}

void VirtualDevice::serialize(std::int64_t now)
{
    const std::int64_t perByte = byteTime();
    while (!line.empty()) {
        Chunk& chunk = line.front();
        const std::size_t remaining = chunk.length - chunk.sent;
        std::size_t count = remaining;
        std::int64_t arrived = now;
        if (!fast) {
            const std::int64_t start = std::max(chunk.ready, lineFreeAt);
            if (start > now)
                break;
            count = std::min<std::size_t>(remaining, static_cast<std::size_t>((now - start) / perByte));
            lineFreeAt = start + static_cast<std::int64_t>(count) * perByte;
            arrived = lineFreeAt;
        }
        // What does not fit into the receive queue is lost.
        const std::size_t kept = std::min(count, RECEIVE_CAPACITY - std::min(RECEIVE_CAPACITY, receiveQueue.size()));
        for (std::size_t moved = 0; moved < kept;) {
            unsigned char moving[256];
            const std::size_t n = std::min(kept - moved, sizeof moving);
            lineBytes.take(moving, n);
            receiveQueue.append(moving, n);
            moved += n;
        }
        lineBytes.popFront(count - kept);
        chunk.sent += count;
        if (chunk.sent < chunk.length)
            break;
        if (chunk.packet >= 0) {
            Arrival& arrival = arrivals[static_cast<std::size_t>(chunk.packet) % ARRIVALS_KEPT];
            arrival.packet = static_cast<std::uint64_t>(chunk.packet);
            arrival.at = arrived;
        }
        line.pop_front();
    }
}

bool VirtualDevice::arrivalOf(std::uint64_t packet, std::int64_t& at) const
{
    const Arrival& arrival = arrivals[packet % ARRIVALS_KEPT];
    if (arrival.packet != packet)
        return false;
    at = arrival.at;
    return true;
}

void VirtualDevice::inject(std::vector<unsigned char> bytes, std::int64_t now)
{
    advance(now);
    enqueue(bytes.data(), bytes.size(), now, -1);
    serialize(now);
}

std::size_t VirtualDevice::available(std::int64_t now)
{
    advance(now);
    return receiveQueue.size();
}

std::size_t VirtualDevice::take(unsigned char* buffer, std::size_t length)
{
    const std::size_t count = std::min(length, receiveQueue.size());
    receiveQueue.take(buffer, count);
    return count;
}

bool VirtualDevice::topUp(std::size_t wanted, std::int64_t now)
{
    if (!fast)
        return false;
    advance(now);
    const std::size_t before = receiveQueue.size();
    for (std::size_t i = 0; i < FAST_TOP_UP_LIMIT && streaming && !settings.hold && !unplugged
                            && receiveQueue.size() < wanted;
         ++i) {
        generatePacket(now);
        serialize(now);
    }
    return receiveQueue.size() > before;
}

std::int64_t VirtualDevice::nextArrival(std::size_t wanted) const
{
    if (receiveQueue.size() >= wanted)
        return 0;
    if (fast)
        return NEVER; // replies land at once; data comes from topUp
    const std::int64_t perByte = byteTime();
    std::size_t have = receiveQueue.size();
    std::int64_t t = lineFreeAt;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const Chunk& chunk = line[i];
        const std::int64_t start = std::max(chunk.ready, t);
        const std::size_t remaining = chunk.length - chunk.sent;
        if (have + remaining >= wanted)
            return start + static_cast<std::int64_t>(wanted - have) * perByte;
        t = start + static_cast<std::int64_t>(remaining) * perByte;
        have += remaining;
    }
    std::int64_t next = effects.empty() ? NEVER : effects.front().at;
    if (streaming)
        next = std::min(next, nextPacketAt);
    return line.empty() ? next : std::min(next, t);
}

void VirtualDevice::hostWrite(const unsigned char* bytes, std::size_t length, std::int64_t now, double realMs)
{
    advance(now);
    written.insert(written.end(), bytes, bytes + length);
    for (std::size_t i = 0; i < length; ++i)
        hostByte(bytes[i], now, realMs);
    advance(now); // replies without delay are due at once
}

void VirtualDevice::hostByte(unsigned char byte, std::int64_t now, double realMs)
{
    if (pendingTotal == 0) {
        if (byte == 0) {
            ++zeroRun;
        } else if (isCommandStart(byte)) {
            pending = OndiraSimCommand{};
            pending.zeroPrefix = zeroRun;
            pending.bytes[0] = byte;
            pending.length = 1;
            pendingTotal = byte + 1u;
            zeroRun = 0;
        } else {
            zeroRun = 0; // a stray byte: skipped
        }
        return;
    }
    pending.bytes[pending.length++] = byte;
    if (pending.length == pendingTotal) {
        pendingTotal = 0;
        pending.timeMs = realMs;
        commands.push_back(pending);
        handleCommand(pending, now);
    }
}

void VirtualDevice::reply(std::uint16_t to, std::uint16_t from, unsigned char kind,
                          const std::vector<unsigned char>& body, std::int64_t now)
{
    Effect effect{now + (fast ? 0 : static_cast<std::int64_t>(settings.radioDelayMs) * MS),
                  EffectKind::Reply, {}, 0, 0};
    effect.bytes = {static_cast<unsigned char>(5 + body.size()),
                    static_cast<unsigned char>(to >> 8), static_cast<unsigned char>(to),
                    static_cast<unsigned char>(from >> 8), static_cast<unsigned char>(from), kind};
    effect.bytes.insert(effect.bytes.end(), body.begin(), body.end());
    schedule(std::move(effect));
}

void VirtualDevice::handleCommand(const OndiraSimCommand& command, std::int64_t now)
{
    if (!hasDongle)
        return; // a plain FTDI device: nothing listens behind it

    const unsigned char* b = command.bytes;
    const unsigned length = command.length;
    const auto destination = static_cast<std::uint16_t>(b[1] << 8 | b[2]);
    const auto source = static_cast<std::uint16_t>(b[3] << 8 | b[4]);
    const unsigned char kind = b[5];
    const std::uint16_t dongle = dongleAddress();
    const std::uint16_t headset = headsetAddress();

    // The identity request goes to address 0 (or to the dongle's own).
    if (kind == CMD_REQUEST_ID) {
        if (length == 6 && (destination == 0 || destination == dongle) && !settings.silent)
            reply(source, destination, REPLY_ID, {static_cast<unsigned char>(dongle >> 8),
                                                  static_cast<unsigned char>(dongle)}, now);
        return;
    }

    const bool toDongle = destination == dongle;
    const bool toHeadset = !toDongle && destination == headset;
    if ((toDongle && settings.silent) || (toHeadset && !settings.headsetOn) || (!toDongle && !toHeadset))
        return;

    std::uint8_t& channel = toDongle ? dongleChannel : headsetChannel;
    if (kind == CMD_GET_FIRMWARE_VERSION && length == 6) {
        reply(source, destination, REPLY_FIRMWARE_VERSION,
              {toDongle ? settings.fwDongle : settings.fwHeadset}, now);
    } else if (kind == CMD_GET_PARAMETER && length == 7 && b[6] == PARAM_TRANSMISSION_CHANNEL) {
        reply(source, destination, REPLY_PARAMETER, {channel}, now);
    } else if (kind == CMD_SET_PARAMETER && length == 8 && b[6] == PARAM_TRANSMISSION_CHANNEL) {
        channel = b[7];
        reply(source, destination, REPLY_SET_ACK, {}, now);
    } else if (kind == CMD_REGISTER_WRITE && length == 19 && toHeadset && b[6] == 0x40) {
        const std::uint32_t reg = static_cast<std::uint32_t>(b[7]) << 24 | static_cast<std::uint32_t>(b[8]) << 16
            | static_cast<std::uint32_t>(b[9]) << 8 | b[10];
        const unsigned value = static_cast<unsigned>(b[15]) << 8 | b[16];
        Effect effect{now + (fast ? 0 : static_cast<std::int64_t>(settings.radioDelayMs) * MS),
                      EffectKind::StartStream, {}, 0, 0};
        if (reg == REG_STREAM_CONTROL && value == STREAM_START) {
            schedule(std::move(effect));
        } else if (reg == REG_STREAM_CONTROL && value == STREAM_STOP) {
            effect.kind = EffectKind::StopStream;
            schedule(std::move(effect));
        } else if (reg >= REG_CHANNEL_OFFSET && reg < REG_CHANNEL_OFFSET + 8 && reg % 2 == 0) {
            effect.kind = EffectKind::SetOffset;
            effect.channel = static_cast<int>((reg - REG_CHANNEL_OFFSET) / 2);
            effect.value = static_cast<int>(value);
            schedule(std::move(effect));
        }
    }
}

void VirtualDevice::purge(unsigned mask)
{
    ++purgeCount;
    lastPurgeMask = mask;
    if (mask & 1u)
        receiveQueue.clear();
    // Bit 2 would clear the transmit queue, which is always empty here.
}

void VirtualDevice::setBaudRate(std::uint32_t baud, std::int64_t now)
{
    advance(now); // bytes up to now travelled at the old rate
    baudRate = baud;
}

void VirtualDevice::setDataCharacteristics(unsigned word, unsigned stop, unsigned parityCode)
{
    wordLength = word;
    stopBits = stop;
    parity = parityCode;
}

void VirtualDevice::setTimeouts(std::uint32_t readMs, std::uint32_t writeMs)
{
    readTimeout = readMs;
    writeTimeout = writeMs;
}

void VirtualDevice::fillState(OndiraSimDeviceState& state, std::int64_t now)
{
    advance(now);
    state = OndiraSimDeviceState{};
    state.open = open;
    state.unplugged = isUnplugged(now);
    state.streaming = streaming;
    state.dongleAddress = dongleAddress();
    state.openCount = openCount;
    state.closeCount = closeCount;
    state.resetCount = resetCount;
    state.purgeCount = purgeCount;
    state.lastPurgeMask = lastPurgeMask;
    state.baudRate = baudRate;
    state.wordLength = wordLength;
    state.stopBits = stopBits;
    state.parity = parity;
    state.readTimeout = readTimeout;
    state.writeTimeout = writeTimeout;
    state.latencyTimer = latency;
    state.commandCount = static_cast<unsigned>(commands.size());
    state.packetsSent = packetsSent;
    state.packetsLost = packetsLost;
    std::copy(offsets.begin(), offsets.end(), state.offsets);
    state.dongleChannel = dongleChannel;
    state.headsetChannel = headsetChannel;
}

} // namespace ondira_sim
