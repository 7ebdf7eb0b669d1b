// wl-refhost as a person and the extension meet it: its command line, what it says, its single
// instance per app group, the domain signals it sends, and anchors after a crash.
#include "Processes.h"
#include "fileprovider/Registry.h"
#include "foundation/Files.h"
#include "support/Waiting.h"

#include <boost/json.hpp>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

constexpr const char* workingSet = "NSFileProviderWorkingSetContainerItemIdentifier";
constexpr const char* group = "WLH3V8N4PC.org.wyvernloft.shared";

class RefHostProgram : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder());
        environment = {{"FP_APP_GROUPS_DIR", (dir.path() / "groups").string()},
                       {"FP_STATE_DIR", (dir.path() / "fpstate").string()}};
    }
    fs::path folder() const { return dir.path() / "folder"; }
    // On the extension's app group, where fpctl's extension looks.
    std::unique_ptr<e2e::RefHost> host(std::vector<std::string> extra = {}) {
        return std::make_unique<e2e::RefHost>(folder(), environment, extra);
    }
    e2e::Run refhost(std::vector<std::string> arguments) {
        return e2e::run(WL_REFHOST_PATH, arguments, "", environment);
    }
    json::object connection() {
        return json::parse(foundation::readFile(dir.path() / "groups" / group / "fphost.json").value_or("{}"))
            .as_object();
    }
    std::vector<json::object> fpctl(const std::vector<json::object>& commands) {
        auto result =
            e2e::fpctlScript({"--extension", WL_MODULE_PATH, "--domain", "d"}, commands, environment);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.outputs;
    }
    static bool eventually(const std::function<bool()>& condition) {
        for (int i = 0; i < 1000; ++i) {
            if (condition())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    support::TemporaryDirectory dir;
    std::map<std::string, std::string> environment;
};

} // namespace

TEST_F(RefHostProgram, HelpAndBadOptionsSayWhatToDo) {
    auto help = refhost({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--root", "--token-file", "--token", "--domain", "--verbose", "--state"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_NE(help.out.find("for tests only"), std::string::npos);

    std::ofstream(dir.path() / "empty-token");
    std::string root = folder().string();
    struct Case {
        std::vector<std::string> arguments;
        const char* says;
    };
    const Case cases[] = {
        {{}, "--root is required"},
        {{"--root", (dir.path() / "none").string()}, "no such folder"},
        {{"--root", (dir.path() / "empty-token").string()}, "not a folder"},
        {{"--root", root, "--port", "65536"}, "--port 65536: not a port number"},
        {{"--root", root, "--port"}, "--port needs a value"},
        {{"--root", root, "--quota=-1"}, "--quota -1: not a number of bytes"},
        {{"--root", root, "--idle-timeout", "0"}, "--idle-timeout 0: not a number of seconds"},
        {{"--root", root, "--max-connections", "0"}, "--max-connections 0"},
        {{"--root", root, "--group", "a/b"}, "--group a/b: not an app-group identifier"},
        {{"--root", root, "--domain", ".."}, "--domain ..: not a domain identifier"},
        {{"--root", root, "--token", "t", "--token-file", "f"}, "cannot be given together"},
        {{"--root", root, "--token-file", (dir.path() / "missing").string()}, "cannot be read"},
        {{"--root", root, "--token-file", (dir.path() / "empty-token").string()}, "holds no token"},
        {{"--root", root, "--frobnicate"}, "unknown option --frobnicate"},
        {{"--root", root, "stray"}, "unexpected argument stray"},
    };
    for (const auto& c : cases) {
        auto run = refhost(c.arguments);
        EXPECT_EQ(run.exitCode, 2) << c.says;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos);
        EXPECT_TRUE(run.out.empty());
    }
}

TEST_F(RefHostProgram, OneHostPerAppGroup) {
    auto first = host();
    auto second = refhost({"--root", folder().string()});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("another wl-refhost (pid " + std::to_string(first->pid()) + ")"),
              std::string::npos)
        << second.err;
    auto port = connection().at("port");
    EXPECT_EQ(connection().at("port"), port); // the connection file still points at the first
    auto elsewhere =
        std::make_unique<e2e::RefHost>(folder(), environment, std::vector<std::string>{"--group", "h"});
    elsewhere->stop();
    EXPECT_EQ(first->stop(), 0);
    auto third = host(); // once the first is gone, the group is free
    EXPECT_EQ(third->stop(), 0);
}

