#include "Filters.h"

#include <complex>
#include <liquid/liquid.h>

#include <cmath>
#include <cstdio>

namespace ondira {
namespace view {

namespace {

constexpr float PASS_BAND_RIPPLE_DB = 1.0f;  // ignored by Butterworth designs, required by the call
constexpr float STOP_BAND_DB = 60.0f;
constexpr double HIGHEST_CORNER = 0.45;      // of the sample rate: clear of Nyquist
constexpr double PI = 3.14159265358979323846;

iirfilt_rrrf butterworth(liquid_iirdes_bandtype band, unsigned order, double cornerHz, double centreHz, double rateHz)
{
    return iirfilt_rrrf_create_prototype(LIQUID_IIRDES_BUTTER, band, LIQUID_IIRDES_SOS, order,
                                         static_cast<float>(cornerHz / rateHz), static_cast<float>(centreHz / rateHz),
                                         PASS_BAND_RIPPLE_DB, STOP_BAND_DB);
}

} // namespace

bool FilterSettings::operator==(const FilterSettings& other) const
{
    return dcRemoval == other.dcRemoval && bandPass == other.bandPass && lowHz == other.lowHz
        && highHz == other.highHz && notchHz == other.notchHz;
}

std::string filterProblem(const FilterSettings& settings, double rateHz)
{
    char text[160];
    if (settings.bandPass) {
        const double highest = HIGHEST_CORNER * rateHz;
        if (!(settings.lowHz > 0) || !(settings.highHz > settings.lowHz) || !(settings.highHz <= highest)) {
            std::snprintf(text, sizeof text,
                          "the band-pass needs 0 < low < high <= %.1f Hz, not %.2f to %.2f Hz", highest,
                          settings.lowHz, settings.highHz);
            return text;
        }
    }
    if (settings.notchHz != 0 && settings.notchHz != 50 && settings.notchHz != 60) {
        std::snprintf(text, sizeof text, "the notch is at 50 or 60 Hz, not %d Hz", settings.notchHz);
        return text;
    }
    if (settings.notchHz != 0 && settings.notchHz + FilterSettings::NOTCH_WIDTH_HZ / 2 > HIGHEST_CORNER * rateHz) {
        std::snprintf(text, sizeof text, "a %d Hz notch needs a sample rate above %.0f Hz", settings.notchHz,
                      (settings.notchHz + FilterSettings::NOTCH_WIDTH_HZ / 2) / HIGHEST_CORNER);
        return text;
    }
    return std::string();
}

struct ChannelFilter::Stages {
    std::vector<iirfilt_rrrf> filters;

    ~Stages()
    {
        for (iirfilt_rrrf f : filters)
            iirfilt_rrrf_destroy(f);
    }
    void add(iirfilt_rrrf f)
    {
        if (f)
            filters.push_back(f);
    }
};

ChannelFilter::ChannelFilter(const FilterSettings& settings, double rateHz)
    : stages(new Stages)
{
    if (!filterProblem(settings, rateHz).empty())
        return;
    if (settings.dcRemoval) {
        // H(z) = (1 - z^-1) / (1 - (1 - a) z^-1), whose corner lies at a * rate / 2 pi.
        const double alpha = 2.0 * PI * FilterSettings::DC_CORNER_HZ / rateHz;
        stages->add(iirfilt_rrrf_create_dc_blocker(static_cast<float>(alpha)));
        removesDc = true;
    }
    if (settings.bandPass) {
        stages->add(butterworth(LIQUID_IIRDES_HIGHPASS, 2, settings.lowHz, 0.0, rateHz));
        stages->add(butterworth(LIQUID_IIRDES_LOWPASS, 4, settings.highHz, 0.0, rateHz));
        removesDc = true;
    }
    if (settings.notchHz != 0) {
        // liquid's band-stop takes the lower corner and the centre.
        stages->add(butterworth(LIQUID_IIRDES_BANDSTOP, 2, settings.notchHz - FilterSettings::NOTCH_WIDTH_HZ / 2,
                                settings.notchHz, rateHz));
    }
}

ChannelFilter::~ChannelFilter() = default;
ChannelFilter::ChannelFilter(ChannelFilter&&) noexcept = default;
ChannelFilter& ChannelFilter::operator=(ChannelFilter&&) noexcept = default;

float ChannelFilter::process(float microvolts)
{
    if (!stages || stages->filters.empty())
        return microvolts;
    if (!started) {
        baseline = microvolts;
        started = true;
    }
    float value = microvolts - baseline;
    for (iirfilt_rrrf f : stages->filters)
        iirfilt_rrrf_execute(f, value, &value);
    return removesDc ? value : value + baseline;
}

void ChannelFilter::reset()
{
    if (!stages)
        return;
    for (iirfilt_rrrf f : stages->filters)
        iirfilt_rrrf_reset(f);
    started = false;
}

} // namespace view
} // namespace ondira
