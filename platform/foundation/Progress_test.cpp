#include "foundation/Progress.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using foundation::Progress;

TEST(Progress, ChildUnitsRollUpWhenTheChildFinishes) {
    auto parent = Progress::make(2);
    auto first = Progress::make(10);
    auto second = Progress::make(1);
    parent->addChild(first, 1);
    parent->addChild(second, 1);
    first->setCompletedUnitCount(5);
    EXPECT_EQ(parent->completedUnitCount(), 0);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 0.25);
    first->setCompletedUnitCount(10);
    EXPECT_EQ(parent->completedUnitCount(), 1);
    second->setCompletedUnitCount(1);
    EXPECT_EQ(parent->completedUnitCount(), 2);
    EXPECT_TRUE(parent->isFinished());
    second->setCompletedUnitCount(1); // finishing again adds nothing
    EXPECT_EQ(parent->completedUnitCount(), 2);
}

TEST(Progress, RollUpReachesGrandparents) {
    auto top = Progress::make(1);
    auto middle = Progress::make(1);
    auto leaf = Progress::make(1);
    top->addChild(middle, 1);
    middle->addChild(leaf, 1);
    leaf->setCompletedUnitCount(1);
    EXPECT_TRUE(top->isFinished());
}

TEST(Progress, AnEmptyProgressNeverFinishes) {
    auto parent = Progress::make(1);
    parent->addChild(Progress::make(), 1);
    EXPECT_EQ(parent->completedUnitCount(), 0);
    EXPECT_FALSE(Progress::make()->isFinished());
}

TEST(Progress, CancellingAParentCancelsChildrenAndRunsEachHandlerOnce) {
    auto parent = Progress::make(2);
    auto child = Progress::make(1);
    auto grandchild = Progress::make(1);
    parent->addChild(child, 1);
    child->addChild(grandchild, 1);
    std::atomic<int> parentRuns{0}, childRuns{0}, grandchildRuns{0};
    parent->setCancellationHandler([&] { ++parentRuns; });
    child->setCancellationHandler([&] { ++childRuns; });
    grandchild->setCancellationHandler([&] { ++grandchildRuns; });
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { parent->cancel(); });
    for (auto& thread : threads)
        thread.join();
    child->cancel();
    EXPECT_TRUE(child->isCancelled());
    EXPECT_TRUE(grandchild->isCancelled());
    EXPECT_EQ(parentRuns, 1);
    EXPECT_EQ(childRuns, 1);
    EXPECT_EQ(grandchildRuns, 1);
}

TEST(Progress, HandlerSetAfterCancellationRunsAtOnce) {
    auto progress = Progress::make(1);
    progress->cancel();
    int runs = 0;
    progress->setCancellationHandler([&] { ++runs; });
    EXPECT_EQ(runs, 1);
    auto late = Progress::make(1);
    progress->addChild(late, 1); // a child of a cancelled parent is cancelled
    EXPECT_TRUE(late->isCancelled());
}

TEST(Progress, ConcurrentUpdatesAreSafe) {
    auto parent = Progress::make(8);
    std::vector<std::shared_ptr<Progress>> children;
    for (int i = 0; i < 8; ++i) {
        children.push_back(Progress::make(100));
        parent->addChild(children.back(), 1);
    }
    std::vector<std::thread> threads;
    for (auto& child : children)
        threads.emplace_back([child] {
            for (int unit = 1; unit <= 100; ++unit)
                child->setCompletedUnitCount(unit);
        });
    std::thread reader([&] {
        for (int i = 0; i < 1000; ++i)
            EXPECT_LE(parent->fractionCompleted(), 1.0);
    });
    for (auto& thread : threads)
        thread.join();
    reader.join();
    EXPECT_EQ(parent->completedUnitCount(), 8);
    EXPECT_EQ(parent->childCountForTesting(), 0u);
}
