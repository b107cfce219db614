// The re-entrant lock under threads that take it, some twice over, and hold it long enough
// for others to sleep on it; and taken before the process had a second thread.
#include "platform/CriticalSection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// First in the file, so that the lock is taken while the process still has one thread.
TEST(CriticalSectionTest, ALockTakenByTheOnlyThreadExcludesThreadsStartedWhileItIsHeld) {
    TCriticalSection lock;
    lock.lock();
    lock.lock();
    std::atomic<bool> entered{false};
    std::thread other([&] {
        std::lock_guard guard(lock);
        entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(entered);
    lock.lock(); // the holder still re-enters
    lock.unlock();
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(entered);
    lock.unlock();
    other.join();
    EXPECT_TRUE(entered);
}

TEST(CriticalSectionTest, ExcludesOtherThreadsAndLetsTheHolderReenter) {
    TCriticalSection lock;
    long counted = 0; // changed only under the lock
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard outer(lock);
                std::lock_guard inner(lock);
                long seen = counted;
                // Now and then the holder lingers, so that the others go to sleep on the lock.
                if (i % 5000 == t) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                counted = seen + 1;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counted, 4 * 20000);
}

} // namespace
