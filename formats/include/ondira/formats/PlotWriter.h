#ifndef ONDIRA_FORMATS_PLOTWRITER_H
#define ONDIRA_FORMATS_PLOTWRITER_H

#include <ondira/formats/Writer.h>

#include <memory>

namespace ondira {
namespace formats {

/// A PNG picture of the whole recording: four stacked channels on a common
/// time axis in seconds, each with its label and a µV scale around its own
/// median; stretches of fillers shaded, offset changes and markers marked
/// (the markers with their text, as many as have room); a title with
/// start time, duration, sample count and losses.
///
/// Memory stays bounded however long the recording: the writer keeps the
/// minimum and maximum of each channel over at most a few thousand stretches
/// of the time line (merging neighbours as it grows) and a histogram of values
/// for the medians. It draws with QPainter on a QImage when closed, which
/// needs a QGuiApplication (any platform, e.g. QT_QPA_PLATFORM=offscreen) in
/// the process; close() fails with a message without one.
class PlotWriter : public Writer
{
public:
    explicit PlotWriter(std::string path, int width = 1600, int height = 900);
    ~PlotWriter() override;

    bool open() override;
    void describe(const RecordingInfo& info) override;
    bool writeSamples(const Sample* samples, std::size_t count) override;
    bool writeMarker(const Marker& marker) override;
    void startsAt(long long wallNs) override;
    bool writeClock(const ClockSummary& clock) override;
    bool close() override;
    void discard() override;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace formats
} // namespace ondira

#endif
