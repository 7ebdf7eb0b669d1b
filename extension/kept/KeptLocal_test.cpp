#include "kept/KeptLocal.h"
#include "support/ExtensionEnvironment.h"

#include <boost/json.hpp>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace wl;
using fileprovider::ItemIdentifier;

namespace {

class KeptLocalTest : public support::ExtensionTest {
protected:
    boost::json::object storeObject() {
        auto bytes = foundation::readFile(storeFile());
        EXPECT_TRUE(bytes);
        return boost::json::parse(bytes.value_or("{}")).as_object();
    }
    std::vector<std::string> list(const char* key) {
        std::vector<std::string> out;
        auto object = storeObject();
        for (auto& v : object.at(key).as_array())
            out.emplace_back(v.as_string());
        return out;
    }
    void rememberAll(std::initializer_list<const char*> ids) {
        for (const char* id : ids)
            KeptLocal::remember(ItemIdentifier(id));
    }
    // Marks every pending entry as published in its current state, leaving an empty journal.
    using Strings = std::vector<std::string>;
};

} // namespace

TEST_F(KeptLocalTest, WithoutAFileNothingIsKept) {
    EXPECT_FALSE(KeptLocal::contains(ItemIdentifier("a")));
    EXPECT_EQ(KeptLocal::generation(), 0);
    EXPECT_EQ(KeptLocal::peekPending().gen, 0);
    EXPECT_TRUE(KeptLocal::peekPending().ids.empty());
    EXPECT_EQ(KeptLocal::storeURL(), storeFile());
}

TEST_F(KeptLocalTest, ReadingToleratesEveryDefect) {
    writeStore("not json");
    EXPECT_FALSE(KeptLocal::contains(ItemIdentifier("a")));
    writeStore(R"({"ids": ["a", 1], "pending": "x", "gen": "7"})");
    EXPECT_FALSE(KeptLocal::contains(ItemIdentifier("a"))); // one non-string spoils the list
    EXPECT_EQ(KeptLocal::generation(), 0);
    writeStore(R"(["a"])");
    EXPECT_FALSE(KeptLocal::contains(ItemIdentifier("a")));
    writeStore(R"({"ids": ["a", "b"], "gen": 4.0})");
    EXPECT_TRUE(KeptLocal::contains(ItemIdentifier("b")));
    EXPECT_EQ(KeptLocal::generation(), 4);
}

TEST_F(KeptLocalTest, SystemIdentifiersAreNeverKept) {
    writeStore(
        R"({"ids": ["NSFileProviderRootContainerItemIdentifier", "NSFileProviderTrashContainerItemIdentifier"]})");
    EXPECT_FALSE(KeptLocal::contains(ItemIdentifier::rootContainer()));
    EXPECT_FALSE(KeptLocal::contains(ItemIdentifier::trashContainer()));
    std::filesystem::remove(storeFile());
    KeptLocal::remember(ItemIdentifier::rootContainer());
    KeptLocal::remember(ItemIdentifier::workingSet());
    EXPECT_FALSE(std::filesystem::exists(storeFile()));
}

TEST_F(KeptLocalTest, OtherProcessesWritesAreSeenAtOnce) {
    writeStore(R"({"ids": ["a"]})");
    EXPECT_TRUE(KeptLocal::contains(ItemIdentifier("a")));
    ASSERT_EQ(foundation::writeAtomically(storeFile(), R"({"ids": ["b"], "gen": 9})"), nullptr);
    EXPECT_FALSE(KeptLocal::contains(ItemIdentifier("a")));
    EXPECT_TRUE(KeptLocal::contains(ItemIdentifier("b")));
    EXPECT_EQ(KeptLocal::generation(), 9);
    std::filesystem::remove(storeFile());
    EXPECT_FALSE(KeptLocal::contains(ItemIdentifier("b")));
}

TEST_F(KeptLocalTest, RememberOnAnEmptyStoreWritesIdsPendingAndGeneration) {
    KeptLocal::remember(ItemIdentifier("a"));
    EXPECT_EQ(list("ids"), Strings{"a"});
    EXPECT_EQ(list("pending"), Strings{"a"});
    EXPECT_EQ(storeObject().at("gen").as_int64(), 1);
    auto pending = KeptLocal::peekPending();
    EXPECT_EQ(pending.gen, 1);
    EXPECT_EQ(pending.ids, Strings{"a"});
    auto raw = *foundation::readFile(storeFile());
    EXPECT_EQ(raw.find(' '), std::string::npos); // compact
}

TEST_F(KeptLocalTest, RememberingAKeptIdentifierWritesNothingButRefreshesItsTime) {
    KeptLocal::remember(ItemIdentifier("a"));
    auto before = *foundation::readFile(storeFile());
    auto firstNoted = *KeptLocal::notedAt("a");
    auto cutoff = foundation::Date::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    KeptLocal::remember(ItemIdentifier("a"));
    EXPECT_EQ(*foundation::readFile(storeFile()), before);
    EXPECT_EQ(KeptLocal::generation(), 1);
    EXPECT_GT(*KeptLocal::notedAt("a"), firstNoted);
    EXPECT_FALSE(KeptLocal::replace({}, cutoff)); // noted after the cut-off: survives
    EXPECT_TRUE(KeptLocal::contains(ItemIdentifier("a")));
}

