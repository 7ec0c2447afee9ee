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

namespace {

constexpr int kSpins = 100;
constexpr int kLocked = 1;
constexpr int kSleeper = 2;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace

bool MutexLockBoost::tryLock() {
    int state = m_state.load(std::memory_order_relaxed);
    while (!(state & kLocked)) {
        if (m_state.compare_exchange_weak(state, state | kLocked, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void MutexLockBoost::lock() {
    for (int i = 0; i < kSpins; ++i) {
        if (tryLock()) {
            return;
        }
        cpuRelax();
    }
    boost::unique_lock<boost::mutex> guard(m_mutex);
    // Counted before the next attempt, in the same word the unlock changes: an unlock after a
    // failed attempt sees the sleeper and wakes it under the mutex, held here until the wait.
    m_state.fetch_add(kSleeper, std::memory_order_relaxed);
    while (!tryLock()) {
        m_released.wait(guard);
    }
    m_state.fetch_sub(kSleeper, std::memory_order_relaxed);
}

void MutexLockBoost::unlock() {
    int previous = m_state.fetch_sub(kLocked, std::memory_order_release);
    if (previous >= kSleeper) {
        boost::lock_guard<boost::mutex> guard(m_mutex);
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
