#include <ondira/lsl/StreamInfo.h>

#include <pugixml.hpp>

#include <charconv>
#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>

namespace ondira {
namespace lsl {

namespace {

constexpr std::size_t MAX_TEXT = 256;
constexpr int MAX_CHANNELS = 1024;
constexpr std::size_t MAX_FIELDS = 64;
constexpr double MAX_RATE = 1e6;

bool printable(const std::string& text)
{
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t' && c != '\n' && c != '\r') || u == 0x7F)
            return false;
    }
    return true;
}

bool xmlName(const std::string& name)
{
    if (name.empty() || name.size() > 64)
        return false;
    const auto letter
        = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!letter(name[0]))
        return false;
    for (const char c : name) {
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.')
            return false;
    }
    // Names that begin with "xml" are reserved.
    return !(name.size() >= 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm'
        && (name[2] | 0x20) == 'l');
}

std::string checkText(const char* what, const std::string& text)
{
    if (text.size() > MAX_TEXT)
        return std::string(what) + " is longer than 256 bytes";
    if (!printable(text))
        return std::string(what) + " holds a control character";
    return {};
}

void appendText(pugi::xml_node parent, const char* name, const std::string& value)
{
    parent.append_child(name).append_child(pugi::node_pcdata).set_value(value.c_str());
}

struct StringWriter : pugi::xml_writer
{
    std::string text;
    void write(const void* data, size_t size) override
    {
        text.append(static_cast<const char*>(data), size);
    }
};

} // namespace

std::string formatInfoNumber(double value)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::setprecision(16) << std::showpoint << value;
    return out.str();
}

double rateAsSeen(double nominalRate)
{
    const std::string text = formatInfoNumber(nominalRate);
    double parsed = 0;
    std::from_chars(text.data(), text.data() + text.size(), parsed);
    return parsed;
}

std::string checkStreamInfo(const StreamInfo& info)
{
    if (info.name.empty())
        return "the stream has no name";
    for (const auto& [what, text] :
        { std::make_pair("the name", &info.name), std::make_pair("the type", &info.type),
            std::make_pair("the source id", &info.sourceId) }) {
        std::string problem = checkText(what, *text);
        if (!problem.empty())
            return problem;
    }
    if (info.channelCount < 1 || info.channelCount > MAX_CHANNELS)
        return "the channel count must lie in 1..1024, not " + std::to_string(info.channelCount);
    if (info.format == ChannelFormat::String && info.channelCount != 1)
        return "a string stream has one channel";
    if (!std::isfinite(info.nominalRate) || info.nominalRate < 0 || info.nominalRate > MAX_RATE)
        return "the nominal rate must lie in 0..1e6 samples/s (0: irregular)";
    if (!info.channels.empty()
        && info.channels.size() != static_cast<std::size_t>(info.channelCount))
        return "the description has " + std::to_string(info.channels.size())
            + " channels, the stream " + std::to_string(info.channelCount);
    for (const auto& channel : info.channels) {
        for (const std::string* text : { &channel.label, &channel.unit, &channel.type }) {
            std::string problem = checkText("a channel's label, unit or type", *text);
            if (!problem.empty())
                return problem;
        }
    }
    if (info.acquisition.size() > MAX_FIELDS)
        return "the acquisition description has more than 64 fields";
    for (const auto& field : info.acquisition) {
        if (!xmlName(field.name))
            return "'" + field.name.substr(0, 64) + "' is not usable as an XML element name";
        std::string problem = checkText("an acquisition field", field.value);
        if (!problem.empty())
            return problem;
    }
    return {};
}

std::string infoXml(const StreamInfo& info, const StreamIdentity& identity, InfoPart part)
{
    pugi::xml_document document;
    pugi::xml_node root = document.append_child("info");
    appendText(root, "name", info.name);
    appendText(root, "type", info.type);
    appendText(root, "channel_count", std::to_string(info.channelCount));
    appendText(root, "channel_format", info.format == ChannelFormat::String ? "string" : "float32");
    appendText(root, "source_id", info.sourceId);
    appendText(root, "nominal_srate", formatInfoNumber(info.nominalRate));
    appendText(root, "version", formatInfoNumber(1.10));
    appendText(root, "created_at", formatInfoNumber(identity.createdAt));
    appendText(root, "uid", identity.uid);
    appendText(root, "session_id", identity.sessionId);
    appendText(root, "hostname", identity.hostname);
    // The address is the one a reply came from; an inlet fills it in.
    appendText(root, "v4address", "");
    appendText(root, "v4data_port", std::to_string(identity.dataPort));
    appendText(root, "v4service_port", std::to_string(identity.servicePort));
    appendText(root, "v6address", "");
    appendText(root, "v6data_port", "0");
    appendText(root, "v6service_port", "0");
    pugi::xml_node desc = root.append_child("desc");
    if (part == InfoPart::Full) {
        if (!info.channels.empty()) {
            pugi::xml_node channels = desc.append_child("channels");
            for (const auto& channel : info.channels) {
                pugi::xml_node node = channels.append_child("channel");
                if (!channel.label.empty())
                    appendText(node, "label", channel.label);
                if (!channel.unit.empty())
                    appendText(node, "unit", channel.unit);
                if (!channel.type.empty())
                    appendText(node, "type", channel.type);
            }
        }
        if (!info.acquisition.empty()) {
            pugi::xml_node acquisition = desc.append_child("acquisition");
            for (const auto& field : info.acquisition)
                appendText(acquisition, field.name.c_str(), field.value);
        }
    }
    StringWriter writer;
    document.save(writer, "\t", pugi::format_default, pugi::encoding_utf8);
    return writer.text;
}

} // namespace lsl
} // namespace ondira
