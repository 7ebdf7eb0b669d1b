#pragma once

// Running the project's programs as a user would: a host in the background, a command with standard
// input, output and exit code.
#include <boost/json.hpp>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

struct Run {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `arguments`, feeding `input`, with `environment` added to this process's.
Run run(const std::string& program, const std::vector<std::string>& arguments, const std::string& input = {},
        const std::map<std::string, std::string>& environment = {});

// fpctl --script with `options`, one command per line; each line of its output parsed as one object.
struct ScriptRun {
    int exitCode = -1;
    std::string err;
    std::vector<boost::json::object> outputs;
};
ScriptRun fpctlScript(const std::vector<std::string>& options,
                      const std::vector<boost::json::object>& commands,
                      const std::map<std::string, std::string>& environment);

// A program left running, its standard output read line by line; killed at the end if still running.
class Background {
public:
    Background(const std::string& program, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // The next line of output, or none when none came within `seconds` or the output ended.
    std::optional<std::string> line(double seconds);
    // Sends `signal` and gives the exit code (128 + the signal when it killed the program).
    int stop(int signal);

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string pending_;
};

// wl-refhost on a folder, stopped with SIGTERM at the end.
class RefHost {
public:
    RefHost(const std::filesystem::path& root, const std::map<std::string, std::string>& environment,
            const std::vector<std::string>& extra = {});
    ~RefHost();
    RefHost(const RefHost&) = delete;
    RefHost& operator=(const RefHost&) = delete;
    void stop();

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

} // namespace e2e
