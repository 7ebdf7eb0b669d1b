#pragma once

// A small HTTP/1.1 server on 127.0.0.1: one thread per connection, keep-alive, bodies by Content-Length
// or chunked. The handler runs on the connection's thread and may block (that is how an answer is held
// back). Request bodies are either read whole before the handler runs or streamed to it; response
// bodies are a string or a generator, so that neither side holds a large file in memory.
//
// Bounded against clients that misbehave: at most `maxConnections` at once (further ones wait in the
// listen queue), a request head larger than the limits is answered 431, a head that does not arrive
// within `idleTimeout` or a body or answer that stalls for `ioTimeout` closes the connection, and a
// finished connection's thread is joined at once. When descriptors run out, accepting backs off.
#include "Parsing.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
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
    std::map<std::string, std::string> query() const { return parseQuery(rawQuery); }
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

// One exchange, for a request log. `status` is 0 when the connection closed without an answer.
struct AccessRecord {
    std::string method;
    std::string target;
    int status = 0;
    std::uint64_t bytesSent = 0; // of the body
    std::chrono::microseconds elapsed{0};
};

class HttpServer {
public:
    using Handler = std::function<HttpResponse(HttpRequest&)>;

    struct Options {
        int port = 0;              // 0: a free port
        bool streamBodies = false; // hand bodies to the handler as a BodyReader
        std::size_t maxConnections = 128;
        HeadLimits head = {};
        // A request head must be whole within this, from the connection's start or the previous answer.
        std::chrono::milliseconds idleTimeout{30000};
        // Reading a body or sending an answer that makes no progress for this long breaks the connection.
        std::chrono::milliseconds ioTimeout{60000};
        // Called on the connection's thread after each exchange, with no lock of the server held.
        std::function<void(const AccessRecord&)> log = {};
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
    struct Worker {
        std::thread thread;
        int fd = -1;
    };

    void acceptLoop();
    void reapFinished();
    void serve(int fd);
    void finished(std::uint64_t id, int fd);

    Handler handler_;
    Options options_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::condition_variable slotFreed_;
    std::uint64_t nextWorker_ = 0;
    std::map<std::uint64_t, Worker> workers_; // running and finished, until joined
    std::vector<std::uint64_t> finished_;     // ready to be joined
};

} // namespace refhost