TEST_F(KeptLocalTest, ExtraMembersSurviveEveryChangeAndGarbageIsReplaced) {
    writeStore(R"({"ids": [], "note": {"keep": [1, 2]}, "v": 3})");
    KeptLocal::remember(ItemIdentifier("a"));
    KeptLocal::forget("a");
    auto object = storeObject();
    EXPECT_EQ(object.at("v").as_int64(), 3);
    EXPECT_EQ(boost::json::serialize(object.at("note")), R"({"keep":[1,2]})");
    writeStore("garbage");
    KeptLocal::remember(ItemIdentifier("b"));
    object = storeObject();
    EXPECT_EQ(object.size(), 3u);
    EXPECT_EQ(object.at("gen").as_int64(), 1);
}

TEST_F(KeptLocalTest, CanonicallyEquivalentIdentifiersAreOne) {
    KeptLocal::remember(ItemIdentifier("Docs/e\xCC\x81t\xC3\xA9.txt")); // decomposed, then composed
    EXPECT_TRUE(KeptLocal::contains(ItemIdentifier("Docs/\xC3\xA9t\xC3\xA9.txt")));
    KeptLocal::remember(ItemIdentifier("Docs/\xC3\xA9t\xC3\xA9.txt"));
    EXPECT_EQ(KeptLocal::generation(), 1);
    writeStore(R"({"ids": ["b", "\u00e9", "a", "Z"]})");
    KeptLocal::remember(ItemIdentifier("c"));
    EXPECT_EQ(list("ids"), (Strings{"Z", "a", "b", "c", "\xC3\xA9"})); // UTF-8 byte order
    KeptLocal::forget("e\xCC\x81");
    EXPECT_FALSE(KeptLocal::contains(ItemIdentifier("\xC3\xA9")));
}

TEST_F(KeptLocalTest, MovedRenamesTheEntryAndWhatLiesBelowIt) {
    rememberAll({"a", "a/x", "ab"});
    publishAllPending();
    auto gen = KeptLocal::generation();
    KeptLocal::moved("a", "b");
    EXPECT_EQ(list("ids"), (Strings{"ab", "b", "b/x"}));
    EXPECT_EQ(KeptLocal::generation(), gen + 1);
    auto pending = KeptLocal::peekPending().ids;
    ASSERT_EQ(pending.size(), 4u);
    for (std::size_t i = 0; i < 4; i += 2) { // each old/new pair together, old first
        EXPECT_EQ("b" + pending[i].substr(1), pending[i + 1]);
        EXPECT_EQ(pending[i][0], 'a');
    }
    EXPECT_TRUE(KeptLocal::notedAt("b/x"));
    EXPECT_FALSE(KeptLocal::notedAt("a/x"));

    auto before = *foundation::readFile(storeFile());
    for (auto [from, to] : std::vector<std::pair<const char*, const char*>>{
             {"zzz", "y"},
             {"b", ""},
             {"b", "NSFileProviderRootContainerItemIdentifier"},
             {"b", "NSFileProviderWorkingSetContainerItemIdentifier"}})
        KeptLocal::moved(from, to);
    EXPECT_EQ(*foundation::readFile(storeFile()), before);
}

TEST_F(KeptLocalTest, MovedCutsAtCharactersNotBytesOfDecomposedNames) {
    KeptLocal::remember(ItemIdentifier("\xC3\xA9/x")); // é/x
    KeptLocal::moved("e\xCC\x81", "f");                // decomposed é
    EXPECT_EQ(list("ids"), Strings{"f/x"});
}

TEST_F(KeptLocalTest, ForgetRemovesTheEntryAndWhatLiesBelowIt) {
    rememberAll({"a", "a/x", "ab"});
    publishAllPending();
    KeptLocal::forget("a");
    EXPECT_EQ(list("ids"), Strings{"ab"});
    EXPECT_EQ(KeptLocal::peekPending().ids, (Strings{"a", "a/x"}));
    auto before = *foundation::readFile(storeFile());
    KeptLocal::forget("nothing");
    EXPECT_EQ(*foundation::readFile(storeFile()), before);
}

TEST_F(KeptLocalTest, PendingEntriesAreNotRepeatedWhileTheGenerationGrows) {
    KeptLocal::remember(ItemIdentifier("a"));
    KeptLocal::forget("a");
    KeptLocal::remember(ItemIdentifier("a"));
    EXPECT_EQ(KeptLocal::peekPending().ids, Strings{"a"});
    EXPECT_EQ(KeptLocal::generation(), 3);
}

