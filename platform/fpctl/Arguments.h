#pragma once

// fpctl's command line: global options, the commands in argument form turned into their script form, and
// the checks made before anything is loaded.
#include <boost/json.hpp>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fpctl {

// The domain wl-fpdomain manages when it is given none, and its display name there.
inline constexpr const char* defaultDomainIdentifier = "org.wyvernloft.FileProvider.domain";
inline constexpr const char* defaultDisplayName = "Wyvernloft";

extern const char* const usageText;

struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

struct Invocation {
    std::optional<std::filesystem::path> extension;
    std::string domain = defaultDomainIdentifier;
    std::string displayName = defaultDisplayName;
    bool json = false;
    bool script = false;
    bool help = false;
    bool version = false;
    // The command in script form; none in script mode and for --help or --version.
    std::optional<boost::json::object> command;
};

// Parses the arguments after the program name. Throws UsageError.
Invocation parseArguments(const std::vector<std::string>& arguments);

// One command given as words (the command word first), in script form. Throws UsageError.
boost::json::object parseCommand(const std::vector<std::string>& words);

// The system's identifier for a name people type: "/" is the root container, "@working-set" the working
// set and "@trash" the trash; anything else is an identifier as it is.
std::string expandShortName(const std::string& word);

// A domain identifier the domain registry accepts: it is one path component.
bool isValidDomainIdentifier(const std::string& identifier);

// Whether `text` is a system version, "major[.minor[.patch]]" in decimal digits.
bool isSystemVersion(const std::string& text);

// The item fields a modification can name, by their names in scripts and in --fields.
const std::map<std::string, std::uint64_t>& itemFieldNames();
// "contents, filename, ...": the valid names, for messages.
std::string itemFieldList();

} // namespace fpctl
