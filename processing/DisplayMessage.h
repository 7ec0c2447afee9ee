#pragma once

#include "foundation/ScheduledTimer.h"
#include "foundation/Threads.h"
#include "processing/DisplayProgress.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace sonorix {

class SonorixControllerHooks;
class DisplayMessageScheduler;

// A request to show two lines of text (and perhaps a progress) in the display bar. Shown,
// changed and hidden from any thread; the scheduler decides when it is on display.
class DisplayMessage : public std::enable_shared_from_this<DisplayMessage> {
public:
    // Who wants the bar: only messages of the highest kind present are shown.
    enum Kind : int32_t { kLibraryLoading = 0, kRunMessage = 2, kWorkerLine = 3 };

    // An empty scheduler is the process-wide one.
    static std::shared_ptr<DisplayMessage>
    create(std::u16string text, std::u16string detail, std::shared_ptr<DisplayProgress> progress,
           int32_t kind, double delay = 0, std::shared_ptr<DisplayMessageScheduler> scheduler = {});

    std::u16string text() const;
    std::u16string detail() const;
    const std::shared_ptr<DisplayProgress>& progress() const { return m_progress; }
    int32_t kind() const { return m_kind; }
    double delay() const { return m_delay; }

    // Redraws the message at once when it is on display.
    void setDetail(std::u16string detail);
    void show();
    void hide();

private:
    DisplayMessage(std::u16string text, std::u16string detail,
                   std::shared_ptr<DisplayProgress> progress, int32_t kind, double delay,
                   std::shared_ptr<DisplayMessageScheduler> scheduler);

    std::shared_ptr<MutexLock> m_lock; // text and detail
    std::u16string m_text;
    std::u16string m_detail;
    const std::shared_ptr<DisplayProgress> m_progress;
    const int32_t m_kind;
    const double m_delay;
    // Weak: the scheduler holds the messages it shows.
    const std::weak_ptr<DisplayMessageScheduler> m_scheduler;
};

// Decides which message the display bar shows: the highest kind wins, messages of one kind take
// turns every 2 seconds, a message with a delay joins only once it passed. Decisions and every
// call into the controller happen on the main thread, outside the scheduler's lock.
class DisplayMessageScheduler : public ThreadCallable<DisplayMessageScheduler> {
public:
    static constexpr double kTurnSeconds = 2.0;
    static constexpr double kDueSpacing = 0.001;

    // Arms a one-shot wake-up after `delay` seconds that calls `fire` on the main thread.
    using TimerFactory =
        std::function<std::shared_ptr<ScheduledTimer>(double delay, std::function<void()> fire)>;

    // The process-wide scheduler, made on first use and kept until the process ends.
    static std::shared_ptr<DisplayMessageScheduler> sharedScheduler();
    // One of its own, for tests: empty arguments mean the wall clock and ScheduledTimer.
    static std::shared_ptr<DisplayMessageScheduler> create(SecondsClock clock = {},
                                                           TimerFactory timers = {});

    void setTarget(std::shared_ptr<SonorixControllerHooks> target);

    // From any thread.
    void show(const std::shared_ptr<DisplayMessage>& message);
    void hide(const std::shared_ptr<DisplayMessage>& message);
    void textChanged(const DisplayMessage* message);
    void progressChanged(const DisplayProgress* progress);
    // Runs updateDisplay on the main thread without waiting (at once on the main thread).
    void requestUpdate();

    // Main thread only.
    void updateDisplay();

    std::shared_ptr<DisplayMessage> currentMessage() const;
    std::shared_ptr<DisplayProgress> currentProgress() const;

private:
    DisplayMessageScheduler(SecondsClock clock, TimerFactory timers);

    void pushMessage();
    void pushProgressValue();
    void pushProgress(bool withTexts);

    const SecondsClock m_clock;
    const TimerFactory m_timers;
    std::shared_ptr<MutexLock> m_lock;
    std::map<int32_t, std::vector<std::shared_ptr<DisplayMessage>>> m_active;
    int32_t m_index = 0;
    std::shared_ptr<DisplayMessage> m_currentMessage;
    std::shared_ptr<DisplayProgress> m_currentProgress;
    double m_lastSwitch = 0;
    std::map<double, std::shared_ptr<DisplayMessage>> m_due;
    std::unordered_map<const DisplayMessage*, double> m_pending;
    std::shared_ptr<ScheduledTimer> m_timer;
    std::shared_ptr<SonorixControllerHooks> m_target;
    // A progress value is on its way to the main thread: later changes ride along with it.
    std::atomic<bool> m_progressPosted{false};
};

} // namespace sonorix
