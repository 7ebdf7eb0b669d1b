#include "Service.h"

#include "Json.h"
#include "foundation/Files.h"

#include <boost/json.hpp>
#include <chrono>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

namespace refhost {

namespace json = boost::json;

namespace {

// Never an epoch of a history: a new epoch is 8 hexadecimal digits.
constexpr const char* expiredEpoch = "expired";

HttpResponse answer(int status, std::string body) {
    return HttpResponse::json(status, std::move(body));
}

HttpResponse refusal(const Refusal& refused) {
    JsonWriter out;
    out.beginObject().key("error").string(refused.kind).key("code").string(refused.code);
    if (refused.record)
        out.key("item").raw(*refused.record);
    out.endObject();
    return answer(refused.status, out.take());
}

HttpResponse refusal(int status, const std::string& kind, const std::string& code = {}) {
    return refusal(Refusal{status, kind, code, std::nullopt});
}

std::optional<std::string> member(const json::object& object, const char* key) {
    const json::value* value = object.if_contains(key);
    if (!value || !value->is_string())
        return std::nullopt;
    return std::string(value->get_string());
}

std::optional<std::string> key(const std::map<std::string, std::string>& query, const char* name) {
    auto it = query.find(name);
    if (it == query.end())
        return std::nullopt;
    return Tree::keyOf(it->second);
}

HttpResponse itemAnswer(const Outcome& outcome) {
    if (outcome.refusal)
        return refusal(*outcome.refusal);
    JsonWriter out;
    out.beginObject().key("item").raw(outcome.record);
    if (outcome.conflictCopy)
        out.key("conflictCopy").raw(*outcome.conflictCopy);
    out.endObject();
    return answer(200, out.take());
}

// The body of a small JSON request, whichever way the server delivers it.
std::string smallBody(HttpRequest& request) {
    if (!request.bodyStream)
        return request.body;
    std::string body;
    char buffer[65536];
    std::int64_t n;
    while (body.size() < (1 << 20) && (n = request.bodyStream->read(buffer, sizeof buffer)) > 0)
        body.append(buffer, static_cast<std::size_t>(n));
    return body;
}

struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() { ::close(fd); }
    int fd;
};

} // namespace

Service::Service(Tree& tree, std::string token) : tree_(tree), token_(std::move(token)) {}

void Service::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    released_.notify_all();
}

HttpResponse Service::handle(HttpRequest& request) {
    std::string given = request.header("X-FP-Token").value_or("");
    bool authorised =
        given.size() == token_.size() && CRYPTO_memcmp(given.data(), token_.data(), given.size()) == 0;
    if (!authorised || !request.header("X-FP-Token"))
        return refusal(401, "unauthorized");
    if (request.path.rfind("/admin/", 0) == 0)
        return admin(request);
    if (auto fault = injected(request))
        return *fault;
    try {
        return route(request);
    } catch (const std::exception& failure) {
        return refusal(500, "failed", failure.what());
    }
}

std::optional<HttpResponse> Service::injected(const HttpRequest& request) {
    Fault fault;
    {
        std::lock_guard lock(mutex_);
        auto it = faults_.find(request.path);
        if (it == faults_.end() || it->second.empty())
            return std::nullopt;
        auto& queue = it->second;
        if (!queue.front().method.empty() && queue.front().method != request.method)
            return std::nullopt;
        fault = queue.front();
        queue.pop_front();
    }
    HttpResponse response = answer(fault.status, fault.body);
    if (fault.action == Fault::Action::drop) {
        response.action = HttpResponse::Action::close;
    } else if (fault.action == Fault::Action::hang) {
        std::unique_lock lock(mutex_);
        if (fault.seconds > 0)
            released_.wait_for(lock, std::chrono::duration<double>(fault.seconds), [&] { return stopping_; });
        else
            released_.wait(lock, [&] { return stopping_; });
        response.action = HttpResponse::Action::close;
    }
    return response;
}

