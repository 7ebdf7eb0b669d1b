#include "BrokenHost.h"

#include "Wire.h"

#include <future>

namespace hostcheck_test {

namespace json = boost::json;

namespace {

foundation::URLSession& session() {
    static auto* shared = new foundation::URLSession("broken-host"); // lives for the process
    return *shared;
}

int hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string decode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

const std::vector<std::pair<std::string, std::string>> endpoints = {
    {"GET", "/v1/item"},   {"GET", "/v1/content"}, {"GET", "/v1/enumerate"}, {"GET", "/v1/all"},
    {"GET", "/v1/anchor"}, {"GET", "/v1/changes"}, {"PUT", "/v1/content"},   {"POST", "/v1/folder"},
    {"POST", "/v1/move"},  {"DELETE", "/v1/item"},
};

} // namespace

std::map<std::string, std::string> Forward::query() const {
    std::map<std::string, std::string> out;
    std::size_t start = 0;
    while (start < rawQuery.size()) {
        auto amp = rawQuery.find('&', start);
        std::string part = rawQuery.substr(start, amp == std::string::npos ? amp : amp - start);
        auto equals = part.find('=');
        out[decode(part.substr(0, equals))] =
            equals == std::string::npos ? "" : decode(part.substr(equals + 1));
        if (amp == std::string::npos)
            break;
        start = amp + 1;
    }
    return out;
}

void Forward::setQuery(const std::map<std::string, std::string>& query) {
    std::string target = wl::hostcheck::target("", query);
    rawQuery = target.empty() ? "" : target.substr(1);
}

BrokenHost::BrokenHost(int upstreamPort, std::string token, RequestHook onRequest, AnswerHook onAnswer)
    : upstreamPort_(upstreamPort), token_(std::move(token)), onRequest_(std::move(onRequest)),
      onAnswer_(std::move(onAnswer)) {
    for (const auto& [method, path] : endpoints)
        scripted_.handle(method, path,
                         [this](const support::HttpRequest& request) { return relay(request); });
}

void BrokenHost::depart(RequestHook onRequest, AnswerHook onAnswer) {
    std::lock_guard lock(mutex_);
    onRequest_ = std::move(onRequest);
    onAnswer_ = std::move(onAnswer);
}

BrokenHost::~BrokenHost() {
    scripted_.stop();
}

Answer BrokenHost::upstream(const Forward& request) {
    foundation::URLRequest sent("http://127.0.0.1:" + std::to_string(upstreamPort_) + request.path +
                                (request.rawQuery.empty() ? "" : "?" + request.rawQuery));
    sent.httpMethod = request.method;
    for (const auto& [name, value] : request.headers)
        sent.setValue(value, name);
    if (request.method == "PUT" || request.method == "POST")
        sent.httpBody = request.body;
    std::promise<Answer> done;
    auto answer = done.get_future();
    session()
        .dataTask(
            std::move(sent),
            [&done](std::optional<std::string> data, foundation::ResponseRef response, foundation::ErrorRef) {
                done.set_value(response ? Answer{response->statusCode, data.value_or("")} : Answer{});
            })
        ->resume();
    return answer.get();
}

Answer BrokenHost::upstream(const std::string& method, const std::string& path,
                            const std::map<std::string, std::string>& query) {
    Forward request{method, path, "", {{"X-FP-Token", token_}}, ""};
    request.setQuery(query);
    return upstream(request);
}

support::HttpResponse BrokenHost::relay(const support::HttpRequest& request) {
    std::lock_guard lock(mutex_);
    Forward forward{request.method, request.path, request.rawQuery, {}, request.body};
    for (const char* name : {"X-FP-Token", "X-FP-SHA256", "Content-Type"})
        if (auto value = request.header(name))
            forward.headers[name] = *value;
    if (onRequest_)
        onRequest_(forward, *this);
    Answer answer = upstream(forward);
    if (onAnswer_)
        onAnswer_(forward, answer, *this);
    if (answer.status == 0) {
        support::HttpResponse closed;
        closed.action = support::HttpResponse::Action::close;
        return closed;
    }
    bool bytes = forward.method == "GET" && forward.path == "/v1/content" && answer.status == 200;
    return support::HttpResponse(static_cast<int>(answer.status), answer.body,
                                 {{"Content-Type", bytes ? "application/octet-stream" : "application/json"}});
}

void editJSON(Answer& answer, const std::function<void(json::object&)>& change) {
    json::error_code ec;
    json::value body = json::parse(answer.body, ec);
    if (ec || !body.is_object())
        return;
    change(body.get_object());
    answer.body = json::serialize(body);
}

void eachRecord(const Forward& request, Answer& answer, const std::function<void(json::object&)>& change) {
    if (request.method == "GET" && request.path == "/v1/content")
        return;
    editJSON(answer, [&](json::object& body) {
        if (request.method == "GET" && request.path == "/v1/item" && answer.status == 200) {
            change(body);
            return;
        }
        for (const char* list : {"items", "updates"})
            if (auto* records = body.if_contains(list); records && records->is_array())
                for (auto& record : records->get_array())
                    if (record.is_object())
                        change(record.get_object());
        for (const char* single : {"item", "conflictCopy"})
            if (auto* record = body.if_contains(single); record && record->is_object())
                change(record->get_object());
    });
}

} // namespace hostcheck_test
