#include "model/MainThread.h"
#include "model/ModelLock.h"
#include "model/PendingThreads.h"
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

bool onMainThread() {
    return true;
}

void post(std::function<void()> work) {
    work();
}

} // namespace mt

std::shared_ptr<SaveTimer> SonorixModel::defaultSaveTimer(double, std::function<void()>) {
    return nullptr;
}

} // namespace sonorix
