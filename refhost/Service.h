#pragma once

// The host HTTP API over a Tree: token check, the "/v1/" endpoints, and an admin endpoint that makes
// the next requests to an endpoint fail in a chosen way (for tests and demonstrations). Handlers run on
// the server's connection threads.
#include "Tree.h"
#include "server/HttpServer.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace refhost {

class Service {
public:
    Service(Tree& tree, std::string token);

    HttpResponse handle(HttpRequest& request);
    // Releases requests held by "hang" faults.
    void stop();
    const std::string& token() const { return token_; }

private:
    struct Fault {
        std::string method; // "" for any
        int status = 500;
        std::string body;
        enum class Action { respond, hang, drop } action = Action::respond;
        double seconds = 0; // how long a hang lasts; 0: until the host stops
    };

    std::optional<HttpResponse> injected(const HttpRequest& request);
    HttpResponse admin(HttpRequest& request);
    HttpResponse route(HttpRequest& request);
    HttpResponse upload(HttpRequest& request);
    HttpResponse remove(const HttpRequest& request);

    Tree& tree_;
    std::string token_;
    std::mutex mutex_;
    std::condition_variable released_;
    bool stopping_ = false;
    std::map<std::string, std::deque<Fault>> faults_; // by endpoint path
};

} // namespace refhost
