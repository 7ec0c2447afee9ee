#include "processing/Job.h"

#include "foundation/Log.h"

namespace sonorix {

Job::Job() = default;

Job::~Job() = default;

void Job::cancel() {
    m_cancelled.store(true);
}

bool Job::isCancelled() const {
    return m_cancelled.load();
}

void Job::addDependent(const std::shared_ptr<Job>& other) {
    other->adjustPrerequisites(1);
    m_dependents.push_back(other);
}

void Job::adjustPrerequisites(int amount) {
    // Sequentially consistent: a dependent that sees the count reach zero sees what run wrote.
    m_prerequisites.fetch_add(amount);
}

int Job::prerequisiteCount() const {
    return m_prerequisites.load();
}

void Job::perform(const WorkerContext& context, int workerIndex) {
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