HttpResponse Service::admin(HttpRequest& request) {
    if (request.path != "/admin/faults")
        return refusal(404, "not_found");
    if (request.method == "DELETE") {
        std::lock_guard lock(mutex_);
        faults_.clear();
        return answer(200, R"({"cleared":true})");
    }
    if (request.method != "POST")
        return refusal(405, "bad_request", "method");
    json::error_code ec;
    json::value document = json::parse(smallBody(request), ec);
    if (ec || !document.is_object())
        return refusal(400, "bad_request", "json");
    const json::object& order = document.get_object();
    auto path = member(order, "path");
    if (!path)
        return refusal(400, "bad_request", "path");
    Fault fault;
    fault.method = member(order, "method").value_or("");
    if (auto* status = order.if_contains("status"); status && status->is_int64())
        fault.status = static_cast<int>(status->get_int64());
    if (auto* body = order.if_contains("body"))
        fault.body = body->is_string() ? std::string(body->get_string()) : json::serialize(*body);
    std::string action = member(order, "action").value_or("respond");
    if (action == "hang")
        fault.action = Fault::Action::hang;
    else if (action == "drop")
        fault.action = Fault::Action::drop;
    else if (action != "respond")
        return refusal(400, "bad_request", "action");
    if (auto* seconds = order.if_contains("seconds"); seconds && seconds->is_number())
        fault.seconds = seconds->to_number<double>();
    std::int64_t count = 1;
    if (auto* n = order.if_contains("count"); n && n->is_int64())
        count = n->get_int64();
    std::lock_guard lock(mutex_);
    for (std::int64_t i = 0; i < count && i < 10000; ++i)
        faults_[*path].push_back(fault);
    return answer(200, R"({"queued":)" + std::to_string(count) + "}");
}

HttpResponse Service::route(HttpRequest& request) {
    const std::string& path = request.path;
    const std::string& method = request.method;
    auto query = request.query();
    if (method == "GET" && path == "/v1/item") {
        auto id = key(query, "id");
        if (!id)
            return refusal(400, "bad_request", "id");
        auto record = tree_.record(*id);
        return record ? answer(200, *record) : refusal(404, "not_found");
    }
    if (method == "GET" && path == "/v1/content") {
        auto id = key(query, "path");
        if (!id)
            return refusal(400, "bad_request", "path");
        auto reading = tree_.openForReading(*id);
        if (reading.refusal)
            return refusal(*reading.refusal);
        auto file = std::make_shared<Descriptor>(reading.fd);
        HttpResponse response(200, "", {{"Content-Type", "application/octet-stream"}});
        response.streamLength = reading.size;
        response.stream = [file](char* buffer, std::size_t size) -> std::size_t {
            ssize_t n = ::read(file->fd, buffer, size);
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        };
        return response;
    }
    if (method == "GET" && (path == "/v1/enumerate" || path == "/v1/all")) {
        std::optional<Tree::Listing> listing;
        if (path == "/v1/all") {
            listing = tree_.all();
        } else {
            auto id = key(query, "container");
            if (!id)
                return refusal(400, "bad_request", "container");
            listing = tree_.children(*id);
            if (!listing)
                return refusal(404, "not_found");
        }
        JsonWriter out;
        out.beginObject()
            .key("items")
            .raw(listing->items)
            .key("anchor")
            .integer(listing->revision)
            .endObject();
        return answer(200, out.take());
    }
    if (method == "GET" && path == "/v1/anchor") {
        JsonWriter out;
        out.beginObject()
            .key("anchor")
            .integer(tree_.revision())
            .key("epoch")
            .string(tree_.epoch())
            .endObject();
        return answer(200, out.take());
    }
    if (method == "GET" && path == "/v1/changes") {
        // A revision that is not a number asks for everything: the whole history since 0.
        std::int64_t since = std::max<std::int64_t>(0, parseRevision(query["anchor"]).value_or(0));
        auto changes = tree_.changesSince(since);
        // An anchor this history cannot continue (one of another history, ahead of this one, or older than
        // the deletions still remembered): no changes, and an epoch that no anchor carries, so that the
        // client starts over from a fresh enumeration instead of failing on every try.
        std::string epoch = changes ? tree_.epoch() : expiredEpoch;
        if (!changes)
            changes = Tree::Changes{"[]", "[]", tree_.revision()};
        JsonWriter out;
        out.beginObject()
            .key("updates")
            .raw(changes->updates)
            .key("deletions")
            .raw(changes->deletions)
            .key("anchor")
            .integer(changes->revision)
            .key("epoch")
            .string(epoch)
            .endObject();
        return answer(200, out.take());
    }
    if (method == "PUT" && path == "/v1/content")
        return upload(request);
    if (method == "POST" && (path == "/v1/folder" || path == "/v1/move")) {
        json::error_code ec;
        json::value document = json::parse(smallBody(request), ec);
        if (ec || !document.is_object())
            return refusal(400, "bad_request", "json");
        const json::object& object = document.get_object();
        if (path == "/v1/folder") {
            auto folder = member(object, "path");
            auto folderKey = folder ? Tree::keyOf(*folder) : std::nullopt;
            if (!folderKey)
                return refusal(400, "bad_request", "path");
            return itemAnswer(tree_.makeFolder(*folderKey));
        }
        auto from = member(object, "from");
        auto to = member(object, "to");
        auto fromKey = from ? Tree::keyOf(*from) : std::nullopt;
        auto toKey = to ? Tree::keyOf(*to) : std::nullopt;
        if (!fromKey || !toKey)
            return refusal(400, "bad_request", "path");
        return itemAnswer(tree_.move(*fromKey, *toKey));
    }
    if (method == "DELETE" && path == "/v1/item")
        return remove(request);
    return refusal(404, "not_found", "endpoint");
}

