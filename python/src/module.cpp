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
/// Returns (data, timestamps_ms, flags, offset_change, dropped).
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
    reader.take(count, data.mutable_data(), timestamps.mutable_data(), flags.mutable_data(),
                offsetChanges.mutable_data(), dropped.mutable_data());
    return py::make_tuple(data, timestamps, flags, offsetChanges, dropped);
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
        .def(py::init([](const std::string& driverLibrary, std::size_t capacity, double reconnectSeconds) {
                 if (capacity == 0)
                     throw py::value_error("the read buffer needs room for one sample at least");
                 // The session's thread constructs the facade, which loads the
                 // driver library and appends to log.txt.
                 py::gil_scoped_release release;
                 return std::unique_ptr<Device, ReleasingDelete>(new Device(driverLibrary, capacity, reconnectSeconds));
             }),
             py::arg("driver_library"), py::arg("capacity"), py::arg("reconnect_seconds") = 0.0)
        .def("open", [](Device& d) {
            Device::Result r;
            {
                py::gil_scoped_release release;
                r = d.open();
            }
            return result(r);
        })
        .def("close", &Device::close, py::call_guard<py::gil_scoped_release>())
        .def("start", [](Device& d) {
            Device::Result r;
            {
                py::gil_scoped_release release;
                r = d.start();
            }
            return result(r);
        })
        .def("stop", [](Device& d) {
            Device::Result r;
            {
                py::gil_scoped_release release;
                r = d.stop();
            }
            return result(r);
        })
        .def("get_property", [](Device& d, const std::string& name) {
            Device::Value v;
            {
                py::gil_scoped_release release;
                v = d.getProperty(name);
            }
            return py::make_tuple(v.ok, v.code, v.integer, v.text);
        })
        .def("set_property", [](Device& d, const std::string& name, int value) {
            Device::Result r;
            {
                py::gil_scoped_release release;
                r = d.setProperty(name, value);
            }
            return result(r);
        })
        .def("read", &readChunk, py::arg("rows"), py::arg("timeout"))
        .def("take_events", [](Device& d) {
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
