#pragma once

// Stand-in for the shared lock family until it is merged.

#include <boost/thread/recursive_mutex.hpp>

#include <memory>

namespace sonorix {

class RecursiveLock {
public:
    static std::shared_ptr<RecursiveLock> create() { return std::make_shared<RecursiveLock>(); }
    void lock() { m_mutex.lock(); }
    bool tryLock() { return m_mutex.try_lock(); }
    void unlock() { m_mutex.unlock(); }

private:
    boost::recursive_mutex m_mutex;
};

} // namespace sonorix
