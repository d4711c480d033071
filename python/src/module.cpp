// The compiled half of the ondira package: the headset's facade with the
// package's consumers (Device), reads into numpy arrays, and recording to
// EDF+. The Python half (ondira/*.py) checks arguments and raises the
// package's exceptions; this half never calls Python from a thread of the
// library, and never holds the interpreter lock while a call can block.

#include "Device.h"
#include "Record.h"

#include <ondira/StatusData.h>
#include <ondira/formats/Records.h>
#include <ondira/session/Driver.h>
#include <ondira/session/Session.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace py = pybind11;
using namespace ondira::python;

namespace {

long long steadyMs()
{
    return ondira::session::steadyNowNs() / 1000000;
}

/// A blocking read looks at Ctrl-C at least this often.
constexpr long long SIGNAL_CHECK_MS = 50;
constexpr double MAX_TIMEOUT_SECONDS = 366.0 * 24 * 3600;

// ---------------------------------------------------------------------------
// Trace messages: the library's debug traces are dropped unless asked for,
// everything else goes where it went before.

std::atomic<bool> verboseTraces{false};
QtMessageHandler previousHandler = nullptr;

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg) {
        if (verboseTraces.load()) {
            std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
            std::fflush(stderr);
        }
        return;
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

// ---------------------------------------------------------------------------

/// Destroys a Device without holding the interpreter lock: closing joins
/// the library's worker. Python may drop the last reference on any thread,
/// also while the device streams.
struct ReleasingDelete {
    void operator()(Device* device) const
    {
        if (PyGILState_Check()) {
            py::gil_scoped_release release;
            delete device;
        } else {
            delete device;
        }
    }
};

py::tuple result(const Device::Result& r)
{
    return py::make_tuple(r.ok, r.code);
}

/// Raises KeyboardInterrupt (or whatever a signal handler raised) here.
void checkSignals()
{
    py::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
}

/// Takes the read mutex without holding the interpreter lock (a thread that
/// holds the mutex may be waiting for the interpreter lock), looking for
/// Ctrl-C while another thread's read holds it.
std::unique_lock<std::timed_mutex> lockForReading(std::timed_mutex& mutex)
{
    std::unique_lock<std::timed_mutex> lock(mutex, std::defer_lock);
    py::gil_scoped_release release;
    while (!lock.try_lock_for(std::chrono::milliseconds(SIGNAL_CHECK_MS)))
        checkSignals();
    return lock;
}

/// rows < 0: what has arrived, without waiting. Otherwise up to `rows` rows,
/// waiting while the stream runs, at most `timeoutSeconds` (< 0: no limit).
/// Returns (data, timestamps_ms, flags, offset_change, dropped, markers),
/// markers a list of (position, text, wall ms).
py::tuple readChunk(Device& device, long long rows, double timeoutSeconds)
{
    std::unique_lock<std::timed_mutex> lock = lockForReading(device.readMutex());
    ChunkReader& reader = device.reader();
    {
        py::gil_scoped_release release;
        reader.collect();
        if (rows > 0) {
            const auto wanted = static_cast<std::size_t>(rows);
            // Negative or NaN: no limit; beyond a year: none either.
            const bool bounded = timeoutSeconds >= 0 && timeoutSeconds < MAX_TIMEOUT_SECONDS;
            const long long deadline =
                bounded ? steadyMs() + static_cast<long long>(std::ceil(timeoutSeconds * 1000.0)) : 0;
            while (reader.rowsReady() < wanted && device.isStreaming()) {
                const long long now = steadyMs();
                if (bounded && now >= deadline)
                    break;
                const long long slice = bounded ? std::min(SIGNAL_CHECK_MS, deadline - now) : SIGNAL_CHECK_MS;
                device.samples().waitFor(wanted - reader.rowsReady(), slice);
                reader.collect();
                // What was collected stays in the reader when this raises.
                checkSignals();
            }
        }
    }
    const std::size_t count =
        rows < 0 ? reader.rowsReady() : std::min(reader.rowsReady(), static_cast<std::size_t>(rows));
    const auto n = static_cast<py::ssize_t>(count);
    py::array_t<double> data({n, static_cast<py::ssize_t>(OndiraData::CHANNEL_COUNT)});
    py::array_t<std::int64_t> timestamps(n);
    py::array_t<std::uint8_t> flags(n);
    py::array_t<std::uint8_t> offsetChanges(n);
    py::array_t<bool> dropped(n);
    // The stream's state before the rows are taken: a marker goes at the end
    // of a stream only once that stream had ended and every row is out.
    const StreamState state = device.streamState();
    std::vector<ChunkMarker> found;
    reader.take(count,
                ChunkArrays{data.mutable_data(), timestamps.mutable_data(), flags.mutable_data(),
                            offsetChanges.mutable_data(), dropped.mutable_data()},
                state, found);
    py::list markers;
    for (const ChunkMarker& m : found)
        markers.append(py::make_tuple(m.position, py::str(m.text), m.wallMs));
    return py::make_tuple(data, timestamps, flags, offsetChanges, dropped, markers);
}

const char* refusalName(Device::RecordRefusal refusal)
{
    switch (refusal) {
    case Device::RecordRefusal::None:
        return "";
    case Device::RecordRefusal::Running:
        return "running";
    case Device::RecordRefusal::NotOpen:
        return "not open";
    case Device::RecordRefusal::Output:
        return "output";
    }
    return "?";
}

/// Returns (refusal, error): refusal "" when it records.
py::tuple startRecording(Device& device, const std::string& path,
                         const std::vector<std::string>& labels)
{
    Device::Labels names;
    for (std::size_t c = 0; c < names.size(); ++c)
        names[c] = labels.at(c);
    std::string error;
    Device::RecordRefusal refusal;
    {
        py::gil_scoped_release release;
        refusal = device.startRecording(path, names, error);
    }
    return py::make_tuple(refusalName(refusal), error);
}

py::tuple startPublishing(Device& device, const std::string& name,
    const std::string& interfaceAddress, const std::vector<std::string>& labels)
{
    ondira::session::LslOptions options;
    options.name = name;
    options.interfaceAddress = interfaceAddress;
    for (std::size_t c = 0; c < options.labels.size(); ++c)
        options.labels[c] = labels.at(c);
    std::string error;
    Device::RecordRefusal refusal;
    {
        py::gil_scoped_release release;
        refusal = device.startPublishing(options, error);
    }
    return py::make_tuple(refusalName(refusal), error);
}

py::dict publishingStatus(Device& device)
{
    ondira::session::LslStatus s;
    {
        py::gil_scoped_release release;
        s = device.publishingStatus();
    }
    py::dict d;
    d["running"] = s.running;
    d["source_id"] = s.sourceId;
    d["inlets"] = s.inlets;
    d["samples"] = s.samples;
    d["markers"] = s.markers;
    d["dropped_for_inlets"] = s.droppedForInlets;
    return d;
}

/// The recording's summary, or None when there was none.
py::object finishRecording(Device& device)
{
    RecordingSummary s;
    bool have;
    {
        py::gil_scoped_release release;
        have = device.finishRecording(s);
    }
    if (!have)
        return py::none();
    py::dict d;
    d["path"] = s.path;
    d["samples"] = s.result.samples;
    d["fillers"] = s.result.fillers;
    d["dropped"] = s.result.dropped;
    d["markers"] = s.result.markers;
    d["events_by_type"] = s.result.eventsByType;
    d["files"] = s.result.files;
    d["error"] = s.result.error;
    d["reconnects"] = s.reconnects;
    d["dongle_firmware"] = s.info.dongleFirmware;
    d["headset_firmware"] = s.info.headsetFirmware;
    d["dongle_channel"] = s.info.dongleChannel;
    d["headset_channel"] = s.info.headsetChannel;
    return std::move(d);
}

py::dict summaryDict(const ondira::session::Summary& s)
{
    py::dict device;
    device["dongle_firmware"] = s.device.dongleFirmware;
    device["headset_firmware"] = s.device.headsetFirmware;
    device["dongle_channel"] = s.device.dongleChannel;
    device["headset_channel"] = s.device.headsetChannel;
    py::dict d;
    d["outcome"] = ondira::session::outcomeName(s.outcome);
    d["message"] = s.message;
    d["failure_code"] = s.failureCode;
    d["samples"] = s.samples;
    d["fillers"] = s.fillers;
    d["library_samples"] = s.librarySamples;
    d["overflowed"] = s.overflowed;
    d["reconnects"] = s.reconnects;
    d["events_by_type"] = s.eventsByType;
    d["seconds"] = s.recordedSeconds;
    d["effective_rate"] = s.effectiveRate;
    d["device"] = device;
    d["files"] = s.files;
    return d;
}

py::dict record(const std::string& path, double seconds, const std::vector<std::string>& labels,
                const std::vector<bool>& calibrate, double reconnectSeconds, const std::string& driverLibrary)
{
    RecordRequest request;
    request.path = path;
    request.options.driver = ondira::session::Driver::d2xx(driverLibrary);
    request.options.seconds = seconds;
    request.options.reconnectSeconds = reconnectSeconds;
    for (std::size_t c = 0; c < OndiraData::CHANNEL_COUNT; ++c) {
        request.options.labels[c] = labels.at(c);
        request.options.calibrate[c] = calibrate.at(c);
    }
    ondira::session::Summary summary;
    {
        py::gil_scoped_release release;
        summary = recordEdf(request, [] {
            py::gil_scoped_acquire acquire;
            // The error stays set; it is raised once the files are complete.
            return PyErr_CheckSignals() != 0;
        });
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    return summaryDict(summary);
}

py::tuple configureVirtualHeadset(const std::string& path, const std::string& config)
{
    std::string error;
    bool ok;
    {
        py::gil_scoped_release release;
        ok = ondira::session::configureVirtualHeadset(path, config, error);
    }
    return py::make_tuple(ok, error);
}

} // namespace

PYBIND11_MODULE(_ondira, m)
{
    m.doc() = "The compiled half of the ondira package; use the ondira package instead.";

    previousHandler = qInstallMessageHandler(messageHandler);
    m.def("set_verbose", [](bool on) { verboseTraces.store(on); });

    m.attr("CHANNEL_COUNT") = OndiraData::CHANNEL_COUNT;
    m.attr("SAMPLE_RATE_HZ") = OndiraData::SAMPLE_RATE_HZ;
    m.attr("SAMPLE_PERIOD_MS") = OndiraData::SAMPLE_PERIOD_MS;
    m.attr("FLAG_NONE") = static_cast<int>(OndiraData::FLAG_NONE);
    m.attr("FLAG_LOST_SAMPLE") = static_cast<int>(OndiraData::FLAG_LOST_SAMPLE);
    m.attr("MAX_LABEL_LENGTH") = ondira::formats::MAX_LABEL_LENGTH;
    m.def("is_valid_label", &ondira::formats::isValidLabel, py::arg("label"));
    m.def("status_text", [](int code) {
        return StatusData::getStringFromCode(static_cast<StatusData::statusCode>(code));
    });
    m.def("status_type", [](int code) {
        return StatusData::getTypeFromCode(static_cast<StatusData::statusCode>(code));
    });

    py::class_<Device, std::unique_ptr<Device, ReleasingDelete>>(m, "Device")
        .def(py::init([](const std::string& driverLibrary, std::size_t capacity,
                          double reconnectSeconds, bool virtualHeadset) {
            if (capacity == 0)
                throw py::value_error("the read buffer needs room for one sample at least");
            // The session's thread constructs the facade, which loads the
            // driver library and appends to log.txt.
            py::gil_scoped_release release;
            const ondira::session::Driver driver = virtualHeadset
                ? ondira::session::Driver::virtualHeadset(driverLibrary)
                : ondira::session::Driver::d2xx(driverLibrary);
            return std::unique_ptr<Device, ReleasingDelete>(
                new Device(driver, capacity, reconnectSeconds));
        }),
            py::arg("driver_library"), py::arg("capacity"), py::arg("reconnect_seconds") = 0.0,
            py::arg("virtual_headset") = false)
        .def("open",
            [](Device& d) {
                Device::Result r;
                {
                    py::gil_scoped_release release;
                    r = d.open();
                }
                return result(r);
            })
        .def("close", &Device::close, py::call_guard<py::gil_scoped_release>())
        .def("start",
            [](Device& d) {
                Device::Result r;
                {
                    py::gil_scoped_release release;
                    r = d.start();
                }
                return result(r);
            })
        .def("stop",
            [](Device& d) {
                Device::Result r;
                {
                    py::gil_scoped_release release;
                    r = d.stop();
                }
                return result(r);
            })
        .def("get_property",
            [](Device& d, const std::string& name) {
                Device::Value v;
                {
                    py::gil_scoped_release release;
                    v = d.getProperty(name);
                }
                return py::make_tuple(v.ok, v.code, v.integer, v.text);
            })
        .def("set_property",
            [](Device& d, const std::string& name, int value) {
                Device::Result r;
                {
                    py::gil_scoped_release release;
                    r = d.setProperty(name, value);
                }
                return result(r);
            })
        .def("read", &readChunk, py::arg("rows"), py::arg("timeout"))
        .def(
            "mark",
            [](Device& d, const std::string& text) {
                // A few microseconds, without waiting: the interpreter lock stays.
                const ondira::session::MarkResult r = d.mark(text);
                return py::make_tuple(
                    ondira::session::placementName(r.placement), r.position, r.reason);
            },
            py::arg("text"))
        .def("start_recording", &startRecording, py::arg("path"), py::arg("labels"))
        .def("finish_recording", &finishRecording)
        .def("start_publishing", &startPublishing, py::arg("name"), py::arg("interface"),
            py::arg("labels"))
        .def("stop_publishing", &Device::stopPublishing, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("publishing", &publishingStatus)
        .def_property_readonly("is_recording", &Device::isRecording)
        .def_property_readonly(
            "log_entries_lost", [](Device& d) { return d.reader().entriesLost(); })
        .def("take_events",
            [](Device& d) {
                const std::vector<EventRecord> events = d.takeEvents();
                py::list list;
                for (const EventRecord& e : events)
                    list.append(py::make_tuple(e.timestampMs, e.code));
                return list;
            })
        .def_property_readonly("is_open", &Device::isOpen)
        .def_property_readonly("is_streaming", &Device::isStreaming)
        .def_property_readonly("stream_end_code", &Device::streamEndCode)
        .def_property_readonly("capacity", [](Device& d) { return d.samples().capacity(); })
        .def_property_readonly("overflows", [](Device& d) { return d.samples().dropped(); })
        .def_property_readonly("received", [](Device& d) { return d.samples().received(); })
        .def_property_readonly("events_dropped", [](Device& d) { return d.eventsDropped(); });

    m.def("configure_virtual_headset", &configureVirtualHeadset, py::arg("path"), py::arg("config"));
    m.def("record_edf", &record, py::arg("path"), py::arg("seconds"), py::arg("labels"), py::arg("calibrate"),
          py::arg("reconnect_seconds"), py::arg("driver_library"));
}
