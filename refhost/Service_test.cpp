#include "Service.h"
#include "Tree.h"
#include "e2e/RawHttp.h"
#include "foundation/URLSession.h"
#include "support/Waiting.h"

#include <boost/json.hpp>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace refhost;
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

using e2e::percentEncode;
using e2e::sha256Hex;

struct Answer {
    long status = 0;
    std::string body;
    json::object object() const {
        json::error_code ec;
        auto value = json::parse(body, ec);
        return !ec && value.is_object() ? value.get_object() : json::object{};
    }
    std::string error() const {
        auto o = object();
        return o.contains("error") ? std::string(o.at("error").as_string()) : "";
    }
};

// A host on a temporary folder, restartable on the same state.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root());
        start();
    }
    void TearDown() override { stop(false); }

    fs::path root() const { return dir.path() / "root"; }
    fs::path state() const { return dir.path() / "state"; }

    void start(std::optional<std::uint64_t> quota = std::nullopt) {
        tree = std::make_unique<Tree>(Tree::Options{root(), state(), quota});
        service = std::make_unique<Service>(*tree, "tok");
        server = std::make_unique<HttpServer>(
            [this](HttpRequest& request) { return service->handle(request); }, HttpServer::Options{0, true});
    }
    void stop(bool clean) {
        if (!server)
            return;
        service->stop();
        server->stop();
        if (clean)
            tree->saveClean();
        server.reset();
        service.reset();
        tree.reset();
    }

    Answer call(const std::string& method, const std::string& target, std::optional<std::string> body = {},
                foundation::HTTPHeaders headers = {{"X-FP-Token", "tok"}}) {
        foundation::URLRequest request("http://127.0.0.1:" + std::to_string(server->port()) + target);
        request.httpMethod = method;
        request.headers = std::move(headers);
        request.httpBody = std::move(body);
        support::Recorder<std::optional<std::string>, foundation::ResponseRef, foundation::ErrorRef> done;
        foundation::URLSession::shared().dataTask(request, done.callback())->resume();
        EXPECT_TRUE(done.wait());
        auto response = done.get<1>();
        return {response ? response->statusCode : 0, done.get<0>().value_or("")};
    }
    Answer get(const std::string& path, const std::string& key = "", const std::string& value = "") {
        return call("GET", key.empty() ? path : path + "?" + key + "=" + percentEncode(value));
    }
    Answer put(const std::string& path, const std::string& base, const std::string& bytes,
               std::optional<std::string> digest = {}, std::optional<std::string> length = {}) {
        foundation::HTTPHeaders headers{{"X-FP-Token", "tok"},
                                        {"X-FP-SHA256", digest.value_or(sha256Hex(bytes))},
                                        {"Content-Type", "application/octet-stream"}};
        std::string body = bytes;
        if (length) // a body that claims more than it carries: send it raw through the stream
            headers.emplace_back("Content-Length", *length);
        return call("PUT", "/v1/content?base=" + percentEncode(base) + "&path=" + percentEncode(path), body,
                    headers);
    }
    Answer post(const std::string& path, const json::object& body) {
        return call("POST", path, json::serialize(body));
    }
    Answer del(const std::string& query) { return call("DELETE", "/v1/item?" + query); }

    json::object record(const std::string& id) { return get("/v1/item", "id", id).object(); }
    std::string contentVersion(const std::string& id) {
        return std::string(record(id).at("contentVersion").as_string());
    }
    std::int64_t anchor() { return get("/v1/anchor").object().at("anchor").as_int64(); }
    json::object changes(std::int64_t since) {
        return get("/v1/changes", "anchor", std::to_string(since)).object();
    }
    static std::vector<std::string> identifiers(const json::value& records) {
        std::vector<std::string> out;
        for (const auto& r : records.as_array())
            out.emplace_back(r.is_string() ? r.as_string() : r.as_object().at("identifier").as_string());
        std::sort(out.begin(), out.end());
        return out;
    }
    void write(const fs::path& relative, const std::string& bytes) {
        fs::create_directories((root() / relative).parent_path());
        std::ofstream(root() / relative, std::ios::binary | std::ios::trunc) << bytes;
    }

    support::TemporaryDirectory dir;
    std::unique_ptr<Tree> tree;
    std::unique_ptr<Service> service;
    std::unique_ptr<HttpServer> server;
    using Strings = std::vector<std::string>;
};

} // namespace

