#include "platform/platMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// Many threads taking one lock, each re-entering it: nothing is lost and no two are inside at once.
TEST(Mutex, ExclusiveUnderContention) {
    TPlatMutex m;
    long counter = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                m.Lock();
                m.Lock();
                if (inside.fetch_add(1) != 0) overlap = true;
                ++counter;
                inside.fetch_sub(1);
                m.Unlock();
                m.Unlock();
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(4L * 20000L, counter);
}

// A waiter with a time-out gets the lock as soon as the owner lets it go, well before the time-out.
TEST(Mutex, TimedWaiterTakesOverOnRelease) {
    TPlatMutex m;
    ASSERT_EQ(1, m.Lock());
    std::atomic<bool> waiting{false};
    std::atomic<int> got{-1};
    std::thread waiter([&] {
        waiting = true;
        got = m.Lock(60000);
        if (got == 1) m.Unlock();
    });
    while (!waiting)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(-1, got.load());
    m.Unlock();
    waiter.join();
    EXPECT_EQ(1, got.load());
}

// Unlock by a thread that does not hold the lock releases nothing, as with a Windows mutex.
TEST(Mutex, ForeignUnlockKeepsOwner) {
    TPlatMutex m;
    ASSERT_EQ(1, m.Lock());
    std::thread([&] { m.Unlock(); }).join();
    std::atomic<int> got{-1};
    std::thread([&] { got = m.Lock(30); }).join();
    EXPECT_EQ(0, got.load());
    m.Unlock();
}
