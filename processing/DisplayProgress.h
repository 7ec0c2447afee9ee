#pragma once

#include "foundation/Locks.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace sonorix {

class DisplayMessageScheduler;

// Wall-clock seconds with their sub-second part. Tests substitute a clock they drive.
using SecondsClock = std::function<double()>;
double currentSeconds();

// The overall progress of a run and its analysis speed, written by every worker of a manager
// and read by the main thread. Its lock is taken alone.
class DisplayProgress : public std::enable_shared_from_this<DisplayProgress> {
public:
    // An empty clock is the wall clock; an empty scheduler the process-wide one.
    static std::shared_ptr<DisplayProgress>
    create(SecondsClock clock = {}, std::shared_ptr<DisplayMessageScheduler> scheduler = {});

    void setIndeterminate(bool indeterminate);
    bool isIndeterminate() const;
    void setActive(bool active);
    bool isActive() const;

    void addTotal(double units);
    // Also refreshes the display when this progress is the one shown.
    void addDone(double units);
    double total() const;
    double done() const;
    // done / total within 0…1 (0 without a total); -1 when indeterminate.
    double fraction() const;

    void analysisStarted();
    void analysisEnded();
    void addAudioSeconds(double seconds);
    int32_t runningAnalyses() const;
    // Audio seconds per second, smoothed and measured at most every 0.5 s; -1 while no
    // analysis runs.
    double speed();

private:
    DisplayProgress(SecondsClock clock, std::shared_ptr<DisplayMessageScheduler> scheduler);

    SecondsClock m_clock;
    // Weak: the scheduler holds the progress it shows.
    std::weak_ptr<DisplayMessageScheduler> m_scheduler;
    std::shared_ptr<MutexLock> m_lock;
    bool m_indeterminate = false;
    bool m_active = false;
    double m_total = 0;
    double m_done = 0;
    int32_t m_runningAnalyses = 0;
    double m_analysisStart = 0;
    double m_audioSeconds = 0;
    double m_speed = -1;
    double m_lastSpeedTime = 0;
    double m_lastSpeedAudio = 0;
};

} // namespace sonorix
