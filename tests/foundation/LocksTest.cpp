#include "foundation/Locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace sonorix;
using namespace std::chrono_literals;

namespace {

// True when `f` is still blocked after a short while.
template <class T>
bool stillBlocked(std::future<T>& f) {
    return f.wait_for(50ms) == std::future_status::timeout;
}

} // namespace

TEST(MutexLock, ExclusiveAndReleasableByAnotherThread) {
    auto lock = MutexLock::create();
    lock->lock();
    EXPECT_FALSE(lock->tryLock());
    auto waiter = std::async(std::launch::async, [&] {
        lock->lock(); // blocks until the release below
        return true;
    });
    EXPECT_TRUE(stillBlocked(waiter));
    // Released by a thread that never took it: the pause gate depends on this.
    std::thread([&] { lock->unlock(); }).join();
    EXPECT_TRUE(waiter.get());
    EXPECT_FALSE(lock->tryLock()); // the waiter holds it now
    lock->unlock();
    EXPECT_TRUE(lock->tryLock());
    lock->unlock();
}

TEST(RecursiveLock, FreeOnlyAfterAsManyReleasesAsTakes) {
    auto lock = RecursiveLock::create();
    lock->lock();
    EXPECT_TRUE(lock->tryLock());
    auto otherTry = [&] {
        return std::async(std::launch::async,
                          [&] {
                              bool got = lock->tryLock();
                              if (got) {
                                  lock->unlock();
                              }
                              return got;
                          })
            .get();
    };
    EXPECT_FALSE(otherTry());
    lock->unlock();
    EXPECT_FALSE(otherTry());
    lock->unlock();
    EXPECT_TRUE(otherTry());
}

TEST(ReadWriteLock, ReadersShareWritersExclude) {
    auto lock = ReadWriteLock::create();
    lock->lockRead();
    EXPECT_TRUE(std::async(std::launch::async, [&] {
                    bool got = lock->tryLockRead();
                    if (got) {
                        lock->unlockRead();
                    }
                    return got;
                }).get());
    EXPECT_FALSE(lock->tryLockWrite());
    lock->unlockRead();
    ASSERT_TRUE(lock->tryLockWrite());
    EXPECT_FALSE(std::async(std::launch::async, [&] { return lock->tryLockRead(); }).get());
    lock->unlockWrite();
}

TEST(ReadWriteLock, WaitingWriterKeepsNewReadersOut) {
    auto lock = ReadWriteLock::create();
    lock->lockRead();
    std::atomic<bool> writerIn{false};
    auto writer = std::async(std::launch::async, [&] {
        lock->lockWrite();
        writerIn = true;
        lock->unlockWrite();
    });
    EXPECT_TRUE(stillBlocked(writer));
    // Once the writer waits, a reader arriving must not get in, or a worker waiting for the
    // gate would starve. (The writer thread may take a while to reach its wait.)
    auto newReaderGetsIn = [&] {
        return std::async(std::launch::async,
                          [&] {
                              bool got = lock->tryLockRead();
                              if (got) {
                                  lock->unlockRead();
                              }
                              return got;
                          })
            .get();
    };
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (newReaderGetsIn() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(newReaderGetsIn());
    EXPECT_FALSE(writerIn);
    lock->unlockRead();
    writer.get();
    EXPECT_TRUE(writerIn);
}

TEST(ConditionLock, TryWithOtherConditionLeavesLockFree) {
    auto lock = ConditionLock::create(3);
    EXPECT_FALSE(lock->tryLockWhenCondition(1));
    // Still free: the right condition gets it at once, from any thread.
    EXPECT_TRUE(std::async(std::launch::async, [&] {
                    bool got = lock->tryLockWhenCondition(3);
                    if (got) {
                        lock->unlockWithCondition(3);
                    }
                    return got;
                }).get());
    // A held lock refuses even the right condition.
    lock->lockWhenCondition(3);
    EXPECT_FALSE(
        std::async(std::launch::async, [&] { return lock->tryLockWhenCondition(3); }).get());
    lock->unlockWithCondition(3);
}

TEST(ConditionLock, WaitersWakeOnlyForTheirCondition) {
    auto lock = ConditionLock::create(0);
    std::atomic<int> woke{0};
    auto one = std::async(std::launch::async, [&] {
        lock->lockWhenCondition(1);
        ++woke;
        lock->unlockWithCondition(1); // leaves the condition for the other waiter too
    });
    auto two = std::async(std::launch::async, [&] {
        lock->lockWhenCondition(2);
        ++woke;
        lock->unlockWithCondition(2);
    });
    EXPECT_TRUE(stillBlocked(one));
    lock->lock();
    lock->unlockWithCondition(1);
    one.get();
    EXPECT_EQ(woke.load(), 1);
    EXPECT_TRUE(stillBlocked(two));
    lock->lock();
    lock->unlockWithCondition(2);
    two.get();
    EXPECT_EQ(woke.load(), 2);
    EXPECT_EQ(lock->condition(), 2);
}
