// fpctl as people use it, end to end against wl-refhost: exit codes, errors that explain themselves,
// fetch --out, writes without a base, watch, and the progress bar on a terminal.
#include "Processes.h"
#include "foundation/Files.h"
#include "support/Waiting.h"

#include <boost/json.hpp>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

class FpctlForPeople : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder() / "Docs");
        write("Docs/a.txt", "hello");
        environment = {{"FP_APP_GROUPS_DIR", (dir.path() / "groups").string()},
                       {"FP_STATE_DIR", (dir.path() / "state").string()}};
    }
    fs::path folder() const { return dir.path() / "folder"; }
    void write(const std::string& relative, const std::string& bytes) {
        std::ofstream(folder() / relative, std::ios::binary | std::ios::trunc) << bytes;
    }
    e2e::Run fpctl(std::vector<std::string> arguments, const std::map<std::string, std::string>& extra = {}) {
        arguments.insert(arguments.begin(), {"--extension", WL_MODULE_PATH});
        auto env = environment;
        for (const auto& [key, value] : extra)
            env[key] = value;
        return e2e::run(WL_FPCTL_PATH, arguments, "", env);
    }
    json::object fpctlJSON(std::vector<std::string> arguments, int expectedExit = 0) {
        arguments.insert(arguments.begin(), "--json");
        auto result = fpctl(arguments);
        EXPECT_EQ(result.exitCode, expectedExit) << result.out << result.err;
        return json::parse(result.out).as_object();
    }
    std::unique_ptr<e2e::RefHost> startHost() {
        return std::make_unique<e2e::RefHost>(folder(), environment);
    }
    std::vector<std::string> hostFiles() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    support::TemporaryDirectory dir;
    std::map<std::string, std::string> environment;
};

std::string quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

TEST_F(FpctlForPeople, ExitCodesTellErrorsFromUsage) {
    // No host: the extension reports an error. That is exit 1 in argument form, a result in a script.
    struct Case {
        std::vector<std::string> arguments;
        std::map<std::string, std::string> environment;
        int exit;
        std::string says; // on standard output, or standard error for usage errors
    };
    const Case cases[] = {
        {{"item", "Docs/a.txt"}, {}, 1, "no host connection (Wyvernloft -2)"},
        {{"item", "Docs/a.txt"}, {}, 1, (dir.path() / "groups").string()},
        {{"ls", "/"}, {}, 1, "hint"},
        {{"info"}, {}, 0, "org.wyvernloft.FileProvider.domain (Wyvernloft)"},
        {{"--version"}, {}, 0, "fpctl "},
        {{"--help"}, {}, 0, "@working-set"},
        {{"--help"}, {}, 0, "exit status"},
        {{"nonsense"}, {}, 2, "unknown command nonsense"},
        {{"--domain", "../..", "info"}, {}, 2, "not a valid domain identifier"},
        {{"info"}, {{"FP_SYSTEM_VERSION", "fifteen"}}, 2, "FP_SYSTEM_VERSION"},
        {{"info"}, {{"FP_SYSTEM_VERSION", "14.2"}}, 0, "bundle"},
        {{"modify", "a", "--fields", "size"}, {}, 2, "the fields are: contentModificationDate, contents"},
    };
    for (const auto& c : cases) {
        auto result = fpctl(c.arguments, c.environment);
        EXPECT_EQ(result.exitCode, c.exit) << c.arguments[0] << "\n" << result.out << result.err;
        EXPECT_NE((c.exit == 2 ? result.err : result.out).find(c.says), std::string::npos)
            << c.says << "\n"
            << result.out << result.err;
    }
    auto script = e2e::fpctlScript({"--extension", WL_MODULE_PATH}, {{{"op", "item"}, {"id", "Docs/a.txt"}}},
                                   environment);
    EXPECT_EQ(script.exitCode, 0);
    ASSERT_EQ(script.outputs.size(), 1u);
    EXPECT_EQ(script.outputs[0].at("error").at("code"), -2);
    EXPECT_NE(script.outputs[0].at("hint").as_string().find("fphost.json"), std::string::npos);
}

