// Broken hosts: wl-refhost with faults injected through its admin endpoint, or behind a proxy that departs
// from the protocol on purpose. Each departure is caught by the check named for it, and fails the run.
#include "BrokenHost.h"
#include "HostCheckTest.h"
#include "Wire.h"

#include "HostCheck.h"

#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>

using namespace hostcheck_test;
namespace json = boost::json;

namespace {

using Query = std::map<std::string, std::string>;

struct Broken {
    const char* departure;
    const char* caughtBy;
    std::vector<json::object> faults; // queued on the real host through its admin endpoint
    BrokenHost::RequestHook onRequest = {};
    BrokenHost::AnswerHook onAnswer = {};
    bool needsRoot = false;
};

json::object fault(const char* path, int status, const char* body, const char* method = "") {
    json::object order{{"path", path}, {"status", status}, {"body", json::parse(body)}, {"count", 1000}};
    if (*method)
        order["method"] = method;
    return order;
}

bool is(const Forward& f, const char* method, const char* path) {
    return f.method == method && f.path == path;
}

std::string currentVersion(BrokenHost& host, const std::string& id) {
    Answer got = host.upstream("GET", "/v1/item", {{"id", id}});
    json::error_code ec;
    auto record = json::parse(got.body, ec);
    return !ec && record.is_object() && record.as_object().contains("contentVersion")
               ? std::string(record.at("contentVersion").as_string())
               : std::string();
}

std::string currentRevision(BrokenHost& host) {
    return std::to_string(json::parse(host.upstream("GET", "/v1/anchor", {}).body).at("anchor").as_int64());
}

template <typename Edit> BrokenHost::AnswerHook onAnswers(const char* method, const char* path, Edit edit) {
    return [=](const Forward& f, Answer& a, BrokenHost&) {
        if (is(f, method, path) && a.status == 200)
            editJSON(a, edit);
    };
}

// State shared by a hook across requests; requests pass one at a time.
struct Seen {
    std::set<std::string> from, to;
    int count = 0;
};

std::vector<Broken> brokenHosts(const fs::path& root) {
    auto renames = std::make_shared<Seen>(), epochs = std::make_shared<Seen>(),
         own = std::make_shared<Seen>();
    return {
        {"\"/v1/anchor\" fails with 500",
         "anchor.current",
         {fault("/v1/anchor", 500, R"({"error":"failed"})")}},
        {"every folder listed empty",
         "list.folder",
         {fault("/v1/enumerate", 200, R"({"items":[],"anchor":1})")}},
        {"a delete answered done without deleting",
         "delete.file",
         {fault("/v1/item", 200, R"({"deleted":true})", "DELETE")}},
        {"downloads break off",
         "content.roundtrip",
         {json::object{{"path", "/v1/content"}, {"method", "GET"}, {"action", "drop"}, {"count", 1000}}}},
        {"a rename answered \"needs_content\" without a base",
         "move.rename",
         {fault("/v1/move", 409, R"({"error":"needs_content"})")}},
        {"changes with \"updates\" an object and a string \"anchor\"",
         "changes.shape",
         {fault("/v1/changes", 200, R"({"updates":{},"deletions":[],"anchor":"7"})")}},
        {"an unknown item answered 500 instead of 404",
         "item.unknown",
         {fault("/v1/item", 500, R"({"error":"failed"})", "GET")}},
        {"the working set holds numbers, not records",
         "list.working-set",
         {fault("/v1/all", 200, R"({"items":[1,2,3],"anchor":1})")}},

        {"no token check",
         "token.missing",
         {},
         [](Forward& f, BrokenHost& h) {
             if (!f.headers.count("X-FP-Token"))
                 f.headers["X-FP-Token"] = h.token();
         }},
        {"any token accepted once one is sent",
         "token.wrong",
         {},
         [](Forward& f, BrokenHost& h) {
             if (f.headers.count("X-FP-Token"))
                 f.headers["X-FP-Token"] = h.token();
         }},
        {"records without \"identifier\"",
         "record.identity",
         {},
         {},
         [](const Forward& f, Answer& a, BrokenHost&) {
             eachRecord(f, a, [](json::object& r) { r.erase("identifier"); });
         }},
        {"file records without \"contentVersion\"",
         "record.versions",
         {},
         {},
         [](const Forward& f, Answer& a, BrokenHost&) {
             eachRecord(f, a, [](json::object& r) { r.erase("contentVersion"); });
         }},
        {"the root answered as a file",
         "item.root",
         {},
         {},
         [](const Forward& f, Answer& a, BrokenHost&) {
             if (is(f, "GET", "/v1/item") && f.query()["id"] == wl::hostcheck::rootIdentifier)
                 editJSON(a, [](json::object& r) { r["isDir"] = false; });
         }},
        {"listings without \"anchor\"",
         "list.anchor",
         {},
         {},
         [](const Forward& f, Answer& a, BrokenHost&) {
             if (is(f, "GET", "/v1/enumerate") || is(f, "GET", "/v1/all"))
                 editJSON(a, [](json::object& body) { body.erase("anchor"); });
         }},
        {"hidden names left out of the root's listing",
         "list.root",
         {},
         {},
         onAnswers("GET", "/v1/enumerate",
                   [](json::object& body) {
                       json::array kept;
                       for (auto& item : body["items"].as_array())
                           if (std::string(item.at("name").as_string()).rfind('.', 0) != 0)
                               kept.push_back(item);
                       body["items"] = kept;
                   })},
        {"the query decoded twice",
         "item.path",
         {},
         [](Forward& f, BrokenHost&) {
             if (f.method != "GET")
                 return;
             auto query = f.query();
             for (auto& [key, value] : query) {
                 Forward once;
                 once.rawQuery = "v=" + value;
                 value = once.query()["v"];
             }
             f.setQuery(query);
         }},
        {"an upload with a wrong digest accepted",
         "content.digest",
         {},
         [](Forward& f, BrokenHost&) {
             if (f.method == "PUT")
                 f.headers["X-FP-SHA256"] = wl::hostcheck::sha256Hex(f.body);
         }},
        {"large downloads lose their last byte",
         "content.roundtrip",
         {},
         {},
         [](const Forward& f, Answer& a, BrokenHost&) {
             if (is(f, "GET", "/v1/content") && a.body.size() > (1 << 20))
                 a.body.pop_back();
         }},
        {"the base of an upload ignored: an older version overwrites a newer one",
         "content.stale-base",
         {},
         [](Forward& f, BrokenHost& h) {
             auto query = f.query();
             if (f.method == "PUT" && !query["base"].empty()) {
                 query["base"] = currentVersion(h, query["path"]);
                 f.setQuery(query);
             }
         }},
        {"the base of a file delete ignored",
         "delete.file-changed",
         {},
         [](Forward& f, BrokenHost& h) {
             auto query = f.query();
             if (f.method == "DELETE" && !query.count("dir")) {
                 query["base"] = currentVersion(h, query["path"]);
                 f.setQuery(query);
             }
         }},
        {"a folder delete without \"recursive\" removes all it holds",
         "delete.folder-not-empty",
         {},
         [](Forward& f, BrokenHost& h) {
             auto query = f.query();
             if (f.method == "DELETE" && query.count("dir") && !query.count("recursive")) {
                 query["recursive"] = "1";
                 query["anchor"] = currentRevision(h);
                 f.setQuery(query);
             }
         }},
        {"a recursive delete that ignores its anchor",
         "delete.recursive-changed",
         {},
         [](Forward& f, BrokenHost& h) {
             auto query = f.query();
             if (f.method == "DELETE" && query.count("recursive")) {
                 query["anchor"] = currentRevision(h);
                 f.setQuery(query);
             }
         }},
        {"a move gives the file a new content version",
         "move.then-upload",
         {},
         {},
         [](const Forward& f, Answer& a, BrokenHost& h) {
             if (!is(f, "POST", "/v1/move") || a.status != 200)
                 return;
             std::string to(json::parse(f.body).at("to").as_string());
             Answer bytes = h.upstream("GET", "/v1/content", {{"path", to}});
             Forward put{"PUT", "/v1/content", "", {{"X-FP-Token", h.token()}}, bytes.body};
             put.headers["X-FP-SHA256"] = wl::hostcheck::sha256Hex(bytes.body);
             put.setQuery({{"path", to}, {"base", currentVersion(h, to)}});
             h.upstream(put);
         }},
        {"renames missing from the change log",
         "changes.rename",
         {},
         {},
         [seen = renames](const Forward& f, Answer& a, BrokenHost&) {
             if (is(f, "POST", "/v1/move") && a.status == 200) {
                 auto body = json::parse(f.body).as_object();
                 seen->from.insert(std::string(body.at("from").as_string()));
                 seen->to.insert(std::string(body.at("to").as_string()));
             }
             if (is(f, "GET", "/v1/changes") && a.status == 200)
                 editJSON(a, [&](json::object& body) {
                     json::array updates, deletions;
                     for (auto& r : body["updates"].as_array())
                         if (!seen->to.count(std::string(r.at("identifier").as_string())))
                             updates.push_back(r);
                     for (auto& id : body["deletions"].as_array())
                         if (!seen->from.count(std::string(id.as_string())))
                             deletions.push_back(id);
                     body["updates"] = updates;
                     body["deletions"] = deletions;
                 });
         }},
        {"no tombstones: deletions never reported",
         "changes.delete",
         {},
         {},
         onAnswers("GET", "/v1/changes", [](json::object& body) { body["deletions"] = json::array{}; })},
        {"new files missing from the change log",
         "changes.create",
         {},
         {},
         onAnswers("GET", "/v1/changes",
                   [](json::object& body) {
                       json::array folders;
                       for (auto& r : body["updates"].as_array())
                           if (r.at("isDir").as_bool())
                               folders.push_back(r);
                       body["updates"] = folders;
                   })},
        {"revisions that go backwards",
         "changes.monotonic",
         {},
         {},
         [](const Forward& f, Answer& a, BrokenHost&) {
             if (is(f, "GET", "/v1/anchor") || is(f, "GET", "/v1/changes"))
                 editJSON(a, [](json::object& body) {
                     if (body.contains("anchor"))
                         body["anchor"] = 1000000 - body["anchor"].as_int64();
                 });
         }},
        {"an epoch that changes from answer to answer",
         "changes.epoch",
         {},
         {},
         [seen = epochs](const Forward& f, Answer& a, BrokenHost&) {
             if ((is(f, "GET", "/v1/anchor") || is(f, "GET", "/v1/changes")) && a.status == 200)
                 editJSON(a, [&](json::object& body) {
                     body["epoch"] =
                         std::string(body["epoch"].as_string()) + "-" + std::to_string(++seen->count);
                 });
         }},
        {"edits by other programs never noticed (only its own writes in the change log)",
         "disk.external-edit",
         {},
         [seen = own](Forward& f, BrokenHost&) {
             auto query = f.query();
             if (f.method == "PUT")
                 seen->to.insert(query["path"]);
             if (is(f, "POST", "/v1/folder") || is(f, "POST", "/v1/move")) {
                 auto body = json::parse(f.body).as_object();
                 seen->to.insert(std::string(body.contains("to") ? body.at("to").as_string()
                                                                 : body.at("path").as_string()));
             }
         },
         [seen = own](const Forward& f, Answer& a, BrokenHost&) {
             if (is(f, "GET", "/v1/changes") && a.status == 200)
                 editJSON(a, [&](json::object& body) {
                     json::array updates;
                     for (auto& r : body["updates"].as_array())
                         if (seen->to.count(std::string(r.at("identifier").as_string())))
                             updates.push_back(r);
                     body["updates"] = updates;
                 });
         },
         true},
        {"symbolic links followed out of the root",
         "disk.symlink-out",
         {},
         {},
         [root](const Forward& f, Answer& a, BrokenHost&) {
             bool item = is(f, "GET", "/v1/item"), content = is(f, "GET", "/v1/content");
             if ((!item && !content) || a.status != 404)
                 return;
             std::string id = f.query()[item ? "id" : "path"];
             std::error_code ec;
             if (!fs::is_regular_file(root / id, ec)) // follows links, as this host does
                 return;
             auto bytes = foundation::readFile(root / id).value_or("");
             auto slash = id.rfind('/');
             a.status = 200;
             a.body = content ? bytes
                              : json::serialize(json::object{{"identifier", id},
                                                             {"parentIdentifier", id.substr(0, slash)},
                                                             {"name", id.substr(slash + 1)},
                                                             {"isDir", false},
                                                             {"size", bytes.size()},
                                                             {"contentVersion", "1"}});
         },
         true},
    };
}

void admin(BrokenHost& host, const char* method, const json::object& order) {
    Forward request{method, "/admin/faults", "", {{"X-FP-Token", host.token()}}, json::serialize(order)};
    ASSERT_EQ(host.upstream(request).status, 200);
}

// One real host and one broken host in front of it for every departure in turn; wl-hostcheck runs in
// this process, as its main runs it.
class BrokenHosts : public HostCheckTest {
protected:
    void SetUp() override {
        HostCheckTest::SetUp();
        ::setenv("TMPDIR", environment["TMPDIR"].c_str(), 1); // before any thread starts
        startHost();
        proxy = std::make_unique<BrokenHost>(hostPort(), token);
    }
    Outcome check(const std::vector<std::string>& arguments) {
        std::ostringstream out, err;
        std::vector<std::string> all = arguments;
        all.emplace_back("--json");
        Outcome outcome;
        outcome.exitCode = wl::hostcheck::run(wl::hostcheck::parseOptions(all), out, err);
        outcome.err = err.str();
        outcome.report = json::parse(out.str()).as_object();
        return outcome;
    }
    std::unique_ptr<BrokenHost> proxy;
};

} // namespace

