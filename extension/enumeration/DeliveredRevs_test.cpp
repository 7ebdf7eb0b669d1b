#include "enumeration/DeliveredRevs.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

using wl::DeliveredRevs;

class DeliveredRevsTest : public ::testing::Test {
protected:
    void SetUp() override { DeliveredRevs::resetForTesting(); }
    void TearDown() override { DeliveredRevs::resetForTesting(); }
};

TEST_F(DeliveredRevsTest, NothingRecordedAnswersNone) {
    EXPECT_FALSE(DeliveredRevs::rev("A"));
}

TEST_F(DeliveredRevsTest, WorkingSetAloneAnswersForEveryFolder) {
    DeliveredRevs::recordWorkingSet(12);
    EXPECT_EQ(DeliveredRevs::rev("A"), 12);
    EXPECT_EQ(DeliveredRevs::rev("never/listed"), 12);
}

TEST_F(DeliveredRevsTest, SmallestRevisionAtOrBelowTheFolderByTheSlashRule) {
    DeliveredRevs::recordContainer("A", 5);
    DeliveredRevs::recordContainer("A/B", 3);
    DeliveredRevs::recordContainer("AB", 1);
    DeliveredRevs::recordContainer("C/D", 2);
    EXPECT_EQ(DeliveredRevs::rev("A"), 3);
    EXPECT_EQ(DeliveredRevs::rev("A/B"), 3);
    EXPECT_FALSE(DeliveredRevs::rev("C")); // only entries below it
    DeliveredRevs::recordWorkingSet(4);
    EXPECT_EQ(DeliveredRevs::rev("A"), 4);
    DeliveredRevs::recordWorkingSet(2);
    EXPECT_EQ(DeliveredRevs::rev("A"), 3);
    DeliveredRevs::recordContainer("A", 1); // replaces, smaller or larger
    EXPECT_EQ(DeliveredRevs::rev("A"), 2);
}

TEST_F(DeliveredRevsTest, RootLiteralCountsEveryEntry) {
    DeliveredRevs::recordContainer("NSFileProviderRootContainerItemIdentifier", 9);
    DeliveredRevs::recordContainer("X", 4);
    DeliveredRevs::recordContainer("Y/Z", 6);
    EXPECT_EQ(DeliveredRevs::rev("NSFileProviderRootContainerItemIdentifier"), 4);
    DeliveredRevs::recordWorkingSet(7);
    EXPECT_EQ(DeliveredRevs::rev("NSFileProviderRootContainerItemIdentifier"), 7);
}

TEST_F(DeliveredRevsTest, WorkingSetChangesMoveOnlyFromAnAnchorNotAhead) {
    DeliveredRevs::recordWorkingSetChanges(1, 9);
    EXPECT_FALSE(DeliveredRevs::rev("A"));
    DeliveredRevs::recordWorkingSet(5);
    DeliveredRevs::recordWorkingSetChanges(7, 9);
    EXPECT_EQ(DeliveredRevs::rev("A"), 5);
    DeliveredRevs::recordWorkingSet(7);
    DeliveredRevs::recordWorkingSetChanges(7, 9); // >=
    EXPECT_EQ(DeliveredRevs::rev("A"), 9);
    DeliveredRevs::recordWorkingSet(10);
    DeliveredRevs::recordWorkingSetChanges(7, 9); // falls back
    EXPECT_EQ(DeliveredRevs::rev("A"), 9);
}

TEST_F(DeliveredRevsTest, RecordingWhileReadingIsSafe) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                DeliveredRevs::recordContainer("F" + std::to_string(t) + "/" + std::to_string(i % 50), i);
                DeliveredRevs::recordWorkingSetChanges(i - 1, i);
            }
        });
    threads.emplace_back([] {
        for (int i = 0; i < 2000; ++i) {
            DeliveredRevs::recordWorkingSet(i);
            (void)DeliveredRevs::rev("NSFileProviderRootContainerItemIdentifier");
            (void)DeliveredRevs::rev("F1");
        }
    });
    for (auto& thread : threads)
        thread.join();
    // No record was lost: each key holds its last value, 1950 + k for "F1/k".
    DeliveredRevs::recordContainer("F1", 3000);
    DeliveredRevs::recordWorkingSet(0);
    EXPECT_EQ(DeliveredRevs::rev("F1"), 1950);
}
