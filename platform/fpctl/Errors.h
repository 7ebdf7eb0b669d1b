#pragma once

// Errors as people read them: the name of each code fpctl can meet, and a hint for the ones whose cause
// fpctl can tell.
#include <boost/json.hpp>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fpctl {

// fpctl's own codes, in the domain "fpctl".
inline constexpr const char* fpctlErrorDomain = "fpctl";
enum FpctlErrorCode : std::int64_t {
    unanswered = -1,   // the extension did not call back in time
    outputExists = -2, // fetch --out would replace a file
    outputFailed = -3, // the fetched file could not be put in place
    lookupFailed = -4, // the current item, for a base or fields not given, could not be looked up
};

// "server unreachable" for NSFileProviderErrorDomain -1004; none for a code fpctl has no name for.
std::optional<std::string> errorName(std::string_view domain, std::int64_t code);

// The error an output reports, in the JSON form of errorJSON: its "error" member, else the error that
// ended an enumeration. Null when it reports none.
const boost::json::value* reportedError(const boost::json::object& output);

// What fpctl knows when it explains an error.
struct HintContext {
    std::string op;
    bool recursive = false;
    // fphost.json in each of the extension's app-group containers.
    std::vector<std::filesystem::path> connectionFiles;
};

// What the error most likely means and what to do about it, when fpctl can tell.
std::optional<std::string> hintFor(const boost::json::value& error, const HintContext& context);

} // namespace fpctl
