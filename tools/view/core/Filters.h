#ifndef ONDIRA_VIEW_FILTERS_H
#define ONDIRA_VIEW_FILTERS_H

// The filters of the traces. They change what is shown, never what is
// recorded. Every stage is designed by liquid-dsp from its corner
// frequencies; nothing here derives coefficients by hand.

#include <memory>
#include <string>
#include <vector>

namespace ondira {
namespace view {

struct FilterSettings {
    /// First-order DC blocker with its corner at DC_CORNER_HZ.
    bool dcRemoval = true;
    /// Butterworth high-pass (2nd order) at lowHz and low-pass (4th order) at highHz.
    bool bandPass = true;
    double lowHz = 1.0;
    double highHz = 40.0;
    /// 0 (off), 50 or 60: a 4th-order Butterworth band-stop NOTCH_WIDTH_HZ wide.
    int notchHz = 0;

    static constexpr double DC_CORNER_HZ = 0.1;
    static constexpr double NOTCH_WIDTH_HZ = 4.0;

    bool operator==(const FilterSettings& other) const;
    bool operator!=(const FilterSettings& other) const { return !(*this == other); }
};

/// What makes `settings` unusable at `rateHz` ("the band-pass needs ..."),
/// or empty when they can be applied.
std::string filterProblem(const FilterSettings& settings, double rateHz);

/// The filter chain of one channel, in µV in and out.
///
/// The chain starts from the level of the first sample it is given (and of
/// the first after reset()): it filters the difference to that level and adds
/// it back where no stage removes DC. A channel that sits at 20 mV therefore
/// does not begin with a step of 20 mV that rings for seconds.
class ChannelFilter
{
public:
    /// Settings that filterProblem() refuses leave the signal as it is.
    ChannelFilter(const FilterSettings& settings, double rateHz);
    ~ChannelFilter();
    ChannelFilter(ChannelFilter&&) noexcept;
    ChannelFilter& operator=(ChannelFilter&&) noexcept;

    float process(float microvolts);
    /// Forgets the past: the next sample starts the chain afresh.
    void reset();

private:
    struct Stages;
    std::unique_ptr<Stages> stages;
    bool removesDc = false;
    bool started = false;
    float baseline = 0.0f;
};

} // namespace view
} // namespace ondira

#endif