TEST_F(FpctlForPeople, StoppedHostNamesTheAddressThatDidNotAnswer) {
    auto host = startHost();
    auto connection = json::parse(
        *foundation::readFile(dir.path() / "groups" / "WLH3V8N4PC.org.wyvernloft.shared" / "fphost.json"));
    host->stop();
    auto result = fpctl({"item", "Docs/a.txt"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("server unreachable (NSFileProviderErrorDomain -1004)"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("because       cannot connect to host (NSURLErrorDomain -1004)"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("nothing answered at http://127.0.0.1:" +
                              std::to_string(connection.at("port").as_int64()) + ":"),
              std::string::npos)
        << result.out;
}

TEST_F(FpctlForPeople, TheDefaultDomainIsTheDomainToolsDefault) {
    auto added = e2e::run(WL_FPDOMAIN_PATH, {"add"}, "", environment);
    ASSERT_EQ(added.exitCode, 0) << added.err;
    auto info = fpctlJSON({"info"});
    std::string identifier(info.at("domain").at("identifier").as_string());
    auto status = e2e::run(WL_FPDOMAIN_PATH, {"status", identifier}, "", environment);
    EXPECT_EQ(status.out, "{\"registered\": true, \"userEnabled\": true}\n") << identifier;
    EXPECT_EQ(info.at("domain").at("displayName"), "Wyvernloft");
}

TEST_F(FpctlForPeople, FetchOutMovesTheFileIntoPlaceAndNeverOverwritesUnasked) {
    auto host = startHost();
    fs::path out = dir.path() / "out" / "a.txt";
    fs::create_directories(out.parent_path());
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ::inotify_add_watch(watch, out.parent_path().c_str(), IN_CREATE | IN_MOVED_TO);
    mode_t previous = ::umask(027);
    auto fetched = fpctl({"fetch", "Docs/a.txt", "--out", out.string()});
    ::umask(previous);
    EXPECT_EQ(fetched.exitCode, 0) << fetched.out << fetched.err;
    EXPECT_NE(fetched.out.find("file          " + out.string() + "\n"), std::string::npos) << fetched.out;
    EXPECT_EQ(foundation::readFile(out), "hello");
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u); // 0644 under the umask
    // The handed-over file was moved in: nothing was created beside the target, and nothing is left behind.
    std::vector<std::string> created, moved;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;)
        for (char* p = events; p < events + n;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            (event->mask & IN_CREATE ? created : moved).emplace_back(event->name);
            p += sizeof(inotify_event) + event->len;
        }
    ::close(watch);
    EXPECT_TRUE(created.empty()) << created.front();
    EXPECT_EQ(moved, std::vector<std::string>{"a.txt"});
    fs::path temporary = dir.path() / "state" / "domains" / "org.wyvernloft.FileProvider.domain" / "tmp";
    EXPECT_TRUE(fs::is_empty(temporary));

    write("Docs/a.txt", "hello, changed");
    auto refused = fpctl({"fetch", "Docs/a.txt", "--out", out.string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.out.find("output file exists"), std::string::npos) << refused.out;
    EXPECT_NE(refused.out.find("--force replaces it"), std::string::npos) << refused.out;
    EXPECT_EQ(foundation::readFile(out), "hello");
    EXPECT_EQ(fpctl({"fetch", "Docs/a.txt", "--out", out.string(), "--force"}).exitCode, 0);
    EXPECT_EQ(foundation::readFile(out), "hello, changed");

    // Onto another file system the file is copied beside the target, then renamed.
    struct stat shm {
    }, state{};
    if (::stat("/dev/shm", &shm) == 0 && ::stat(dir.path().c_str(), &state) == 0 &&
        shm.st_dev != state.st_dev) {
        fs::path elsewhere = fs::path("/dev/shm") / ("fpctl-test-" + foundation::uuidString());
        fs::create_directories(elsewhere);
        auto copied = fpctl({"fetch", "Docs/a.txt", "--out", (elsewhere / "b.txt").string()});
        EXPECT_EQ(copied.exitCode, 0) << copied.out;
        EXPECT_EQ(foundation::readFile(elsewhere / "b.txt"), "hello, changed");
        EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 1);
        fs::remove_all(elsewhere);
    }
}

TEST_F(FpctlForPeople, WritesWithoutABaseSendTheCurrentVersionAndAGivenBaseAsItIs) {
    auto host = startHost();
    write("notes.txt", "v1");
    std::ofstream(dir.path() / "mine") << "mine";
    std::string mine = (dir.path() / "mine").string();
    auto edited = fpctlJSON({"modify", "notes.txt", "--fields", "contents", "--contents", mine});
    EXPECT_TRUE(edited.at("error").is_null());
    EXPECT_FALSE(edited.at("baseVersion").at("contentVersion").as_string().empty());
    EXPECT_EQ(hostFiles(), (std::vector<std::string>{"Docs", "notes.txt"})); // no conflict copy
    auto renamed = fpctlJSON({"modify", "notes.txt", "--fields", "filename", "--name", "renamed.txt"});
    EXPECT_EQ(renamed.at("item").at("itemIdentifier"), "renamed.txt");
    EXPECT_EQ(foundation::readFile(folder() / "renamed.txt"), "mine");

    // An empty base is a base: the host takes the upload for a creation onto a taken name and refuses it.
    auto stale = fpctlJSON(
        {"modify", "renamed.txt", "--fields", "contents", "--contents", mine, "--base-content", ""}, 1);
    EXPECT_EQ(stale.at("baseVersion"), (json::object{{"contentVersion", ""}, {"metadataVersion", ""}}));
    EXPECT_EQ(stale.at("error").at("code"), -1001);
    EXPECT_EQ(hostFiles(), (std::vector<std::string>{"Docs", "renamed.txt"}));
    auto scripted = e2e::fpctlScript({"--extension", WL_MODULE_PATH},
                                     {{{"op", "delete"},
                                       {"id", "renamed.txt"},
                                       {"baseVersion", {{"contentVersion", ""}, {"metadataVersion", ""}}}}},
                                     environment);
    EXPECT_EQ(scripted.outputs.at(0).at("error").at("code"), -1006); // refused: no base the host knows
    EXPECT_TRUE(fs::exists(folder() / "renamed.txt"));

    auto deleted = fpctl({"delete", "renamed.txt"});
    EXPECT_EQ(deleted.exitCode, 0) << deleted.out;
    EXPECT_FALSE(fs::exists(folder() / "renamed.txt"));
    auto missing = fpctlJSON({"delete", "renamed.txt"}, 1);
    EXPECT_EQ(missing.at("error").at("domain"), "fpctl");
    EXPECT_EQ(missing.at("error").at("userInfo").at("NSUnderlyingError").at("code"), -1005);
}

TEST_F(FpctlForPeople, WatchPrintsChangesAsTheyArriveUntilInterrupted) {
    std::vector<std::string> keepHistory{"--state", (dir.path() / "host-state").string()};
    auto startHost = [&] { return std::make_unique<e2e::RefHost>(folder(), environment, keepHistory); };
    auto host = startHost();
    e2e::Background watch(
        WL_FPCTL_PATH,
        {"--extension", WL_MODULE_PATH, "--json", "watch", "@working-set", "--interval", "0.2"}, environment);
    auto started = watch.line(30);
    ASSERT_TRUE(started) << "watch printed nothing";
    auto first = json::parse(*started).as_object();
    EXPECT_EQ(first.at("container"), "NSFileProviderWorkingSetContainerItemIdentifier");
    std::string anchor(first.at("anchor").as_string());

    write("Docs/new.txt", "new");
    auto round = watch.line(30);
    ASSERT_TRUE(round) << "no change arrived";
    auto change = json::parse(*round).as_object();
    EXPECT_EQ(change.at("anchor"), json::value(anchor));
    const auto& calls = change.at("calls").as_array();
    EXPECT_EQ(calls.at(0).at(0), "didUpdateItems");
    EXPECT_EQ(calls.at(0).at(1).at(0).at("itemIdentifier"), "Docs/new.txt");
    EXPECT_NE(calls.back().at(1), json::value(anchor)); // the new anchor

    fs::remove(folder() / "Docs/a.txt");
    round = watch.line(30);
    ASSERT_TRUE(round);
    EXPECT_EQ(json::parse(*round).at("calls").at(0),
              (json::array{"didDeleteItemsWithIdentifiers", json::array{"Docs/a.txt"}}));

    // The host goes away: said once, however many rounds fail. It comes back with its history (a clean
    // restart with --state): the watch goes on from the anchor it has.
    host->stop();
    round = watch.line(30);
    ASSERT_TRUE(round);
    auto failed = json::parse(*round).at("calls").as_array().back();
    EXPECT_EQ(failed.at(0), "finishEnumeratingWithError") << *round;
    EXPECT_EQ(failed.at(1).at("code"), -1004) << *round;
    EXPECT_NE(json::parse(*round).at("hint").as_string().find("nothing answered"), std::string::npos);
    EXPECT_EQ(watch.line(1), std::nullopt); // five more rounds fail alike, unsaid
    host = startHost();
    write("Docs/after.txt", "after");
    round = watch.line(30);
    ASSERT_TRUE(round);
    EXPECT_EQ(json::parse(*round).at("calls").at(0).at(1).at(0).at("itemIdentifier"), "Docs/after.txt")
        << *round;
    EXPECT_EQ(watch.stop(SIGINT), 0);
}

TEST_F(FpctlForPeople, ProgressBarOnATerminalOnly) {
    if (::access("/usr/bin/script", X_OK) != 0)
        GTEST_SKIP() << "util-linux script is not installed: no terminal to test the progress bar on";
    auto host = startHost();
    write("big.bin", std::string(1 << 20, 'x'));
    auto underTerminal = [&](const std::vector<std::string>& arguments) {
        std::string command = quoted(WL_FPCTL_PATH) + " --extension " + quoted(WL_MODULE_PATH);
        for (const auto& word : arguments)
            command += " " + quoted(word);
        auto result = e2e::run("/usr/bin/script", {"-qec", command, "/dev/null"}, "", environment);
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        return result.out;
    };
    std::string shown = underTerminal({"fetch", "big.bin"});
    EXPECT_NE(shown.find("\rfetch big.bin ["), std::string::npos) << shown;
    EXPECT_NE(shown.find('%'), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r\x1b[K"), std::string::npos) << shown; // and erased when done
    EXPECT_NE(shown.find("size          1048576 bytes"), std::string::npos) << shown;
    std::string upload =
        underTerminal({"create", "/", "up.bin", "--contents", (folder() / "big.bin").string()});
    EXPECT_NE(upload.find("\rupload up.bin ["), std::string::npos) << upload;

    std::string quiet = underTerminal({"--json", "fetch", "big.bin"});
    EXPECT_EQ(quiet.find("fetch big.bin ["), std::string::npos) << quiet;
    EXPECT_EQ(quiet.find("\x1b[K"), std::string::npos) << quiet;
    auto piped = fpctl({"fetch", "big.bin"}); // standard error is a pipe
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.err, "");
}
