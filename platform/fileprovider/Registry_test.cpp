#include "fileprovider/Registry.h"
#include "foundation/Files.h"
#include "support/Waiting.h"

#include <boost/json.hpp>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace fileprovider;
namespace fs = std::filesystem;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    foundation::ErrorRef add(const Domain& d) {
        support::Recorder<foundation::ErrorRef> done;
        registry.addDomain(d, done.callback());
        EXPECT_EQ(done.calls(), 1);
        return done.get<0>();
    }
    std::pair<std::optional<fs::path>, foundation::ErrorRef> remove(const Domain& d, RemoveDomainMode mode) {
        support::Recorder<std::optional<fs::path>, foundation::ErrorRef> done;
        registry.removeDomain(d, mode, done.callback());
        EXPECT_EQ(done.calls(), 1);
        return {done.get<0>(), done.get<1>()};
    }
    std::vector<Domain> domains() {
        support::Recorder<std::vector<Domain>, foundation::ErrorRef> done;
        registry.getDomains(done.callback());
        return done.get<0>();
    }

    support::TemporaryDirectory dir;
    Registry registry{dir.path()};
    Domain domain{"org.example.one", "One"};
};

} // namespace

TEST_F(RegistryTest, AddListAndLookUp) {
    EXPECT_FALSE(registry.hasManager(domain));
    EXPECT_EQ(add(domain), nullptr);
    EXPECT_EQ(add(Domain("org.example.one", "Renamed")), nullptr); // adding again updates, never duplicates
    auto listed = domains();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].identifier(), "org.example.one");
    EXPECT_EQ(listed[0].displayName(), "Renamed");
    EXPECT_TRUE(listed[0].userEnabled());
    EXPECT_TRUE(registry.hasManager(domain));
    foundation::ErrorRef error;
    auto tmp = registry.temporaryDirectory(domain, &error);
    ASSERT_TRUE(tmp);
    EXPECT_TRUE(fs::is_directory(*tmp));
    support::Recorder<std::optional<fs::path>, foundation::ErrorRef> visible;
    registry.getUserVisibleURL(domain, ItemIdentifier::rootContainer(), visible.callback());
    EXPECT_EQ(visible.get<0>(), dir.path() / "domains" / "org.example.one" / "root");
}

TEST_F(RegistryTest, UnknownAndInvalidDomainsAreRefused) {
    EXPECT_EQ(add(Domain("../escape", "x"))->code(), 514);
    EXPECT_FALSE(fs::exists(dir.path().parent_path() / "escape"));
    EXPECT_EQ(remove(domain, RemoveDomainMode::removeAll).second->code(), providerNotFound);
    support::Recorder<foundation::ErrorRef> signalled;
    registry.signalEnumerator(domain, ItemIdentifier::workingSet(), signalled.callback());
    EXPECT_EQ(signalled.get<0>()->code(), providerNotFound);
    foundation::ErrorRef error;
    EXPECT_FALSE(registry.temporaryDirectory(domain, &error));
    EXPECT_NE(error, nullptr);
}

TEST_F(RegistryTest, SignalsAreRecordedForTheServingProcess) {
    add(domain);
    support::Recorder<foundation::ErrorRef> signalled, resolved;
    registry.signalEnumerator(domain, ItemIdentifier::workingSet(), signalled.callback());
    registry.signalErrorResolved(
        domain, foundation::Error::make(foundation::NSFileProviderErrorDomain, -1004), resolved.callback());
    EXPECT_EQ(signalled.get<0>(), nullptr);
    EXPECT_EQ(resolved.get<0>(), nullptr);
    auto file = boost::json::parse(*foundation::readFile(dir.path() / "domains.json")).as_object();
    auto signal = file.at("signals").as_array().at(0).as_object();
    EXPECT_EQ(signal.at("container").as_string(), "NSFileProviderWorkingSetContainerItemIdentifier");
    EXPECT_EQ(file.at("resolved").as_array().at(0).as_object().at("code").as_int64(), -1004);
}

