// fpctl: the system's command-line front end. It loads an extension module as the system does and
// makes the system's calls for one domain, printing what the system receives.
#include "Arguments.h"
#include "Errors.h"
#include "Fpctl.h"
#include "Terminal.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

// A watch ends at the first SIGINT or SIGTERM; a second one ends the process as usual.
void stopOnInterrupt() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int usageError(const std::string& why) {
    std::cerr << "fpctl: " << why << "\n(fpctl --help lists the commands and options)\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    fpctl::Invocation invocation;
    try {
        invocation = fpctl::parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const fpctl::UsageError& bad) {
        return usageError(bad.what());
    }
    if (invocation.help) {
        std::cout << fpctl::usageText;
        return 0;
    }
    if (invocation.version) {
        std::cout << "fpctl " WL_VERSION "\n";
        return 0;
    }
    if (const char* version = std::getenv("FP_SYSTEM_VERSION"); version && !fpctl::isSystemVersion(version))
        return usageError(std::string("FP_SYSTEM_VERSION is \"") + version +
                          "\", which is not a system version (major[.minor[.patch]], such as 15.0)");
    bool asJSON = invocation.json || invocation.script;
    int columns = fpctl::terminalColumns(STDOUT_FILENO);
    auto print = [&](const json::object& output) {
        if (asJSON)
            std::cout << json::serialize(output) << std::endl;
        else
            std::cout << fpctl::describe(output, columns) << std::flush;
    };
    try {
        fs::path module = invocation.extension.value_or(fpsystem::defaultExtensionModule());
        std::string why;
        auto loaded = fpsystem::loadExtension(module, why);
        if (!loaded) {
            std::cerr << "fpctl: " << why << "\n";
            if (!invocation.extension)
                std::cerr << "(--extension names another module)\n";
            return 1;
        }
        fpctl::Session session(std::move(loaded),
                               fileprovider::Domain(invocation.domain, invocation.displayName));
        if (!asJSON && ::isatty(STDERR_FILENO))
            session.setProgressDisplay(std::make_shared<fpctl::ProgressBar>(STDERR_FILENO));
        if (invocation.command && invocation.command->at("op") == json::value("watch")) {
            stopOnInterrupt();
            return session.watch(*invocation.command, print, interrupted) ? 0 : 1;
        }
        if (invocation.command) {
            json::object output = session.run(*invocation.command);
            print(output);
            return fpctl::reportedError(output) ? 1 : 0;
        }
        std::string line;
        int number = 0;
        while (std::getline(std::cin, line)) {
            ++number;
            if (line.find_first_not_of(" \t\r") == std::string::npos)
                continue;
            json::error_code ec;
            json::value parsed = json::parse(line, ec);
            if (ec || !parsed.is_object()) {
                std::cerr << "fpctl: line " << number << ": not a JSON object\n";
                return 2;
            }
            try {
                print(session.run(parsed.get_object()));
            } catch (const std::invalid_argument& bad) {
                std::cerr << "fpctl: line " << number << ": " << bad.what() << "\n";
                return 2;
            }
        }
        return 0;
    } catch (const std::invalid_argument& bad) {
        return usageError(bad.what());
    } catch (const std::exception& failure) {
        std::cerr << "fpctl: " << failure.what() << "\n";
        return 1;
    }
}
