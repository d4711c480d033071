#include <ondira/formats/CsvWriter.h>
#include <ondira/formats/EdfWriter.h>
#include <ondira/formats/EventsCsvWriter.h>
#include <ondira/formats/Outputs.h>
#include <ondira/formats/PlotWriter.h>

namespace ondira {
namespace formats {

std::string outputPath(const std::string& base, Format format)
{
    switch (format) {
    case FORMAT_EDF:
        return base + ".edf";
    case FORMAT_CSV:
        return base + ".csv";
    case FORMAT_EVENTS:
        return base + ".events.csv";
    case FORMAT_PNG:
        return base + ".png";
    default:
        return base;
    }
}

std::vector<std::unique_ptr<Writer>> makeWriters(const std::string& base, unsigned formats)
{
    std::vector<std::unique_ptr<Writer>> writers;
    if (formats & FORMAT_EDF)
        writers.push_back(std::make_unique<EdfWriter>(outputPath(base, FORMAT_EDF)));
    if (formats & FORMAT_CSV)
        writers.push_back(std::make_unique<CsvWriter>(outputPath(base, FORMAT_CSV)));
    if (formats & FORMAT_EVENTS)
        writers.push_back(std::make_unique<EventsCsvWriter>(outputPath(base, FORMAT_EVENTS)));
    if (formats & FORMAT_PNG)
        writers.push_back(std::make_unique<PlotWriter>(outputPath(base, FORMAT_PNG)));
    return writers;
}

bool parseFormats(const std::string& list, unsigned& formats)
{
    unsigned result = 0;
    std::string::size_type start = 0;
    for (;;) {
        const auto comma = list.find(',', start);
        const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item == "edf")
            result |= FORMAT_EDF;
        else if (item == "csv")
            result |= FORMAT_CSV;
        else if (item == "events")
            result |= FORMAT_EVENTS;
        else if (item == "png")
            result |= FORMAT_PNG;
        else
            return false;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    formats = result;
    return true;
}

} // namespace formats
} // namespace ondira
