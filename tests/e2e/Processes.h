#pragma once

// Running the project's programs as a user would: a host in the background, a command with standard
// input, output and exit code.
#include <boost/json.hpp>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
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

// wl-refhost on a folder, stopped with SIGTERM at the end. What it writes on standard error is kept.
class RefHost {
public:
    RefHost(const std::filesystem::path& root, const std::map<std::string, std::string>& environment,
            const std::vector<std::string>& extra = {});
    ~RefHost();
    RefHost(const RefHost&) = delete;
    RefHost& operator=(const RefHost&) = delete;
    // Sends `signal` and waits for the end; the exit code (128 + the signal when killed by one).
    int stop(int signal = SIGTERM);
    pid_t pid() const { return pid_; }
    // Standard error so far.
    std::string errors() const;

private:
    pid_t pid_ = -1;
    int output_ = -1;
    int exitCode_ = -1;
    std::shared_ptr<std::string> errors_ = std::make_shared<std::string>();
    std::shared_ptr<std::mutex> errorsMutex_ = std::make_shared<std::mutex>();
    std::thread errorReader_;
};

} // namespace e2e
