#include "processing/Job.h"

#include "foundation/Log.h"

namespace sonorix {

Job::Job() : m_cancelLock(MutexLock::create()), m_prerequisiteLock(MutexLock::create()) {}

Job::~Job() = default;

void Job::cancel() {
    MutexLocker hold(m_cancelLock);
    m_cancelled = true;
}

bool Job::isCancelled() const {
    MutexLocker hold(m_cancelLock);
    return m_cancelled;
}

void Job::addDependent(const std::shared_ptr<Job>& other) {
    other->adjustPrerequisites(1);
    m_dependents.push_back(other);
}

void Job::adjustPrerequisites(int amount) {
    MutexLocker hold(m_prerequisiteLock);
    m_prerequisites += amount;
}

int Job::prerequisiteCount() const {
    MutexLocker hold(m_prerequisiteLock);
    return m_prerequisites;
}

void Job::perform(const ParameterPtr& context, int workerIndex) {
    m_workerIndex = workerIndex;
    try {
        run(context);
    } catch (const std::exception& e) {
        logUncaughtException(e, "Thread");
    } catch (...) {
        writeLog("Uncaught Exception of unknown type in Thread!\n");
    }
    // Only now, after run returned, may a dependent start.
    for (const std::shared_ptr<Job>& dependent : m_dependents) {
        dependent->adjustPrerequisites(-1);
    }
}

} // namespace sonorix
