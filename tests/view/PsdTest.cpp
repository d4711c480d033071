// Welch's spectrum: where peaks lie, that its scale is a density (band power
// of a sine is A^2/2, the integral of white noise is its variance), and that
// marked segments stay out.

#include "Psd.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace ondira::view;

namespace {

constexpr double RATE = 250.0;
constexpr double PI = 3.14159265358979323846;

std::vector<float> sine(double hz, double amplitude, std::size_t count, double level = 0.0)
{
    std::vector<float> x(count);
    for (std::size_t n = 0; n < count; ++n)
        x[n] = static_cast<float>(level + amplitude * std::sin(2 * PI * hz * static_cast<double>(n) / RATE + 0.3));
    return x;
}

} // namespace

TEST(Psd_Welch, SinePeaksAtItsFrequencyWithPowerHalfItsSquaredAmplitude)
{
    struct Case {
        double hz;
        double amplitude;
        std::size_t band; // the band its power falls into
    };
    const Case cases[] = {{2.0, 80.0, 0}, {6.0, 40.0, 1}, {10.0, 30.0, 2}, {20.0, 10.0, 3}};
    Welch welch(250, RATE);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hz);
        // On a large DC level, as the headset delivers it: the mean is removed per segment.
        const std::vector<float> x = sine(c.hz, c.amplitude, 1000, 20000.0);
        const Psd psd = welch.compute(x.data(), nullptr, x.size());
        ASSERT_EQ(psd.segments, 7);
        EXPECT_DOUBLE_EQ(psd.binHz, 1.0);
        EXPECT_DOUBLE_EQ(peakFrequency(psd, 1.0, 60.0), c.hz);
        const auto powers = bandPowers(psd);
        EXPECT_NEAR(powers[c.band], c.amplitude * c.amplitude / 2, 0.03 * c.amplitude * c.amplitude / 2);
        for (std::size_t b = 0; b < BAND_COUNT; ++b) {
            if (b != c.band) {
                EXPECT_LT(powers[b], 0.01 * powers[c.band]) << EEG_BANDS[b].name;
            }
        }
    }
}

TEST(Psd_Welch, WhiteNoiseIntegratesToItsVariance)
{
    std::mt19937 generator(11);
    std::normal_distribution<double> noise(0.0, 15.0);
    std::vector<float> x(1000);
    for (float& v : x)
        v = static_cast<float>(noise(generator));
    Welch welch(250, RATE);
    const Psd psd = welch.compute(x.data(), nullptr, x.size());
    double total = 0.0;
    for (double d : psd.density)
        total += d * psd.binHz;
    EXPECT_NEAR(total, 225.0, 225.0 * 0.15);
}

TEST(Psd_Welch, MarkedSegmentsStayOutWhileCleanOnesExist)
{
    Welch welch(250, RATE);
    std::vector<float> x = sine(10.0, 30.0, 1000);
    std::vector<unsigned char> marked(x.size(), 0);
    // An offset step of 500 µV late in the window: it would spread power over
    // every band.
    for (std::size_t n = 900; n < x.size(); ++n)
        x[n] += 500.0f;
    marked[900] = 1;

    const Psd unmarked = welch.compute(x.data(), nullptr, x.size());
    const Psd psd = welch.compute(x.data(), marked.data(), x.size());
    EXPECT_EQ(psd.segments + psd.segmentsSkipped, 7);
    EXPECT_EQ(psd.segmentsSkipped, 1); // [750, 1000) holds sample 900
    EXPECT_NEAR(bandPowers(psd)[2], 450.0, 15.0);
    EXPECT_GT(bandPowers(unmarked)[0], 10 * bandPowers(psd)[0]);

    // When every segment holds a mark, all of them count: a spectrum still shows.
    std::vector<unsigned char> everywhere(x.size(), 0);
    for (std::size_t n = 0; n < x.size(); n += 100)
        everywhere[n] = 1;
    const Psd allMarked = welch.compute(x.data(), everywhere.data(), x.size());
    EXPECT_EQ(allMarked.segments, 7);
    EXPECT_EQ(allMarked.segmentsSkipped, 0);
}

TEST(Psd_Welch, TooFewSamplesGiveNoSpectrum)
{
    Welch welch(250, RATE);
    const std::vector<float> x = sine(10.0, 30.0, 249);
    EXPECT_TRUE(welch.compute(x.data(), nullptr, x.size()).empty());
    EXPECT_EQ(peakFrequency(Psd(), 1.0, 60.0), 0.0);
    Welch odd(251, RATE);
    const std::vector<float> y = sine(10.0, 30.0, 1000);
    EXPECT_TRUE(odd.compute(y.data(), nullptr, y.size()).empty());
}
