// The display filters: their frequency response measured by feeding sines
// through the whole chain, where they start, and the settings they refuse.

#include "Filters.h"
#include "TraceBuffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace ondira::view;

namespace {

constexpr double RATE = 250.0;
constexpr double PI = 3.14159265358979323846;

/// Gain in dB of `settings` at `hz`: a sine of 100 µV on a 20 mV level, the
/// output's amplitude measured after the filters have settled.
double gainDb(const FilterSettings& settings, double hz)
{
    ChannelFilter filter(settings, RATE);
    const int settle = 30 * static_cast<int>(RATE); // 30 s: the 0.1 Hz corner rings for seconds
    const int measure = 20 * static_cast<int>(RATE);
    double peak = 0.0;
    for (int n = 0; n < settle + measure; ++n) {
        const double x = 20000.0 + 100.0 * std::sin(2 * PI * hz * n / RATE);
        const double y = filter.process(static_cast<float>(x));
        if (n >= settle)
            peak = std::max(peak, std::fabs(y - (settings.dcRemoval || settings.bandPass ? 0.0 : 20000.0)));
    }
    return 20 * std::log10(std::max(peak, 1e-6) / 100.0); // a perfect null reads -160 dB
}

FilterSettings only(bool dc, bool bandPass, int notch)
{
    FilterSettings s;
    s.dcRemoval = dc;
    s.bandPass = bandPass;
    s.notchHz = notch;
    return s;
}

} // namespace

TEST(Filters_FrequencyResponse, PassAndStopBandsAndNotches)
{
    struct Case {
        const char* what;
        FilterSettings settings;
        double hz;
        double minDb;
        double maxDb;
    };
    const FilterSettings bandPass = only(false, true, 0);
    const FilterSettings all50 = only(true, true, 50);
    const Case cases[] = {
        {"band-pass 1-40: alpha passes", bandPass, 10.0, -0.5, 0.5},
        {"band-pass 1-40: 3 Hz passes", bandPass, 3.0, -1.0, 0.5},
        {"band-pass 1-40: 30 Hz passes", bandPass, 30.0, -1.0, 0.5},
        {"band-pass 1-40: -3 dB at the low corner", bandPass, 1.0, -4.0, -2.0},
        {"band-pass 1-40: -3 dB at the high corner", bandPass, 40.0, -4.0, -2.0},
        {"band-pass 1-40: drift stopped", bandPass, 0.2, -200.0, -20.0},
        {"band-pass 1-40: 80 Hz stopped", bandPass, 80.0, -200.0, -35.0},
        {"notch 50: 50 Hz removed", only(false, false, 50), 50.0, -200.0, -40.0},
        {"notch 50: 49.5 Hz still well down", only(false, false, 50), 49.5, -200.0, -20.0},
        {"notch 50: 40 Hz passes", only(false, false, 50), 40.0, -0.5, 0.5},
        {"notch 50: 60 Hz passes", only(false, false, 50), 60.0, -0.5, 0.5},
        {"notch 50: alpha passes", only(false, false, 50), 10.0, -0.5, 0.5},
        {"notch 60: 60 Hz removed", only(false, false, 60), 60.0, -200.0, -40.0},
        {"notch 60: 50 Hz passes", only(false, false, 60), 50.0, -0.5, 0.5},
        {"DC removal: 1 Hz passes", only(true, false, 0), 1.0, -0.5, 0.5},
        {"DC removal: 0.1 Hz at its corner", only(true, false, 0), 0.1, -4.0, -2.0},
        {"all stages: alpha passes", all50, 10.0, -0.5, 0.5},
        {"all stages: mains removed", all50, 50.0, -200.0, -40.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const double db = gainDb(c.settings, c.hz);
        EXPECT_GE(db, c.minDb);
        EXPECT_LE(db, c.maxDb);
    }
}

TEST(Filters_Start, AChannelFarFromZeroDoesNotRingAtTheStart)
{
    // A channel at 20 mV with a small rhythm: the first second shown must not
    // be a 20 mV step decaying through the high-pass stages.
    struct Case {
        const char* what;
        FilterSettings settings;
        double expectedLevel;
    };
    const Case cases[] = {
        {"band-pass", only(false, true, 0), 0.0},
        {"DC removal", only(true, false, 0), 0.0},
        {"notch only keeps the level", only(false, false, 50), 20000.0},
        {"no filter", only(false, false, 0), 20000.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChannelFilter filter(c.settings, RATE);
        double worst = 0.0;
        for (int n = 0; n < static_cast<int>(RATE); ++n) {
            const double x = 20000.0 + 20.0 * std::sin(2 * PI * 10.0 * n / RATE);
            worst = std::max(worst, std::fabs(filter.process(static_cast<float>(x)) - c.expectedLevel));
        }
        EXPECT_LT(worst, 40.0);

        // After reset() the chain starts again from the new level.
        filter.reset();
        worst = 0.0;
        for (int n = 0; n < static_cast<int>(RATE); ++n)
            worst = std::max(worst, std::fabs(filter.process(5000.0f) - (c.expectedLevel == 0.0 ? 0.0 : 5000.0)));
        EXPECT_LT(worst, 1.0);
    }
}

TEST(Filters_Settings, RefusesWhatCannotBeDesigned)
{
    struct Case {
        const char* what;
        double low;
        double high;
        int notch;
        bool accepted;
    };
    const Case cases[] = {
        {"the default", 1.0, 40.0, 0, true},
        {"a 60 Hz notch", 1.0, 40.0, 60, true},
        {"low above high", 40.0, 30.0, 0, false},
        {"low equal to high", 10.0, 10.0, 0, false},
        {"low at zero", 0.0, 40.0, 0, false},
        {"high beyond 0.45 of the rate", 1.0, 120.0, 0, false},
        {"a notch at 55 Hz", 1.0, 40.0, 55, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FilterSettings s;
        s.lowHz = c.low;
        s.highHz = c.high;
        s.notchHz = c.notch;
        EXPECT_EQ(filterProblem(s, RATE).empty(), c.accepted) << filterProblem(s, RATE);
    }
    // Refused settings leave the signal as it is rather than making noise.
    FilterSettings refused;
    refused.lowHz = 50.0;
    refused.highHz = 20.0;
    ChannelFilter filter(refused, RATE);
    EXPECT_EQ(filter.process(1234.0f), 1234.0f);
}

TEST(TraceBuffer_Filters, ChangingThemFiltersTheHistoryAgain)
{
    // The traces shown after a change of filters are those a fresh chain
    // gives over the kept samples, not a mix of old and new.
    TraceBuffer buffer(1000);
    std::vector<DisplaySample> samples(1500);
    for (int n = 0; n < 1500; ++n) {
        for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c)
            samples[static_cast<std::size_t>(n)].sample.microvolts[static_cast<std::size_t>(c)] =
                static_cast<int>(15000 + 1000 * c + 50 * std::sin(2 * PI * (5 + c) * n / RATE) + (n % 7) * 3);
    }
    buffer.append(samples.data(), samples.size());
    ASSERT_EQ(buffer.first(), 500);
    ASSERT_EQ(buffer.end(), 1500);

    FilterSettings changed;
    changed.notchHz = 50;
    changed.lowHz = 2.0;
    buffer.setFilters(changed);
    for (int c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        SCOPED_TRACE(c);
        ChannelFilter fresh(changed, RATE);
        for (long long i = buffer.first(); i < buffer.end(); ++i)
            ASSERT_FLOAT_EQ(buffer.shown(c, i), fresh.process(buffer.raw(c, i))) << "sample " << i;
    }
}
