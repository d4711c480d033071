// Fuzz target: what the command takes as a stimulus marker from outside (a
// datagram or a line of standard input) and where markers come from.
// Invariants: a text taken as a marker is 1..255 bytes of UTF-8 that decodes,
// with a decoder of its own here, into code points without control
// characters, surrogates or overlong forms, and encodes back to the same
// bytes; the lines of a stream are the same however it is cut into reads; a
// source that parses prints back to the same source.

#include "FuzzInput.h"

#include <ondira/session/MarkerText.h>

#include <string>
#include <vector>

using namespace ondira::session;

namespace {

constexpr const char* TARGET = "marker";

/// UTF-8 of `codes`.
std::string encode(const std::vector<std::uint32_t>& codes)
{
    std::string out;
    for (std::uint32_t c : codes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

/// Decodes by the length each lead byte announces; false for anything else.
bool decode(const std::string& text, std::vector<std::uint32_t>& codes)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return false;
        std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        codes.push_back(code);
        i += length;
    }
    return true;
}

void checkText(const std::string& text)
{
    std::string reason;
    const bool valid = isValidMarkerText(text.data(), text.size(), reason);
    if (!valid) {
        if (reason.empty())
            ondira_fuzz::broken(TARGET, "a refused text without a reason");
        return;
    }
    if (text.empty() || text.size() > MAX_MARKER_BYTES)
        ondira_fuzz::broken(TARGET, "a valid text of " + std::to_string(text.size()) + " bytes");
    std::vector<std::uint32_t> codes;
    if (!decode(text, codes))
        ondira_fuzz::broken(TARGET, "a valid text that does not decode");
    for (std::uint32_t c : codes) {
        if (c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            ondira_fuzz::broken(TARGET, "a valid text with code point " + std::to_string(c));
    }
    if (encode(codes) != text)
        ondira_fuzz::broken(TARGET, "a valid text that is not the shortest form of its code points");
}

std::vector<LineSplitter::Line> splitInto(const std::string& stream, std::size_t chunk)
{
    LineSplitter splitter;
    std::vector<LineSplitter::Line> lines;
    for (std::size_t at = 0; at < stream.size(); at += chunk)
        splitter.feed(stream.data() + at, std::min(chunk, stream.size() - at), lines);
    LineSplitter::Line last;
    if (splitter.finish(last))
        lines.push_back(last);
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    checkText(input);

    const std::vector<LineSplitter::Line> whole = splitInto(input, input.size() + 1);
    const std::size_t chunk = size > 0 ? 1 + data[0] % 17 : 1;
    const std::vector<LineSplitter::Line> pieces = splitInto(input, chunk);
    if (whole.size() != pieces.size())
        ondira_fuzz::broken(TARGET, "the number of lines depends on how the stream is read");
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (whole[i].text != pieces[i].text || whole[i].tooLong != pieces[i].tooLong)
            ondira_fuzz::broken(TARGET, "a line depends on how the stream is read");
        if (whole[i].text.size() > MAX_MARKER_BYTES || whole[i].text.find('\n') != std::string::npos)
            ondira_fuzz::broken(TARGET, "a line longer than allowed, or with its break");
        checkText(whole[i].text);
    }

    MarkerSource source;
    std::string error;
    if (parseMarkerSource(input, source, error)) {
        if (source.kind == MarkerSource::Kind::Udp && (source.port < 1 || source.port > 65535))
            ondira_fuzz::broken(TARGET, "a port out of range");
        const std::string printed = source.kind == MarkerSource::Kind::Stdin
            ? std::string("stdin")
            : "udp:" + source.address + ":" + std::to_string(source.port);
        MarkerSource again;
        if (!parseMarkerSource(printed, again, error) || again.kind != source.kind || again.address != source.address
            || again.port != source.port)
            ondira_fuzz::broken(TARGET, "a source that does not print back to itself");
    } else if (error.empty()) {
        ondira_fuzz::broken(TARGET, "a refused source without a reason");
    }
    return 0;
}