TEST(TreeKeys, IdentifiersThatCouldEscapeAreRefused) {
    EXPECT_EQ(Tree::keyOf("NSFileProviderRootContainerItemIdentifier"), "");
    EXPECT_EQ(Tree::keyOf("Docs/a.txt"), "Docs/a.txt");
    EXPECT_EQ(Tree::keyOf("Docs/e\xCC\x81"), "Docs/\xC3\xA9");
    for (const char* bad : {"", "/etc/passwd", "a//b", "a/./b", "../x", "a/..", "a/", "."})
        EXPECT_FALSE(Tree::keyOf(bad)) << bad;
    EXPECT_FALSE(Tree::keyOf(std::string("a\0b", 3)));
    EXPECT_FALSE(Tree::keyOf("\xff"));
}

TEST_F(HostTest, EveryRequestNeedsTheToken) {
    for (foundation::HTTPHeaders headers :
         {foundation::HTTPHeaders{}, foundation::HTTPHeaders{{"X-FP-Token", "tok2"}},
          foundation::HTTPHeaders{{"X-FP-Token", ""}}}) {
        auto answer = call("GET", "/v1/anchor", std::nullopt, headers);
        EXPECT_EQ(answer.status, 401);
        EXPECT_EQ(answer.error(), "unauthorized");
    }
    EXPECT_EQ(get("/v1/anchor").status, 200);
}

TEST_F(HostTest, RecordsListingsAndContent) {
    write("Docs/a.txt", "hello");
    fs::create_directories(root() / "Docs/Sub");
    auto docs = record("Docs");
    EXPECT_EQ(docs.at("identifier").as_string(), "Docs");
    EXPECT_EQ(docs.at("parentIdentifier").as_string(), "NSFileProviderRootContainerItemIdentifier");
    EXPECT_TRUE(docs.at("isDir").as_bool());
    auto a = record("Docs/a.txt");
    EXPECT_EQ(a.at("name").as_string(), "a.txt");
    EXPECT_EQ(a.at("parentIdentifier").as_string(), "Docs");
    EXPECT_EQ(a.at("size").as_int64(), 5);
    EXPECT_GT(a.at("mtime").as_double(), 0);
    EXPECT_TRUE(a.at("writable").as_bool());
    EXPECT_FALSE(a.at("isDir").as_bool());
    auto rootRecord = record("NSFileProviderRootContainerItemIdentifier");
    EXPECT_TRUE(rootRecord.at("isDir").as_bool());

    auto listing = get("/v1/enumerate", "container", "Docs").object();
    EXPECT_EQ(identifiers(listing.at("items")), (Strings{"Docs/Sub", "Docs/a.txt"}));
    EXPECT_EQ(listing.at("anchor").as_int64(), anchor());
    auto top = get("/v1/enumerate", "container", "NSFileProviderRootContainerItemIdentifier").object();
    EXPECT_EQ(identifiers(top.at("items")), Strings{"Docs"});
    EXPECT_EQ(identifiers(get("/v1/all").object().at("items")), (Strings{"Docs", "Docs/Sub", "Docs/a.txt"}));
    EXPECT_EQ(get("/v1/content", "path", "Docs/a.txt").body, "hello");

    EXPECT_EQ(get("/v1/item", "id", "Docs/none").status, 404);
    EXPECT_EQ(get("/v1/enumerate", "container", "Docs/a.txt").status, 404);
    EXPECT_EQ(get("/v1/content", "path", "Docs").status, 400);
}

