#pragma once

#include "foundation/Threads.h"

#include <atomic>
#include <memory>
#include <vector>

namespace sonorix {

class DisplayMessage;

// What a worker hands to every job it runs.
struct WorkerContext {
    // The worker's own line in the display bar, where its manager gives it one.
    std::shared_ptr<DisplayMessage> message;
};

// One unit of work, run by a JobManager's worker and then handed back to the main thread.
class Job : public ThreadCallable<Job> {
public:
    Job();
    ~Job() override;

    // On the main thread, once the job was performed, in the order jobs finished.
    virtual void finishedOnMainThread() = 0;
    // The work, on a worker thread. Long work polls isCancelled between its steps.
    virtual void run(const WorkerContext& context) = 0;

    void cancel();
    bool isCancelled() const;

    // `other` waits until this job's run returned. Set up before either job is added.
    void addDependent(const std::shared_ptr<Job>& other);
    void adjustPrerequisites(int amount);
    int prerequisiteCount() const;

    // Runs the job as worker `workerIndex`, then releases its dependents. An exception that
    // escapes run is logged and the job counts as performed: its dependents must not wait
    // for ever, and the worker must go on.
    void perform(const WorkerContext& context, int workerIndex);

    // The worker that performs (performed) the job; -1 before.
    int workerIndex() const { return m_workerIndex; }

protected:
    int m_workerIndex = -1;

private:
    std::atomic<bool> m_cancelled{false};
    std::vector<std::shared_ptr<Job>> m_dependents;
    std::atomic<int> m_prerequisites{0};
};

} // namespace sonorix
