#include "fileprovider/fileprovider.h"
#include "support/FakeSystem.h"
#include "support/Observers.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

using namespace fileprovider;

TEST(Identifiers, SystemIdentifiersHaveTheirRawValues) {
    EXPECT_EQ(ItemIdentifier::rootContainer().rawValue(), "NSFileProviderRootContainerItemIdentifier");
    EXPECT_EQ(ItemIdentifier::workingSet().rawValue(), "NSFileProviderWorkingSetContainerItemIdentifier");
    EXPECT_EQ(ItemIdentifier::trashContainer().rawValue(), "NSFileProviderTrashContainerItemIdentifier");
    EXPECT_TRUE(ItemIdentifier("NSFileProviderTrashContainerItemIdentifier").isSystemIdentifier());
    EXPECT_FALSE(ItemIdentifier("Docs/a.txt").isSystemIdentifier());
    EXPECT_NE(Page::initialPageSortedByName(), Page::initialPageSortedByDate());
}

TEST(OptionSets, RawValuesAreTheSystems) {
    auto fileCaps = ItemCapabilities::allowsReading | ItemCapabilities::allowsWriting |
                    ItemCapabilities::allowsReparenting | ItemCapabilities::allowsRenaming |
                    ItemCapabilities::allowsDeleting | ItemCapabilities::allowsEvicting;
    EXPECT_EQ(fileCaps.rawValue, 111u);
    EXPECT_EQ(ItemFields::contents.rawValue, 1u);
    EXPECT_EQ(ItemFields::filename.rawValue, 2u);
    EXPECT_EQ(ItemFields::parentItemIdentifier.rawValue, 4u);
    EXPECT_EQ(ItemFields::typeAndCreator.rawValue, 1u << 10);
    EXPECT_TRUE((ItemFields::contents | ItemFields::filename).contains(ItemFields::filename));
    EXPECT_FALSE(ItemFields(ItemFields::contents).contains(ItemFields::filename));
    EXPECT_EQ(DeleteItemOptions::recursive.rawValue, 1u);
    EXPECT_EQ(CreateItemOptions::mayAlreadyExist.rawValue, 1u);
    EXPECT_EQ(MaterializationFlags::knownSparseRanges.rawValue, 1u);
}

namespace {
struct MinimalItem : Item {
    ItemIdentifier itemIdentifier() const override { return ItemIdentifier("a"); }
    ItemIdentifier parentItemIdentifier() const override { return ItemIdentifier::rootContainer(); }
    std::string filename() const override { return "a"; }
};
} // namespace

TEST(ItemInterface, OptionalMembersHaveDefaults) {
    MinimalItem item;
    EXPECT_FALSE(item.contentType());
    EXPECT_FALSE(item.documentSize());
    EXPECT_FALSE(item.decorations());
    EXPECT_EQ(item.contentPolicy(), ContentPolicy::inherited);
    EXPECT_EQ(item.itemVersion(), ItemVersion{});
}

class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override { installSystem(system); }
    void TearDown() override { installSystem(nullptr); }
    support::TemporaryDirectory dir;
    std::shared_ptr<support::FakeSystem> system = std::make_shared<support::FakeSystem>(dir.path());
    Domain domain{"org.example.domain", "Example"};
};

TEST_F(ManagerTest, CallsForwardToTheInstalledSystem) {
    support::Recorder<foundation::ErrorRef> added;
    Manager::addDomain(domain, added.callback());
    ASSERT_TRUE(added.wait());
    EXPECT_EQ(added.get<0>(), nullptr);
    EXPECT_EQ(added.queueLabel(), "FakeSystem");
    ASSERT_EQ(system->registeredDomains().size(), 1u);

    auto manager = Manager::forDomain(domain);
    ASSERT_NE(manager, nullptr);
    support::Recorder<foundation::ErrorRef> signalled;
    manager->signalEnumerator(ItemIdentifier::workingSet(), signalled.callback());
    ASSERT_TRUE(signalled.wait());
    ASSERT_EQ(system->signals().size(), 1u);
    EXPECT_EQ(system->signals()[0].container, "NSFileProviderWorkingSetContainerItemIdentifier");
    EXPECT_EQ(system->signals()[0].domain, "org.example.domain");

    system->setHasManager(false);
    EXPECT_EQ(Manager::forDomain(domain), nullptr);
}

TEST_F(ManagerTest, HeldCompletionsRunOnlyWhenReleased) {
    system->holdCompletions(true);
    support::Recorder<std::vector<Domain>, foundation::ErrorRef> listed;
    Manager::getDomains(listed.callback());
    system->drain();
    EXPECT_EQ(listed.calls(), 0);
    system->releaseHeld();
    ASSERT_TRUE(listed.wait());
}

TEST_F(ManagerTest, WithoutAnInstalledSystemTheRegistryAnswers) {
    installSystem(nullptr);
    support::ScopedEnvironment state("FP_STATE_DIR", (dir.path() / "state").string());
    EXPECT_EQ(Manager::forDomain(domain), nullptr);
    support::Recorder<foundation::ErrorRef> added;
    Manager::addDomain(domain, added.callback());
    ASSERT_EQ(added.calls(), 1);
    EXPECT_EQ(added.get<0>(), nullptr);
    EXPECT_NE(Manager::forDomain(domain), nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "state" / "domains.json"));
}

TEST_F(ManagerTest, MaterializedEnumeratorServesScriptedPages) {
    system->setMaterializedPages({{"a", "b"}, {"c"}}, std::nullopt);
    auto manager = Manager::forDomain(domain);
    auto enumerator = manager->enumeratorForMaterializedItems();
    auto first = std::make_shared<support::RecordingEnumerationObserver>();
    enumerator->enumerateItems(first, Page::initialPageSortedByName());
    ASSERT_TRUE(first->waitUntilFinished());
    ASSERT_EQ(first->items().size(), 2u);
    auto calls = first->calls();
    auto next = std::get<support::RecordingEnumerationObserver::FinishedUpToPage>(calls.back()).page;
    ASSERT_TRUE(next);
    auto second = std::make_shared<support::RecordingEnumerationObserver>();
    enumerator->enumerateItems(second, *next);
    ASSERT_TRUE(second->waitUntilFinished());
    ASSERT_EQ(second->items().size(), 1u);
    EXPECT_EQ(second->items()[0]->itemIdentifier().rawValue(), "c");
    EXPECT_FALSE(
        std::get<support::RecordingEnumerationObserver::FinishedUpToPage>(second->calls().back()).page);
}
