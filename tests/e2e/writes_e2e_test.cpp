// Writes end to end: fpctl drives the extension's create, modify and delete against wl-refhost.
#include "Processes.h"
#include "foundation/Files.h"
#include "foundation/URLSession.h"
#include "support/Waiting.h"

#include <boost/json.hpp>
#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

constexpr const char* root = "NSFileProviderRootContainerItemIdentifier";
constexpr const char* workingSet = "NSFileProviderWorkingSetContainerItemIdentifier";
constexpr const char* group = "WLH3V8N4PC.org.wyvernloft.shared";

class WritesEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder());
        environment = {{"FP_APP_GROUPS_DIR", (dir.path() / "groups").string()},
                       {"FP_STATE_DIR", (dir.path() / "state").string()}};
        host = std::make_unique<e2e::RefHost>(folder(), environment,
                                              std::vector<std::string>{"--token", "e2e-token"});
    }
    fs::path folder() const { return dir.path() / "folder"; }
    fs::path local(const std::string& name, const std::string& bytes) {
        auto path = dir.path() / name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }
    std::string onHost(const std::string& relative) {
        return foundation::readFile(folder() / relative).value_or("<none>");
    }

    std::vector<json::object> script(const std::vector<json::object>& commands) {
        auto result = e2e::fpctlScript({"--extension", WL_MODULE_PATH}, commands, environment);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.outputs.size(), commands.size()) << result.err;
        return result.outputs;
    }
    json::object one(const json::object& command) { return script({command}).at(0); }

    static json::object create(const std::string& parent, const std::string& name, const std::string& type,
                               std::optional<std::string> contents) {
        return {{"op", "create"},
                {"parent", parent},
                {"filename", name},
                {"contentType", type},
                {"contents", contents ? json::value(*contents) : json::value(nullptr)},
                {"mayAlreadyExist", false}};
    }
    static json::object modify(const json::object& item, const std::string& parent, const std::string& name,
                               json::array fields, std::optional<std::string> contents) {
        const auto& version = item.at("itemVersion").as_object();
        return {{"op", "modify"},
                {"item",
                 {{"itemIdentifier", item.at("itemIdentifier")},
                  {"parentItemIdentifier", parent},
                  {"filename", name},
                  {"contentType", item.at("contentType")}}},
                {"baseVersion",
                 {{"contentVersion", version.at("contentVersion")},
                  {"metadataVersion", version.at("metadataVersion")}}},
                {"changedFields", std::move(fields)},
                {"contents", contents ? json::value(*contents) : json::value(nullptr)}};
    }
    static json::object item(const json::object& output) {
        EXPECT_TRUE(output.at("error").is_null()) << json::serialize(output);
        return output.at("item").is_object() ? output.at("item").as_object() : json::object{};
    }
    static std::int64_t code(const json::object& output) {
        return output.at("error").as_object().at("code").as_int64();
    }

    void fault(const json::object& order) {
        auto connection =
            json::parse(*foundation::readFile(dir.path() / "groups" / group / "fphost.json")).as_object();
        foundation::URLRequest request(
            "http://127.0.0.1:" + std::to_string(connection.at("port").as_int64()) + "/admin/faults");
        request.httpMethod = "POST";
        request.setValue("e2e-token", "X-FP-Token");
        request.httpBody = json::serialize(order);
        support::Recorder<std::optional<std::string>, foundation::ResponseRef, foundation::ErrorRef> done;
        foundation::URLSession::shared().dataTask(request, done.callback())->resume();
        ASSERT_TRUE(done.wait());
        ASSERT_EQ(done.get<1>()->statusCode, 200);
    }

    support::TemporaryDirectory dir;
    std::map<std::string, std::string> environment;
    std::unique_ptr<e2e::RefHost> host;
};

} // namespace

