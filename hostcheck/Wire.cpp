#include "Wire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <memory>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace wl::hostcheck {

namespace json = boost::json;

namespace {

// Long enough for a few MiB on a slow host, short enough that a host that never answers is reported.
constexpr double requestTimeout = 20;

std::string shortened(const std::string& text, std::size_t limit = 300) {
    if (text.size() <= limit)
        return text;
    return text.substr(0, limit) + "... (" + std::to_string(text.size()) + " bytes)";
}

bool printable(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 && c != '\n' && c != '\t' && c != '\r')
            return false;
    return true;
}

Exchange begin(const char* method, std::string target) {
    Exchange exchange;
    exchange.method = method;
    exchange.target = std::move(target);
    return exchange;
}

} // namespace

std::string queryEncode(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string target(const std::string& path, const Query& query) {
    std::string out = path;
    char separator = '?';
    for (const auto& [key, value] : query) {
        out += separator;
        separator = '&';
        out += queryEncode(key) + "=" + queryEncode(value);
    }
    return out;
}

std::string sha256Hex(std::string_view bytes) {
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), hash, &size, EVP_sha256(), nullptr);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
        out += hex[hash[i] >> 4];
        out += hex[hash[i] & 15];
    }
    return out;
}

std::optional<Connection> readConnection(const std::filesystem::path& file, std::string& why) {
    auto bytes = foundation::readFile(file);
    if (!bytes) {
        why = "cannot read " + file.string();
        return std::nullopt;
    }
    json::error_code ec;
    json::value document = json::parse(*bytes, ec);
    if (ec || !document.is_object()) {
        why = "not a JSON object: " + shortened(*bytes, 200);
        return std::nullopt;
    }
    const json::object& object = document.get_object();
    const json::value* port = object.if_contains("port");
    const json::value* token = object.if_contains("token");
    std::optional<std::int64_t> number;
    if (port && port->is_int64())
        number = port->get_int64();
    else if (port && port->is_uint64() && port->get_uint64() <= 65535)
        number = static_cast<std::int64_t>(port->get_uint64());
    else if (port && port->is_double() && port->get_double() >= 0 && port->get_double() <= 65535 &&
             std::trunc(port->get_double()) == port->get_double())
        number = static_cast<std::int64_t>(port->get_double());
    if (!number || *number < 0 || *number > 65535) {
        why = "\"port\" is not a whole number from 0 to 65535: " + shortened(*bytes, 200);
        return std::nullopt;
    }
    if (!token || !token->is_string()) {
        why = "\"token\" is not a string: " + shortened(*bytes, 200);
        return std::nullopt;
    }
    std::string value(token->get_string());
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        why = "\"token\" holds CR, LF or NUL, which no header can carry";
        return std::nullopt;
    }
    return Connection{static_cast<int>(*number), value};
}

std::optional<json::object> Exchange::object() const {
    json::error_code ec;
    json::value value = json::parse(body, ec);
    if (ec || !value.is_object())
        return std::nullopt;
    return std::move(value.get_object());
}

std::optional<std::string> Exchange::kind() const {
    auto parsed = object();
    if (!parsed)
        return std::nullopt;
    const json::value* error = parsed->if_contains("error");
    if (!error || !error->is_string())
        return std::nullopt;
    return std::string(error->get_string());
}

std::string Exchange::sentText() const {
    return method + " " + target + (detail.empty() ? "" : " " + detail);
}

std::string Exchange::gotText() const {
    if (!answered())
        return "no answer (" + transportError + ")";
    std::string text = std::to_string(status);
    if (body.empty())
        return text + ", empty body";
    if (!printable(body) || (path() == "/v1/content" && method == "GET" && status == 200))
        return text + ", " + std::to_string(body.size()) + " bytes";
    return text + " " + shortened(body);
}

Client::Client(Connection connection, std::string scratch)
    : connection_(std::move(connection)), scratch_(std::move(scratch)) {}

void Client::guard(const std::string& identifier) const {
    bool inside = identifier == scratch_ || (identifier.size() > scratch_.size() + 1 &&
                                             identifier.compare(0, scratch_.size(), scratch_) == 0 &&
                                             identifier[scratch_.size()] == '/');
    if (inside) {
        std::size_t start = scratch_.size() + 1;
        while (start < identifier.size() + 1 && inside) {
            auto slash = identifier.find('/', start);
            std::string segment =
                identifier.substr(start, slash == std::string::npos ? slash : slash - start);
            inside = !segment.empty() && segment != "." && segment != ".." &&
                     segment.find('\0') == std::string::npos;
            if (slash == std::string::npos)
                break;
            start = slash + 1;
        }
    }
    if (scratch_.empty() || !inside)
        throw std::logic_error("wl-hostcheck refuses to write outside its scratch folder: \"" + identifier +
                               "\"");
}

std::string Client::url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(connection_.port) + target;
}

