#include "processing/DisplayMessage.h"

#include "processing/ControllerHooks.h"

#include <algorithm>

namespace sonorix {

std::shared_ptr<DisplayMessage>
DisplayMessage::create(std::u16string text, std::u16string detail,
                       std::shared_ptr<DisplayProgress> progress, int32_t kind, double delay,
                       std::shared_ptr<DisplayMessageScheduler> scheduler) {
    if (!scheduler) {
        scheduler = DisplayMessageScheduler::sharedScheduler();
    }
    return std::shared_ptr<DisplayMessage>(new DisplayMessage(std::move(text), std::move(detail),
                                                              std::move(progress), kind, delay,
                                                              std::move(scheduler)));
}

DisplayMessage::DisplayMessage(std::u16string text, std::u16string detail,
                               std::shared_ptr<DisplayProgress> progress, int32_t kind,
                               double delay, std::shared_ptr<DisplayMessageScheduler> scheduler)
    : m_lock(MutexLock::create()), m_text(std::move(text)), m_detail(std::move(detail)),
      m_progress(std::move(progress)), m_kind(kind), m_delay(delay),
      m_scheduler(std::move(scheduler)) {}

std::u16string DisplayMessage::text() const {
    MutexLocker hold(m_lock);
    return m_text;
}

std::u16string DisplayMessage::detail() const {
    MutexLocker hold(m_lock);
    return m_detail;
}

void DisplayMessage::setDetail(std::u16string detail) {
    {
        MutexLocker hold(m_lock);
        m_detail = std::move(detail);
    }
    if (auto scheduler = m_scheduler.lock()) {
        scheduler->textChanged(this);
    }
}

void DisplayMessage::show() {
    if (auto scheduler = m_scheduler.lock()) {
        scheduler->show(shared_from_this());
    }
}

void DisplayMessage::hide() {
    if (auto scheduler = m_scheduler.lock()) {
        scheduler->hide(shared_from_this());
    }
}

// ---------------------------------------------------------------------------------------------

std::shared_ptr<DisplayMessageScheduler> DisplayMessageScheduler::sharedScheduler() {
    // Never destroyed: workers and timers may still reach it while the process ends.
    static auto* shared = new std::shared_ptr<DisplayMessageScheduler>(create());
    return *shared;
}

std::shared_ptr<DisplayMessageScheduler> DisplayMessageScheduler::create(SecondsClock clock,
                                                                         TimerFactory timers) {
    if (!clock) {
        clock = currentSeconds;
    }
    if (!timers) {
        timers = [](double delay, std::function<void()> fire) {
            return ScheduledTimer::scheduledTimer(delay, std::move(fire), false);
        };
    }
    return std::shared_ptr<DisplayMessageScheduler>(
        new DisplayMessageScheduler(std::move(clock), std::move(timers)));
}

DisplayMessageScheduler::DisplayMessageScheduler(SecondsClock clock, TimerFactory timers)
    : m_clock(std::move(clock)), m_timers(std::move(timers)), m_lock(MutexLock::create()) {}

void DisplayMessageScheduler::setTarget(std::shared_ptr<SonorixControllerHooks> target) {
    {
        MutexLocker hold(m_lock);
        m_target = std::move(target);
    }
    // A progress call lost with an earlier main loop must not hold back the new target's.
    m_progressPosted.exchange(false);
    requestUpdate();
}

void DisplayMessageScheduler::show(const std::shared_ptr<DisplayMessage>& message) {
    double t = m_clock() + message->delay();
    {
        MutexLocker hold(m_lock);
        auto pending = m_pending.find(message.get());
        if (pending != m_pending.end()) {
            // Shown again before it was due: it keeps one place, the later one.
            m_due.erase(pending->second);
            m_pending.erase(pending);
        } else {
            auto list = m_active.find(message->kind());
            if (list != m_active.end() && std::find(list->second.begin(), list->second.end(),
                                                    message) != list->second.end()) {
                // Already taking part; a second entry would outlive the one hide.
                return;
            }
        }
        while (m_due.count(t) != 0) {
            t += kDueSpacing;
        }
        m_due[t] = message;
        m_pending[message.get()] = t;
    }
    requestUpdate();
}

void DisplayMessageScheduler::hide(const std::shared_ptr<DisplayMessage>& message) {
    {
        MutexLocker hold(m_lock);
        auto pending = m_pending.find(message.get());
        if (pending != m_pending.end()) {
            m_due.erase(pending->second);
            m_pending.erase(pending);
        } else {
            auto list = m_active.find(message->kind());
            if (list != m_active.end()) {
                auto& messages = list->second;
                auto found = std::find(messages.begin(), messages.end(), message);
                if (found != messages.end()) {
                    const int32_t i = static_cast<int32_t>(found - messages.begin());
                    messages.erase(found);
                    if (messages.empty()) {
                        m_active.erase(list);
                    }
                    // The rotation goes on from the line before the one that left.
                    if (m_index >= i) {
                        --m_index;
                    }
                }
            }
        }
    }
    requestUpdate();
}

void DisplayMessageScheduler::textChanged(const DisplayMessage* message) {
    bool current;
    {
        MutexLocker hold(m_lock);
        current = m_currentMessage.get() == message;
    }
    if (current) {
        callOnMainThread(delegateFor<&DisplayMessageScheduler::pushMessage>(), false);
    }
}

void DisplayMessageScheduler::progressChanged(const DisplayProgress* progress) {
    bool current;
    {
        MutexLocker hold(m_lock);
        current = progress != nullptr && m_currentProgress.get() == progress;
    }
    // Workers count progress many times a second; the main thread shows the value it finds when
    // it gets there, so one call on its way is enough.
    if (current && !m_progressPosted.exchange(true)) {
        callOnMainThread(delegateFor<&DisplayMessageScheduler::pushProgressValue>(), false);
    }
}

void DisplayMessageScheduler::requestUpdate() {
    callOnMainThread(delegateFor<&DisplayMessageScheduler::updateDisplay>(), false);
}

void DisplayMessageScheduler::updateDisplay() {
    bool messageChanged = false;
    bool progressChanged = false;
    {
        MutexLocker hold(m_lock);
        const double now = m_clock();

        while (!m_due.empty() && m_due.begin()->first <= now) {
            std::shared_ptr<DisplayMessage> message = std::move(m_due.begin()->second);
            m_due.erase(m_due.begin());
            m_pending.erase(message.get());
            m_active[message->kind()].push_back(std::move(message));
        }

        std::shared_ptr<DisplayMessage> chosen;
        std::shared_ptr<DisplayProgress> chosenProgress;
        int32_t position = 0;
        size_t count = 0;
        if (!m_active.empty()) {
            const auto& [kind, messages] = *m_active.rbegin();
            count = messages.size();
            if (m_currentMessage && m_currentMessage->kind() == kind) {
                position = m_index + (now - m_lastSwitch >= kTurnSeconds ? 1 : 0);
            }
            if (position < 0 || static_cast<size_t>(position) >= count) {
                position = 0;
            }
            chosen = messages[static_cast<size_t>(position)];
            chosenProgress = chosen->progress();
        }

        if (chosen != m_currentMessage) {
            m_lastSwitch = now;
            m_currentMessage = std::move(chosen);
            m_index = position;
            messageChanged = true;
        }
        if (chosenProgress != m_currentProgress) {
            m_currentProgress = std::move(chosenProgress);
            progressChanged = true;
        }

        double wake = 0;
        if (m_currentMessage && count > 1) {
            wake = m_lastSwitch + kTurnSeconds;
        }
        if (!m_due.empty()) {
            const double earliest = m_due.begin()->first;
            if (wake < 0.1 || earliest < wake) {
                wake = earliest;
            }
        }

        if (m_timer) {
            m_timer->invalidate();
            m_timer.reset();
        }
        if (wake > 0.1) {
            std::weak_ptr<DisplayMessageScheduler> weak = sharedFromThis();
            m_timer = m_timers(std::max(0.0, wake - now), [weak] {
                if (auto self = weak.lock()) {
                    self->updateDisplay();
                }
            });
        }
    }
    if (messageChanged) {
        pushMessage();
    }
    if (progressChanged) {
        pushProgress(true);
    }
}

void DisplayMessageScheduler::pushMessage() {
    std::shared_ptr<SonorixControllerHooks> target;
    std::shared_ptr<DisplayMessage> message;
    {
        MutexLocker hold(m_lock);
        target = m_target;
        message = m_currentMessage;
    }
    if (target) {
        assertMainThread("showDisplayMessage");
        target->showDisplayMessage(message);
    }
}

void DisplayMessageScheduler::pushProgressValue() {
    // Cleared before the value is read: a change from here on posts again.
    m_progressPosted.exchange(false);
    pushProgress(false);
}

void DisplayMessageScheduler::pushProgress(bool withTexts) {
    std::shared_ptr<SonorixControllerHooks> target;
    std::shared_ptr<DisplayProgress> progress;
    {
        MutexLocker hold(m_lock);
        target = m_target;
        progress = m_currentProgress;
    }
    if (target) {
        assertMainThread("showProgress");
        target->showProgress(progress, withTexts);
    }
}

std::shared_ptr<DisplayMessage> DisplayMessageScheduler::currentMessage() const {
    MutexLocker hold(m_lock);
    return m_currentMessage;
}

std::shared_ptr<DisplayProgress> DisplayMessageScheduler::currentProgress() const {
    MutexLocker hold(m_lock);
    return m_currentProgress;
}

} // namespace sonorix
