#ifndef ONDIRA_VIEW_PSD_H
#define ONDIRA_VIEW_PSD_H

// Power spectral density by Welch's method (kissfft) and the classic EEG
// band powers.

#include <array>
#include <cstddef>
#include <memory>
#include <vector>

namespace ondira {
namespace view {

struct Band {
    const char* name;
    double lowHz;   ///< included
    double highHz;  ///< excluded
};

constexpr std::size_t BAND_COUNT = 4;
constexpr std::array<Band, BAND_COUNT> EEG_BANDS{{
    {"Delta", 1.0, 4.0},
    {"Theta", 4.0, 8.0},
    {"Alpha", 8.0, 13.0},
    {"Beta", 13.0, 30.0},
}};

/// One-sided power spectral density in µV²/Hz: density[k] lies at k x binHz.
struct Psd {
    double binHz = 0.0;
    std::vector<double> density;
    int segments = 0;         ///< segments averaged
    int segmentsSkipped = 0;  ///< left out because they held marked samples
    bool empty() const { return density.empty(); }
};

/// Welch's estimate: Hann-windowed segments overlapping by half, each with
/// its mean removed, their periodograms averaged.
class Welch
{
public:
    /// `segmentLength` must be even and at least 8; otherwise compute()
    /// always gives an empty PSD.
    explicit Welch(int segmentLength, double rateHz);
    ~Welch();
    Welch(const Welch&) = delete;
    Welch& operator=(const Welch&) = delete;

    int segmentLength() const { return length; }

    /// The PSD of x[0..count), empty when count is shorter than one segment.
    /// Segments that hold a sample with `marked` set (a filler, an offset
    /// step) are left out as long as at least one segment is clean; a null
    /// `marked` marks nothing.
    Psd compute(const float* x, const unsigned char* marked, std::size_t count);

private:
    struct Fft;
    int length;
    double rate;
    std::unique_ptr<Fft> fft;
    std::vector<float> window;
    double windowPower = 0.0;  // sum of the squared window
    std::vector<float> segment;
};

/// Power in each of EEG_BANDS, in µV²: the density summed over the bins whose
/// frequency lies in [low, high), times the bin width.
std::array<double, BAND_COUNT> bandPowers(const Psd& psd);

/// The frequency of the largest density in [fromHz, toHz]; 0 for an empty PSD.
double peakFrequency(const Psd& psd, double fromHz, double toHz);

} // namespace view
} // namespace ondira

#endif
