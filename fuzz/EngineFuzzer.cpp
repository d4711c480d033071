// The parser, sample assembly and delivery through the engine, over the
// virtual headset's model on a manual clock (the engine's fake transport).
//
// The input is a headset configuration (loss, garbage, radio delay, a
// headset that ignores stop, the seed) and a script: let the worker poll,
// start, stop, close and open again, inject raw bytes or hand-made data
// packets, switch the headset off and on, switch calibration on, ask the
// headset a question, unplug the dongle, make writes fail.
//
// The worker runs on a thread of its own, as in the library, but in lockstep
// with the script: only one of the two threads runs at any time, and the
// worker only from one sleep to the next (a poll) when the script lets it.
// A run therefore depends on nothing but its input, and a crash replays.
//
// Checked on every record: it arrives while the engine streams; its flag is
// 0..9 and its values 0..38570; within a session (from a start to the next
// start, stop or close) timestamps are exactly 4 ms apart, the session does
// not begin with a filler and a filler repeats the record before it; an
// offset-step flag (2..9) comes only after an offset was written. Every
// status event is a valid code. A session that only the headset fed (no
// injected bytes, no calibration) is accounted for exactly: every sample the
// headset sent arrived in order with its value or was replaced by exactly
// one filler, and unless the headset was switched off no filler stands for
// a silence.

#include "FuzzInput.h"

#include "FakeTransport.h"
#include "SampleAccounting.h"
#include "device/FTDIDevice.h"
#include "engine/ReaderEngine.h"
#include "protocol/ZAREProtocol.h"

#include <ondira/IDataConsumer.h>
#include <ondira/PData.h>

#include <QtGlobal>

#include <memory>
#include <vector>

namespace {

using ondira_engine_test::FakeTransport;
using ondira_fuzz::FuzzInput;
using ondira_test::Record;

constexpr const char* TARGET = "engine";
constexpr int MAX_OPERATIONS = 48;
constexpr long long MAX_FAKE_MS = 40000;
constexpr int MAX_VALUE = 38570;
/// A session's first sample lies within this many packets of its start
/// (before it: packets still on their way when it began).
constexpr std::uint64_t WINDOW_PACKETS = 300;
/// Injected bytes have all arrived this long after they were injected (a
/// data packet takes 4.6 ms at the default 128000 baud).
constexpr long long INJECTION_MS = 10;

void check(bool holds, const std::string& what)
{
    if (!holds)
        ondira_fuzz::broken(TARGET, what);
}

struct Session {
    std::size_t firstRecord = 0;
    std::uint64_t firstPacket = 0; ///< the device's next packet at the start
    bool fedByHand = false;        ///< injected bytes or calibration: values not accountable
    bool silence = false;          ///< the headset was switched off meanwhile
};

class Run : public IDataConsumer
{
public:
    explicit Run(const std::string& config)
        : fake(config, FakeTransport::Stepping::Lockstep,
               [](const std::string& message) { ondira_fuzz::broken(TARGET, message); })
        , device(fake.binding())
        , engine(&device, &protocol, fake.clock())
    {
        fake.attach(&engine);
        engine.getSampleProducer().registerConsumer(*this);
        engine.getStatusProducer().registerConsumer(statuses);
    }

    ~Run()
    {
        engine.closeDevice();
        endSession();
    }

    void play(FuzzInput& input);

    // Sample consumer: runs on the worker, while the script waits for it.
    void receiveData(PData& data) override
    {
        const OndiraData& sample = *static_cast<const OndiraData*>(data.getData());
        const Record r = ondira_test::toRecord(sample);
        const std::string where = " (record " + std::to_string(records.size()) + ")";
        check(engine.isStreaming(), "a record while not streaming" + where);
        check(r.flag >= 0 && r.flag <= 9, "flag " + std::to_string(r.flag) + where);
        for (int value : r.channels)
            check(value >= 0 && value <= MAX_VALUE, "value " + std::to_string(value) + where);
        if (r.flag >= 2)
            check(offsetWritten(), "an offset-step flag before any offset was written" + where);
        if (records.size() == session.firstRecord) {
            check(r.flag != OndiraData::FLAG_LOST_SAMPLE, "a session that begins with a filler" + where);
        } else {
            const Record& previous = records.back();
            check(r.timestamp - previous.timestamp == 4, "timestamps " + std::to_string(previous.timestamp) + ", "
                                                             + std::to_string(r.timestamp) + where);
            check(r.flag != OndiraData::FLAG_LOST_SAMPLE || r.channels == previous.channels,
                  "a filler that does not repeat the record before it" + where);
        }
        records.push_back(r);
    }

private:
    class StatusCheck : public IDataConsumer
    {
    public:
        void receiveData(PData& data) override
        {
            const int code = static_cast<const StatusData*>(data.getData())->getCode();
            check(code >= 0 && code <= StatusData::DEVICE_NOT_OPEN, "status code " + std::to_string(code));
        }
    };

    std::uint64_t packetsGenerated()
    {
        const OndiraSimDeviceState state = fake.state(0);
        return state.packetsSent + state.packetsLost;
    }

