#ifndef ONDIRA_VIEW_DISPLAYSAMPLE_H
#define ONDIRA_VIEW_DISPLAYSAMPLE_H

#include <ondira/formats/Records.h>

namespace ondira {
namespace view {

using formats::Sample;

/// A sample for the display, as the library delivered it or a filler for
/// time without samples.
struct DisplaySample {
    Sample sample;
    /// Samples just before this one that the display's tap had no room for
    /// (the GUI thread fell behind): the display shows them as a gap.
    int skippedBefore = 0;
    /// The first sample after streaming (re)started, or after a lost headset
    /// came back.
    bool restart = false;
    /// Its place on its stream's time line (from 0, fillers and skipped
    /// samples counted), and the stream (from 1, a new one at every start):
    /// what markers are placed by.
    long long index = 0;
    unsigned stream = 0;
};

} // namespace view
} // namespace ondira

#endif
