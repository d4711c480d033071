#ifndef ONDIRA_TESTS_VIEW_VIEWTESTSUPPORT_H
#define ONDIRA_TESTS_VIEW_VIEWTESTSUPPORT_H

// Helpers of the viewer's tests: the virtual headset this suite links, and
// what the log of the viewer holds.

#include "Acquisition.h"

#include <string>
#include <vector>

namespace view_test {

/// Configures the virtual headset that the library of this process loads.
/// Empty when it took the configuration, else its message.
std::string configure(const std::string& config);

/// Makes facades made from now on load the virtual headset of this suite
/// (sets ONDIRA_FTD2XX_LIBRARY); call it before any other thread runs.
void useVirtualHeadset();

/// Acquisition options for the virtual headset of this suite.
ondira::view::AcquisitionOptions simulatorOptions();

/// The texts of the entries of `kind` in `log`.
std::vector<std::string> textsOf(const std::vector<ondira::view::LogEntry>& log, ondira::view::LogEntry::Kind kind);

/// True when an entry of `kind` in `log` contains `text`.
bool logHas(const std::vector<ondira::view::LogEntry>& log, ondira::view::LogEntry::Kind kind, const std::string& text);

/// Every entry, one per line, for failure messages.
std::string listOf(const std::vector<ondira::view::LogEntry>& log);

} // namespace view_test

#endif