    bool offsetWritten()
    {
        for (const auto& write : fake.registerWrites(0)) {
            if (write.first >= ondira::ZAREProtocol::REG_CHANNEL_OFFSET
                && write.first < ondira::ZAREProtocol::REG_CHANNEL_OFFSET + 8)
                return true;
        }
        return false;
    }

    void beginSession()
    {
        endSession();
        session = Session{};
        session.firstRecord = records.size();
        session.firstPacket = packetsGenerated();
        // Injected bytes are on the line for a few milliseconds; those the
        // worker has not read yet reach the new session.
        session.fedByHand = calibrating || fake.workerSleptAtMs() < lastInjectionMs + INJECTION_MS;
        session.silence = headsetOff;
    }

    /// Accounts for the session that ends now (a start, a stop, a close).
    void endSession()
    {
        const std::vector<Record> mine(records.begin() + static_cast<std::ptrdiff_t>(session.firstRecord),
                                       records.end());
        const bool accountable = !session.fedByHand && !mine.empty();
        session.firstRecord = records.size();
        if (!accountable)
            return;
        const std::uint64_t from = session.firstPacket > WINDOW_PACKETS ? session.firstPacket - WINDOW_PACKETS : 0;
        const ondira_test::Accounting a = ondira_test::account(
            mine, [this](std::uint64_t n) { return fake.sample(0, n); }, 5 * from,
            5 * (session.firstPacket + WINDOW_PACKETS));
        check(a.exact, "accounting: " + a.failure);
        check(session.silence || a.silenceFillers == 0,
              std::to_string(a.silenceFillers) + " fillers for a silence while the headset was on");
    }

    // What the consumers use is declared first: the engine goes before it.
    StatusCheck statuses;
    std::vector<Record> records;
    Session session;
    bool calibrating = false;
    bool headsetOff = false;
    long long lastInjectionMs = -1000;
    FakeTransport fake;
    ondira::FTDIDevice device;
    ondira::ZAREProtocol protocol;
    ondira::ReaderEngine engine;
};

void Run::play(FuzzInput& input)
{
    if (!engine.openDevice())
        return;
    for (int op = 0; op < MAX_OPERATIONS && !input.empty() && fake.elapsedMs() < MAX_FAKE_MS; ++op) {
        switch (input.pick(12)) {
        case 0:
        case 1:
        case 2:
            for (unsigned polls = 1 + input.pick(8); polls > 0; --polls)
                fake.step();
            break;
        case 3:
            if (engine.startStreaming())
                beginSession();
            break;
        case 4:
            // A stop that failed may leave the stream running until the
            // worker ends: the session goes on meanwhile.
            if (engine.stopStreaming() || !engine.isStreaming())
                endSession();
            break;
        case 5: {
            std::vector<unsigned char> bytes(input.pick(48));
            for (unsigned char& b : bytes)
                b = input.byte();
            fake.inject(0, bytes);
            lastInjectionMs = fake.elapsedMs();
            session.fedByHand = true;
            break;
        }
        case 6: {
            // A data packet from the headset's address, made by hand.
            std::vector<unsigned char> packet{58, 0x12, 0x34, 0x12, 0x35, 0xD1, input.byte(),
                                              static_cast<unsigned char>(input.byte() & 1), input.byte()};
            for (int record = 0; record < 5; ++record) {
                packet.push_back(0x40);
                packet.push_back(0x0F);
                for (int i = 0; i < 8; ++i)
                    packet.push_back(input.byte());
            }
            fake.inject(0, packet);
            lastInjectionMs = fake.elapsedMs();
            session.fedByHand = true;
            break;
        }
        case 7:
            headsetOff = !headsetOff;
            fake.set(0, headsetOff ? "headset=off" : "headset=on");
            session.silence = true;
            break;
        case 8: {
            const unsigned channel = input.pick(4);
            const int value = static_cast<int>(input.pick(3)); // 2 is refused
            engine.setChannelEnabled(static_cast<std::uint8_t>(channel), value);
            if (value == 1) {
                calibrating = true;
                session.fedByHand = true;
            }
            break;
        }
        case 9:
            engine.ping();
            break;
        case 10:
            engine.closeDevice();
            endSession();
            if (!engine.openDevice())
                return;
            break;
        case 11:
            switch (input.pick(3)) {
            case 0:
                fake.set(0, "unplug_after_ms=0");
                break;
            case 1:
                fake.set(0, "fail_writes_after=" + std::to_string(fake.state(0).commandCount));
                break;
            default:
                fake.set(0, "fail_writes_after=1000000");
                break;
            }
            break;
        }
    }
    endSession();
}

void silence(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(silence);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    static const char* const losses[] = {"0", "0.01", "0.1", "0.4"};
    static const char* const garbage[] = {"0", "0.02", "0.2", "0.5"};
    static const char* const delays[] = {"5", "0", "30", "150"};
    const std::uint8_t headset = input.byte();
    const std::string config = std::string("loss=") + losses[headset & 3] + " garbage=" + garbage[(headset >> 2) & 3]
        + " radio_delay_ms=" + delays[(headset >> 4) & 3] + " ignore_stop=" + ((headset & 0x40) ? "1" : "0")
        + " replug_after_ms=1000 seed=" + std::to_string(input.byte());
    Run run(config);
    run.play(input);
    return 0;
}
