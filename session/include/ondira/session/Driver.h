#ifndef ONDIRA_SESSION_DRIVER_H
#define ONDIRA_SESSION_DRIVER_H

// Which D2XX entry points a session's facade uses: the vendor's driver or the
// virtual headset, chosen per session and passed to the facade as a file
// name. The process environment is never written.

#include <string>

namespace ondira {
namespace session {

struct Driver {
    enum class Kind {
        /// The vendor's D2XX driver. `library` names its file; empty: the file
        /// that ONDIRA_FTD2XX_LIBRARY names, or else "Ftd2xx" wherever the
        /// platform's loader finds it.
        D2xx,
        /// The virtual headset at `library` (see findVirtualHeadset).
        VirtualHeadset
    };
    Kind kind = Kind::D2xx;
    std::string library;

    static Driver d2xx(std::string file = std::string()) { return Driver{Kind::D2xx, std::move(file)}; }
    static Driver virtualHeadset(std::string file) { return Driver{Kind::VirtualHeadset, std::move(file)}; }
};

/// The virtual headset (libFtd2xx.so) that belongs to a program in
/// `programDir`: beside it in the build tree, or in <libdir>/ondira/sim once
/// installed. Empty when there is none.
std::string findVirtualHeadset(const std::string& programDir);

/// Configures the virtual headset at `path` with `config` (its keys, as in
/// sim/README.md) through its control API, in the very instance that a facade
/// naming the same file loads. False, with the virtual headset's reason in
/// `error`, for a configuration it refuses or a file that is not the virtual
/// headset. Replaces every virtual device: call it while no session of the
/// process has one open. Without a call the virtual headset reads
/// ONDIRA_SIM at its first use.
bool configureVirtualHeadset(const std::string& path, const std::string& config, std::string& error);

} // namespace session
} // namespace ondira

#endif
