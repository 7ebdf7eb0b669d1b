#include "DomainCommand.h"
#include "support/FakeSystem.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace domaintool;
using support::FakeSystem;

namespace {

class DomainCommandTest : public ::testing::Test {
protected:
    void SetUp() override { fileprovider::installSystem(system); }
    void TearDown() override {
        system->releaseHeld();
        system->drain();
        fileprovider::installSystem(nullptr);
    }
    struct Result {
        int code;
        std::string out, err;
    };
    Result run(std::vector<std::string> words,
               Limits limits = {std::chrono::milliseconds(300), std::chrono::milliseconds(600)}) {
        words.insert(words.begin(), "wl-fpdomain");
        std::ostringstream out, err;
        int code = runDomainCommand(words, out, err, limits);
        return {code, out.str(), err.str()};
    }
    static foundation::ErrorRef failure(const std::string& description) {
        return foundation::Error::make("Test", 7, {{foundation::NSLocalizedDescriptionKey, description}});
    }

    support::TemporaryDirectory dir;
    std::shared_ptr<FakeSystem> system = std::make_shared<FakeSystem>(dir.path());
    const std::string usage =
        "usage: wl-fpdomain add|remove|wipe|signal|refresh|status|visible [identifier] [displayName]\n";
};

} // namespace

TEST_F(DomainCommandTest, UsageForNoOrUnknownSubcommand) {
    for (std::vector<std::string> words :
         {std::vector<std::string>{}, {"nonsense"}, {"Add"}, {"STATUS", "x"}}) {
        auto result = run(words);
        EXPECT_EQ(result.code, 1);
        EXPECT_EQ(result.err, usage);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_TRUE(system->operations().empty());
}

TEST_F(DomainCommandTest, AddUsesTheDefaultsAndReportsErrors) {
    EXPECT_EQ(run({"add"}).code, 0);
    auto domains = system->registeredDomains();
    ASSERT_EQ(domains.size(), 1u);
    EXPECT_EQ(domains[0].identifier(), defaultDomainIdentifier);
    EXPECT_EQ(domains[0].displayName(), "Wyvernloft");
    EXPECT_EQ(run({"add", "org.example.x"}).code, 0);
    EXPECT_EQ(system->registeredDomains().back().displayName(), "Wyvernloft");
    system->setError(FakeSystem::Operation::add, failure("no room"));
    auto failed = run({"add", "org.example.y", "Y"});
    EXPECT_EQ(failed.code, 2);
    EXPECT_EQ(failed.err, "wl-fpdomain: add failed: no room\n");
}

TEST_F(DomainCommandTest, StatusLine) {
    support::ScopedEnvironment version("FP_SYSTEM_VERSION", "15.0");
    auto absent = run({"status"});
    EXPECT_EQ(absent.code, 0);
    EXPECT_EQ(absent.out, "{\"registered\": false, \"userEnabled\": null}\n");
    run({"add", "org.example.d"});
    EXPECT_EQ(run({"status", "org.example.d"}).out, "{\"registered\": true, \"userEnabled\": true}\n");
    support::ScopedEnvironment older("FP_SYSTEM_VERSION", "14.6");
    EXPECT_EQ(run({"status", "org.example.d"}).out, "{\"registered\": true, \"userEnabled\": null}\n");
    system->setError(FakeSystem::Operation::getDomains, failure("busy"));
    auto failed = run({"status", "org.example.d"});
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.code, 2);
}

