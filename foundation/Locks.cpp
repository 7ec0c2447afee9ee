#include "foundation/LocksBoost.h"

namespace sonorix {

std::shared_ptr<MutexLock> MutexLock::create() {
    return std::make_shared<MutexLockBoost>();
}

std::shared_ptr<RecursiveLock> RecursiveLock::create() {
    return std::make_shared<RecursiveLockBoost>();
}

std::shared_ptr<ReadWriteLock> ReadWriteLock::create() {
    return std::make_shared<ReadWriteLockBoost>();
}

std::shared_ptr<ConditionLock> ConditionLock::create(int initialCondition) {
    return std::make_shared<ConditionLockBoost>(initialCondition);
}

void MutexLockBoost::lock() {
    boost::unique_lock<boost::mutex> guard(m_mutex);
    while (m_locked) {
        ++m_waiters;
        m_released.wait(guard);
        --m_waiters;
    }
    m_locked = true;
}

bool MutexLockBoost::tryLock() {
    boost::lock_guard<boost::mutex> guard(m_mutex);
    if (m_locked) {
        return false;
    }
    m_locked = true;
    return true;
}

void MutexLockBoost::unlock() {
    boost::lock_guard<boost::mutex> guard(m_mutex);
    m_locked = false;
    // Notified under the internal mutex: the object may be destroyed as soon as a waiter runs.
    if (m_waiters > 0) {
        m_released.notify_one();
    }
}

void ConditionLockBoost::lockWhenCondition(int c) {
    m_mutex.lock();
    while (m_condition != c) {
        m_changed.wait(m_mutex);
    }
}

bool ConditionLockBoost::tryLockWhenCondition(int c) {
    if (!m_mutex.try_lock()) {
        return false;
    }
    if (m_condition != c) {
        m_mutex.unlock();
        return false;
    }
    return true;
}

void ConditionLockBoost::unlockWithCondition(int c) {
    m_condition = c;
    // Notified before the release: a woken waiter may destroy the lock once it holds it.
    m_changed.notify_all();
    m_mutex.unlock();
}

int ConditionLockBoost::condition() {
    boost::lock_guard<boost::mutex> guard(m_mutex);
    return m_condition;
}

} // namespace sonorix
