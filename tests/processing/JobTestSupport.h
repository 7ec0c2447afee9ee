#pragma once

#include "foundation/Threads.h"
#include "processing/JobManager.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sonorix::test {

// What the jobs and managers of a test saw. Shared by pointer: workers may outlive a test body.
struct Recorder {
    std::mutex mutex;
    std::vector<int> started;   // job ids in the order their runs began
    std::vector<int> delivered; // job ids in the order they reached the main thread
    std::atomic<int> allJobsFinished{0};
    std::atomic<int> resumed{0};
    std::atomic<int> stopped{0};
    std::atomic<int> workersStarted{0};
    std::atomic<int> workersFinished{0};
    // How many workers had finished when the manager reported all jobs finished.
    std::atomic<int> workersFinishedAtEnd{-1};
    std::atomic<int> deliveredOffMainThread{0};
    std::atomic<int> runs{0};

    std::vector<int> startedCopy() {
        std::lock_guard<std::mutex> lock(mutex);
        return started;
    }
};

// A gate a job can wait at until the test opens it.
class Latch {
public:
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

class TestJob : public Job {
public:
    TestJob(int id, std::shared_ptr<Recorder> recorder, std::function<void(TestJob&)> body = {})
        : id(id), m_recorder(std::move(recorder)), m_body(std::move(body)) {}

    void run(const WorkerContext&) override {
        {
            std::lock_guard<std::mutex> lock(m_recorder->mutex);
            m_recorder->started.push_back(id);
        }
        ++m_recorder->runs;
        if (m_body) {
            m_body(*this);
        }
        returned = true;
    }

    void finishedOnMainThread() override {
        if (!isMainThread()) {
            ++m_recorder->deliveredOffMainThread;
        }
        std::lock_guard<std::mutex> lock(m_recorder->mutex);
        m_recorder->delivered.push_back(id);
    }

    const int id;
    std::atomic<bool> returned{false};

private:
    std::shared_ptr<Recorder> m_recorder;
    std::function<void(TestJob&)> m_body;
};

class TestManager : public JobManager {
public:
    // `processors` stands in for the machine's usable processors; 0 asks the machine.
    TestManager(std::shared_ptr<Recorder> recorder, int processors)
        : m_recorder(std::move(recorder)), m_processors(processors) {}

    void allJobsFinished() override {
        if (!isMainThread()) {
            ++m_recorder->deliveredOffMainThread;
        }
        ++m_recorder->allJobsFinished;
        m_recorder->workersFinishedAtEnd = m_recorder->workersFinished.load();
    }
    void resumed() override { ++m_recorder->resumed; }
    void stopped() override { ++m_recorder->stopped; }
    void workerStarted(const WorkerContext&) override { ++m_recorder->workersStarted; }
    void workerFinished(const WorkerContext&) override { ++m_recorder->workersFinished; }

protected:
    int usableProcessors() override {
        return m_processors > 0 ? m_processors : JobManager::usableProcessors();
    }

private:
    std::shared_ptr<Recorder> m_recorder;
    int m_processors;
};

// Waits on the test thread, without running the main loop, until `done` holds.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

} // namespace sonorix::test
