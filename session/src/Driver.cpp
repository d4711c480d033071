#include <ondira/session/Driver.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace ondira {
namespace session {

std::string findVirtualHeadset(const std::string& programDir)
{
    namespace fs = std::filesystem;
    // Relative to the program: in the build tree, and once installed.
    for (const char* relative : {ONDIRA_SIM_FROM_BUILD_TOOL, ONDIRA_SIM_FROM_INSTALLED_TOOL}) {
        const fs::path candidate = fs::path(relative).is_absolute() ? fs::path(relative) : fs::path(programDir) / relative;
        std::error_code error;
        if (fs::is_regular_file(candidate, error))
            return fs::weakly_canonical(fs::absolute(candidate, error), error).lexically_normal().string();
    }
    return std::string();
}

bool configureVirtualHeadset(const std::string& path, const std::string& config, std::string& error)
{
    // The instance stays loaded for the life of the process: a facade that
    // names the same file later gets this very one, configured.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        error = path + " is not the virtual headset: " + (why ? why : "it cannot be loaded");
        return false;
    }
    using Configure = int (*)(const char*);
    using LastError = const char* (*)();
    const auto configure = reinterpret_cast<Configure>(dlsym(library, "ondira_sim_configure"));
    const auto lastError = reinterpret_cast<LastError>(dlsym(library, "ondira_sim_last_error"));
    if (!configure || !lastError) {
        error = path + " is not the virtual headset: it has no ondira_sim_configure";
        return false;
    }
    // The virtual headset prints a refused configuration itself; the caller
    // reports it in its own words instead. Standard error is one per process:
    // one configuration at a time.
    static std::mutex quietMutex;
    std::lock_guard<std::mutex> quiet(quietMutex);
    std::fflush(stderr);
    const int saved = dup(2);
    std::FILE* null = std::fopen("/dev/null", "w");
    if (saved >= 0 && null)
        dup2(fileno(null), 2);
    const int result = configure(config.c_str());
    std::fflush(stderr);
    if (saved >= 0 && null)
        dup2(saved, 2);
    if (saved >= 0)
        close(saved);
    if (null)
        std::fclose(null);
    if (result != 0) {
        error = lastError();
        return false;
    }
    return true;
}

} // namespace session
} // namespace ondira
