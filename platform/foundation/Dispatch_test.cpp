#include "foundation/Dispatch.h"
#include "foundation/ProcessInfo.h"

#include <atomic>
#include <gtest/gtest.h>
#include <vector>

using namespace foundation;

TEST(DispatchQueue, RunsBlocksOneAtATimeInOrderOnItsThread) {
    DispatchQueue queue("test.serial");
    std::vector<int> order;
    std::atomic<int> inside{0};
    bool overlapped = false;
    for (int i = 0; i < 200; ++i)
        queue.async([&, i] {
            overlapped |= inside.fetch_add(1) != 0;
            order.push_back(i);
            EXPECT_EQ(DispatchQueue::currentLabel(), "test.serial");
            inside.fetch_sub(1);
        });
    queue.drain();
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(DispatchQueue::currentLabel(), "");
}

TEST(DispatchQueue, MainQueueIsOneSerialQueue) {
    bool ranOnMain = false;
    DispatchQueue::main().sync([&] { ranOnMain = DispatchQueue::main().isCurrent(); });
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(&DispatchQueue::main(), &DispatchQueue::main());
    EXPECT_FALSE(DispatchQueue::main().isCurrent());
}

TEST(DispatchQueue, DestructionRunsWhatWasSubmitted) {
    std::atomic<int> ran{0};
    {
        DispatchQueue queue("test.drain");
        for (int i = 0; i < 50; ++i)
            queue.async([&] { ++ran; });
    }
    EXPECT_EQ(ran, 50);
}

TEST(DispatchSemaphore, TimedWaitReportsWhetherItWasSignalled) {
    DispatchSemaphore semaphore(0);
    EXPECT_FALSE(semaphore.wait(std::chrono::milliseconds(20)));
    DispatchQueue queue("test.signal");
    queue.async([&] { semaphore.signal(); });
    EXPECT_TRUE(semaphore.wait(std::chrono::seconds(10)));
}

TEST(ProcessInfo, VersionTextIsReadTolerantly) {
    auto v = parseOperatingSystemVersion("14.2.1");
    EXPECT_EQ(v.majorVersion, 14);
    EXPECT_EQ(v.minorVersion, 2);
    EXPECT_EQ(v.patchVersion, 1);
    EXPECT_EQ(parseOperatingSystemVersion("11").majorVersion, 11);
    EXPECT_EQ(parseOperatingSystemVersion("11").minorVersion, 0);
    EXPECT_EQ(parseOperatingSystemVersion("junk").majorVersion, 15);
    EXPECT_EQ(parseOperatingSystemVersion("").majorVersion, 15);
}