TEST_F(BrokenHosts, EachDepartureIsCaughtByTheCheckNamedForIt) {
    const auto rows = brokenHosts(root());
    EXPECT_GE(rows.size(), 20U);
    std::ostringstream matrix;
    for (const auto& broken : rows) {
        SCOPED_TRACE(broken.departure);
        proxy->depart(broken.onRequest, broken.onAnswer);
        admin(*proxy, "DELETE", {});
        for (const auto& order : broken.faults)
            admin(*proxy, "POST", order);
        std::vector<std::string> arguments{"--only", broken.caughtBy, "--connection",
                                           broken.faults.empty() ? connectionFor(proxy->port()).string()
                                                                 : hostConnection().string()};
        if (broken.needsRoot) {
            arguments.emplace_back("--root");
            arguments.push_back(root().string());
        }
        Outcome run = check(arguments);
        matrix << "  " << std::left << std::setw(80) << broken.departure << std::setw(26) << broken.caughtBy
               << run.status(broken.caughtBy) << ", exit " << run.exitCode << "\n";
        EXPECT_EQ(run.status(broken.caughtBy), "fail") << json::serialize(run.report) << run.err;
        EXPECT_EQ(run.exitCode, 1) << "a broken host must not pass as a whole";
    }
    std::cout << "  " << std::left << std::setw(80) << "departure" << std::setw(26) << "caught by"
              << "result\n"
              << matrix.str();
}

