#include <ondira/session/MarkerText.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace ondira {
namespace session {

namespace {

bool parsePort(const std::string& text, int& port)
{
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

} // namespace

bool isValidMarkerText(const char* text, std::size_t length, std::string& reason)
{
    if (length == 0) {
        reason = "empty";
        return false;
    }
    if (length > MAX_MARKER_BYTES) {
        reason = "longer than " + std::to_string(MAX_MARKER_BYTES) + " bytes";
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length;) {
        const unsigned char lead = bytes[i];
        if (lead < 0x20 || lead == 0x7F) {
            reason = "a control character";
            return false;
        }
        std::size_t extra = 0;
        std::uint32_t code = lead;
        if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            code = lead & 0x07;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            code = lead & 0x0F;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            code = lead & 0x1F;
        } else if (lead >= 0x80) {
            reason = "not UTF-8";
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if (i + k >= length || (bytes[i + k] & 0xC0) != 0x80) {
                reason = "not UTF-8";
                return false;
            }
            code = (code << 6) | (bytes[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and code points beyond U+10FFFF.
        if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF))
            || (code >= 0xD800 && code <= 0xDFFF)) {
            reason = "not UTF-8";
            return false;
        }
        if (code >= 0x80 && code < 0xA0) {
            reason = "a control character";
            return false;
        }
        i += 1 + extra;
    }
    return true;
}

bool parseMarkerSource(const std::string& text, MarkerSource& source, std::string& error)
{
    source = MarkerSource();
    if (text == "stdin") {
        source.kind = MarkerSource::Kind::Stdin;
        return true;
    }
    if (text.rfind("udp:", 0) != 0) {
        error = "a marker source is stdin, udp:PORT or udp:ADDRESS:PORT, not '" + text + "'";
        return false;
    }
    source.kind = MarkerSource::Kind::Udp;
    const std::string rest = text.substr(4);
    const auto colon = rest.rfind(':');
    const std::string port = colon == std::string::npos ? rest : rest.substr(colon + 1);
    if (colon != std::string::npos)
        source.address = rest.substr(0, colon);
    in_addr parsed{};
    if (inet_pton(AF_INET, source.address.c_str(), &parsed) != 1) {
        error = "udp:ADDRESS:PORT takes an IPv4 address such as 127.0.0.1, not '" + source.address + "'";
        return false;
    }
    if (!parsePort(port, source.port)) {
        error = "the UDP port of a marker source is a number from 1 to 65535, not '" + port + "'";
        return false;
    }
    return true;
}

void LineSplitter::feed(const char* bytes, std::size_t length, std::vector<Line>& lines)
{
    for (std::size_t i = 0; i < length; ++i) {
        const char c = bytes[i];
        if (c != '\n') {
            if (pending.size() <= MAX_MARKER_BYTES)
                pending += c;
            else
                overflow = true;
            continue;
        }
        Line line;
        if (!pending.empty() && pending.back() == '\r')
            pending.pop_back();
        line.tooLong = overflow || pending.size() > MAX_MARKER_BYTES;
        line.text = pending.substr(0, std::min(pending.size(), MAX_MARKER_BYTES));
        lines.push_back(std::move(line));
        pending.clear();
        overflow = false;
    }
}

bool LineSplitter::finish(Line& line)
{
    if (pending.empty() && !overflow)
        return false;
    if (!pending.empty() && pending.back() == '\r')
        pending.pop_back();
    line.tooLong = overflow || pending.size() > MAX_MARKER_BYTES;
    line.text = pending.substr(0, std::min(pending.size(), MAX_MARKER_BYTES));
    pending.clear();
    overflow = false;
    return true;
}

} // namespace session
} // namespace ondira
