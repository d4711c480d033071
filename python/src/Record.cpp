#include "Record.h"

#include "Device.h"

#include <ondira/recorder/EdfWriter.h>

#include <memory>

namespace ondira {
namespace python {

namespace {
constexpr int POLL_MS = 50;
} // namespace

recorder::Summary recordEdf(const RecordRequest& request, const std::function<bool()>& interrupted)
{
    recorder::RecordingSession session(request.options);
    session.addWriter(std::unique_ptr<recorder::Writer>(new recorder::EdfWriter(request.path)));
    {
        // The session constructs its facade on a thread of its own just after
        // start: keep the driver library chosen until it has.
        DriverLibraryScope driver(request.driverLibrary);
        if (!session.start())
            return session.finish();
        while (session.progress().state == recorder::SessionState::Idle && !session.waitUntilFinished(1)) {
        }
    }
    bool stopping = false;
    while (!session.waitUntilFinished(POLL_MS)) {
        if (!stopping && interrupted()) {
            session.requestStop();
            stopping = true;
        }
    }
    return session.finish();
}

} // namespace python
} // namespace ondira
