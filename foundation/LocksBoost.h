#pragma once

#include "foundation/Locks.h"

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/shared_mutex.hpp>

#include <atomic>

namespace sonorix {

// boost::mutex must be released by its owner, so the cross-thread release is built as a binary
// semaphore: an atomic locked flag, and a boost::mutex with a condition variable to sleep on.
// A taker spins briefly first: these locks are held for moments, and sleeping costs far more.
class MutexLockBoost final : public MutexLock {
public:
    void lock() override;
    bool tryLock() override;
    void unlock() override;

private:
    // Bit 0: locked; the rest counts sleepers (in steps of 2). One atomic word, so that an
    // unlock learns in the same step whether anyone sleeps, and touches nothing else otherwise:
    // with no sleeper the lock may be gone as soon as it is free.
    std::atomic<int> m_state{0};
    boost::mutex m_mutex;
    boost::condition_variable m_released;
};

class RecursiveLockBoost final : public RecursiveLock {
public:
    void lock() override { m_mutex.lock(); }
    bool tryLock() override { return m_mutex.try_lock(); }
    void unlock() override { m_mutex.unlock(); }

private:
    boost::recursive_mutex m_mutex;
};

class ReadWriteLockBoost final : public ReadWriteLock {
public:
    void lockRead() override { m_mutex.lock_shared(); }
    bool tryLockRead() override { return m_mutex.try_lock_shared(); }
    void lockWrite() override { m_mutex.lock(); }
    bool tryLockWrite() override { return m_mutex.try_lock(); }
    void unlockRead() override { m_mutex.unlock_shared(); }
    void unlockWrite() override { m_mutex.unlock(); }

private:
    boost::shared_mutex m_mutex;
};

class ConditionLockBoost final : public ConditionLock {
public:
    explicit ConditionLockBoost(int initialCondition) : m_condition(initialCondition) {}
    void lockWhenCondition(int c) override;
    bool tryLockWhenCondition(int c) override;
    void unlockWithCondition(int c) override;
    void lock() override { m_mutex.lock(); }
    int condition() override;

private:
    boost::mutex m_mutex;
    boost::condition_variable_any m_changed;
    int m_condition;
};

} // namespace sonorix
