#include "RecordingSupport.h"

#include <edflib.h>

#include <QByteArray>
#include <QFile>
#include <QGuiApplication>

#include <cstdlib>
#include <thread>

namespace ondira_test {

void ensureGuiApplication()
{
    if (QCoreApplication::instance())
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "ondira_test";
    static char* argv[] = {name, nullptr};
    static QGuiApplication app(argc, argv);
}

CaptureWriter::CaptureWriter(std::shared_ptr<Capture> capture, int failAfter, int delayMs)
    : Writer("capture")
    , capture(std::move(capture))
    , failAfter(failAfter)
    , delayMs(delayMs)
{
}

void CaptureWriter::describe(const ondira::formats::RecordingInfo& info)
{
    std::lock_guard<std::mutex> lock(capture->mutex);
    capture->info = info;
}

bool CaptureWriter::writeSamples(const ondira::formats::Sample* samples, std::size_t count)
{
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    std::lock_guard<std::mutex> lock(capture->mutex);
    if (failAfter >= 0 && capture->writeCalls >= failAfter)
        return fail("capture: no space left (a test's failure)");
    ++capture->writeCalls;
    capture->samples.insert(capture->samples.end(), samples, samples + count);
    return true;
}

bool CaptureWriter::writeEvent(const ondira::formats::StatusEvent& event)
{
    std::lock_guard<std::mutex> lock(capture->mutex);
    capture->events.push_back(event);
    return true;
}

bool CaptureWriter::writeNote(const ondira::formats::Note& note)
{
    std::lock_guard<std::mutex> lock(capture->mutex);
    capture->notes.push_back(note);
    return true;
}

bool CaptureWriter::writeMarker(const ondira::formats::Marker& marker)
{
    std::lock_guard<std::mutex> lock(capture->mutex);
    capture->markers.push_back(marker);
    return true;
}

bool CaptureWriter::close()
{
    std::lock_guard<std::mutex> lock(capture->mutex);
    capture->closed = true;
    return error().empty();
}

std::vector<std::vector<std::string>> readCsv(const std::string& path)
{
    std::vector<std::vector<std::string>> rows;
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    const QByteArray text = file.readAll();
    std::vector<std::string> row;
    std::string cell;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                cell += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                cell += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.push_back(cell);
            cell.clear();
        } else if (c == '\n') {
            row.push_back(cell);
            cell.clear();
            rows.push_back(row);
            row.clear();
        } else {
            cell += c;
        }
    }
    if (!cell.empty() || !row.empty()) {
        row.push_back(cell);
        rows.push_back(row);
    }
    return rows;
}

EdfContent readEdf(const std::string& path)
{
    EdfContent content;
    auto header = std::make_unique<edf_hdr_struct>();
    if (edfopen_file_readonly(path.c_str(), header.get(), EDFLIB_READ_ALL_ANNOTATIONS) != 0) {
        content.error = "EDFlib cannot read " + path + " (error " + std::to_string(header->filetype) + ")";
        return content;
    }
    const int handle = header->handle;
    content.signalCount = header->edfsignals;
    content.records = header->datarecords_in_file;
    content.equipment = header->equipment;
    content.year = header->startdate_year;
    content.month = header->startdate_month;
    content.day = header->startdate_day;
    content.hour = header->starttime_hour;
    content.minute = header->starttime_minute;
    content.second = header->starttime_second;
    content.subsecond = header->starttime_subsecond;
    for (int s = 0; s < header->edfsignals; ++s) {
        const edf_param_struct& p = header->signalparam[s];
        content.labels.push_back(QString::fromUtf8(p.label).trimmed().toStdString());
        content.dimensions.push_back(QString::fromUtf8(p.physdimension).trimmed().toStdString());
        content.rates.push_back(static_cast<double>(p.smp_in_datarecord) * EDFLIB_TIME_DIMENSION
                                / static_cast<double>(header->datarecord_duration));
        std::vector<double> values(static_cast<std::size_t>(p.smp_in_file));
        const int read = edfread_physical_samples(handle, s, static_cast<int>(values.size()), values.data());
        values.resize(read > 0 ? static_cast<std::size_t>(read) : 0);
        content.microvolts.push_back(values);
    }
    for (long long i = 0; i < header->annotations_in_file; ++i) {
        edf_annotation_struct annotation;
        if (edf_get_annotation(handle, static_cast<int>(i), &annotation) != 0)
            break;
        const double duration = annotation.duration[0] ? std::atof(annotation.duration) : -1.0;
        // EDFlib gives onsets from the start of the data (the subsecond start removed).
        content.annotations.push_back({static_cast<double>(annotation.onset) / EDFLIB_TIME_DIMENSION, duration,
                                       annotation.annotation});
    }
    edfclose_file(handle);
    content.ok = true;
    return content;
}

} // namespace ondira_test