Exchange Client::send(foundation::URLRequest request, Exchange exchange, const Auth& auth) {
    request.timeoutInterval = requestTimeout;
    request.httpMethod = exchange.method;
    if (auth.mode == Auth::Mode::connection) {
        request.setValue(connection_.token, "X-FP-Token");
    } else if (auth.mode == Auth::Mode::given) {
        request.setValue(auth.value, "X-FP-Token");
        exchange.detail = "with the token \"" + shortened(auth.value, 40) + "\"" +
                          (exchange.detail.empty() ? "" : ", " + exchange.detail);
    } else {
        exchange.detail = "without X-FP-Token" + (exchange.detail.empty() ? "" : ", " + exchange.detail);
    }
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    auto* out = &exchange;
    session_
        .dataTask(std::move(request),
                  [done, out](std::optional<std::string> data, foundation::ResponseRef response,
                              foundation::ErrorRef error) {
                      if (error) {
                          out->transportError = error->localizedDescription();
                      } else if (response) {
                          out->status = response->statusCode;
                          out->headers = response->headers;
                          out->body = std::move(data).value_or("");
                      }
                      done->set_value();
                  })
        ->resume();
    future.wait(); // the completion writes into `exchange` before it signals
    if (observer)
        observer(exchange);
    return exchange;
}

Exchange Client::get(const std::string& path, const Query& query, const Auth& auth) {
    Exchange exchange = begin("GET", target(path, query));
    foundation::URLRequest request(url(exchange.target));
    return send(std::move(request), std::move(exchange), auth);
}

Exchange Client::put(const std::string& identifier, const std::string& base, const std::string& bytes,
                     const Auth& auth, std::optional<std::string> digest) {
    guard(identifier);
    Exchange exchange = begin("PUT", target("/v1/content", {{"base", base}, {"path", identifier}}));
    std::string hash = digest.value_or(sha256Hex(bytes));
    exchange.detail = std::to_string(bytes.size()) + " bytes, X-FP-SHA256 " + hash.substr(0, 16) +
                      (digest ? " (not their digest)" : "");
    foundation::URLRequest request(url(exchange.target));
    request.setValue(hash, "X-FP-SHA256");
    request.setValue("application/octet-stream", "Content-Type");
    request.httpBody = bytes;
    return send(std::move(request), std::move(exchange), auth);
}

Exchange Client::post(const std::string& path, const json::object& body, const Auth& auth) {
    Exchange exchange = begin("POST", path);
    exchange.detail = json::serialize(body);
    foundation::URLRequest request(url(path));
    request.setValue("application/json", "Content-Type");
    request.httpBody = exchange.detail;
    return send(std::move(request), std::move(exchange), auth);
}

Exchange Client::folder(const std::string& identifier, const Auth& auth) {
    guard(identifier);
    return post("/v1/folder", {{"path", identifier}}, auth);
}

Exchange Client::move(const std::string& from, const std::string& to, const Auth& auth) {
    guard(from);
    guard(to);
    return post("/v1/move", {{"from", from}, {"to", to}}, auth);
}

Exchange Client::remove(const Query& query, const Auth& auth) {
    auto path = query.find("path");
    guard(path == query.end() ? std::string() : path->second);
    Exchange exchange = begin("DELETE", target("/v1/item", query));
    foundation::URLRequest request(url(exchange.target));
    return send(std::move(request), std::move(exchange), auth);
}

Exchange Client::shortPut(const std::string& identifier, const std::string& base, const std::string& bytes,
                          std::uint64_t declared) {
    guard(identifier);
    Exchange exchange = begin("PUT", target("/v1/content", {{"base", base}, {"path", identifier}}));
    std::string hash = sha256Hex(bytes);
    exchange.detail = "Content-Length " + std::to_string(declared) + " but only " +
                      std::to_string(bytes.size()) + " bytes, then the sending side closed";
    auto finish = [&](std::string why) {
        exchange.transportError = std::move(why);
        return exchange;
    };
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return finish(std::strerror(errno));
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { ::close(*f); });
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(connection_.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return finish(std::strerror(errno));
    std::string head = "PUT " + exchange.target +
                       " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(connection_.port) +
                       "\r\nX-FP-Token: " + connection_.token + "\r\nX-FP-SHA256: " + hash +
                       "\r\nContent-Type: application/octet-stream\r\n" +
                       "Content-Length: " + std::to_string(declared) + "\r\nConnection: close\r\n\r\n";
    std::string all = head + bytes;
    for (std::size_t sent = 0; sent < all.size();) {
        ssize_t n = ::send(fd, all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return finish("the host closed the connection while the body was sent");
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(requestTimeout);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd wait{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[16384];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    auto end = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.", 0) != 0 || end == std::string::npos || answer.size() < 12)
        return finish("the connection closed without an answer");
    exchange.status = std::strtol(answer.c_str() + 9, nullptr, 10);
    exchange.body = answer.substr(end + 4);
    return exchange; // not observed: the body may still be chunked
}

} // namespace wl::hostcheck
