#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace support {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string target; // as sent: path and raw query
    std::string path;
    std::string rawQuery; // without "?", not decoded
    Headers headers;
    std::string body;

    std::optional<std::string> header(const std::string& name) const;
    // The query decoded (percent escapes; "+" kept as is), last value winning.
    std::map<std::string, std::string> query() const;
};

struct HttpResponse {
    enum class Action {
        respond,
        close,        // close the connection without an answer
        closeMidBody, // send the head and `breakAfter` bytes of the body, then close
    };

    HttpResponse() = default;
    HttpResponse(int status, std::string body, Headers headers = {})
        : status(status), headers(std::move(headers)), body(std::move(body)) {}
    static HttpResponse json(int status, std::string body) {
        return HttpResponse(status, std::move(body), {{"Content-Type", "application/json"}});
    }

    int status = 200;
    Headers headers;
    std::string body;
    // A generated body of `streamLength` bytes: `stream` fills up to `size` bytes and returns the count
    // (0 ends it early, which breaks the connection). It may block to pace the transfer.
    std::optional<std::uint64_t> streamLength;
    std::function<std::size_t(char* buffer, std::size_t size)> stream;
    Action action = Action::respond;
    std::uint64_t breakAfter = 0;
};

std::string percentDecode(const std::string& text);

// A small HTTP/1.1 server on 127.0.0.1 with one thread per connection and keep-alive. The handler runs on
// the connection's thread and may block (that is how an answer is held back).
class HttpServer {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    explicit HttpServer(Handler handler, int port = 0);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    // Stops accepting, breaks every connection and joins its threads. Handlers must have returned or be
    // about to: unblock them first.
    void stop();

private:
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<int> connections_;
    std::vector<std::thread> threads_;
};

} // namespace support