TEST_F(RegistryTest, RemovalKeepsUnsyncedDataOnlyWhenAskedTo) {
    add(domain);
    std::ofstream(dir.path() / "domains" / "org.example.one" / "root" / "draft.txt") << "unsynced";
    auto [preserved, error] = remove(domain, RemoveDomainMode::preserveDirtyUserData);
    EXPECT_EQ(error, nullptr);
    ASSERT_TRUE(preserved);
    EXPECT_EQ(foundation::readFile(*preserved / "draft.txt"), "unsynced");
    EXPECT_TRUE(domains().empty());
    add(domain);
    std::ofstream(dir.path() / "domains" / "org.example.one" / "root" / "draft.txt") << "gone";
    auto [nothing, wiped] = remove(domain, RemoveDomainMode::removeAll);
    EXPECT_FALSE(nothing);
    EXPECT_FALSE(fs::exists(dir.path() / "domains" / "org.example.one"));
}

TEST_F(RegistryTest, PreservedDataIsNeverDeleted) {
    // Two removals within one second each keep their own folder.
    std::vector<fs::path> kept;
    for (const char* draft : {"first", "second"}) {
        add(domain);
        std::ofstream(dir.path() / "domains" / "org.example.one" / "root" / "draft.txt") << draft;
        auto [preserved, error] = remove(domain, RemoveDomainMode::preserveDirtyUserData);
        EXPECT_EQ(error, nullptr);
        ASSERT_TRUE(preserved);
        kept.push_back(*preserved);
    }
    EXPECT_NE(kept[0], kept[1]);
    EXPECT_EQ(foundation::readFile(kept[0] / "draft.txt"), "first");
    EXPECT_EQ(foundation::readFile(kept[1] / "draft.txt"), "second");
    // A preservation that fails removes nothing and says so; the domain stays registered.
    add(domain);
    std::ofstream(dir.path() / "domains" / "org.example.one" / "root" / "draft.txt") << "third";
    fs::remove_all(dir.path() / "preserved");
    std::ofstream(dir.path() / "preserved") << "a file where the folder should be";
    auto [none, error] = remove(domain, RemoveDomainMode::preserveDirtyUserData);
    ASSERT_NE(error, nullptr);
    EXPECT_FALSE(none);
    EXPECT_EQ(foundation::readFile(dir.path() / "domains" / "org.example.one" / "root" / "draft.txt"),
              "third");
    EXPECT_TRUE(registry.hasManager(domain));
}

TEST_F(RegistryTest, ARegistryThatCannotBeReadIsNeverOverwritten) {
    add(domain);
    fs::path file = dir.path() / "domains.json";
    for (const std::string garbled : {"{\"domains\": [", "[1, 2]", "\xff\xfe"}) {
        std::ofstream(file, std::ios::trunc) << garbled;
        auto error = add(Domain("org.example.two", "Two"));
        ASSERT_NE(error, nullptr) << garbled;
        EXPECT_EQ(error->code(), 259);
        EXPECT_NE(error->localizedDescription().find(file.string()), std::string::npos);
        support::Recorder<std::vector<Domain>, foundation::ErrorRef> listed;
        registry.getDomains(listed.callback());
        EXPECT_NE(listed.get<1>(), nullptr);
        EXPECT_NE(remove(domain, RemoveDomainMode::removeAll).second, nullptr);
        support::Recorder<foundation::ErrorRef> signalled;
        registry.signalEnumerator(domain, ItemIdentifier::workingSet(), signalled.callback());
        EXPECT_NE(signalled.get<0>(), nullptr);
        EXPECT_EQ(foundation::readFile(file), garbled); // left exactly as it was
    }
    std::ofstream(file, std::ios::trunc); // an empty file holds nothing to lose
    EXPECT_EQ(add(domain), nullptr);
    EXPECT_EQ(domains().size(), 1u);
}

TEST_F(RegistryTest, TwoProcessesAddingAtOnceLoseNothing) {
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Registry mine(dir.path());
            for (int i = 0; i < 25; ++i)
                mine.addDomain(Domain("org.example.p" + std::to_string(p) + "." + std::to_string(i), "x"),
                               [](foundation::ErrorRef) {});
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(domains().size(), 50u);
}
