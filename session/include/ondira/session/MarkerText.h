#ifndef ONDIRA_SESSION_MARKERTEXT_H
#define ONDIRA_SESSION_MARKERTEXT_H

// What a stimulus marker from outside may be, and where it may come from:
// pure code, no I/O, so that it can be fuzzed.

#include <cstddef>
#include <string>
#include <vector>

namespace ondira {
namespace session {

/// The longest marker text, in bytes.
constexpr std::size_t MAX_MARKER_BYTES = 255;

/// True for 1 to MAX_MARKER_BYTES bytes of well-formed UTF-8 without control
/// characters; otherwise false with the reason ("empty", "not UTF-8", ...).
bool isValidMarkerText(const char* text, std::size_t length, std::string& reason);

/// Where markers come from: "stdin", "udp:PORT" (on 127.0.0.1) or
/// "udp:ADDR:PORT" (an IPv4 address of this machine, 0.0.0.0 for all).
struct MarkerSource {
    enum class Kind { Stdin, Udp };
    Kind kind = Kind::Stdin;
    std::string address = "127.0.0.1";
    int port = 0;
};

/// Parses a source as above; false with a message that says what is wrong.
bool parseMarkerSource(const std::string& text, MarkerSource& source, std::string& error);

/// Splits a byte stream into lines ("\n", a "\r" before it dropped) of at
/// most MAX_MARKER_BYTES; a longer line is cut off and reported as too long
/// once it ends. Pure: no I/O.
class LineSplitter
{
public:
    struct Line {
        std::string text;
        bool tooLong = false;   ///< longer than MAX_MARKER_BYTES: `text` holds its start
    };
    /// Appends the complete lines in `bytes` to `lines`.
    void feed(const char* bytes, std::size_t length, std::vector<Line>& lines);
    /// The last line when the stream ends without a line break.
    bool finish(Line& line);

private:
    std::string pending;
    bool overflow = false;
};

} // namespace session
} // namespace ondira

#endif