TEST_F(HostTest, PathEscapesNeverTouchTheDisk) {
    write("../outside.txt", "secret");
    fs::create_symlink(dir.path(), root() / "link");
    for (const char* bad :
         {"../outside.txt", "/etc/passwd", "a/../../outside.txt", "link/outside.txt", "link"}) {
        auto answer = get("/v1/content", "path", bad);
        EXPECT_TRUE(answer.status == 400 || answer.status == 404) << bad;
        EXPECT_NE(answer.body, "secret") << bad;
    }
    EXPECT_EQ(call("GET", "/v1/item?id=a%00b").status, 400);
    EXPECT_EQ(put("../evil.txt", "", "x").status, 400);
    EXPECT_EQ(put("link/evil.txt", "", "x").status, 404);
    EXPECT_FALSE(fs::exists(dir.path() / "evil.txt"));
    EXPECT_EQ(post("/v1/move", {{"from", "link"}, {"to", "moved"}}).error(), "gone"); // links are not items
    EXPECT_TRUE(identifiers(get("/v1/all").object().at("items")).empty());
}

TEST_F(HostTest, RevisionsChangeWithContentAndRenames) {
    ASSERT_EQ(put("a.txt", "", "one").status, 200);
    auto first = record("a.txt");
    auto base = std::string(first.at("contentVersion").as_string());
    auto upload = put("a.txt", base, "two!").object();
    auto second = upload.at("item").as_object();
    EXPECT_NE(second.at("contentVersion"), first.at("contentVersion"));
    EXPECT_FALSE(upload.contains("conflictCopy"));
    EXPECT_EQ(get("/v1/content", "path", "a.txt").body, "two!");
    auto moved = post("/v1/move", {{"from", "a.txt"}, {"to", "b.txt"}}).object().at("item").as_object();
    EXPECT_EQ(moved.at("identifier").as_string(), "b.txt");
    EXPECT_EQ(moved.at("contentVersion"), second.at("contentVersion")); // a move keeps the content's revision
    EXPECT_NE(moved.at("metadataVersion"), second.at("metadataVersion"));
    EXPECT_EQ(get("/v1/item", "id", "a.txt").status, 404);
}

TEST_F(HostTest, UploadsCheckLengthAndDigest) {
    auto wrongDigest = put("a.txt", "", "bytes", sha256Hex("other"));
    EXPECT_EQ(wrongDigest.status, 400);
    EXPECT_EQ(wrongDigest.error(), "incomplete");
    EXPECT_EQ(get("/v1/item", "id", "a.txt").status, 404);
    auto noDigest = call("PUT", "/v1/content?base=&path=a.txt", std::string("x"), {{"X-FP-Token", "tok"}});
    EXPECT_EQ(noDigest.status, 400);
    for (const auto& entry : fs::directory_iterator(root()))
        ADD_FAILURE() << "left behind: " << entry.path();
}

TEST_F(HostTest, ShortUploadIsIncompleteAndLeavesNothing) {
    support::TemporaryDirectory scratch;
    std::ofstream(scratch.path() / "short") << "only ten b";
    foundation::URLRequest request("http://127.0.0.1:" + std::to_string(server->port()) +
                                   "/v1/content?base=&path=s.txt");
    request.httpMethod = "PUT";
    request.headers = {{"X-FP-Token", "tok"}, {"X-FP-SHA256", sha256Hex("only ten b")}};
    request.setValue("100", "Content-Length"); // the stream ends early: the connection breaks mid-body
    request.httpBodyStream = foundation::InputStream::withFile(scratch.path() / "short");
    support::Recorder<std::optional<std::string>, foundation::ResponseRef, foundation::ErrorRef> done;
    foundation::URLSession::shared().dataTask(request, done.callback())->resume();
    ASSERT_TRUE(done.wait());
    EXPECT_NE(done.get<2>(), nullptr);
    for (int i = 0; i < 100 && get("/v1/item", "id", "s.txt").status != 404; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(get("/v1/item", "id", "s.txt").status, 404);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const auto& entry : fs::directory_iterator(root()))
        ADD_FAILURE() << "left behind: " << entry.path();
}

