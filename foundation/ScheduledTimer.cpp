#include "foundation/ScheduledTimer.h"

#include "foundation/Log.h"
#include "foundation/Threads.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>
#include <unordered_map>

namespace sonorix {
namespace {

using Clock = std::chrono::steady_clock;

// The one thread that serves every timer, with its entries ordered by due time.
class TimerThread {
public:
    static TimerThread& instance() {
        // Never destroyed: the thread may still wait in it while the process exits.
        static TimerThread* timerThread = new TimerThread;
        return *timerThread;
    }

    uint64_t arm(std::shared_ptr<ScheduledTimerBoost> timer, int64_t milliseconds) {
        std::lock_guard<std::mutex> lock(m_mutex);
        uint64_t handle = ++m_lastHandle;
        auto entry = m_due.emplace(Clock::now() + std::chrono::milliseconds(milliseconds),
                                   Entry{handle, std::move(timer)});
        m_byHandle.emplace(handle, entry);
        m_changed.notify_all();
        return handle;
    }

    // Removes an entry that has not fired yet; the timer reference it held goes with it.
    void cancel(uint64_t handle) {
        std::shared_ptr<ScheduledTimerBoost> released;
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_byHandle.find(handle);
        if (found == m_byHandle.end()) {
            return;
        }
        released = std::move(found->second->second.timer);
        m_due.erase(found->second);
        m_byHandle.erase(found);
    }

private:
    struct Entry {
        uint64_t handle;
        std::shared_ptr<ScheduledTimerBoost> timer;
    };

    TimerThread() {
        std::thread([this] { serve(); }).detach();
    }

    void serve() {
        setThreadName("ScheduledTimer");
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_due.empty()) {
                m_changed.wait(lock);
                continue;
            }
            auto first = m_due.begin();
            if (Clock::now() < first->first) {
                m_changed.wait_until(lock, first->first);
                continue;
            }
            std::shared_ptr<ScheduledTimerBoost> timer = std::move(first->second.timer);
            m_byHandle.erase(first->second.handle);
            m_due.erase(first);
            lock.unlock();
            try {
                timer->fire();
            } catch (const std::exception& e) {
                logUncaughtException(e, "Thread");
            } catch (...) {
                writeLog("Uncaught Exception of unknown type in Thread!\n");
            }
            timer.reset();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::multimap<Clock::time_point, Entry> m_due;
    std::unordered_map<uint64_t, std::multimap<Clock::time_point, Entry>::iterator> m_byHandle;
    uint64_t m_lastHandle = 0;
};

} // namespace

int64_t timerDueMilliseconds(double intervalSeconds) {
    double milliseconds = intervalSeconds * 1000.0;
    // Also catches NaN and intervals too large to count.
    if (!(milliseconds >= 1.0)) {
        return 1;
    }
    if (milliseconds > 9.0e15) {
        return static_cast<int64_t>(9.0e15);
    }
    return static_cast<int64_t>(milliseconds);
}

std::shared_ptr<ScheduledTimer> ScheduledTimer::scheduledTimer(double interval,
                                                               DelegatePtr delegate, bool repeats) {
    auto timer = std::make_shared<ScheduledTimerBoost>(interval, std::move(delegate), repeats);
    timer->arm();
    return timer;
}

std::shared_ptr<ScheduledTimer>
ScheduledTimer::scheduledTimer(double interval, std::function<void()> function, bool repeats) {
    return scheduledTimer(interval, std::make_shared<const Delegate>(std::move(function)), repeats);
}

ScheduledTimerBoost::ScheduledTimerBoost(double interval, DelegatePtr delegate, bool repeats)
    : m_delegate(std::move(delegate)), m_interval(interval), m_repeats(repeats) {}

ScheduledTimerBoost::~ScheduledTimerBoost() = default;

void ScheduledTimerBoost::arm() {
    m_valid.store(true);
    uint64_t handle =
        TimerThread::instance().arm(shared_from_this(), timerDueMilliseconds(m_interval));
    std::lock_guard<std::mutex> lock(m_handleMutex);
    m_handle = handle;
}

void ScheduledTimerBoost::disarm() {
    uint64_t handle;
    {
        std::lock_guard<std::mutex> lock(m_handleMutex);
        handle = m_handle;
        m_handle = 0;
    }
    if (handle != 0) {
        TimerThread::instance().cancel(handle);
    }
}

void ScheduledTimerBoost::fire() {
    if (!m_valid.load()) {
        return;
    }
    callOnMainThread(m_delegate, true);
    if (!m_valid.load()) {
        return;
    }
    if (m_repeats) {
        disarm();
        arm();
    } else {
        invalidate();
        disarm();
    }
}

void ScheduledTimerBoost::invalidate() {
    m_valid.store(false);
}

} // namespace sonorix