TEST_F(RefHostProgram, TheTokenFileKeepsTheTokenOffTheCommandLine) {
    std::ofstream(dir.path() / "token") << "from-the-file\n";
    auto running = host({"--token-file", (dir.path() / "token").string(), "--verbose"});
    EXPECT_EQ(connection().at("token").as_string(), "from-the-file");
    auto cmdline = foundation::readFile("/proc/" + std::to_string(running->pid()) + "/cmdline").value_or("");
    EXPECT_FALSE(cmdline.empty());
    EXPECT_EQ(cmdline.find("from-the-file"), std::string::npos);
    // The request log names method, path and status, never the token.
    std::ofstream(folder() / "a.txt") << "a";
    auto out = fpctl({{{"op", "item"}, {"id", "a.txt"}}, {{"op", "item"}, {"id", "none"}}});
    EXPECT_TRUE(eventually([&] { return running->errors().find(" 404 ") != std::string::npos; }))
        << running->errors();
    auto log = running->errors();
    EXPECT_NE(log.find("GET /v1/item?id=a.txt 200 "), std::string::npos) << log;
    EXPECT_NE(log.find("GET /v1/item?id=none 404 "), std::string::npos) << log;
    EXPECT_EQ(log.find("from-the-file"), std::string::npos);
}

TEST_F(RefHostProgram, WhatIsNotServedIsSaidOnce) {
    fs::create_directories(folder() / "Docs");
    fs::create_symlink("/etc", folder() / "Docs/link");
    std::ofstream(folder() / "bad\xff.txt") << "x";
    std::ofstream(folder() / "\xC3\xA9") << "nfc";
    std::ofstream(folder() / "e\xCC\x81") << "nfd";
    std::ofstream(folder() / "fine.txt") << "fine";
    auto running = host();
    fpctl({{{"op", "list"}, {"container", "NSFileProviderRootContainerItemIdentifier"}},
           {{"op", "list"}, {"container", "NSFileProviderRootContainerItemIdentifier"}}});
    EXPECT_TRUE(eventually([&] { return running->errors().find("NFC") != std::string::npos; }));
    running->stop();
    auto said = running->errors();
    for (const char* what :
         {"not served: Docs/link (a symbolic link)", "not served: bad\\xff.txt (the name is not UTF-8)",
          "not served: e\xCC\x81 (the same name as \"\xC3\xA9\" under NFC)"}) {
        auto at = said.find(what);
        EXPECT_NE(at, std::string::npos) << what << "\n" << said;
        EXPECT_EQ(said.find(what, at + 1), std::string::npos) << "said twice: " << what;
    }
    EXPECT_EQ(said.find("fine.txt"), std::string::npos);
}