TEST_F(HostTest, UploadAgainstAnOlderBaseKeepsBothVersions) {
    put("Docs/../x", "", "");
    ASSERT_EQ(post("/v1/folder", {{"path", "Docs"}}).status, 200);
    ASSERT_EQ(put("Docs/a.txt", "", "original").status, 200);
    auto base = contentVersion("Docs/a.txt");
    write("Docs/a.txt", "edited elsewhere");
    auto answer = put("Docs/a.txt", base, "mine").object();
    ASSERT_TRUE(answer.contains("conflictCopy")) << json::serialize(answer);
    auto copy = answer.at("conflictCopy").as_object();
    EXPECT_EQ(copy.at("identifier").as_string(), "Docs/a (conflict 1).txt");
    EXPECT_EQ(get("/v1/content", "path", "Docs/a.txt").body, "mine");
    EXPECT_EQ(get("/v1/content", "path", "Docs/a (conflict 1).txt").body, "edited elsewhere");
    // A creation onto a name already taken is refused: the user's file keeps its name and its bytes.
    auto again = put("Docs/a.txt", "", "third");
    EXPECT_EQ(again.status, 409);
    EXPECT_EQ(again.error(), "collision");
    EXPECT_EQ(again.object().at("item").as_object().at("identifier").as_string(), "Docs/a.txt");
    EXPECT_EQ(get("/v1/content", "path", "Docs/a.txt").body, "mine");
    EXPECT_EQ(get("/v1/item", "id", "Docs/a (conflict 2).txt").status, 404);
}

TEST_F(HostTest, FoldersMovesAndTheirRefusals) {
    EXPECT_EQ(post("/v1/folder", {{"path", "F"}}).status, 200);
    EXPECT_EQ(post("/v1/folder", {{"path", "F"}}).error(), "collision");
    EXPECT_EQ(post("/v1/folder", {{"path", "none/F"}}).status, 404);
    put("F/x.txt", "", "x");
    put("y.txt", "", "y");
    auto collision = post("/v1/move", {{"from", "y.txt"}, {"to", "F/x.txt"}});
    EXPECT_EQ(collision.status, 409);
    EXPECT_EQ(collision.error(), "collision");
    auto moved = post("/v1/move", {{"from", "F"}, {"to", "G"}});
    ASSERT_EQ(moved.status, 200);
    EXPECT_EQ(get("/v1/content", "path", "G/x.txt").body, "x");
    auto gone = post("/v1/move", {{"from", "F"}, {"to", "G"}});
    EXPECT_EQ(gone.status, 409);
    EXPECT_EQ(gone.error(), "gone");
    EXPECT_EQ(gone.object().at("item").as_object().at("identifier").as_string(), "G");
    EXPECT_FALSE(post("/v1/move", {{"from", "F"}, {"to", "H"}}).object().contains("item"));
    EXPECT_EQ(post("/v1/move", {{"from", "G"}, {"to", "G/inner"}}).status, 400);
}