TEST_F(DomainCommandTest, RemoveNeedsTwelveAndPrintsThePreservedFolder) {
    {
        support::ScopedEnvironment version("FP_SYSTEM_VERSION", "11.7");
        auto old = run({"remove", "org.example.d"});
        EXPECT_EQ(old.code, 3);
        EXPECT_EQ(old.err,
                  "wl-fpdomain: remove: this macOS cannot keep edits not yet uploaded; nothing removed\n");
        EXPECT_TRUE(system->operations().empty());
    }
    support::ScopedEnvironment version("FP_SYSTEM_VERSION", "12.0");
    system->setPreservedURL(dir.path() / "kept edits");
    auto removed = run({"remove", "org.example.d"});
    EXPECT_EQ(removed.code, 0);
    EXPECT_EQ(removed.out, (dir.path() / "kept edits").string() + "\n");
    auto wiped = run({"wipe", "org.example.d"});
    EXPECT_EQ(wiped.code, 0);
    EXPECT_EQ(wiped.out, ""); // a wipe keeps nothing
}

TEST_F(DomainCommandTest, ManagerlessDomains) {
    system->setHasManager(false);
    for (const char* cmd : {"visible", "signal", "refresh"}) {
        auto result = run({cmd, "org.example.none"});
        EXPECT_EQ(result.code, 2) << cmd;
        EXPECT_EQ(result.err, "wl-fpdomain: no manager for domain org.example.none\n") << cmd;
    }
    EXPECT_TRUE(system->signals().empty());
}

TEST_F(DomainCommandTest, VisiblePrintsThePathOrFailsWithNoSuchItem) {
    system->setUserVisibleURL(dir.path() / "Wyvernloft");
    auto shown = run({"visible"});
    EXPECT_EQ(shown.code, 0);
    EXPECT_EQ(shown.out, (dir.path() / "Wyvernloft").string() + "\n");
    system->setUserVisibleURL(std::nullopt);
    auto neither = run({"visible"});
    EXPECT_EQ(neither.code, 2);
    auto expected =
        foundation::Error::make(foundation::NSFileProviderErrorDomain, -1005)->localizedDescription();
    EXPECT_EQ(neither.err, "wl-fpdomain: visible failed: " + expected + "\n");
}

TEST_F(DomainCommandTest, SignalAndRefreshSignalTheWorkingSet) {
    EXPECT_EQ(run({"signal"}).code, 0);
    ASSERT_EQ(system->signals().size(), 1u);
    EXPECT_EQ(system->signals()[0].container, "NSFileProviderWorkingSetContainerItemIdentifier");
    EXPECT_EQ(system->signals()[0].domain, defaultDomainIdentifier);

    system->setError(FakeSystem::Operation::errorResolved, failure("first"));
    system->setError(FakeSystem::Operation::signal, failure("second"));
    auto refreshed = run({"refresh"});
    EXPECT_EQ(refreshed.code, 2);
    EXPECT_EQ(refreshed.err, "wl-fpdomain: refresh failed: first\n"); // the first error is the one reported
    EXPECT_EQ(system->signals().size(), 2u);                          // the signal went out all the same
    auto resolved = system->resolvedErrors();
    ASSERT_EQ(resolved.size(), 1u);
    EXPECT_TRUE(resolved[0]->is(foundation::NSFileProviderErrorDomain, -1004));
    EXPECT_TRUE(resolved[0]->userInfo().empty());
    system->setError(FakeSystem::Operation::errorResolved, nullptr);
    EXPECT_EQ(run({"refresh"}).err, "wl-fpdomain: refresh failed: second\n");
}

TEST_F(DomainCommandTest, CallsThatNeverCompleteTimeOut) {
    system->holdCompletions(true);
    auto status = run({"status"});
    EXPECT_EQ(status.code, 2);
    EXPECT_EQ(status.err, "wl-fpdomain: status timed out\n");
    for (const char* cmd : {"remove", "wipe"}) {
        auto result = run({cmd, "org.example.d"});
        EXPECT_EQ(result.code, 4) << cmd;
        EXPECT_EQ(result.err, std::string("wl-fpdomain: ") + cmd + " still running; macOS finishes it\n");
    }
    auto signal = run({"signal"});
    EXPECT_EQ(signal.code, 2);
    EXPECT_EQ(signal.err, "wl-fpdomain: signal timed out\n");
}
