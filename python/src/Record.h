#ifndef ONDIRA_PYTHON_RECORD_H
#define ONDIRA_PYTHON_RECORD_H

#include <ondira/recorder/RecordingSession.h>

#include <functional>
#include <string>

namespace ondira {
namespace python {

struct RecordRequest {
    std::string path;              ///< the EDF+ file
    std::string driverLibrary;     ///< empty: wherever the library finds it
    recorder::SessionOptions options;
};

/// Records into one EDF+ file through the recording session and its EDF+
/// writer, the same that the ondira command uses. `interrupted` is asked
/// every few tens of milliseconds; once it says true the recording stops and
/// what was received is written. Returns the session's summary.
recorder::Summary recordEdf(const RecordRequest& request, const std::function<bool()>& interrupted);

} // namespace python
} // namespace ondira

#endif
