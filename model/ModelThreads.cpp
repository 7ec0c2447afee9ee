#include "foundation/ScheduledTimer.h"
#include "foundation/Threads.h"
#include "model/MainThread.h"
#include "model/ModelLock.h"
#include "model/SonorixModel.h"

namespace sonorix {

ModelLocker::ModelLocker(const std::shared_ptr<RecursiveLock>& lock) : m_lock(lock.get()) {
    if (m_lock) {
        m_lock->lock();
    }
}

ModelLocker::~ModelLocker() {
    if (m_lock) {
        m_lock->unlock();
    }
}

namespace mt {

// Without a registered run loop (console commands) the calling thread is the only one that
// touches the model, so it counts as the main thread.
bool onMainThread() {
    return !mainRunLoop() || isMainThread();
}

void post(std::function<void()> work) {
    callOnMainThread(std::move(work), false);
}

} // namespace mt

namespace {

class ScheduledSaveTimer final : public SaveTimer {
public:
    explicit ScheduledSaveTimer(std::shared_ptr<ScheduledTimer> timer)
        : m_timer(std::move(timer)) {}
    void fire() override { m_timer->fire(); }
    void invalidate() override { m_timer->invalidate(); }

private:
    std::shared_ptr<ScheduledTimer> m_timer;
};

} // namespace

std::shared_ptr<SaveTimer> SonorixModel::defaultSaveTimer(double seconds,
                                                          std::function<void()> fire) {
    return std::make_shared<ScheduledSaveTimer>(
        ScheduledTimer::scheduledTimer(seconds, std::move(fire), false));
}

} // namespace sonorix
