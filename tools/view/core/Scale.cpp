#include "Scale.h"

#include <algorithm>

namespace ondira {
namespace view {

double autoMicrovoltsPerDivision(double spanMicrovolts, int divisions, double current)
{
    const double needed = divisions > 0 ? std::max(0.0, spanMicrovolts) / divisions : 0.0;
    const auto fit = std::lower_bound(MICROVOLT_STEPS.begin(), MICROVOLT_STEPS.end(), needed);
    const double best = fit == MICROVOLT_STEPS.end() ? MICROVOLT_STEPS.back() : *fit;
    if (current > 0 && current >= best) {
        const auto currentStep = std::find(MICROVOLT_STEPS.begin(), MICROVOLT_STEPS.end(), current);
        if (currentStep != MICROVOLT_STEPS.end() && currentStep - fit <= 2)
            return current;
    }
    return best;
}

} // namespace view
} // namespace ondira
