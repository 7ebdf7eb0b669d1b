// wl-refhost: a host application that serves a real folder over the host HTTP API on 127.0.0.1.
#include "CommandLine.h"
#include "Service.h"
#include "Tree.h"
#include "TreeDetail.h"
#include "fileprovider/Manager.h"
#include "foundation/Files.h"

#include <boost/json.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <openssl/rand.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::mutex sayMutex;

// One line on standard error; lines from several threads never mix.
void say(const std::string& line) {
    std::lock_guard lock(sayMutex);
    std::cerr << "wl-refhost: " << line << std::endl;
}

std::string randomToken() {
    unsigned char bytes[24];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw std::runtime_error("no randomness for a token");
    std::string token;
    static constexpr char digits[] = "0123456789abcdef";
    for (unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

// Held for the host's life: a second host on the same app group would point the connection file at
// itself while the first one still serves.
int claimGroup(const fs::path& container, const std::string& group) {
    fs::path path = container / "wl-refhost.lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        [[maybe_unused]] auto n = ::pread(fd, pid, sizeof pid - 1, 0);
        ::close(fd);
        std::string who = pid[0] ? " (pid " + std::string(pid, std::strcspn(pid, "\n")) + ")" : "";
        throw std::runtime_error("another wl-refhost" + who + " is serving the app group " + group +
                                 "; stop it first");
    }
    std::string mine = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0)
        foundation::writeAll(fd, mine);
    return fd;
}

// Tells the system that the domain's working set changed, as a host application does; runs on the
// tree's own thread.
std::function<void(std::int64_t)> signaller(const std::string& id) {
    return [id, warned = false](std::int64_t) mutable {
        auto manager = fileprovider::Manager::forDomain(fileprovider::Domain(id, ""));
        if (!manager) {
            if (!warned)
                say("the domain " + id + " is not registered: changes are not signalled until it is");
            warned = true;
            return;
        }
        warned = false;
        manager->signalEnumerator(
            fileprovider::ItemIdentifier::workingSet(), [id](foundation::ErrorRef error) {
                if (error)
                    say("cannot signal the domain " + id + ": " + error->localizedDescription());
            });
    };
}

void logRequest(const refhost::AccessRecord& record) {
    std::timespec now{};
    std::timespec_get(&now, TIME_UTC);
    std::tm parts{};
    ::localtime_r(&now.tv_sec, &parts);
    char time[32];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d.%03ld", parts.tm_hour, parts.tm_min, parts.tm_sec,
                  now.tv_nsec / 1000000);
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f ms", static_cast<double>(record.elapsed.count()) / 1000);
    say(std::string(time) + " " + (record.method.empty() ? "-" : record.method) + " " +
        refhost::detail::printable(record.target.empty() ? "-" : record.target) + " " +
        (record.status ? std::to_string(record.status) : "closed") + " " + std::to_string(record.bytesSent) +
        " B " + elapsed);
}

} // namespace

int main(int argc, char** argv) {
    auto parsed = refhost::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.settings) {
        (parsed.exitCode == 0 ? std::cout : std::cerr) << parsed.output;
        return parsed.exitCode;
    }
    const refhost::Settings& settings = *parsed.settings;

    // Signals are taken by sigwait below, never by a handler on another thread.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        auto container = foundation::appGroupContainer(settings.group);
        if (!container) {
            say("no app-group container for " + settings.group);
            return 1;
        }
        int claim = claimGroup(*container, settings.group);
        refhost::Tree::Options options{settings.root, settings.state, settings.quota};
        options.notice = say;
        if (settings.domain)
            options.changed = signaller(*settings.domain);
        refhost::Tree tree(options);
        refhost::Service service(tree, settings.token.value_or(randomToken()));
        refhost::HttpServer::Options serving;
        serving.port = settings.port;
        serving.streamBodies = true;
        serving.maxConnections = settings.maxConnections;
        serving.idleTimeout = settings.idleTimeout;
        if (settings.verbose)
            serving.log = logRequest;
        refhost::HttpServer server(
            [&service](refhost::HttpRequest& request) { return service.handle(request); }, serving);
        // Written last, once the host answers: a client that finds the file finds the host.
        fs::path connectionFile = *container / "fphost.json";
        boost::json::object connection{{"port", server.port()}, {"token", service.token()}};
        if (auto error = foundation::writeAtomically(connectionFile, boost::json::serialize(connection))) {
            say("cannot write " + connectionFile.string() + ": " + error->localizedDescription());
            return 1;
        }
        std::cout << "wl-refhost: serving " << fs::absolute(settings.root).string()
                  << " on 127.0.0.1:" << server.port() << "; connection file " << connectionFile.string()
                  << std::endl;
        int received = 0;
        sigwait(&signals, &received);
        service.stop();
        server.stop();
        if (auto error = tree.saveClean()) {
            say(*error + "; the next start begins a new history");
            return 1;
        }
        ::close(claim);
        std::cout << "wl-refhost: stopped" << std::endl;
    } catch (const std::exception& failure) {
        say(failure.what());
        return 1;
    }
    return 0;
}
