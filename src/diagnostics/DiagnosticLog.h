#ifndef ONDIRA_DIAGNOSTICS_DIAGNOSTICLOG_H
#define ONDIRA_DIAGNOSTICS_DIAGNOSTICLOG_H

namespace ondira {

/// Name of the diagnostic log, relative to the current working directory at
/// the moment of each append.
extern const char* const DIAGNOSTIC_LOG_FILE_NAME;

/// Appends one entry for an integer property assignment to "log.txt":
/// the name's bytes, " = ", the value in decimal, "\r\n", 16 hyphens, "\r\n".
/// The file is opened in append mode, written in one call and closed again.
/// A file that cannot be opened loses the entry silently.
void logPropertyValue(const char* name, int value);

} // namespace ondira

#endif
