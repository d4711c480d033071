#include "ViewTestSupport.h"

#include "ondira_sim.h"

#include <QByteArray>
#include <QtGlobal>

namespace view_test {

using ondira::view::LogEntry;

std::string configure(const std::string& config)
{
    return ondira_sim_configure(config.c_str()) == 0 ? std::string() : std::string(ondira_sim_last_error());
}

void useVirtualHeadset()
{
    qputenv("ONDIRA_FTD2XX_LIBRARY", QByteArray(ONDIRA_SIM_LIBRARY));
}

ondira::view::AcquisitionOptions simulatorOptions()
{
    ondira::view::AcquisitionOptions options;
    options.virtualHeadset = ONDIRA_SIM_LIBRARY;
    options.headsetLibrary = std::string();
    options.labels = {{"Fp1", "Fp2", "O1", "O2"}};
    return options;
}

std::vector<std::string> textsOf(const std::vector<LogEntry>& log, LogEntry::Kind kind)
{
    std::vector<std::string> texts;
    for (const LogEntry& entry : log) {
        if (entry.kind == kind)
            texts.push_back(entry.text);
    }
    return texts;
}

bool logHas(const std::vector<LogEntry>& log, LogEntry::Kind kind, const std::string& text)
{
    for (const std::string& t : textsOf(log, kind)) {
        if (t.find(text) != std::string::npos)
            return true;
    }
    return false;
}

std::string listOf(const std::vector<LogEntry>& log)
{
    std::string list = "log:";
    for (const LogEntry& entry : log) {
        const char* kind = entry.kind == LogEntry::Kind::Status   ? "status "
                           : entry.kind == LogEntry::Kind::Note   ? "note   "
                           : entry.kind == LogEntry::Kind::Marker ? "marker "
                                                                  : "FAILURE ";
        list += "\n  " + std::string(kind) + entry.text;
    }
    return list;
}

} // namespace view_test
