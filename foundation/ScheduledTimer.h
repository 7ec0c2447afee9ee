#pragma once

#include "foundation/Delegate.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace sonorix {

// A one-shot or repeating timer whose delegate runs on the main thread. Every timer is served
// by one timer thread; each firing waits until the main thread has run the delegate, so
// firings never overlap and a repeating timer measures its next interval from the end of the
// last firing. An armed timer keeps itself alive.
class ScheduledTimer {
public:
    virtual ~ScheduledTimer() = default;
    // Runs the delegate on the main thread (waiting) and re-arms or ends the timer.
    virtual void fire() = 0;
    // Stops further firings; does not wait for one in progress.
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;

    // A timer, already armed, that first fires after `interval` seconds.
    static std::shared_ptr<ScheduledTimer> scheduledTimer(double interval, DelegatePtr delegate,
                                                          bool repeats);
    static std::shared_ptr<ScheduledTimer>
    scheduledTimer(double interval, std::function<void()> function, bool repeats);
};

// The delay of one firing in whole milliseconds: truncated, and at least 1.
int64_t timerDueMilliseconds(double intervalSeconds);

class ScheduledTimerBoost final : public ScheduledTimer,
                                  public std::enable_shared_from_this<ScheduledTimerBoost> {
public:
    ScheduledTimerBoost(double interval, DelegatePtr delegate, bool repeats);
    ~ScheduledTimerBoost() override;

    void fire() override;
    void invalidate() override;
    bool isValid() const override { return m_valid.load(); }

    void arm();

private:
    void disarm();

    DelegatePtr m_delegate;
    double m_interval;
    bool m_repeats;
    // Written by whoever invalidates while the timer thread reads it.
    std::atomic<bool> m_valid{false};
    std::mutex m_handleMutex;
    uint64_t m_handle = 0; // the armed queue entry, 0 when none
};

} // namespace sonorix
