#include "Checks.h"
#include "ExtensionPass.h"

#include <algorithm>

namespace wl::hostcheck {

namespace json = boost::json;
namespace fs = std::filesystem;

const char* levelName(Level level) {
    switch (level) {
    case Level::required:
        return "required";
    case Level::recommended:
        return "recommended";
    case Level::informational:
        return "informational";
    }
    return "";
}

const char* statusName(Status status) {
    switch (status) {
    case Status::pass:
        return "pass";
    case Status::fail:
        return "fail";
    case Status::blocked:
        return "blocked";
    case Status::skipped:
        return "skipped";
    case Status::info:
        return "info";
    }
    return "";
}

const std::vector<Check>& allChecks() {
    static const std::vector<Check> checks = [] {
        std::vector<Check> all;
        addFrameChecks(all);
        addReadChecks(all);
        addWriteChecks(all);
        addChangeChecks(all);
        addDiskChecks(all);
        addExtensionChecks(all);
        addSummaryChecks(all);
        return all;
    }();
    return checks;
}

std::string pattern(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    std::uint64_t state = 0x9e3779b97f4a7c15ULL * (seed + 1);
    for (auto& byte : out) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<char>(state);
    }
    return out;
}

const json::object* Listing::find(const std::string& identifier) const {
    for (const auto& item : items)
        if (text(item, "identifier") == identifier)
            return &item;
    return nullptr;
}

Context::Context(Client& host, Settings settings) : host(host), settings(std::move(settings)) {
    host.observer = [this](const Exchange& exchange) { observe(exchange); };
}

Context::~Context() {
    host.observer = nullptr;
}

ExtensionPass& Context::extension() {
    if (!extension_)
        extension_ = std::make_unique<ExtensionPass>(*this);
    return *extension_;
}

void Context::begin(const Check& check) {
    current_ = &check;
    area_.clear();
    note_.clear();
}

const std::string& Context::area() {
    if (area_.empty()) {
        std::string name = current_->name;
        std::replace(name.begin(), name.end(), '.', '-');
        std::string identifier = host.scratch() + "/" + name;
        folder(identifier);
        area_ = identifier;
    }
    return area_;
}

fs::path Context::disk(const std::string& identifier) const {
    return *settings.root / identifier;
}

void Context::note(const std::string& text) {
    note_ += note_.empty() ? text : "; " + text;
}

std::string Context::takeNote() {
    return std::exchange(note_, {});
}

void Context::depart(const Exchange& exchange, std::string expected) {
    throw Departure{exchange.sentText(), exchange.gotText(), std::move(expected)};
}

void Context::depart(std::string sent, std::string got, std::string expected) {
    throw Departure{std::move(sent), std::move(got), std::move(expected)};
}

namespace {

[[noreturn]] void unready(const std::string& why, const Exchange& exchange) {
    throw Unready{why, exchange.sentText(), exchange.gotText()};
}

} // namespace

json::object Context::folder(const std::string& identifier) {
    Exchange made = host.folder(identifier);
    auto record = answeredItem(made);
    if (!record)
        unready("could not make the folder " + identifier, made);
    return *record;
}

json::object Context::upload(const std::string& identifier, const std::string& bytes,
                             const std::string& base) {
    Exchange put = host.put(identifier, base, bytes);
    auto record = answeredItem(put);
    if (!record)
        unready("could not upload " + identifier, put);
    return *record;
}

std::optional<json::object> Context::lookup(const std::string& identifier) {
    Exchange got = host.get("/v1/item", {{"id", identifier}});
    if (got.status == 404)
        return std::nullopt;
    auto record = got.object();
    if (got.status != 200 || !record)
        unready("could not look up " + identifier, got);
    return record;
}

std::string Context::download(const std::string& identifier) {
    Exchange got = host.get("/v1/content", {{"path", identifier}});
    if (got.status != 200)
        unready("could not download " + identifier, got);
    return got.body;
}

std::int64_t Context::anchor() {
    Exchange got = host.get("/v1/anchor");
    auto body = got.object();
    auto revision = body ? integral(*body, "anchor") : std::nullopt;
    if (got.status != 200 || !revision)
        unready("could not read the host's anchor", got);
    return *revision;
}

