#include "enumeration/EnumerationTest.h"
#include "enumeration/WLEnumerator.h"
#include "item/WLItem.h"
#include "support/Observers.h"

#include <gtest/gtest.h>

using namespace wl;
using fileprovider::ItemIdentifier;
using fileprovider::SyncAnchor;
using support::HttpResponse;
using Changes = support::RecordingChangeObserver;

namespace {

class ChangesTest : public support::EnumerationTest {
protected:
    std::shared_ptr<WLEnumerator> enumerator(const ItemIdentifier& container = ItemIdentifier::workingSet()) {
        return support::EnumerationTest::enumerator(container);
    }
    std::shared_ptr<Changes> changes(const std::string& anchor,
                                     const ItemIdentifier& container = ItemIdentifier::workingSet()) {
        auto observer = std::make_shared<Changes>();
        enumerator(container)->enumerateChanges(observer, SyncAnchor{anchor});
        EXPECT_TRUE(observer->waitUntilFinished());
        foundation::URLSession::shared().callbackQueue().drain();
        EXPECT_EQ(observer->finishCount(), 1);
        return observer;
    }
    static Changes::FinishedUpToAnchor finished(const std::shared_ptr<Changes>& observer) {
        return std::get<Changes::FinishedUpToAnchor>(observer->calls().back());
    }
    static foundation::ErrorRef failed(const std::shared_ptr<Changes>& observer) {
        auto calls = observer->calls();
        auto* error = std::get_if<Changes::FinishedWithError>(&calls.back());
        return error ? error->error : nullptr;
    }
    std::string currentAnchor() {
        support::Recorder<std::optional<SyncAnchor>> done;
        enumerator()->currentSyncAnchor(done.callback());
        EXPECT_TRUE(done.wait());
        return done.get<0>()->bytes;
    }
    void answerChanges(const std::string& body) {
        host.answer("GET", "/v1/changes", HttpResponse::json(200, body));
    }
};

} // namespace

TEST(SyncAnchorText, WrittenAndRead) {
    EXPECT_EQ(syncAnchor(42, 3, std::nullopt).bytes, "42#3");
    EXPECT_EQ(syncAnchor(42, 3, std::string("e7")).bytes, "42#3#e7");
    EXPECT_EQ(syncAnchor(-5, 0, std::nullopt).bytes, "-5#0");
    auto read = readSyncAnchor(SyncAnchor{"42##e7"});
    EXPECT_EQ(read.revisionText, "42");
    EXPECT_EQ(read.epoch, "e7");
    EXPECT_FALSE(readSyncAnchor(SyncAnchor{"42#3"}).epoch);
    EXPECT_EQ(readSyncAnchor(SyncAnchor{"1#2#e#x"}).epoch, "e");
    EXPECT_EQ(readSyncAnchor(SyncAnchor{"\xff\xfe#1#e"}).revisionText, "0");
    EXPECT_FALSE(readSyncAnchor(SyncAnchor{"\xff\xfe#1#e"}).epoch);
    EXPECT_EQ(readSyncAnchor(SyncAnchor{""}).revisionText, "");
    EXPECT_EQ(parseRevision("+12"), 12);
    EXPECT_EQ(parseRevision("-12"), -12);
    EXPECT_EQ(parseRevision("12a"), 0);
    EXPECT_EQ(parseRevision(""), 0);
    EXPECT_EQ(parseRevision("-"), 0);
    EXPECT_EQ(parseRevision("99999999999999999999"), 0);
    EXPECT_EQ(parseRevision("-9223372036854775808"), INT64_MIN);
}

TEST_F(ChangesTest, CurrentAnchorFoldsInTheGeneration) {
    host.answer("GET", "/v1/anchor", HttpResponse::json(200, R"({"anchor": 42, "epoch": "e7"})"));
    EXPECT_EQ(currentAnchor(), "42#0#e7");
    KeptLocal::remember(ItemIdentifier("a")); // a kept-local change alone gives a new anchor
    EXPECT_EQ(currentAnchor(), "42#1#e7");
    host.answer("GET", "/v1/anchor", HttpResponse::json(503, R"({"anchor": 9})")); // status not looked at
    EXPECT_EQ(currentAnchor(), "9#1");
    host.answer("GET", "/v1/anchor", HttpResponse::json(200, "nope"));
    EXPECT_EQ(currentAnchor(), "0#1");
    host.stop();
    EXPECT_EQ(currentAnchor(), "0#1");
}

