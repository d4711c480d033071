#include "Record.h"

#include <ondira/formats/EdfWriter.h>

#include <memory>

namespace ondira {
namespace python {

namespace {
constexpr int POLL_MS = 50;
} // namespace

session::Summary recordEdf(const RecordRequest& request, const std::function<bool()>& interrupted)
{
    session::RecordingRun run(request.options);
    run.addWriter(std::make_unique<formats::EdfWriter>(request.path));
    if (!run.start())
        return run.finish();
    bool stopping = false;
    while (!run.waitUntilFinished(POLL_MS)) {
        if (!stopping && interrupted()) {
            run.requestStop();
            stopping = true;
        }
    }
    return run.finish();
}

} // namespace python
} // namespace ondira
