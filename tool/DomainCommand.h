#pragma once

// wl-fpdomain's logic: one subcommand per run, one platform call, a wait on a semaphore with a time
// limit, and an exit code that tells the outcome. The limits are parameters so that tests can shorten
// them; the program uses 15 and 600 seconds.
#include <chrono>
#include <iosfwd>
#include <string>
#include <vector>

namespace domaintool {

inline constexpr const char* defaultDomainIdentifier = "org.wyvernloft.FileProvider.domain";
inline constexpr const char* defaultDisplayName = "Wyvernloft";

struct Limits {
    std::chrono::milliseconds call{std::chrono::seconds(15)};
    std::chrono::milliseconds removal{std::chrono::seconds(600)};
};

// `args` holds the program name first. Output goes to `out` (data) and `err` (diagnostics); the result
// is the exit code. After a time-out the late completion, if it ever comes, writes nothing.
int runDomainCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                     Limits limits = {});

} // namespace domaintool