Listing Context::list(const std::string& container) {
    Listing out;
    out.exchange = host.get("/v1/enumerate", {{"container", container}});
    auto body = out.exchange.object();
    const json::value* items = body ? body->if_contains("items") : nullptr;
    if (out.exchange.status != 200 || !items || !items->is_array())
        unready("could not list " + container, out.exchange);
    for (const auto& item : items->get_array())
        if (item.is_object())
            out.items.push_back(item.get_object());
    out.anchor = integral(*body, "anchor");
    return out;
}

Changes Context::changes(std::int64_t since) {
    Changes out;
    out.exchange = host.get("/v1/changes", {{"anchor", std::to_string(since)}});
    auto body = out.exchange.object();
    if (out.exchange.status != 200 || !body)
        unready("could not read the changes since " + std::to_string(since), out.exchange);
    if (const json::value* updates = body->if_contains("updates"); updates && updates->is_array())
        for (const auto& record : updates->get_array())
            if (record.is_object())
                out.updates[text(record.get_object(), "identifier")] = record.get_object();
    if (const json::value* deletions = body->if_contains("deletions"); deletions && deletions->is_array())
        for (const auto& id : deletions->get_array())
            if (id.is_string())
                out.deletions.insert(std::string(id.get_string()));
    out.anchor = integral(*body, "anchor");
    if (const json::value* epoch = body->if_contains("epoch"); epoch && epoch->is_string())
        out.epoch = std::string(epoch->get_string());
    return out;
}

Exchange Context::removeFile(const std::string& identifier, const std::string& base) {
    return host.remove({{"path", identifier}, {"base", base}});
}

Exchange Context::removeRecursively(const std::string& identifier, std::int64_t anchor) {
    return host.remove(
        {{"path", identifier}, {"dir", "1"}, {"recursive", "1"}, {"anchor", std::to_string(anchor)}});
}

void Context::shapeOf(const json::value& record, const Exchange& exchange) {
    ++recordsSeen;
    for (auto& problem : recordProblems(record)) {
        auto& seen = shape[problem.aspect];
        if (seen.size() < 20)
            seen.push_back({exchange.sentText(), json::serialize(record), std::move(problem.text)});
    }
}

void Context::observe(const Exchange& exchange) {
    std::string path = exchange.path();
    if (exchange.status >= 400) {
        auto body = exchange.object();
        const json::value* code = body ? body->if_contains("code") : nullptr;
        bool envelope = exchange.kind().has_value() && (!code || code->is_string());
        refusals.push_back({exchange.method, path, exchange.status, exchange.kind().value_or(""), envelope,
                            exchange.sentText(), exchange.gotText()});
        return;
    }
    if (exchange.status != 200 || (exchange.method == "GET" && path == "/v1/content"))
        return;
    auto body = exchange.object();
    if (!body)
        return;
    auto records = [&](const char* key) {
        if (const json::value* list = body->if_contains(key); list && list->is_array())
            for (const auto& record : list->get_array())
                shapeOf(record, exchange);
    };
    if (exchange.method == "GET" && path == "/v1/item") {
        shapeOf(*body, exchange);
    } else if (path == "/v1/enumerate" || path == "/v1/all") {
        records("items");
    } else if (path == "/v1/changes") {
        records("updates");
    } else if (exchange.method != "GET") {
        for (const char* key : {"item", "conflictCopy"})
            if (const json::value* record = body->if_contains(key); record && record->is_object())
                shapeOf(*record, exchange);
    }
    if (path == "/v1/anchor" || path == "/v1/changes") {
        if (auto revision = integral(*body, "anchor"))
            revisions.push_back({exchange.sentText(), *revision});
        if (const json::value* epoch = body->if_contains("epoch"); epoch && epoch->is_string())
            epochs.emplace_back(exchange.sentText(), std::string(epoch->get_string()));
        else if (path == "/v1/anchor")
            epochless.push_back(exchange.sentText());
    }
}

} // namespace wl::hostcheck
