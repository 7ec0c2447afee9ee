#include "processing/JobManager.h"

#include "foundation/Log.h"

#include <cstdint>
#include <mutex>
#include <system_error>

namespace sonorix {

JobManager::JobManager()
    : m_queueLock(MutexLock::create()), m_workerGate(ReadWriteLock::create()),
      m_finishedLock(MutexLock::create()), m_pauseGate(MutexLock::create()),
      m_pauseStateLock(MutexLock::create()), m_persistentLock(MutexLock::create()),
      m_workAvailable(ConditionLock::create(0)) {}

JobManager::~JobManager() = default;

WorkerContext JobManager::createWorkerContext() {
    return {};
}
void JobManager::stopped() {}
void JobManager::allJobsFinished() {}
void JobManager::workerStarted(const WorkerContext&) {}
void JobManager::workerFinished(const WorkerContext&) {}
void JobManager::resumed() {}

int JobManager::usableProcessors() {
    return numberOfActiveProcessors();
}

void JobManager::start() {
    m_keepAlive = sharedFromThis();
    int workers = usableProcessors();
    if (m_maxWorkers > 0 && m_maxWorkers < workers) {
        workers = m_maxWorkers;
    }
    workers = std::max(workers, 1);
    {
        std::lock_guard<MutexLock> hold(*m_queueLock);
        m_activeWorkers = workers;
    }
    for (int i = 0; i < workers; ++i) {
        try {
            callOnNewThread(delegateFor<&JobManager::worker>(i));
        } catch (const std::system_error& e) {
            // The workers that did start do the work; the count must only hold those.
            writeLog("JobManager: could not start worker %d: %s\n", i, e.what());
            int missing = workers - i;
            bool none;
            {
                std::lock_guard<MutexLock> hold(*m_queueLock);
                m_activeWorkers -= missing;
                none = m_activeWorkers == 0;
            }
            if (none) {
                drainFinished();
                allJobsFinished();
                m_keepAlive.reset();
            }
            return;
        }
    }
}

void JobManager::setWorkAvailable(int condition) {
    // Taken blocking, not tried: a try fails while a waiting worker merely checks the
    // condition, and the lost update would leave it asleep with work queued, or spinning
    // with none.
    m_workAvailable->lock();
    m_workAvailable->unlockWithCondition(condition);
}

void JobManager::queueChanged() {
    ++m_queueGeneration;
    m_queueChanged.notify_all();
}

void JobManager::addJob(const std::shared_ptr<Job>& job) {
    std::lock_guard<MutexLock> hold(*m_queueLock);
    if (m_stopped) {
        return;
    }
    bool wasEmpty = m_pending.empty();
    m_pending.push_back(job);
    if (wasEmpty) {
        setWorkAvailable(1);
    }
    queueChanged();
}

std::shared_ptr<Job> JobManager::nextJob(const std::shared_ptr<Job>& previous) {
    // Blocks while paused.
    m_pauseGate->lock();
    m_pauseGate->unlock();

    std::unique_lock<MutexLock> hold(*m_queueLock);
    if (previous) {
        m_running.remove(previous);
    }
    for (;;) {
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if ((*it)->prerequisiteCount() == 0) {
                std::shared_ptr<Job> job = std::move(*it);
                m_pending.erase(it);
                m_running.push_back(job);
                if (m_pending.empty()) {
                    setWorkAvailable(0);
                }
                return job;
            }
        }
        if (m_pending.empty() || !m_running.empty()) {
            return nullptr;
        }
        // Nothing runs, so nothing already queued can release the waiting jobs: only an
        // added job (their prerequisite, added late) or stop can.
        if (!m_reportedStuck) {
            m_reportedStuck = true;
            writeLog("JobManager: %zu jobs wait for prerequisites that are not queued\n",
                     m_pending.size());
        }
        uint64_t seen = m_queueGeneration;
        m_queueChanged.wait(hold, [&] { return m_queueGeneration != seen; });
    }
}

void JobManager::jobFinished(const std::shared_ptr<Job>& job) {
    bool post = false;
    {
        std::lock_guard<MutexLock> hold(*m_finishedLock);
        m_finished.push_back(job);
        if (!m_drainPosted) {
            m_drainPosted = true;
            post = true;
        }
    }
    if (post) {
        callOnMainThread(delegateFor<&JobManager::drainFinished>(), false);
    }
}

