#include "Psd.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>

namespace ondira {
namespace view {

namespace {
constexpr double PI = 3.14159265358979323846;
}

struct Welch::Fft {
    kiss_fftr_cfg config = nullptr;
    std::vector<kiss_fft_cpx> bins;
    ~Fft() { kiss_fftr_free(config); }
};

Welch::Welch(int segmentLength, double rateHz)
    : length(segmentLength)
    , rate(rateHz)
    , fft(new Fft)
{
    if (length < 8 || length % 2 != 0 || !(rate > 0)) {
        length = 0; // computes nothing
        return;
    }
    fft->config = kiss_fftr_alloc(length, 0, nullptr, nullptr);
    fft->bins.resize(static_cast<std::size_t>(length / 2 + 1));
    window.resize(static_cast<std::size_t>(length));
    // The periodic Hann window: overlapping by half, the windows sum to a constant.
    for (int n = 0; n < length; ++n) {
        window[static_cast<std::size_t>(n)] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * PI * n / length));
        windowPower += static_cast<double>(window[static_cast<std::size_t>(n)]) * window[static_cast<std::size_t>(n)];
    }
    segment.resize(static_cast<std::size_t>(length));
}

Welch::~Welch() = default;

Psd Welch::compute(const float* x, const unsigned char* marked, std::size_t count)
{
    Psd psd;
    const std::size_t n = static_cast<std::size_t>(length);
    if (n == 0 || count < n)
        return psd;
    const std::size_t hop = n / 2;
    // The newest samples matter most: segments end at the last sample.
    std::vector<std::size_t> starts;
    for (std::size_t end = count; end >= n; end -= hop) {
        starts.push_back(end - n);
        if (end - n < hop)
            break;
    }
    std::vector<std::size_t> clean;
    for (std::size_t start : starts) {
        const bool hasMark = marked && std::any_of(marked + start, marked + start + n, [](unsigned char m) { return m != 0; });
        if (!hasMark)
            clean.push_back(start);
    }
    const std::vector<std::size_t>& used = clean.empty() ? starts : clean;
    psd.segmentsSkipped = static_cast<int>(starts.size() - used.size());

    const std::size_t binCount = n / 2 + 1;
    psd.binHz = rate / static_cast<double>(n);
    psd.density.assign(binCount, 0.0);
    for (std::size_t start : used) {
        double mean = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            mean += x[start + i];
        mean /= static_cast<double>(n);
        for (std::size_t i = 0; i < n; ++i)
            segment[i] = static_cast<float>((x[start + i] - mean) * window[i]);
        kiss_fftr(fft->config, segment.data(), fft->bins.data());
        for (std::size_t k = 0; k < binCount; ++k) {
            const double re = fft->bins[k].r;
            const double im = fft->bins[k].i;
            psd.density[k] += re * re + im * im;
        }
    }
    // Density: |X|^2 / (rate x sum w^2), doubled for the one-sided spectrum
    // except at DC and Nyquist, averaged over the segments.
    const double scale = 1.0 / (rate * windowPower * static_cast<double>(used.size()));
    for (std::size_t k = 0; k < binCount; ++k)
        psd.density[k] *= (k == 0 || k == binCount - 1) ? scale : 2.0 * scale;
    psd.segments = static_cast<int>(used.size());
    return psd;
}

std::array<double, BAND_COUNT> bandPowers(const Psd& psd)
{
    std::array<double, BAND_COUNT> powers{};
    for (std::size_t k = 0; k < psd.density.size(); ++k) {
        const double f = static_cast<double>(k) * psd.binHz;
        for (std::size_t b = 0; b < BAND_COUNT; ++b) {
            if (f >= EEG_BANDS[b].lowHz && f < EEG_BANDS[b].highHz)
                powers[b] += psd.density[k] * psd.binHz;
        }
    }
    return powers;
}

double peakFrequency(const Psd& psd, double fromHz, double toHz)
{
    double best = -1.0;
    double frequency = 0.0;
    for (std::size_t k = 0; k < psd.density.size(); ++k) {
        const double f = static_cast<double>(k) * psd.binHz;
        if (f >= fromHz && f <= toHz && psd.density[k] > best) {
            best = psd.density[k];
            frequency = f;
        }
    }
    return frequency;
}

} // namespace view
} // namespace ondira
