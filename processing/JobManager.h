#pragma once

#include "foundation/Threads.h"
#include "processing/Job.h"

#include <boost/thread/condition_variable.hpp>

#include <deque>
#include <list>
#include <memory>

namespace sonorix {

// Runs jobs on worker threads, one per usable processor. Jobs are taken in the order added,
// skipping those whose prerequisites have not finished; a worker that finds only blocked jobs
// sleeps until a running job finished. Finished jobs reach the main thread in batches, in the
// order they finished, and allJobsFinished follows once the last worker ended.
//
// Lock order: queue lock -> a job's prerequisite or cancel lock; queue lock -> workAvailable;
// pause state lock -> pause gate. The finished lock is taken alone. Main-thread delegates never
// take the worker gate: workers hold its read side while a job makes waiting main-thread calls.
class JobManager : public ThreadCallable<JobManager> {
public:
    JobManager();
    ~JobManager() override;

    // Starts the workers; on the main thread, once, after the first jobs were added.
    virtual void start();
    // On each worker thread as it starts; what it returns is handed to every job it runs.
    virtual WorkerContext createWorkerContext();
    // At the end of stop.
    virtual void stopped();
    // On the main thread, once, after the last worker ended and every finished job was
    // delivered.
    virtual void allJobsFinished();
    virtual void workerStarted(const WorkerContext& context);
    virtual void workerFinished(const WorkerContext& context);
    // On the main thread after resume released the workers.
    virtual void resumed();

    // From any thread. Ignored once the manager was stopped.
    void addJob(const std::shared_ptr<Job>& job);
    // Drops the pending jobs, cancels the running ones and releases paused workers. Running
    // jobs still finish, are delivered, and allJobsFinished still comes.
    void stop();
    // Workers finish the job they perform and then wait.
    void pause();
    // From any thread.
    void resume();

    size_t pendingCount() const;
    bool isStopped() const;
    bool isPaused() const;
    // A persistent manager's workers wait for new jobs instead of ending. Set before start.
    void setPersistent(bool persistent);
    bool isPersistent() const;
    // At most this many workers; 0 means one per usable processor. Set before start.
    void setMaxWorkers(int maxWorkers);

protected:
    // How many processors the workers may use.
    virtual int usableProcessors();

private:
    void worker(int index);
    std::shared_ptr<Job> nextJob(const std::shared_ptr<Job>& previous);
    void jobFinished(const std::shared_ptr<Job>& job);
    void drainFinished();
    void setWorkAvailable(int condition);
    void queueChanged();

    std::shared_ptr<MutexLock> m_queueLock;
    std::list<std::shared_ptr<Job>> m_pending;
    std::list<std::shared_ptr<Job>> m_running;
    std::shared_ptr<ReadWriteLock> m_workerGate;
    int m_activeWorkers = 0;
    std::shared_ptr<JobManager> m_keepAlive;
    std::shared_ptr<MutexLock> m_finishedLock;
    std::deque<std::shared_ptr<Job>> m_finished;
    bool m_drainPosted = false;
    std::shared_ptr<MutexLock> m_pauseGate;
    std::shared_ptr<MutexLock> m_pauseStateLock;
    bool m_paused = false;
    std::shared_ptr<MutexLock> m_persistentLock;
    bool m_persistent = false;
    std::shared_ptr<ConditionLock> m_workAvailable;
    int m_maxWorkers = 0;
    bool m_stopped = false;
    // Counts additions and stops, so that a worker which found every pending job waiting for
    // a job that is not even running can sleep until the queue changes.
    boost::condition_variable_any m_queueChanged;
    uint64_t m_queueGeneration = 0;
    bool m_reportedStuck = false;
};

} // namespace sonorix
