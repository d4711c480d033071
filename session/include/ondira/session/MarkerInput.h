#ifndef ONDIRA_SESSION_MARKERINPUT_H
#define ONDIRA_SESSION_MARKERINPUT_H

// Stimulus markers from outside the process: the lines of a file descriptor
// (standard input), the datagrams sent to a UDP port. Each source has a
// thread of its own that marks each one on the session the moment it is
// read. Every byte from outside is untrusted: a line or datagram is at most
// MAX_MARKER_BYTES of UTF-8 without control characters, else it is counted
// and said, and nothing else happens.

#include <ondira/session/MarkerText.h>
#include <ondira/session/Session.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace ondira {
namespace session {

struct MarkerCounts {
    long long received = 0;  ///< lines and datagrams read
    long long placed = 0;    ///< marked on the session's time line
    long long bad = 0;       ///< not a marker: empty, too long, not UTF-8, control characters
    long long notPlaced = 0; ///< a good text that the session could not place (not streaming, ...)
};

/// Thread-safe; its threads end when it is destroyed or stop() is called.
class MarkerInput
{
public:
    explicit MarkerInput(Session& session);
    ~MarkerInput();
    MarkerInput(const MarkerInput&) = delete;
    MarkerInput& operator=(const MarkerInput&) = delete;

    /// Starts reading `source` (standard input is file descriptor 0); false
    /// with a message when it cannot (a port in use, a bad address).
    bool start(const MarkerSource& source, std::string& error);
    void stop();

    MarkerCounts counts() const;
    /// Problems not taken yet, each kind once: "marker datagram from
    /// 127.0.0.1:50123 refused: not UTF-8", "marker 'x' not placed: ...".
    std::vector<std::string> takeProblems();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace session
} // namespace ondira

#endif
