#ifndef ONDIRA_PYTHON_RECORD_H
#define ONDIRA_PYTHON_RECORD_H

#include <ondira/session/RecordingRun.h>

#include <functional>
#include <string>

namespace ondira {
namespace python {

struct RecordRequest {
    std::string path;              ///< the EDF+ file
    session::RunOptions options;   ///< the driver among them
};

/// Records into one EDF+ file through the same recording run and EDF+
/// writer as the ondira command. `interrupted` is asked every few tens of
/// milliseconds; once it says true the recording stops and what was received
/// is written. Returns the run's summary.
session::Summary recordEdf(const RecordRequest& request, const std::function<bool()>& interrupted);

} // namespace python
} // namespace ondira

#endif