TEST_F(HostTest, DeletesCheckBaseAnchorAndEmptiness) {
    put("a.txt", "", "a");
    auto base = contentVersion("a.txt");
    EXPECT_EQ(del("path=a.txt").status, 400); // no base
    auto changed = del("path=a.txt&base=0.stale");
    EXPECT_EQ(changed.status, 409);
    EXPECT_EQ(changed.error(), "changed");
    EXPECT_EQ(changed.object().at("item").as_object().at("identifier").as_string(), "a.txt");
    EXPECT_EQ(del("path=a.txt&base=" + percentEncode(base)).body, R"({"deleted":true})");
    EXPECT_EQ(del("path=a.txt&base=" + percentEncode(base)).body,
              R"({"deleted":true})"); // repeated: not an error
    EXPECT_FALSE(fs::exists(root() / "a.txt"));

    post("/v1/folder", {{"path", "D"}});
    put("D/k.txt", "", "k");
    EXPECT_EQ(del("dir=1&path=D").error(), "not_empty");
    auto listed = get("/v1/enumerate", "container", "D").object().at("anchor").as_int64();
    put("D/late.txt", "", "late"); // a change the anchor has not seen
    EXPECT_EQ(del("anchor=" + std::to_string(listed) + "&dir=1&path=D&recursive=1").error(), "changed");
    EXPECT_TRUE(fs::exists(root() / "D/late.txt"));
    auto relisted = get("/v1/enumerate", "container", "D").object().at("anchor").as_int64();
    EXPECT_EQ(del("anchor=" + std::to_string(relisted) + "&dir=1&path=D&recursive=1").status, 200);
    EXPECT_FALSE(fs::exists(root() / "D"));
}

TEST_F(HostTest, ReadOnlyItemsRefuseWrites) {
    put("ro.txt", "", "r");
    auto base = contentVersion("ro.txt");
    ::chmod((root() / "ro.txt").c_str(), 0444);
    EXPECT_FALSE(record("ro.txt").at("writable").as_bool());
    EXPECT_EQ(put("ro.txt", base, "w").error(), "read_only");
    EXPECT_EQ(del("path=ro.txt&base=" + percentEncode(base)).error(), "read_only");
    EXPECT_EQ(post("/v1/move", {{"from", "ro.txt"}, {"to", "rw.txt"}}).error(), "read_only");
    EXPECT_EQ(get("/v1/content", "path", "ro.txt").body, "r");
}

TEST_F(HostTest, ChangesByOtherProgramsEnterTheLog) {
    put("keep.txt", "", "k");
    put("gone.txt", "", "g");
    auto since = anchor();
    write("new.txt", "n");
    write("keep.txt", "edited");
    fs::remove(root() / "gone.txt");
    fs::create_directories(root() / "NewDir/Deep");
    write("NewDir/Deep/f.txt", "f");
    auto answer = changes(since);
    EXPECT_EQ(identifiers(answer.at("updates")),
              (Strings{"NewDir", "NewDir/Deep", "NewDir/Deep/f.txt", "keep.txt", "new.txt"}));
    EXPECT_EQ(identifiers(answer.at("deletions")), Strings{"gone.txt"});
    EXPECT_GT(answer.at("anchor").as_int64(), since);
    EXPECT_EQ(answer.at("epoch").as_string(), get("/v1/anchor").object().at("epoch").as_string());
    auto later = changes(answer.at("anchor").as_int64());
    EXPECT_TRUE(later.at("updates").as_array().empty());
    fs::rename(root() / "new.txt", root() / "NewDir/renamed.txt");
    auto renamed = changes(answer.at("anchor").as_int64());
    EXPECT_EQ(identifiers(renamed.at("updates")), Strings{"NewDir/renamed.txt"});
    EXPECT_EQ(identifiers(renamed.at("deletions")), Strings{"new.txt"});
}

TEST_F(HostTest, AnAnchorThisHistoryCannotContinueIsAnsweredAsExpired) {
    put("a.txt", "", "a");
    auto epoch = std::string(get("/v1/anchor").object().at("epoch").as_string());
    auto expired = [&](std::int64_t since) {
        auto answer = get("/v1/changes", "anchor", std::to_string(since));
        EXPECT_EQ(answer.status, 200);
        auto body = answer.object();
        // The extension compares this epoch with its anchor's and starts over (-1002).
        EXPECT_NE(body.at("epoch").as_string(), epoch);
        EXPECT_TRUE(body.at("updates").as_array().empty());
        EXPECT_TRUE(body.at("deletions").as_array().empty());
        EXPECT_EQ(body.at("anchor").as_int64(), anchor());
    };
    expired(anchor() + 5);
    // A crash, then a start into a new history whose revisions lag behind anchors handed out before.
    auto handedOut = anchor() + 100;
    stop(false);
    start();
    epoch = std::string(get("/v1/anchor").object().at("epoch").as_string());
    expired(handedOut);
    EXPECT_EQ(changes(anchor()).at("epoch").as_string(), epoch); // a current anchor carries on
}

