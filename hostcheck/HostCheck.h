#pragma once

// wl-hostcheck: checks a host application against what the extension relies on, check by check, writing
// only inside a scratch folder it makes at the host's root and removes at the end.
#include "Checks.h"

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace wl::hostcheck {

struct Options {
    std::optional<std::string> group;
    std::optional<std::filesystem::path> connection;
    std::optional<std::string> scratch;
    std::vector<std::string> only; // glob patterns of check names
    std::optional<std::filesystem::path> root;
    bool json = false;
    bool keep = false;
    bool list = false;
    bool help = false;
};

struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

extern const char* usage;

Options parseOptions(const std::vector<std::string>& arguments);
// Whether `name` matches one of the comma-separated glob patterns (all names when there are none).
bool selected(const std::string& name, const std::vector<std::string>& patterns);

// Runs the checks and prints the report; the exit code: 0 when every required check passed, 1 when one
// did not, 2 when the run could not start.
int run(const Options& options, std::ostream& out, std::ostream& err);

// The report of a run, for people (a table) or for programs (JSON).
struct Report {
    std::string host; // "127.0.0.1:PORT"
    std::string connectionFile;
    std::string scratch;
    std::string cleanup; // what became of the scratch folder
    std::vector<Result> results;
    bool passed() const; // every required check passed
};
void printTable(const Report& report, std::ostream& out, bool colour);
void printJSON(const Report& report, std::ostream& out);

} // namespace wl::hostcheck
