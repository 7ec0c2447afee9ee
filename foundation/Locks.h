#pragma once

#include <memory>

namespace sonorix {

// The lock family. Each lock is made by its class's create and shared by the objects that use it;
// the abstract classes carry no data so that another implementation can be slotted in.
// lock/unlock (and try_lock where it exists) also let std::lock_guard and std::unique_lock hold
// them.

// Non-recursive. Unlike a plain mutex it may be released by another thread than the one that
// took it: a manager's pause gate is taken by pause and released by whoever resumes.
class MutexLock {
public:
    static std::shared_ptr<MutexLock> create();
    virtual void lock() = 0;
    virtual bool tryLock() = 0;
    virtual void unlock() = 0;
    virtual ~MutexLock() = default;

    bool try_lock() { return tryLock(); }
};

// May be taken again by its owner; free once released as often as taken.
class RecursiveLock {
public:
    static std::shared_ptr<RecursiveLock> create();
    virtual void lock() = 0;
    virtual bool tryLock() = 0;
    virtual void unlock() = 0;
    virtual ~RecursiveLock() = default;

    bool try_lock() { return tryLock(); }
};

// Many readers or one writer. A thread waiting for the write side keeps new readers out (writer
// preference): the job framework's worker gate relies on it.
class ReadWriteLock {
public:
    static std::shared_ptr<ReadWriteLock> create();
    virtual void lockRead() = 0;
    virtual bool tryLockRead() = 0;
    virtual void lockWrite() = 0;
    virtual bool tryLockWrite() = 0;
    virtual void unlockRead() = 0;
    virtual void unlockWrite() = 0;
    virtual ~ReadWriteLock() = default;
};

// A lock that carries an integer condition and is taken only when the condition has a wanted
// value.
class ConditionLock {
public:
    static std::shared_ptr<ConditionLock> create(int initialCondition);
    // Waits until the condition equals c; returns holding the lock.
    virtual void lockWhenCondition(int c) = 0;
    // Takes the lock only if it is free and the condition equals c; never waits.
    virtual bool tryLockWhenCondition(int c) = 0;
    // Sets the condition, releases the lock and wakes every waiter.
    virtual void unlockWithCondition(int c) = 0;
    virtual ~ConditionLock() = default;
    // Takes the lock whatever the condition, waiting only for a current holder. Lets a holder of
    // other state move the condition without the lost updates a try-lock would allow.
    virtual void lock() = 0;
    virtual int condition() = 0;
};

// Holds the read side of a ReadWriteLock for its lifetime.
class ReadLocker {
public:
    explicit ReadLocker(std::shared_ptr<ReadWriteLock> lock) : m_lock(std::move(lock)) {
        m_lock->lockRead();
    }
    ~ReadLocker() { m_lock->unlockRead(); }
    ReadLocker(const ReadLocker&) = delete;
    ReadLocker& operator=(const ReadLocker&) = delete;

private:
    std::shared_ptr<ReadWriteLock> m_lock;
};

// Holds the write side of a ReadWriteLock for its lifetime.
class WriteLocker {
public:
    explicit WriteLocker(std::shared_ptr<ReadWriteLock> lock) : m_lock(std::move(lock)) {
        m_lock->lockWrite();
    }
    ~WriteLocker() { m_lock->unlockWrite(); }
    WriteLocker(const WriteLocker&) = delete;
    WriteLocker& operator=(const WriteLocker&) = delete;

private:
    std::shared_ptr<ReadWriteLock> m_lock;
};

// Holds a MutexLock or RecursiveLock (through its shared pointer) for its lifetime.
template <class Lock>
class Locker {
public:
    explicit Locker(std::shared_ptr<Lock> lock) : m_lock(std::move(lock)) { m_lock->lock(); }
    ~Locker() { m_lock->unlock(); }
    Locker(const Locker&) = delete;
    Locker& operator=(const Locker&) = delete;

private:
    std::shared_ptr<Lock> m_lock;
};

using MutexLocker = Locker<MutexLock>;
using RecursiveLocker = Locker<RecursiveLock>;

} // namespace sonorix
