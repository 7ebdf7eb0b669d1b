#pragma once

// A small HTTP/1.1 server on 127.0.0.1: one thread per connection, keep-alive, bodies by Content-Length
// or chunked. The handler runs on the connection's thread and may block (that is how an answer is held
// back). Request bodies are either read whole before the handler runs or streamed to it; response
// bodies are a string or a generator, so that neither side holds a large file in memory.
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

namespace refhost {

using Headers = std::vector<std::pair<std::string, std::string>>;

// A request body read as it arrives.
class BodyReader {
public:
    virtual ~BodyReader() = default;
    // Bytes read, 0 at the end of the body, -1 when the connection broke before the end.
    virtual std::int64_t read(char* buffer, std::size_t size) = 0;
};

struct HttpRequest {
    std::string method;
    std::string target; // as sent: path and raw query
    std::string path;
    std::string rawQuery; // without "?", not decoded
    Headers headers;
    std::string body;                 // when the server reads bodies whole
    BodyReader* bodyStream = nullptr; // when it streams them; valid while the handler runs

    std::optional<std::string> header(const std::string& name) const;
    // The query decoded (percent escapes), last value winning.
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

class HttpServer {
public:
    using Handler = std::function<HttpResponse(HttpRequest&)>;

    struct Options {
        int port = 0;              // 0: a free port
        bool streamBodies = false; // hand bodies to the handler as a BodyReader
    };

    HttpServer(Handler handler, Options options);
    explicit HttpServer(Handler handler) : HttpServer(std::move(handler), Options{}) {}
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    // Stops accepting, breaks every connection and joins its threads. Unblock held handlers first.
    void stop();

private:
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    Options options_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::vector<int> connections_;
    std::vector<std::thread> threads_;
};

} // namespace refhost
