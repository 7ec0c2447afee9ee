#include "processing/DisplayProgress.h"

#include "foundation/DateTimePoint.h"
#include "processing/DisplayMessage.h"

#include <algorithm>

namespace sonorix {

double currentSeconds() {
    DateTimePoint now = DateTimePoint::now(true);
    return static_cast<double>(now.seconds) + now.nanoseconds / 1e9;
}

std::shared_ptr<DisplayProgress>
DisplayProgress::create(SecondsClock clock, std::shared_ptr<DisplayMessageScheduler> scheduler) {
    if (!clock) {
        clock = currentSeconds;
    }
    if (!scheduler) {
        scheduler = DisplayMessageScheduler::sharedScheduler();
    }
    return std::shared_ptr<DisplayProgress>(
        new DisplayProgress(std::move(clock), std::move(scheduler)));
}

DisplayProgress::DisplayProgress(SecondsClock clock,
                                 std::shared_ptr<DisplayMessageScheduler> scheduler)
    : m_clock(std::move(clock)), m_scheduler(std::move(scheduler)), m_lock(MutexLock::create()) {}

void DisplayProgress::setIndeterminate(bool indeterminate) {
    MutexLocker hold(m_lock);
    m_indeterminate = indeterminate;
}

bool DisplayProgress::isIndeterminate() const {
    MutexLocker hold(m_lock);
    return m_indeterminate;
}

void DisplayProgress::setActive(bool active) {
    MutexLocker hold(m_lock);
    m_active = active;
}

bool DisplayProgress::isActive() const {
    MutexLocker hold(m_lock);
    return m_active;
}

void DisplayProgress::addTotal(double units) {
    MutexLocker hold(m_lock);
    m_total += units;
}

void DisplayProgress::addDone(double units) {
    {
        MutexLocker hold(m_lock);
        m_done += units;
    }
    // Outside the lock: the scheduler takes its own.
    if (auto scheduler = m_scheduler.lock()) {
        scheduler->progressChanged(this);
    }
}

double DisplayProgress::total() const {
    MutexLocker hold(m_lock);
    return m_total;
}

double DisplayProgress::done() const {
    MutexLocker hold(m_lock);
    return m_done;
}

double DisplayProgress::fraction() const {
    MutexLocker hold(m_lock);
    if (m_indeterminate) {
        return -1;
    }
    if (m_total <= 0) {
        return 0;
    }
    return std::clamp(m_done / m_total, 0.0, 1.0);
}

void DisplayProgress::analysisStarted() {
    MutexLocker hold(m_lock);
    if (m_runningAnalyses == 0) {
        m_analysisStart = m_lastSpeedTime = m_clock();
        m_audioSeconds = m_lastSpeedAudio = 0;
        m_speed = -1;
    }
    ++m_runningAnalyses;
}

void DisplayProgress::analysisEnded() {
    MutexLocker hold(m_lock);
    if (m_runningAnalyses-- == 1) {
        m_speed = -1;
    }
}

void DisplayProgress::addAudioSeconds(double seconds) {
    MutexLocker hold(m_lock);
    m_audioSeconds += seconds;
}

int32_t DisplayProgress::runningAnalyses() const {
    MutexLocker hold(m_lock);
    return m_runningAnalyses;
}

double DisplayProgress::speed() {
    MutexLocker hold(m_lock);
    if (m_runningAnalyses > 0) {
        const double now = m_clock();
        const double elapsed = now - m_lastSpeedTime;
        const double added = m_audioSeconds - m_lastSpeedAudio;
        if (elapsed > 0.5 && added > 0.1) {
            const double rate = added / elapsed;
            m_speed = m_speed <= 0 ? rate : m_speed * 0.75 + rate * 0.25;
            m_lastSpeedTime = now;
            m_lastSpeedAudio = m_audioSeconds;
        }
    }
    return m_speed;
}

} // namespace sonorix
