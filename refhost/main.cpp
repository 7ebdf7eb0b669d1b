// wl-refhost: a host application that serves a real folder over the host HTTP API on 127.0.0.1.
#include "Service.h"
#include "Tree.h"
#include "foundation/Files.h"

#include <boost/json.hpp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <openssl/rand.h>
#include <pthread.h>

namespace {

// The extension's app group (directly downloaded edition): where it looks for fphost.json.
constexpr const char* defaultGroup = "WLH3V8N4PC.org.wyvernloft.shared";

const char* usage =
    "usage: wl-refhost --root DIR [--group ID] [--port N] [--token T] [--state DIR] [--quota BYTES]\n";

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

std::optional<std::uint64_t> number(const char* text) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-')
        return std::nullopt;
    return value;
}

} // namespace

int main(int argc, char** argv) {
    std::optional<std::filesystem::path> root, state;
    std::string group = defaultGroup;
    std::optional<std::string> token;
    std::uint64_t port = 0;
    std::optional<std::uint64_t> quota;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) {
            std::cerr << usage;
            return 2;
        }
        const char* value = argv[++i];
        if (option == "--root") {
            root = value;
        } else if (option == "--group") {
            group = value;
        } else if (option == "--token") {
            token = value;
        } else if (option == "--state") {
            state = value;
        } else if (option == "--port" && number(value) && *number(value) <= 65535) {
            port = *number(value);
        } else if (option == "--quota" && number(value)) {
            quota = number(value);
        } else {
            std::cerr << usage;
            return 2;
        }
    }
    std::error_code ec;
    if (!root || !std::filesystem::is_directory(*root, ec)) {
        std::cerr << "wl-refhost: --root must name a folder\n" << usage;
        return 2;
    }
    if (token && token->find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        std::cerr << "wl-refhost: a token cannot hold CR, LF or NUL\n";
        return 2;
    }

    // Signals are taken by sigwait below, never by a handler on another thread.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        refhost::Tree tree({*root, state, quota});
        refhost::Service service(tree, token.value_or(randomToken()));
        refhost::HttpServer server(
            [&service](refhost::HttpRequest& request) { return service.handle(request); },
            {static_cast<int>(port), true});
        auto container = foundation::appGroupContainer(group);
        if (!container) {
            std::cerr << "wl-refhost: no app-group container for " << group << "\n";
            return 1;
        }
        // Written last, once the host answers: a client that finds the file finds the host.
        boost::json::object connection{{"port", server.port()}, {"token", service.token()}};
        if (auto error =
                foundation::writeAtomically(*container / "fphost.json", boost::json::serialize(connection))) {
            std::cerr << "wl-refhost: cannot write " << (*container / "fphost.json") << ": "
                      << error->localizedDescription() << "\n";
            return 1;
        }
        std::cout << "wl-refhost: serving " << std::filesystem::absolute(*root).string()
                  << " on 127.0.0.1:" << server.port() << "; connection file "
                  << (*container / "fphost.json").string() << std::endl;
        int received = 0;
        sigwait(&signals, &received);
        service.stop();
        server.stop();
        tree.saveClean();
        std::cout << "wl-refhost: stopped" << std::endl;
    } catch (const std::exception& failure) {
        std::cerr << "wl-refhost: " << failure.what() << "\n";
        return 1;
    }
    return 0;
}
