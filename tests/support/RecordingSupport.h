#ifndef ONDIRA_TESTS_SUPPORT_RECORDINGSUPPORT_H
#define ONDIRA_TESTS_SUPPORT_RECORDINGSUPPORT_H

// Helpers of the recorder's tests: a QGuiApplication for the plot, a writer
// that keeps what it is given, and readers of the files written.

#include <ondira/formats/Writer.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ondira_test {

/// Creates the process's QGuiApplication (offscreen) once.
void ensureGuiApplication();

/// Keeps every call it gets; shared, so that a test still reads it after the
/// session has destroyed the writer.
struct Capture {
    std::mutex mutex;
    ondira::formats::RecordingInfo info;
    std::vector<ondira::formats::Sample> samples;
    std::vector<ondira::formats::StatusEvent> events;
    std::vector<ondira::formats::Note> notes;
    std::vector<ondira::formats::Marker> markers;
    int writeCalls = 0;
    bool closed = false;
};

class CaptureWriter : public ondira::formats::Writer
{
public:
    /// `failAfter`: writeSamples fails from that call on (-1: never);
    /// `delayMs`: each writeSamples call takes that long.
    explicit CaptureWriter(std::shared_ptr<Capture> capture, int failAfter = -1, int delayMs = 0);
    bool open() override { return true; }
    void describe(const ondira::formats::RecordingInfo& info) override;
    bool writeSamples(const ondira::formats::Sample* samples, std::size_t count) override;
    bool writeEvent(const ondira::formats::StatusEvent& event) override;
    bool writeNote(const ondira::formats::Note& note) override;
    bool writeMarker(const ondira::formats::Marker& marker) override;
    bool close() override;
    void discard() override {}

private:
    std::shared_ptr<Capture> capture;
    int failAfter;
    int delayMs;
};

/// The cells of a CSV file (quoted fields understood); empty when it cannot be read.
std::vector<std::vector<std::string>> readCsv(const std::string& path);

struct EdfAnnotation {
    double onset;      // seconds from the start of the data
    double duration;   // seconds, -1 when absent
    std::string text;
};

/// An EDF+ file as EDFlib's reader sees it.
struct EdfContent {
    bool ok = false;
    std::string error;
    int signalCount = 0;
    std::vector<std::string> labels;
    std::vector<double> rates;
    std::vector<std::string> dimensions;
    long long records = 0;
    std::string equipment;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    long long subsecond = 0;  // 100 ns units
    std::vector<std::vector<double>> microvolts;  // per signal
    std::vector<EdfAnnotation> annotations;
};
EdfContent readEdf(const std::string& path);

} // namespace ondira_test

#endif
