#include "CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace refhost {

namespace fs = std::filesystem;

const char* const helpText =
    "usage: wl-refhost --root DIR [options]\n"
    "\n"
    "Serves the folder DIR to the File Provider extension over HTTP on 127.0.0.1, and writes the\n"
    "port and token into fphost.json in the app group's container.\n"
    "\n"
    "options:\n"
    "  --root DIR              the folder to serve (required)\n"
    "  --group ID              the app group whose container receives fphost.json\n"
    "                          (default: WLH3V8N4PC.org.wyvernloft.shared)\n"
    "  --port N                the port to listen on (default: a free one)\n"
    "  --token-file FILE       read the access token from FILE (its first line)\n"
    "  --token TOKEN           the access token itself: for tests only, as every local user can\n"
    "                          read a program's arguments (default: a fresh random token)\n"
    "  --state DIR             keep revisions and the change log in DIR, so that anchors stay\n"
    "                          valid across a clean restart\n"
    "  --quota BYTES           refuse uploads past this many bytes in total\n"
    "  --domain ID             signal the domain's working set when the tree changes\n"
    "  --max-connections N     connections served at once (default: 128)\n"
    "  --idle-timeout SECONDS  close a connection whose request does not arrive within this\n"
    "                          (default: 30)\n"
    "  -v, --verbose           log every request on standard error\n"
    "  -h, --help              show this help and exit\n"
    "\n"
    "Stops cleanly on SIGINT or SIGTERM. See wl-refhost(1).\n";

namespace {

// Accepted: a positive whole number within `max`.
std::optional<std::uint64_t> whole(const std::string& text, std::uint64_t max) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    std::uint64_t value = std::strtoull(text.c_str(), nullptr, 10);
    return value <= max ? std::optional(value) : std::nullopt;
}

bool singleName(const std::string& text) {
    return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos &&
           text.find('\0') == std::string::npos;
}

bool fitsAHeader(const std::string& token) {
    return token.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// The first line of the file, without its line end.
std::optional<std::string> readToken(const std::string& path, std::string& why) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = fd < 0 ? std::string("cannot be read: ") + std::strerror(errno) : "not a regular file";
        if (fd >= 0)
            ::close(fd);
        return std::nullopt;
    }
    std::string bytes;
    char buffer[4096];
    ssize_t n;
    while (bytes.find('\n') == std::string::npos && bytes.size() < 65536 &&
           (n = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    std::string token = bytes.substr(0, bytes.find('\n'));
    if (!token.empty() && token.back() == '\r')
        token.pop_back();
    if (token.empty()) {
        why = "holds no token on its first line";
        return std::nullopt;
    }
    if (!fitsAHeader(token)) {
        why = "a token cannot hold CR or NUL";
        return std::nullopt;
    }
    return token;
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    Settings settings;
    std::optional<fs::path> root;
    std::optional<std::string> token, tokenFile;
    std::string problem;
    auto fail = [&](const std::string& option, const std::string& value, const std::string& why) {
        if (problem.empty())
            problem = option + (value.empty() ? "" : " " + value) + ": " + why;
    };

    using Take = std::function<void(const std::string& option, const std::string& value)>;
    const std::map<std::string, Take> valued{
        {"--root", [&](auto&, auto& value) { root = value; }},
        {"--group",
         [&](auto& option, auto& value) {
             if (!singleName(value))
                 fail(option, value, "not an app-group identifier (one name, without \"/\")");
             settings.group = value;
         }},
        {"--port",
         [&](auto& option, auto& value) {
             auto port = whole(value, 65535);
             if (!port)
                 fail(option, value, "not a port number (0 to 65535; 0 picks a free port)");
             settings.port = static_cast<std::uint16_t>(port.value_or(0));
         }},
        {"--token", [&](auto&, auto& value) { token = value; }},
        {"--token-file", [&](auto&, auto& value) { tokenFile = value; }},
        {"--state", [&](auto&, auto& value) { settings.state = value; }},
        {"--quota",
         [&](auto& option, auto& value) {
             settings.quota = whole(value, UINT64_MAX);
             if (!settings.quota)
                 fail(option, value, "not a number of bytes");
         }},
        {"--domain",
         [&](auto& option, auto& value) {
             if (!singleName(value))
                 fail(option, value, "not a domain identifier (one name, without \"/\")");
             settings.domain = value;
         }},
        {"--max-connections",
         [&](auto& option, auto& value) {
             auto count = whole(value, 100000);
             if (!count || *count == 0)
                 fail(option, value, "not a number of connections (1 to 100000)");
             settings.maxConnections = static_cast<std::size_t>(count.value_or(1));
         }},
        {"--idle-timeout",
         [&](auto& option, auto& value) {
             char* end = nullptr;
             errno = 0;
             double seconds = std::strtod(value.c_str(), &end);
             if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds <= 0 ||
                 seconds > 86400)
                 fail(option, value, "not a number of seconds (above 0, at most 86400)");
             else
                 settings.idleTimeout =
                     std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
         }},
    };

    for (std::size_t i = 0; i < arguments.size() && problem.empty(); ++i) {
        std::string option = arguments[i];
        if (option == "-h" || option == "--help")
            return {std::nullopt, 0, helpText};
        if (option == "-v" || option == "--verbose") {
            settings.verbose = true;
            continue;
        }
        std::optional<std::string> value;
        if (auto equals = option.find('='); option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
        }
        auto take = valued.find(option);
        if (take == valued.end()) {
            problem =
                option.rfind('-', 0) == 0 ? "unknown option " + option : "unexpected argument " + option;
            break;
        }
        if (!value) {
            if (i + 1 >= arguments.size()) {
                problem = option + " needs a value";
                break;
            }
            value = arguments[++i];
        }
        take->second(option, *value);
    }

    std::error_code ec;
    if (problem.empty()) {
        if (!root)
            problem = "--root is required: the folder to serve";
        else if (!fs::exists(*root, ec))
            fail("--root", root->string(), "no such folder");
        else if (!fs::is_directory(*root, ec))
            fail("--root", root->string(), "not a folder");
    }
    if (problem.empty() && settings.state && fs::exists(*settings.state, ec) &&
        !fs::is_directory(*settings.state, ec))
        fail("--state", settings.state->string(), "not a folder");
    if (problem.empty() && token && tokenFile)
        problem = "--token and --token-file cannot be given together";
    if (problem.empty() && token && !fitsAHeader(*token))
        problem = "--token: a token cannot hold CR, LF or NUL";
    if (problem.empty() && tokenFile) {
        std::string why;
        token = readToken(*tokenFile, why);
        if (!token)
            fail("--token-file", *tokenFile, why);
    }
    if (!problem.empty())
        return {std::nullopt, 2, "wl-refhost: " + problem + "\nTry 'wl-refhost --help'.\n"};
    settings.root = *root;
    settings.token = token;
    return {settings, 0, {}};
}

} // namespace refhost
