#pragma once

// For tests: a host that forwards every request to a real one (wl-refhost) and departs from the protocol
// on purpose by altering requests on their way in or answers on their way out. Built on the scripted
// test host; requests pass one at a time (hooks run under one lock, on the server's connection threads).
#include "support/ScriptedHost.h"

#include <boost/json.hpp>
#include <functional>
#include <mutex>
#include <string>

namespace hostcheck_test {

struct Forward {
    std::string method;
    std::string path;
    std::string rawQuery;
    std::map<std::string, std::string> headers; // X-FP-Token, X-FP-SHA256, Content-Type when sent
    std::string body;
    std::map<std::string, std::string> query() const; // decoded
    void setQuery(const std::map<std::string, std::string>& query);
};

struct Answer {
    long status = 0; // 0: the connection closes without an answer
    std::string body;
};

class BrokenHost {
public:
    using RequestHook = std::function<void(Forward&, BrokenHost&)>;
    using AnswerHook = std::function<void(const Forward&, Answer&, BrokenHost&)>;

    BrokenHost(int upstreamPort, std::string token, RequestHook onRequest = {}, AnswerHook onAnswer = {});
    ~BrokenHost();

    int port() const { return scripted_.port(); }
    // Replaces the departures; requests already running finish with the old ones.
    void depart(RequestHook onRequest, AnswerHook onAnswer);
    // A request straight to the real host, with its token; for hooks.
    Answer upstream(const Forward& request);
    Answer upstream(const std::string& method, const std::string& path,
                    const std::map<std::string, std::string>& query);
    const std::string& token() const { return token_; }

private:
    support::HttpResponse relay(const support::HttpRequest& request);

    int upstreamPort_;
    std::string token_;
    RequestHook onRequest_;
    AnswerHook onAnswer_;
    std::mutex mutex_;
    support::ScriptedHost scripted_;
};

// Applies `change` to every host record in an answer to `request`: the answer of an item lookup, the
// items of a listing, the updates of a change batch, and the "item" and "conflictCopy" of a write.
void eachRecord(const Forward& request, Answer& answer,
                const std::function<void(boost::json::object&)>& change);
// Applies `change` to the answer's JSON object, when it is one.
void editJSON(Answer& answer, const std::function<void(boost::json::object&)>& change);

} // namespace hostcheck_test