void JobManager::drainFinished() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::lock_guard<MutexLock> hold(*m_finishedLock);
            if (m_finished.empty()) {
                m_drainPosted = false;
                return;
            }
            job = std::move(m_finished.front());
            m_finished.pop_front();
        }
        // One failing delivery must not stop the ones after it.
        try {
            job->finishedOnMainThread();
        } catch (const std::exception& e) {
            logUncaughtException(e, "Main Thread");
        } catch (...) {
            writeLog("Uncaught Exception of unknown type in Main Thread!\n");
        }
    }
}

void JobManager::worker(int index) {
    const WorkerContext context = createWorkerContext();
    workerStarted(context);
    for (;;) {
        bool persistent = isPersistent();
        if (!persistent && pendingCount() == 0) {
            break;
        }
        m_workerGate->lockRead();
        if (persistent) {
            // Wait for work without consuming the condition.
            m_workAvailable->lockWhenCondition(1);
            m_workAvailable->unlockWithCondition(1);
        }
        std::shared_ptr<Job> job;
        while ((job = nextJob(job))) {
            // A worker waiting for the write side gets in here.
            m_workerGate->unlockRead();
            m_workerGate->lockRead();
            job->perform(context, index);
            jobFinished(job);
        }
        m_workerGate->unlockRead();
        if (pendingCount() > 0) {
            // Only blocked jobs left: wait until every other worker finished its job.
            m_workerGate->lockWrite();
            m_workerGate->unlockWrite();
        }
    }

    // Before the count drops: otherwise the last worker may report everything finished while
    // another still tidies up (its display line still showing).
    workerFinished(context);
    bool last;
    {
        std::lock_guard<MutexLock> hold(*m_queueLock);
        last = --m_activeWorkers == 0;
    }
    if (last) {
        std::shared_ptr<JobManager> self = sharedFromThis();
        callOnMainThread(
            [self] {
                self->drainFinished();
                self->allJobsFinished();
            },
            true);
        // Empty unless main-thread calls were shut off while closing; then nothing will deliver
        // these jobs, and as they hold their manager they would keep it alive for good.
        std::deque<std::shared_ptr<Job>> undelivered;
        {
            std::lock_guard<MutexLock> hold(*m_finishedLock);
            undelivered.swap(m_finished);
            m_drainPosted = false;
        }
        undelivered.clear();
        m_keepAlive.reset();
    }
}

void JobManager::stop() {
    // Released after the lock: a dropped job's destructor may run code of its own.
    std::list<std::shared_ptr<Job>> dropped;
    {
        std::lock_guard<MutexLock> hold(*m_queueLock);
        dropped.swap(m_pending);
        for (const std::shared_ptr<Job>& job : m_running) {
            job->cancel();
        }
        m_stopped = true;
        {
            std::lock_guard<MutexLock> persistentHold(*m_persistentLock);
            m_persistent = false;
        }
        // Wakes idle persistent workers; they find nothing and end.
        setWorkAvailable(1);
        queueChanged();
    }
    dropped.clear();
    resume();
    stopped();
}

void JobManager::pause() {
    std::lock_guard<MutexLock> hold(*m_pauseStateLock);
    if (!m_paused) {
        m_pauseGate->lock();
        m_paused = true;
    }
}

void JobManager::resume() {
    bool wasPaused;
    {
        std::lock_guard<MutexLock> hold(*m_pauseStateLock);
        wasPaused = m_paused;
        if (m_paused) {
            m_pauseGate->unlock();
            m_paused = false;
        }
    }
    // Outside the lock: resumed may pause again.
    if (wasPaused) {
        callOnMainThread(delegateFor<&JobManager::resumed>(), false);
    }
}

size_t JobManager::pendingCount() const {
    std::lock_guard<MutexLock> hold(*m_queueLock);
    return m_pending.size();
}

bool JobManager::isStopped() const {
    std::lock_guard<MutexLock> hold(*m_queueLock);
    return m_stopped;
}

bool JobManager::isPaused() const {
    std::lock_guard<MutexLock> hold(*m_pauseStateLock);
    return m_paused;
}

void JobManager::setPersistent(bool persistent) {
    std::lock_guard<MutexLock> hold(*m_persistentLock);
    m_persistent = persistent;
}

bool JobManager::isPersistent() const {
    std::lock_guard<MutexLock> hold(*m_persistentLock);
    return m_persistent;
}

void JobManager::setMaxWorkers(int maxWorkers) {
    m_maxWorkers = maxWorkers;
}

} // namespace sonorix