TEST_F(WritesEndToEnd, CreateEditRenameMoveAndDelete) {
    auto created = script({create(root, "Projects", "public.folder", std::nullopt),
                           create("Projects", "plan.txt", "public.data", local("plan", "v1").string()),
                           create(root, "empty.txt", "public.data", std::nullopt)});
    EXPECT_TRUE(fs::is_directory(folder() / "Projects"));
    auto plan = item(created[1]);
    EXPECT_EQ(plan.at("itemIdentifier").as_string(), "Projects/plan.txt");
    EXPECT_EQ(onHost("Projects/plan.txt"), "v1");
    EXPECT_EQ(onHost("empty.txt"), "");
    EXPECT_TRUE(plan.at("decorations").is_array()); // written from this machine: it is local
    EXPECT_EQ(created[1].at("remainingFields").as_int64(), 0);
    EXPECT_FALSE(created[1].at("shouldFetchContent").as_bool());

    auto edited = item(one(modify(plan, "Projects", "plan.txt", {"contents"}, local("plan", "v2").string())));
    EXPECT_EQ(onHost("Projects/plan.txt"), "v2");
    auto renamed = item(one(modify(edited, "Projects", "plan-final.txt", {"filename"}, std::nullopt)));
    EXPECT_EQ(renamed.at("itemIdentifier").as_string(), "Projects/plan-final.txt");
    EXPECT_FALSE(fs::exists(folder() / "Projects/plan.txt"));
    auto moved = item(one(modify(renamed, root, "plan-final.txt", {"parentItemIdentifier"}, std::nullopt)));
    EXPECT_EQ(onHost("plan-final.txt"), "v2");
    auto both =
        item(one(modify(moved, "Projects", "plan-v3.txt", {"filename", "parentItemIdentifier", "contents"},
                        local("plan", "v3").string())));
    EXPECT_EQ(both.at("itemIdentifier").as_string(), "Projects/plan-v3.txt");
    EXPECT_EQ(onHost("Projects/plan-v3.txt"), "v3");

    const auto& version = both.at("itemVersion").as_object();
    auto deleted =
        one({{"op", "delete"},
             {"id", "Projects/plan-v3.txt"},
             {"baseVersion", {{"contentVersion", version.at("contentVersion")}, {"metadataVersion", ""}}},
             {"recursive", false}});
    EXPECT_TRUE(deleted.at("error").is_null()) << json::serialize(deleted);
    EXPECT_FALSE(fs::exists(folder() / "Projects/plan-v3.txt"));
}

TEST_F(WritesEndToEnd, EditingAnOlderVersionKeepsAConflictCopyAndSignals) {
    auto file = item(one(create(root, "notes.txt", "public.data", local("n", "mine v1").string())));
    std::ofstream(folder() / "notes.txt", std::ios::trunc) << "theirs, edited on the host";
    auto edit = one(modify(file, root, "notes.txt", {"contents"}, local("n", "mine v2").string()));
    EXPECT_TRUE(edit.at("error").is_null()) << json::serialize(edit);
    EXPECT_EQ(onHost("notes.txt"), "mine v2");
    EXPECT_EQ(onHost("notes (conflict 1).txt"), "theirs, edited on the host");
    EXPECT_EQ(edit.at("signals").as_array(), json::array{workingSet});
}

TEST_F(WritesEndToEnd, RecursiveDeleteAfterListingAndNotWithout) {
    fs::create_directories(folder() / "Old/Inner");
    std::ofstream(folder() / "Old/Inner/x.txt") << "x";
    auto refused = one({{"op", "delete"}, {"id", "Old"}, {"recursive", true}});
    EXPECT_EQ(code(refused), -2005); // never listed in this process: no delivered revision
    EXPECT_TRUE(fs::exists(folder() / "Old"));
    auto out = script(
        {{{"op", "list"}, {"container", "Old"}}, {{"op", "delete"}, {"id", "Old"}, {"recursive", true}}});
    EXPECT_TRUE(out[1].at("error").is_null()) << json::serialize(out[1]);
    EXPECT_FALSE(fs::exists(folder() / "Old"));
}

TEST_F(WritesEndToEnd, InjectedRefusalsReachTheSystemAsFileProviderErrors) {
    auto file = item(one(create(root, "a.txt", "public.data", local("a", "a").string())));
    fault({{"path", "/v1/content"}, {"status", 507}, {"body", {{"error", "quota"}, {"code", "full"}}}});
    auto quota = one(modify(file, root, "a.txt", {"contents"}, local("a", "bigger").string()));
    EXPECT_EQ(code(quota), -1003);
    EXPECT_EQ(quota.at("error").as_object().at("userInfo").as_object().at("WLHostRefusalCode").as_string(),
              "full");
    fault({{"path", "/v1/move"}, {"status", 503}, {"body", {{"error", "paused"}}}});
    EXPECT_EQ(code(one(modify(file, root, "b.txt", {"filename"}, std::nullopt))), -2005);
    fault({{"path", "/v1/move"}, {"action", "drop"}});
    EXPECT_EQ(code(one(modify(file, root, "b.txt", {"filename"}, std::nullopt))), -1004);
    fault({{"path", "/v1/folder"}, {"status", 403}, {"body", {{"error", "read_only"}}}});
    auto readOnly = one(create(root, "F", "public.folder", std::nullopt));
    EXPECT_EQ(readOnly.at("error").as_object().at("domain").as_string(), "NSCocoaErrorDomain");
    EXPECT_EQ(code(readOnly), 513);
    auto package = one(create(root, "Deck.key", "com.apple.iwork.keynote.sffkey", std::nullopt));
    EXPECT_EQ(code(package), -2005);
    EXPECT_FALSE(fs::exists(folder() / "Deck.key"));
}
