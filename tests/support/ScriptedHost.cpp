#include "ScriptedHost.h"

#include "foundation/Files.h"

#include <boost/json.hpp>

namespace support {

ScriptedHost::ScriptedHost(std::string token)
    : token_(std::move(token)),
      server_(std::make_unique<HttpServer>([this](HttpRequest& request) { return respond(request); })) {}

ScriptedHost::~ScriptedHost() {
    stop();
}

void ScriptedHost::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
    server_->stop();
}

void ScriptedHost::answer(const std::string& method, const std::string& path, HttpResponse response) {
    std::lock_guard lock(mutex_);
    auto& script = scripts_[{method, path}];
    script.standing = std::move(response);
    script.handler = nullptr;
    script.dropped = false;
}

void ScriptedHost::answerOnce(const std::string& method, const std::string& path, HttpResponse response) {
    std::lock_guard lock(mutex_);
    scripts_[{method, path}].once.push_back(std::move(response));
}

void ScriptedHost::handle(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    auto& script = scripts_[{method, path}];
    script.handler = std::move(handler);
    script.standing.reset();
    script.dropped = false;
}

void ScriptedHost::hold(const std::string& method, const std::string& path) {
    std::lock_guard lock(mutex_);
    scripts_[{method, path}].held = true;
}

void ScriptedHost::release() {
    {
        std::lock_guard lock(mutex_);
        for (auto& [key, script] : scripts_)
            script.held = false;
        ++releaseGeneration_;
    }
    changed_.notify_all();
}

void ScriptedHost::drop(const std::string& method, const std::string& path) {
    std::lock_guard lock(mutex_);
    scripts_[{method, path}].dropped = true;
}

std::vector<HttpRequest> ScriptedHost::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t ScriptedHost::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool ScriptedHost::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

HttpResponse ScriptedHost::respond(const HttpRequest& request) {
    std::unique_lock lock(mutex_);
    requests_.push_back(request);
    changed_.notify_all();
    auto it = scripts_.find({request.method, request.path});
    if (it == scripts_.end())
        return HttpResponse::json(404, R"({"error":"not_found"})");
    if (it->second.held) {
        std::uint64_t generation = releaseGeneration_;
        changed_.wait(lock, [&] { return stopped_ || releaseGeneration_ != generation; });
        if (stopped_) {
            HttpResponse closed;
            closed.action = HttpResponse::Action::close;
            return closed;
        }
    }
    Script& script = it->second;
    if (!script.once.empty()) {
        HttpResponse response = std::move(script.once.front());
        script.once.pop_front();
        return response;
    }
    if (script.dropped) {
        HttpResponse closed;
        closed.action = HttpResponse::Action::close;
        return closed;
    }
    if (script.handler) {
        Handler handler = script.handler;
        lock.unlock();
        return handler(request);
    }
    if (script.standing)
        return *script.standing;
    return HttpResponse::json(404, R"({"error":"not_found"})");
}

void ScriptedHost::writeConnectionFile(const std::filesystem::path& directory) const {
    writeConnectionFile(directory, port(), token_);
}

void ScriptedHost::writeConnectionFile(const std::filesystem::path& directory, int port,
                                       const std::string& token) {
    std::filesystem::create_directories(directory);
    boost::json::object file{{"port", port}, {"token", token}};
    if (auto error = foundation::writeAtomically(directory / "fphost.json", boost::json::serialize(file)))
        throw std::runtime_error("cannot write fphost.json: " + error->localizedDescription());
}

} // namespace support
