#include "SyntheticStream.h"

#include <algorithm>
#include <cmath>

namespace ondira_test {

namespace {
constexpr int SAMPLES_PER_PACKET = 5;
constexpr double NOMINAL_PERIOD_NS = 4e6;
constexpr double BYTE_NS = 1e10 / 115200; // ten bits a byte
constexpr double POLL_NS = 100e6;
constexpr double PER_SAMPLE_NS = 2000; // the worker's time per delivered sample
constexpr double START_NS = 1e12;

/// The headset's own time (ns since START_NS) at steady time `h`, its clock
/// running `speed` (1 + change (h - START_NS)) times as fast as the host's...
double headsetTime(double h, double speed, double change)
{
    const double t = h - START_NS;
    return speed * (t + 0.5 * change * t * t);
}

/// ...and the steady time at headset time `tau`.
double steadyTime(double tau, double speed, double change)
{
    const double x = tau / speed;
    return START_NS + 2.0 * x / (1.0 + std::sqrt(1.0 + 2.0 * change * x));
}

/// How long before its packet's last byte sample `j` is complete: the
/// samples' bytes are followed by four more, the last sample's by none.
double completeBefore(int j)
{
    const int after = (SAMPLES_PER_PACKET - 1 - j) * 8 + (j < SAMPLES_PER_PACKET - 1 ? 4 : 0);
    return after * BYTE_NS;
}
} // namespace

SyntheticStream::SyntheticStream(const StreamPlan& plan)
{
    period = NOMINAL_PERIOD_NS / plan.clockSpeed;
    speed = plan.clockSpeed;
    speedChange = plan.speedChangePpmPerMinute * 1e-6 / 60e9;
    const double packetNs = SAMPLES_PER_PACKET * period;
    // Packet p of the present phase arrives p packets of the headset's time
    // after its first, at firstArrival.
    double phaseStart = 0.0; // the headset's time at firstArrival
    auto arrivalOf = [&](long long p) {
        return steadyTime(
            phaseStart + static_cast<double>(p) * SAMPLES_PER_PACKET * NOMINAL_PERIOD_NS, speed,
            speedChange);
    };
    auto periodAt = [&](double h) {
        return NOMINAL_PERIOD_NS / (speed * (1.0 + speedChange * (h - START_NS)));
    };
    std::mt19937 random(plan.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);

    std::vector<StreamEvent> events = plan.events;
    std::sort(events.begin(), events.end(),
        [](const StreamEvent& a, const StreamEvent& b) { return a.atSeconds < b.atSeconds; });
    std::size_t nextEvent = 0;

    const double end = START_NS + plan.seconds * 1e9;
    std::uint32_t stream = 0;
    lines.emplace_back();
    // The headset's packets: packet p's last byte arrives at firstArrival + p packetNs.
    double firstArrival = START_NS + 25e6 + unit(random) * packetNs;
    phaseStart = headsetTime(firstArrival, speed, speedChange);
    long long packetNo = 0; ///< the next packet to read, from the stream's (or phase's) first
    int sampleNo = 0; ///< the next sample of it
    bool packetLost = unit(random) < plan.loss;
    std::int64_t index = 0; ///< the next index to deliver
    long lossFillers = 0;
    long extraFillers = 0; ///< fillers before the next packet that stand for no sample
    long silenceFillers = 0; ///< fillers before the first packet after the silence
    double silentFrom = 0.0, silentUntil = 0.0; ///< packets due meanwhile are not sent
    bool restartPending = false, restartNew = false;
    bool breakPending = false; ///< the next measured delivery follows an event
    lines.back().push_back(Line{ 0, firstArrival - (SAMPLES_PER_PACKET - 1) * period });

    double wake = START_NS + unit(random) * POLL_NS;
    while (wake < end) {
        while (nextEvent < events.size() && START_NS + events[nextEvent].atSeconds * 1e9 <= wake) {
            const StreamEvent& e = events[nextEvent++];
            const double at = START_NS + e.atSeconds * 1e9;
            switch (e.what) {
            case StreamEvent::What::SpuriousFillers:
                extraFillers += e.count;
                break;
            case StreamEvent::What::Silence:
                silentFrom = at;
                silentUntil = at + e.seconds * 1e9;
                silenceFillers = e.count;
                break;
            case StreamEvent::What::HeadsetBack:
            case StreamEvent::What::NewStream: {
                // Nothing comes for a while; then the headset starts anew.
                const bool fresh = e.what == StreamEvent::What::NewStream;
                firstArrival = at + e.seconds * 1e9 + 25e6 + unit(random) * packetNs;
                phaseStart = headsetTime(firstArrival, speed, speedChange);
                packetNo = 0;
                sampleNo = 0;
                packetLost = unit(random) < plan.loss;
                lossFillers = 0;
                extraFillers = 0;
                silenceFillers = 0;
                silentFrom = silentUntil = 0.0;
                restartPending = true;
                restartNew = fresh;
                if (fresh) {
                    ++stream;
                    lines.emplace_back();
                    index = 0;
                } else {
                    index += e.count;
                }
                lines.back().push_back(
                    Line{ index, firstArrival - (SAMPLES_PER_PACKET - 1) * period });
                break;
            }
            }
        }

        double t = wake;
        for (;;) {
            const double arrival = arrivalOf(packetNo);
            // A packet sent while the headset is silent never comes, and
            // no sequence number tells of it.
            const double sent = arrival - packetNs;
            if (sent >= silentFrom && sent < silentUntil) {
                ++packetNo;
                sampleNo = 0;
                packetLost = unit(random) < plan.loss;
                continue;
            }
            const double complete = arrival - completeBefore(sampleNo);
            if (complete > t)
                break;
            if (silenceFillers > 0 && sent >= silentUntil) {
                extraFillers += silenceFillers;
                silenceFillers = 0;
            }
            if (packetLost) {
                lossFillers += SAMPLES_PER_PACKET;
                ++packetNo;
                sampleNo = 0;
                packetLost = unit(random) < plan.loss;
                continue;
            }
            if (sampleNo == 0 && (lossFillers > 0 || extraFillers > 0)) {
                if (restartPending) {
                    restartList.push_back(RestartAt{ delivered.size(), restartNew });
                    restartPending = false;
                    breakPending = true;
                }
                for (long i = 0; i < extraFillers; ++i) {
                    delivered.push_back(Delivery{ index++, std::llround(t), Kind::SpuriousFiller });
                    t += PER_SAMPLE_NS;
                }
                if (extraFillers > 0) {
                    breakPending = true;
                    // The samples after them lie further on for the same time.
                    const double packetStart = arrival - (SAMPLES_PER_PACKET - 1) * period
                        - static_cast<double>(lossFillers) * period;
                    lines.back().push_back(Line{ index, packetStart });
                }
                extraFillers = 0;
                for (long i = 0; i < lossFillers; ++i) {
                    delivered.push_back(Delivery{ index++, std::llround(t), Kind::LossFiller });
                    t += PER_SAMPLE_NS;
                }
                lossFillers = 0;
            }
            if (restartPending) {
                restartList.push_back(RestartAt{ delivered.size(), restartNew });
                restartPending = false;
                breakPending = true;
            }
            if (breakPending) {
                breaks.push_back(t);
                breakPending = false;
            }
            const double trueNs = arrival - (SAMPLES_PER_PACKET - 1 - sampleNo) * periodAt(arrival);
            truth.push_back(TrueSample{ stream, index, trueNs });
            delivered.push_back(Delivery{ index++, std::llround(t), Kind::Measured });
            t += PER_SAMPLE_NS;
            if (++sampleNo == SAMPLES_PER_PACKET) {
                ++packetNo;
                sampleNo = 0;
                packetLost = unit(random) < plan.loss;
            }
        }
        wake = t + POLL_NS + plan.pollOverheadMs * 1e6 + unit(random) * plan.pollJitterMs * 1e6;
    }
}

double SyntheticStream::atNs(double seconds)
{
    return START_NS + seconds * 1e9;
}

bool SyntheticStream::truePosition(
    std::uint32_t stream, double ns, double* index, double* apartNs) const
{
    auto less = [](const TrueSample& a, const TrueSample& b) {
        return a.stream != b.stream ? a.stream < b.stream : a.ns < b.ns;
    };
    const auto after
        = std::upper_bound(truth.begin(), truth.end(), TrueSample{ stream, 0, ns }, less);
    if (after == truth.begin() || after == truth.end() || after->stream != stream)
        return false;
    const auto before = after - 1;
    if (before->stream != stream)
        return false;
    if (apartNs)
        *apartNs = after->ns - before->ns;
    *index = static_cast<double>(before->index)
        + static_cast<double>(after->index - before->index) * (ns - before->ns)
            / (after->ns - before->ns);
    return true;
}

bool SyntheticStream::trueTimeAt(std::uint32_t stream, double index, double* ns) const
{
    const auto after = std::upper_bound(
        truth.begin(), truth.end(), index, [stream](double i, const TrueSample& t) {
            return stream != t.stream ? stream < t.stream : i < static_cast<double>(t.index);
        });
    if (after == truth.begin() || (after - 1)->stream != stream)
        return false;
    const TrueSample& before = *(after - 1);
    if (static_cast<double>(before.index) == index) {
        *ns = before.ns;
        return true;
    }
    if (after == truth.end() || after->stream != stream)
        return false;
    *ns = before.ns
        + (after->ns - before.ns) * (index - static_cast<double>(before.index))
            / static_cast<double>(after->index - before.index);
    return true;
}

bool SyntheticStream::measured(std::uint32_t stream, std::int64_t index) const
{
    // Within a stream the measured samples rise in index as in time.
    const auto at = std::lower_bound(truth.begin(), truth.end(), TrueSample{ stream, index, 0.0 },
        [](const TrueSample& a, const TrueSample& b) {
            return a.stream != b.stream ? a.stream < b.stream : a.index < b.index;
        });
    return at != truth.end() && at->stream == stream && at->index == index;
}

double SyntheticStream::rateHzAt(double ns) const
{
    return 1e9 * speed * (1.0 + speedChange * (ns - START_NS)) / NOMINAL_PERIOD_NS;
}

double SyntheticStream::trueTime(std::uint32_t stream, std::int64_t index) const
{
    // Between measured samples, from them; beyond them, from the line pieces.
    double ns = 0.0;
    if (trueTimeAt(stream, static_cast<double>(index), &ns))
        return ns;
    const std::vector<Line>& pieces = lines.at(stream);
    auto piece = pieces.begin();
    for (auto p = pieces.begin(); p != pieces.end(); ++p) {
        if (p->firstIndex <= index)
            piece = p;
    }
    return piece->t + static_cast<double>(index - piece->firstIndex) * period;
}

} // namespace ondira_test