TEST_F(KeptLocalTest, ReplaceReportsOnlyRemovals) {
    rememberAll({"a", "b"});
    auto cutoff = foundation::Date::now();
    KeptLocal::resetForTesting(); // a new process: nothing noted
    EXPECT_FALSE(KeptLocal::replace({"a", "b"}, cutoff));
    auto gen = KeptLocal::generation();
    EXPECT_FALSE(KeptLocal::replace({"a", "b", "c", "NSFileProviderRootContainerItemIdentifier"}, cutoff));
    EXPECT_EQ(KeptLocal::generation(), gen + 1);
    EXPECT_EQ(list("ids"), (Strings{"a", "b", "c"}));
    EXPECT_TRUE(KeptLocal::replace({"c", "d"}, cutoff));
    EXPECT_EQ(list("ids"), (Strings{"c", "d"}));
    auto pending = KeptLocal::peekPending().ids;
    EXPECT_EQ(std::count(pending.begin(), pending.end(), "a"), 1);
    EXPECT_EQ(std::count(pending.begin(), pending.end(), "d"), 1);
}

TEST_F(KeptLocalTest, ReplaceKeepsOnlyWhatWasNotedAfterTheCutoff) {
    KeptLocal::remember(ItemIdentifier("early"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    auto cutoff = foundation::Date::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    KeptLocal::remember(ItemIdentifier("late"));
    EXPECT_TRUE(KeptLocal::replace({"listed"}, cutoff));
    EXPECT_EQ(list("ids"), (Strings{"late", "listed"}));
}

TEST_F(KeptLocalTest, ClearPendingDropsOnlyEntriesWhosePublishedStateStillHolds) {
    rememberAll({"kept-true", "gone-false", "flipped", "unmentioned"});
    KeptLocal::forget("gone-false");
    KeptLocal::forget("flipped");
    auto gen = KeptLocal::generation();
    KeptLocal::clearPending(
        {{"kept-true", true}, {"gone-false", false}, {"flipped", true}, {"not-pending", true}});
    EXPECT_EQ(KeptLocal::peekPending().ids, (Strings{"flipped", "unmentioned"}));
    EXPECT_EQ(KeptLocal::generation(), gen);
    auto before = std::filesystem::last_write_time(storeFile());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    KeptLocal::clearPending({});
    EXPECT_NE(std::filesystem::last_write_time(storeFile()), before); // rewritten even when nothing dropped
    EXPECT_EQ(KeptLocal::peekPending().ids, (Strings{"flipped", "unmentioned"}));
}

TEST_F(KeptLocalTest, ClearPendingOnNoFileWritesAnEmptyJournal) {
    KeptLocal::clearPending({{"x", true}});
    EXPECT_TRUE(list("pending").empty());
}

TEST_F(KeptLocalTest, ConcurrentChangesLoseNoUpdate) {
    constexpr int threads = 8, each = 40;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            for (int i = 0; i < each; ++i) {
                std::string base = "t" + std::to_string(t) + "/" + std::to_string(i);
                KeptLocal::remember(ItemIdentifier(base));
                KeptLocal::remember(ItemIdentifier(base + "-temp"));
                KeptLocal::moved(base, base + "-moved");
                KeptLocal::forget(base + "-temp");
                (void)KeptLocal::contains(ItemIdentifier(base));
            }
        });
    for (auto& worker : workers)
        worker.join();
    auto ids = list("ids");
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(threads * each));
    for (const auto& id : ids)
        EXPECT_NE(id.find("-moved"), std::string::npos) << id;
    EXPECT_EQ(KeptLocal::generation(), threads * each * 4);
}

TEST_F(KeptLocalTest, KilledWritersNeverLeaveATornFile) {
    std::mt19937 random(12345);
    int kills = 0;
    for (int round = 0; round < 250; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                KeptLocal::remember(
                    ItemIdentifier("item-" + std::to_string(round) + "-" + std::to_string(i)));
                KeptLocal::forget("item-" + std::to_string(round) + "-" + std::to_string(i - 3));
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        kills += WIFSIGNALED(status) ? 1 : 0;
        if (auto bytes = foundation::readFile(storeFile())) {
            boost::json::error_code ec;
            auto parsed = boost::json::parse(*bytes, ec);
            ASSERT_FALSE(ec) << "torn file after kill " << round;
            ASSERT_TRUE(parsed.is_object());
        }
    }
    std::printf("killed %d writers mid-loop; the store stayed whole\n", kills);
    EXPECT_EQ(kills, 250);
}

TEST_F(KeptLocalTest, SnapshotIsTheSetAtOneMoment) {
    KeptLocal::remember(ItemIdentifier("a"));
    auto snapshot = KeptLocal::snapshot();
    KeptLocal::forget("a");
    KeptLocal::remember(ItemIdentifier("b"));
    EXPECT_TRUE(snapshot.contains(ItemIdentifier("a")));
    EXPECT_FALSE(snapshot.contains(ItemIdentifier("b")));
    EXPECT_FALSE(snapshot.contains(ItemIdentifier::rootContainer()));
    EXPECT_TRUE(KeptLocal::snapshot().contains(ItemIdentifier("b")));
}