TEST_F(ChangesTest, RevisionTextTravelsVerbatim) {
    answerChanges(R"({"anchor": 5})");
    changes("42#3#e7");
    changes("#3");
    changes("\xff");
    auto requests = host.requests();
    EXPECT_EQ(requests.at(0).rawQuery, "anchor=42");
    EXPECT_EQ(requests.at(1).rawQuery, "anchor="); // an empty revision text is still sent
    EXPECT_EQ(requests.at(2).rawQuery, "anchor=0");
}

TEST_F(ChangesTest, EpochCheck) {
    answerChanges(R"({"anchor": 50, "epoch": "e7", "updates": [{"identifier": "x"}]})");
    auto twoFields = changes("42#3");
    EXPECT_TRUE(failed(twoFields)->is(foundation::NSFileProviderErrorDomain, -1002));
    EXPECT_EQ(twoFields->calls().size(), 1u); // nothing else delivered
    EXPECT_TRUE(failed(changes("42#3#e6"))->is(foundation::NSFileProviderErrorDomain, -1002));
    EXPECT_EQ(finished(changes("42#3#e7")).anchor.bytes, "50#0#e7");
    answerChanges(R"({"anchor": 51})");
    EXPECT_EQ(finished(changes("42#3#e7")).anchor.bytes, "51#0"); // a host without epoch: no check
}

TEST_F(ChangesTest, EmptyObjectIsAUsableAnswer) {
    answerChanges("{}");
    auto observer = changes("7#0");
    ASSERT_EQ(observer->calls().size(), 1u);
    EXPECT_EQ(finished(observer).anchor.bytes, "0#0");
    EXPECT_FALSE(finished(observer).moreComing);
}

TEST_F(ChangesTest, UnusableAnswersFail) {
    host.answer("GET", "/v1/changes", HttpResponse::json(200, "[]"));
    EXPECT_TRUE(failed(changes("1#0"))->is(wlErrorDomain, -1));
    host.answer("GET", "/v1/changes", HttpResponse::json(404, "{}"));
    EXPECT_TRUE(failed(changes("1#0"))->is(foundation::NSFileProviderErrorDomain, -1005));
    host.stop();
    EXPECT_TRUE(failed(changes("1#0"))->is(foundation::NSFileProviderErrorDomain, -1004));
}

TEST_F(ChangesTest, MalformedPartsAreSkipped) {
    answerChanges(R"({"anchor": 8, "updates": [{"identifier": "a"}, "x"], "deletions": ["b", 2]})");
    auto observer = changes("1#0");
    ASSERT_EQ(observer->calls().size(), 1u);
    EXPECT_EQ(finished(observer).anchor.bytes, "8#0");
}

TEST_F(ChangesTest, UpdatesThenDeletionsThenPendingThenOneFinish) {
    KeptLocal::remember(ItemIdentifier("Docs/kept.txt"));
    answerChanges(R"({"anchor": 9, "updates": [{"identifier": "Docs/a"}, {"identifier": "Docs/b"}],
                      "deletions": ["Docs/c", "NSFileProviderRootContainerItemIdentifier"]})");
    host.answer("GET", "/v1/item", HttpResponse::json(200, R"({"identifier": "Docs/kept.txt"})"));
    auto observer = changes("4#0");
    auto calls = observer->calls();
    ASSERT_EQ(calls.size(), 4u);
    auto& updates = std::get<Changes::Updated>(calls[0]).items;
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1]->itemIdentifier().rawValue(), "Docs/b");
    auto& deleted = std::get<Changes::Deleted>(calls[1]).identifiers;
    EXPECT_EQ(deleted,
              (std::vector<ItemIdentifier>{ItemIdentifier("Docs/c"), ItemIdentifier::rootContainer()}));
    auto& published = std::get<Changes::Updated>(calls[2]).items;
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0]->decorations(), std::vector<std::string>{WLItem::localDecoration});
    EXPECT_EQ(published[0]->itemVersion().metadataVersion, "0#local");
    EXPECT_EQ(finished(observer).anchor.bytes, "9#1");
    EXPECT_FALSE(finished(observer).moreComing);
    EXPECT_TRUE(KeptLocal::peekPending().ids.empty());
}

