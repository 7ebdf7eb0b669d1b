#pragma once

// wl-refhost's command line: what it may be given, and what is wrong with what it was given.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace refhost {

// The extension's app group (directly downloaded edition): where it looks for fphost.json.
inline constexpr const char* defaultGroup = "WLH3V8N4PC.org.wyvernloft.shared";

struct Settings {
    std::filesystem::path root;
    std::string group = defaultGroup;
    std::uint16_t port = 0;
    std::optional<std::string> token; // from --token or --token-file; none: a fresh random one
    std::optional<std::filesystem::path> state;
    std::optional<std::uint64_t> quota;
    std::optional<std::string> domain; // signalled when the tree changes
    bool verbose = false;
    std::size_t maxConnections = 128;
    std::chrono::milliseconds idleTimeout{30000};
};

struct CommandLine {
    std::optional<Settings> settings; // none: exit at once with `exitCode`
    int exitCode = 0;                 // 0 with --help, 2 for a usage error
    std::string output;               // the help text (standard output) or the error (standard error)
};

// The arguments after the program's name. Reads the file that --token-file names.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

extern const char* const helpText;

} // namespace refhost
