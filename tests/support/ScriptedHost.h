#pragma once

#include "server/HttpServer.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace support {

using refhost::Headers;
using refhost::HttpRequest;
using refhost::HttpResponse;
using refhost::HttpServer;

// A host on 127.0.0.1 scripted per test: canned answers or handlers by method and path, answers held back
// until released, connections closed without an answer, and a record of every request. Unscripted
// requests get 404 {"error": "not_found"}.
class ScriptedHost {
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    explicit ScriptedHost(std::string token = "test-token");
    ~ScriptedHost();

    int port() const { return server_->port(); }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port()); }
    const std::string& token() const { return token_; }

    // Every matching request gets this answer (replacing earlier scripting of that method and path).
    void answer(const std::string& method, const std::string& path, HttpResponse response);
    // The next matching request gets this answer, before any standing one; queued in order.
    void answerOnce(const std::string& method, const std::string& path, HttpResponse response);
    void handle(const std::string& method, const std::string& path, Handler handler);
    // Matching requests wait, unanswered, until release() (or the host stops, which drops them).
    void hold(const std::string& method, const std::string& path);
    void release();
    // Matching requests get the connection closed without an answer.
    void drop(const std::string& method, const std::string& path);

    std::vector<HttpRequest> requests() const;
    std::size_t requestCount() const;
    // Waits until at least `count` requests have arrived.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Writes fphost.json ("port", "token") into `directory`, atomically.
    void writeConnectionFile(const std::filesystem::path& directory) const;
    static void writeConnectionFile(const std::filesystem::path& directory, int port,
                                    const std::string& token);

    void stop();

private:
    struct Script {
        std::deque<HttpResponse> once;
        std::optional<HttpResponse> standing;
        Handler handler;
        bool held = false;
        bool dropped = false;
    };
    HttpResponse respond(const HttpRequest& request);

    std::string token_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::pair<std::string, std::string>, Script> scripts_;
    std::vector<HttpRequest> requests_;
    bool releasing_ = false;
    std::uint64_t releaseGeneration_ = 0;
    bool stopped_ = false;
    std::unique_ptr<HttpServer> server_;
};

} // namespace support