TEST_F(BrokenHosts, TheSameChecksPassThroughAProxyThatChangesNothing) {
    std::set<std::string> names;
    std::string only;
    for (const auto& broken : brokenHosts(root()))
        if (names.insert(broken.caughtBy).second)
            only += (only.empty() ? "" : ",") + std::string(broken.caughtBy);
    Outcome run = check(
        {"--only", only, "--connection", connectionFor(proxy->port()).string(), "--root", root().string()});
    for (const auto& name : names)
        EXPECT_EQ(run.status(name), "pass") << name << ": " << json::serialize(run.report);
    EXPECT_EQ(run.exitCode, 0) << run.err;
}

TEST_F(BrokenHosts, TheExtensionMeetsTheSameDepartureInTheEndToEndPass) {
    for (const auto& broken : brokenHosts(root()))
        if (std::string(broken.caughtBy) == "delete.recursive-changed")
            proxy->depart(broken.onRequest, broken.onAnswer);
    // The program itself: the pass loads the extension module, which this process must not.
    Outcome run = hostcheck({"--only", "e2e.*", "--connection", connectionFor(proxy->port()).string()});
    for (const auto& entry : run.report.at("checks").as_array()) {
        std::string name(entry.at("name").as_string());
        EXPECT_EQ(entry.at("status").as_string(), name == "e2e.delete-changed" ? "fail" : "pass")
            << json::serialize(entry);
    }
    EXPECT_EQ(run.exitCode, 1) << run.err;
}