TEST_F(RefHostProgram, AStateThatCannotBeMarkedInUseStopsTheStart) {
    std::ofstream(dir.path() / "a-file") << "x";
    auto run = refhost({"--root", folder().string(), "--state", (dir.path() / "a-file/state").string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("cannot mark the saved state as in use"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir.path() / "groups" / group / "fphost.json"));
}

TEST_F(RefHostProgram, ChangesSignalTheDomainsWorkingSet) {
    fileprovider::Registry registry(dir.path() / "fpstate");
    auto signals = [&] {
        auto file = foundation::readFile(dir.path() / "fpstate/domains.json");
        if (!file)
            return std::size_t(0);
        auto registered = json::parse(*file).as_object();
        std::size_t count = 0;
        if (auto* list = registered.if_contains("signals"))
            for (const auto& signal : list->as_array())
                count += signal.as_object().at("domain") == "d" &&
                         signal.as_object().at("container") == workingSet;
        return count;
    };
    auto unregistered = host({"--domain", "d", "--token", "t"});
    EXPECT_TRUE(
        eventually([&] { return unregistered->errors().find("not registered") != std::string::npos; }));
    unregistered->stop();

    registry.addDomain(fileprovider::Domain("d", "D"),
                       [](foundation::ErrorRef error) { ASSERT_EQ(error, nullptr); });
    auto running = host({"--domain", "d", "--token", "t"});
    ASSERT_TRUE(eventually([&] { return signals() >= 1; })); // at start
    std::size_t before = signals();
    std::ofstream(folder() / "edited-in-the-folder.txt") << "x";
    ASSERT_TRUE(eventually([&] { return signals() > before; })) << "no signal for a change in the folder";
    before = signals();
    auto made = fpctl({{{"op", "create"},
                        {"parent", "NSFileProviderRootContainerItemIdentifier"},
                        {"filename", "F"},
                        {"contentType", "public.folder"},
                        {"contents", nullptr},
                        {"mayAlreadyExist", false}}});
    ASSERT_TRUE(made[0].at("error").is_null()) << json::serialize(made[0]);
    EXPECT_TRUE(eventually([&] { return signals() > before; })) << "no signal for a change through the host";
    EXPECT_EQ(running->errors(), "");
}

TEST_F(RefHostProgram, AfterACrashTheExtensionStartsOverAndCreationsNeverReplace) {
    std::ofstream(folder() / "a.txt") << "a";
    auto running = host({"--state", (dir.path() / "state").string(), "--token", "t"});
    // Revisions the crash loses: the next history starts behind the anchors handed out.
    for (int i = 0; i < 20; ++i)
        std::ofstream(folder() / ("f" + std::to_string(i))) << i;
    auto first = fpctl({{{"op", "anchor"}, {"container", workingSet}}})[0];
    std::string anchor(first.at("anchor").as_string());
    for (int i = 0; i < 20; ++i)
        fs::remove(folder() / ("f" + std::to_string(i)));
    auto later = fpctl({{{"op", "anchor"}, {"container", workingSet}}})[0];
    std::string laterAnchor(later.at("anchor").as_string());
    EXPECT_EQ(running->stop(SIGKILL), 128 + SIGKILL);
    running = host({"--state", (dir.path() / "state").string(), "--token", "t"});
    for (const auto& old : {anchor, laterAnchor}) {
        auto out = fpctl({{{"op", "changes"}, {"container", workingSet}, {"anchor", old}}})[0];
        auto calls = out.at("calls").as_array();
        ASSERT_EQ(calls.size(), 1u) << json::serialize(out);
        EXPECT_EQ(calls[0].as_array().at(0).as_string(), "finishEnumeratingWithError");
        auto error = calls[0].as_array().at(1).as_object();
        EXPECT_EQ(error.at("domain").as_string(), "NSFileProviderErrorDomain") << json::serialize(out);
        EXPECT_EQ(error.at("code").as_int64(), -1002) << json::serialize(out);
    }
    // A creation onto a name in use is a filename collision; the user's file stays as it was.
    std::ofstream(dir.path() / "mine") << "mine";
    auto created = fpctl({{{"op", "create"},
                           {"parent", "NSFileProviderRootContainerItemIdentifier"},
                           {"filename", "a.txt"},
                           {"contentType", "public.data"},
                           {"contents", (dir.path() / "mine").string()},
                           {"mayAlreadyExist", false}}})[0];
    EXPECT_EQ(created.at("error").as_object().at("code").as_int64(), -1001) << json::serialize(created);
    EXPECT_EQ(foundation::readFile(folder() / "a.txt"), "a");
}