HttpResponse Service::upload(HttpRequest& request) {
    auto query = request.query();
    auto id = key(query, "path");
    if (!id)
        return refusal(400, "bad_request", "path");
    auto length = parseRevision(request.header("Content-Length").value_or(""));
    auto digest = request.header("X-FP-SHA256");
    if (!length || *length < 0)
        return refusal(400, "incomplete", "length");
    if (!digest)
        return refusal(400, "bad_request", "sha256_required");
    std::uint64_t declared = static_cast<std::uint64_t>(*length);
    auto receive = [&](int fd) -> std::optional<Refusal> {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
        EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
        std::vector<char> buffer(1 << 20);
        std::uint64_t received = 0;
        for (;;) {
            std::int64_t n = request.bodyStream ? request.bodyStream->read(buffer.data(), buffer.size()) : 0;
            if (n < 0)
                return Refusal{400, "incomplete", "short", std::nullopt};
            if (n == 0)
                break;
            EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(n));
            if (!foundation::writeAll(fd, std::string_view(buffer.data(), static_cast<std::size_t>(n))))
                return Refusal{500, "failed", "write", std::nullopt};
            received += static_cast<std::uint64_t>(n);
        }
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestFinal_ex(context.get(), hash, &size);
        std::string hex;
        static constexpr char digits[] = "0123456789abcdef";
        for (unsigned int i = 0; i < size; ++i) {
            hex += digits[hash[i] >> 4];
            hex += digits[hash[i] & 15];
        }
        if (received != declared)
            return Refusal{400, "incomplete", "length", std::nullopt};
        if (hex != *digest)
            return Refusal{400, "incomplete", "sha256", std::nullopt};
        return std::nullopt;
    };
    return itemAnswer(tree_.putContent(*id, query["base"], declared, receive));
}

HttpResponse Service::remove(const HttpRequest& request) {
    auto query = request.query();
    auto id = key(query, "path");
    if (!id)
        return refusal(400, "bad_request", "path");
    bool isDir = query["dir"] == "1";
    bool recursive = query["recursive"] == "1";
    std::optional<std::string> base;
    if (auto it = query.find("base"); it != query.end())
        base = it->second;
    std::optional<std::int64_t> anchor;
    if (auto it = query.find("anchor"); it != query.end()) {
        anchor = parseRevision(it->second);
        if (!anchor)
            return refusal(400, "bad_request", "anchor");
    }
    Outcome outcome = tree_.remove(*id, isDir, recursive, base, anchor);
    if (outcome.refusal)
        return refusal(*outcome.refusal);
    return answer(200, R"({"deleted":true})");
}

} // namespace refhost