TEST_F(HostTest, AnchorsSurviveACleanRestartAndNotACrash) {
    put("a.txt", "", "a");
    auto epoch = get("/v1/anchor").object().at("epoch");
    auto since = anchor();
    stop(true);
    write("b.txt", "made while the host was down");
    start();
    EXPECT_EQ(get("/v1/anchor").object().at("epoch"), epoch);
    EXPECT_EQ(identifiers(changes(since).at("updates")), Strings{"b.txt"});
    EXPECT_GE(anchor(), since);
    stop(false); // no clean save: the next start begins a new history
    start();
    EXPECT_NE(get("/v1/anchor").object().at("epoch"), epoch);
}

TEST_F(HostTest, QuotaRefusesUploadsPastIt) {
    stop(true);
    start(10);
    EXPECT_EQ(put("a.txt", "", "12345").status, 200);
    EXPECT_EQ(put("b.txt", "", "123456").error(), "quota");
    EXPECT_EQ(put("a.txt", contentVersion("a.txt"), "1234567890").status,
              200); // replacing frees the old size
}

TEST_F(HostTest, FaultsAreInjectedForTheNextRequests) {
    auto queued = post("/admin/faults", {{"path", "/v1/move"},
                                         {"count", 2},
                                         {"status", 409},
                                         {"body", {{"error", "needs_content"}, {"base", "7.x"}}}});
    EXPECT_EQ(queued.status, 200);
    for (int i = 0; i < 2; ++i) {
        auto answer = post("/v1/move", {{"from", "a"}, {"to", "b"}});
        EXPECT_EQ(answer.status, 409);
        EXPECT_EQ(answer.error(), "needs_content");
    }
    EXPECT_EQ(post("/v1/move", {{"from", "a"}, {"to", "b"}}).error(), "gone");
    post("/admin/faults", {{"path", "/v1/anchor"}, {"action", "drop"}});
    EXPECT_EQ(get("/v1/anchor").status, 0);
    post("/admin/faults", {{"path", "/v1/item"}, {"action", "hang"}, {"seconds", 0.2}});
    EXPECT_EQ(get("/v1/item", "id", "x").status, 0);
    post("/admin/faults", {{"path", "/v1/all"}, {"status", 503}, {"body", {{"error", "offline"}}}});
    EXPECT_EQ(call("DELETE", "/admin/faults").status, 200);
    EXPECT_EQ(get("/v1/all").status, 200);
    EXPECT_EQ(call("POST", "/admin/faults", std::string("{}"), {}).status, 401);
}

TEST(RefhostProgram, WritesItsConnectionFileAndStopsCleanly) {
    support::TemporaryDirectory dir;
    fs::create_directories(dir.path() / "root");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv("FP_APP_GROUPS_DIR", (dir.path() / "groups").c_str(), 1);
        ::execl(WL_REFHOST_PATH, "wl-refhost", "--root", (dir.path() / "root").c_str(), "--group", "g",
                "--token", "secret", "--state", (dir.path() / "state").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    fs::path file = dir.path() / "groups" / "g" / "fphost.json";
    for (int i = 0; i < 500 && !fs::exists(file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(file));
    struct stat info {};
    ::stat(file.c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    auto connection = json::parse(*foundation::readFile(file)).as_object();
    EXPECT_EQ(connection.at("token").as_string(), "secret");
    EXPECT_GT(connection.at("port").as_int64(), 0);
    ::kill(child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto state = json::parse(*foundation::readFile(dir.path() / "state" / "refhost-state.json")).as_object();
    EXPECT_TRUE(state.at("clean").as_bool());
}
