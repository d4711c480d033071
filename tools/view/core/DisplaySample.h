#ifndef ONDIRA_VIEW_DISPLAYSAMPLE_H
#define ONDIRA_VIEW_DISPLAYSAMPLE_H

#include <ondira/recorder/Records.h>

namespace ondira {
namespace view {

using recorder::CHANNEL_COUNT;
using recorder::SAMPLE_RATE_HZ;
using recorder::Sample;

/// A sample on its way from the library's worker to the GUI thread.
/// Trivially copyable: the lock-free ring copies it into preallocated slots.
struct DisplaySample {
    Sample sample;
    /// Samples just before this one that the ring had no room for (the GUI
    /// thread fell behind): the display shows them as a gap.
    int skippedBefore = 0;
    /// The first sample after streaming (re)started.
    bool restart = false;
};

} // namespace view
} // namespace ondira

#endif
