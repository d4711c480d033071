#ifndef ONDIRA_VIEW_SCALE_H
#define ONDIRA_VIEW_SCALE_H

// Vertical scales of the traces: microvolts per division in 1-2-5 steps.

#include <array>

namespace ondira {
namespace view {

constexpr std::array<double, 13> MICROVOLT_STEPS{
    {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000}};

/// The automatic scale for a trace that spans `spanMicrovolts` (largest minus
/// smallest value shown) in a lane `divisions` high: the smallest step that
/// fits it. `current` (0: none yet) is kept while it still fits and is no more
/// than two steps too coarse, so that the scale does not flicker.
double autoMicrovoltsPerDivision(double spanMicrovolts, int divisions, double current);

} // namespace view
} // namespace ondira

#endif
