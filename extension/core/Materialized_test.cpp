#include "core/FileProviderExtension.h"
#include "support/ExtensionEnvironment.h"
#include "support/FakeSystem.h"

#include <gtest/gtest.h>

using namespace wl;
using fileprovider::ItemIdentifier;

namespace {

// An enumerator the test drives by hand: it keeps each observer until the test answers it.
class DrivenEnumerator : public fileprovider::Enumerator {
public:
    void invalidate() override {}
    void enumerateItems(std::shared_ptr<fileprovider::EnumerationObserver> observer,
                        fileprovider::Page page) override {
        std::lock_guard lock(mutex);
        observers.push_back(std::move(observer));
        pages.push_back(std::move(page));
    }
    std::shared_ptr<fileprovider::EnumerationObserver> last() {
        std::lock_guard lock(mutex);
        return observers.empty() ? nullptr : observers.back();
    }
    std::size_t asked() {
        std::lock_guard lock(mutex);
        return pages.size();
    }
    static std::vector<fileprovider::ItemRef> items(std::initializer_list<const char*> ids) {
        std::vector<fileprovider::ItemRef> out;
        for (const char* id : ids)
            out.push_back(std::make_shared<support::IdentifiedItem>(id));
        return out;
    }

    std::mutex mutex;
    std::vector<std::shared_ptr<fileprovider::EnumerationObserver>> observers;
    std::vector<fileprovider::Page> pages;
};

class MaterializedTest : public support::SystemTest {
protected:
    // Runs a walk over scripted pages and waits for the completion handler.
    void walk(std::vector<std::vector<std::string>> pages, std::optional<std::size_t> failOn = {}) {
        system->setMaterializedPages(std::move(pages), failOn);
        support::Recorder<> done;
        extension->materializedItemsDidChange(done.callback());
        ASSERT_TRUE(done.wait());
        settle();
        EXPECT_EQ(done.calls(), 1);
    }
    std::vector<std::string> ids() {
        std::vector<std::string> out;
        for (const char* id : {"a", "b", "c", "d", "x"})
            if (KeptLocal::contains(ItemIdentifier(id)))
                out.push_back(id);
        return out;
    }
    using Strings = std::vector<std::string>;
};

} // namespace

TEST_F(MaterializedTest, WithoutAManagerTheCompletionRunsAtOnce) {
    KeptLocal::remember(ItemIdentifier("a"));
    system->setHasManager(false);
    support::Recorder<> done;
    extension->materializedItemsDidChange(done.callback());
    EXPECT_EQ(done.calls(), 1);
    EXPECT_EQ(ids(), Strings{"a"});
}

TEST_F(MaterializedTest, PagesCollapseRepeatsIntoTheKeptSet) {
    walk({{"a", "b"}, {"b", "c"}, {}});
    EXPECT_EQ(ids(), (Strings{"a", "b", "c"}));
    EXPECT_EQ(system->signals().size(), 1u); // new identifiers are pending
}

TEST_F(MaterializedTest, FailureOnTheSecondPageLeavesTheStoreAndSignalsNothing) {
    KeptLocal::remember(ItemIdentifier("x"));
    auto before = foundation::readFile(storeFile());
    walk({{"a"}, {"b"}}, 1);
    EXPECT_EQ(foundation::readFile(storeFile()), before);
    EXPECT_TRUE(system->signals().empty());
}

TEST_F(MaterializedTest, NothingToPublishCompletesWithoutASignal) {
    KeptLocal::remember(ItemIdentifier("a"));
    publishAllPending();
    walk({{"a"}});
    EXPECT_TRUE(system->signals().empty());
}

TEST_F(MaterializedTest, FewerItemsShrinkTheSetAndCompleteAfterTheSignal) {
    KeptLocal::remember(ItemIdentifier("a"));
    KeptLocal::remember(ItemIdentifier("b"));
    publishAllPending();
    system->holdCompletions(true);
    system->setMaterializedPages({{"a"}});
    support::Recorder<> done;
    extension->materializedItemsDidChange(done.callback());
    ASSERT_TRUE(system->waitForSignals(1));
    system->drain();
    EXPECT_EQ(done.calls(), 0); // waits for the signal's completion
    system->releaseHeld();
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(ids(), Strings{"a"});
}

TEST_F(MaterializedTest, ItemsRememberedDuringTheWalkSurviveIt) {
    auto driven = std::make_shared<DrivenEnumerator>();
    system->setMaterializedEnumerator(driven);
    support::Recorder<> done;
    extension->materializedItemsDidChange(done.callback());
    ASSERT_EQ(driven->asked(), 1u);
    EXPECT_EQ(driven->pages[0], fileprovider::Page::initialPageSortedByName());
    KeptLocal::remember(ItemIdentifier("d")); // a download finishing while the walk runs
    auto observer = driven->last();
    observer->didEnumerateItems(DrivenEnumerator::items({"a"}));
    observer->finishEnumeratingUpToPage(std::nullopt);
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(ids(), (Strings{"a", "d"}));
}

TEST_F(MaterializedTest, AnEndReportedTwiceEndsTheWalkOnce) {
    auto driven = std::make_shared<DrivenEnumerator>();
    system->setMaterializedEnumerator(driven);
    support::Recorder<> done;
    extension->materializedItemsDidChange(done.callback());
    auto observer = driven->last();
    observer->didEnumerateItems(DrivenEnumerator::items({"a"}));
    observer->finishEnumeratingUpToPage(fileprovider::Page{""}); // an empty page ends it too
    observer->finishEnumeratingUpToPage(std::nullopt);
    observer->finishEnumeratingWithError(foundation::Error::make("x", 1));
    ASSERT_TRUE(done.wait());
    settle();
    EXPECT_EQ(done.calls(), 1);
    EXPECT_EQ(driven->asked(), 1u);
    EXPECT_EQ(ids(), Strings{"a"});
}

TEST_F(MaterializedTest, OverlappingWalksEachCompleteTheirOwnHandler) {
    auto driven = std::make_shared<DrivenEnumerator>();
    system->setMaterializedEnumerator(driven);
    support::Recorder<> first, second;
    extension->materializedItemsDidChange(first.callback());
    auto firstObserver = driven->last();
    extension->materializedItemsDidChange(second.callback());
    auto secondObserver = driven->last();
    ASSERT_NE(firstObserver, secondObserver);
    std::weak_ptr<fileprovider::EnumerationObserver> firstWeak = firstObserver;
    driven->observers.clear(); // only the walks themselves keep themselves alive now
    firstObserver.reset();
    ASSERT_FALSE(firstWeak.expired()); // replaced in the field, yet alive until its enumerator ends it
    secondObserver->didEnumerateItems(DrivenEnumerator::items({"b"}));
    secondObserver->finishEnumeratingUpToPage(std::nullopt);
    ASSERT_TRUE(second.wait());
    firstWeak.lock()->didEnumerateItems(DrivenEnumerator::items({"a"}));
    firstWeak.lock()->finishEnumeratingUpToPage(std::nullopt);
    ASSERT_TRUE(first.wait());
    settle();
    EXPECT_EQ(first.calls(), 1);
    EXPECT_EQ(second.calls(), 1);
    EXPECT_TRUE(firstWeak.expired());
}
