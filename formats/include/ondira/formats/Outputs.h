#ifndef ONDIRA_FORMATS_OUTPUTS_H
#define ONDIRA_FORMATS_OUTPUTS_H

// The four files of a recording, named from one base path.

#include <ondira/formats/Writer.h>

#include <memory>
#include <string>
#include <vector>

namespace ondira {
namespace formats {

enum Format : unsigned {
    FORMAT_EDF = 1u << 0,     ///< BASE.edf
    FORMAT_CSV = 1u << 1,     ///< BASE.csv
    FORMAT_EVENTS = 1u << 2,  ///< BASE.events.csv
    FORMAT_PNG = 1u << 3,     ///< BASE.png
    ALL_FORMATS = FORMAT_EDF | FORMAT_CSV | FORMAT_EVENTS | FORMAT_PNG
};

/// "BASE.edf", "BASE.csv", "BASE.events.csv" or "BASE.png".
std::string outputPath(const std::string& base, Format format);

/// One writer per format in `formats`, in the order edf, csv, events, png.
std::vector<std::unique_ptr<Writer>> makeWriters(const std::string& base, unsigned formats);

/// Parses "edf,csv,events,png" (any of them, in any order); false for an
/// unknown or empty item.
bool parseFormats(const std::string& list, unsigned& formats);

} // namespace formats
} // namespace ondira

#endif
