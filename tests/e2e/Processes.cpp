#include "Processes.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace e2e {

namespace {

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> all;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        auto equals = text.find('=');
        if (equals != std::string::npos)
            all[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [key, value] : extra)
        all[key] = value;
    std::vector<std::string> out;
    for (const auto& [key, value] : all)
        out.push_back(key + "=" + value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

pid_t spawn(const std::string& program, std::vector<std::string> arguments,
            const std::map<std::string, std::string>& environment, posix_spawn_file_actions_t* actions) {
    arguments.insert(arguments.begin(), program);
    auto argv = pointers(arguments);
    auto env = environmentWith(environment);
    auto envp = pointers(env);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), actions, nullptr, argv.data(), envp.data()) != 0)
        throw std::runtime_error("cannot start " + program);
    return pid;
}

} // namespace

Run run(const std::string& program, const std::vector<std::string>& arguments, const std::string& input,
        const std::map<std::string, std::string>& environment) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        throw std::runtime_error("no pipes");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = spawn(program, arguments, environment, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    std::thread writer([fd = in[1], input] {
        std::size_t done = 0;
        while (done < input.size()) {
            ssize_t n = ::write(fd, input.data() + done, input.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
    Run result;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    writer.join();
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ScriptRun fpctlScript(const std::vector<std::string>& options,
                      const std::vector<boost::json::object>& commands,
                      const std::map<std::string, std::string>& environment) {
    std::string input;
    for (const auto& command : commands)
        input += boost::json::serialize(command) + "\n";
    std::vector<std::string> arguments = options;
    arguments.emplace_back("--script");
    Run result = run(WL_FPCTL_PATH, arguments, input, environment);
    ScriptRun script{result.exitCode, result.err, {}};
    std::size_t start = 0;
    while (start < result.out.size()) {
        auto end = result.out.find('\n', start);
        script.outputs.push_back(boost::json::parse(result.out.substr(start, end - start)).as_object());
        start = end + 1;
    }
    return script;
}

namespace {

// Starts `program` with its standard output on a pipe; `output` receives the pipe's reading end, and
// `errors`, when given, that of a pipe for its standard error.
pid_t spawnReading(const std::string& program, const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment, int& output, int* errors = nullptr) {
    int out[2], err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) || (errors && ::pipe2(err, O_CLOEXEC)))
        throw std::runtime_error("no pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (errors)
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = spawn(program, arguments, environment, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    output = out[0];
    if (errors) {
        ::close(err[1]);
        *errors = err[0];
    }
    return pid;
}

} // namespace

Background::Background(const std::string& program, const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& environment) {
    pid_ = spawnReading(program, arguments, environment, output_);
}

Background::~Background() {
    if (pid_ >= 0)
        stop(SIGKILL);
    ::close(output_);
}

std::optional<std::string> Background::line(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (auto end = pending_.find('\n'); end != std::string::npos) {
            std::string text = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return text;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd fd{output_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            return std::nullopt;
        char buffer[65536];
        ssize_t n = ::read(output_, buffer, sizeof buffer);
        if (n <= 0)
            return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

int Background::stop(int signal) {
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RefHost::RefHost(const std::filesystem::path& root, const std::map<std::string, std::string>& environment,
                 const std::vector<std::string>& extra) {
    std::vector<std::string> arguments{"--root", root.string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    int reading = -1, errorReading = -1;
    pid_ = spawnReading(WL_REFHOST_PATH, arguments, environment, reading, &errorReading);
    errorReader_ = std::thread([fd = errorReading, text = errors_, mutex = errorsMutex_] {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
            std::lock_guard lock(*mutex);
            text->append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
    });
    // The host says it serves once its connection file is written.
    std::string said;
    char buffer[4096];
    ssize_t n;
    while (said.find('\n') == std::string::npos && (n = ::read(reading, buffer, sizeof buffer)) > 0)
        said.append(buffer, static_cast<std::size_t>(n));
    output_ = reading; // kept open, so that the host's last words find a reader
    if (said.find("serving") == std::string::npos) {
        stop();
        throw std::runtime_error("wl-refhost did not start: " + said + errors());
    }
}

RefHost::~RefHost() {
    stop();
}

int RefHost::stop(int signal) {
    if (pid_ >= 0) {
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        ::close(output_);
        errorReader_.join();
    }
    return exitCode_;
}

std::string RefHost::errors() const {
    std::lock_guard lock(*errorsMutex_);
    return *errors_;
}

} // namespace e2e