TEST_F(ChangesTest, PendingIdentifierTheHostDoesNotHaveIsClearedUnreported) {
    KeptLocal::remember(ItemIdentifier("gone.txt"));
    KeptLocal::forget("gone.txt"); // pending as "no longer local"; the host has nothing either
    answerChanges(R"({"anchor": 3})");
    host.answer("GET", "/v1/item", HttpResponse::json(404, "{}"));
    auto observer = changes("1#0");
    EXPECT_EQ(observer->calls().size(), 1u);
    EXPECT_TRUE(KeptLocal::peekPending().ids.empty());
    EXPECT_FALSE(finished(observer).moreComing);
}

TEST_F(ChangesTest, FetchFailingFourTimesLowersTheGenerationAndSaysMoreComing) {
    KeptLocal::remember(ItemIdentifier("a"));
    KeptLocal::remember(ItemIdentifier("b"));
    answerChanges(R"({"anchor": 6})");
    host.answer("GET", "/v1/item", HttpResponse::json(503, "{}"));
    DeliveredRevs::recordWorkingSet(1);
    auto observer = changes("1#0");
    EXPECT_EQ(host.requests().size(), 1u + 4 * 2); // four passes over both
    EXPECT_EQ(finished(observer).anchor.bytes, "6#1");
    EXPECT_TRUE(finished(observer).moreComing);
    EXPECT_EQ(DeliveredRevs::rev("x"), 6); // recorded also when more is coming
    EXPECT_EQ(KeptLocal::peekPending().ids.size(), 2u);
}

TEST_F(ChangesTest, LoweredGenerationNeverGoesBelowZero) {
    writeStore(R"({"ids": ["a"], "pending": ["a"]})"); // generation 0 with a pending entry
    answerChanges(R"({"anchor": 6})");
    host.answer("GET", "/v1/item", HttpResponse::json(500, "{}"));
    auto observer = changes("1#0");
    EXPECT_EQ(finished(observer).anchor.bytes, "6#0");
    EXPECT_TRUE(finished(observer).moreComing);
}

TEST_F(ChangesTest, PendingFolderIsPublishedAndCleared) {
    writeStore(R"({"ids": ["Docs"], "pending": ["Docs"], "gen": 1})");
    answerChanges(R"({"anchor": 2})");
    host.answer("GET", "/v1/item", HttpResponse::json(200, R"({"identifier": "Docs", "isDir": true})"));
    auto observer = changes("1#0");
    auto calls = observer->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(std::get<Changes::Updated>(calls[0]).items.at(0)->contentType(), foundation::UTType::folder());
    EXPECT_FALSE(finished(observer).moreComing);
    EXPECT_TRUE(KeptLocal::peekPending().ids.empty());
    EXPECT_EQ(host.requests().size(), 2u); // one pass was enough
}

TEST_F(ChangesTest, WorkingSetRevisionRecordedOnlyForTheWorkingSet) {
    answerChanges(R"({"anchor": 20})");
    DeliveredRevs::recordWorkingSet(10);
    changes("10#0", ItemIdentifier("Docs"));
    EXPECT_EQ(DeliveredRevs::rev("x"), 10);
    changes("10#0");
    EXPECT_EQ(DeliveredRevs::rev("x"), 20);
}

TEST_F(ChangesTest, AHostChangeBetweenEnumerationsReachesTheObserver) {
    answerChanges(R"({"anchor": 1})");
    auto first = changes("0#0");
    EXPECT_EQ(first->calls().size(), 1u);
    answerChanges(R"({"anchor": 2, "updates": [{"identifier": "new.txt", "name": "new.txt"}]})");
    auto second = changes(finished(first).anchor.bytes);
    EXPECT_EQ(host.requests().back().rawQuery, "anchor=1");
    ASSERT_EQ(second->calls().size(), 2u);
    EXPECT_EQ(std::get<Changes::Updated>(second->calls()[0]).items.at(0)->filename(), "new.txt");
    EXPECT_EQ(finished(second).anchor.bytes, "2#0");
}
