#include "JobTestSupport.h"

#include "foundation/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sched.h>
#include <stdexcept>

using namespace sonorix;
using namespace sonorix::test;
using namespace std::chrono_literals;

namespace {

class JobManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        loop = std::make_shared<BasicRunLoop>();
        setMainRunLoop(loop);
        recorder = std::make_shared<Recorder>();
    }
    void TearDown() override {
        // Lets the last worker's waiting call through before the loop goes.
        loop->runUntil([] { return false; }, 20ms);
        clearMainRunLoop();
    }

    std::shared_ptr<TestManager> makeManager(int processors, int maxWorkers = 0) {
        auto manager = std::make_shared<TestManager>(recorder, processors);
        manager->setMaxWorkers(maxWorkers);
        return manager;
    }
    std::shared_ptr<TestJob> job(int id, std::function<void(TestJob&)> body = {}) {
        return std::make_shared<TestJob>(id, recorder, std::move(body));
    }
    bool runUntilAllFinished() {
        return loop->runUntil([this] { return recorder->allJobsFinished > 0; }, 30s);
    }

    std::shared_ptr<BasicRunLoop> loop;
    std::shared_ptr<Recorder> recorder;
};

// CPU time, in seconds, used by the worker threads ("callOnNewThread") of this process, read from
// the scheduler's per-thread statistics: a sleeping thread adds nothing, while one that polls
// adds some even when the machine is busy and it runs niced.
double workerCpuSeconds() {
    double total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name != "callOnNewThread") {
            continue;
        }
        std::ifstream schedstat(task.path() / "schedstat");
        unsigned long long runNanoseconds = 0;
        schedstat >> runNanoseconds;
        total += static_cast<double>(runNanoseconds) / 1e9;
    }
    return total;
}

// True when the workers used (almost) no CPU during some 200 ms window. Several windows are
// tried because workers that are still getting to their wait (slow under sanitizers) use some;
// a polling worker uses CPU in every window.
bool workersSleep() {
    for (int attempt = 0; attempt < 6; ++attempt) {
        double before = workerCpuSeconds();
        std::this_thread::sleep_for(200ms);
        if (workerCpuSeconds() - before < 0.002) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST_F(JobManagerTest, EmptyManagerEndsAtOnceAndReportsOnce) {
    auto manager = makeManager(3);
    manager->start();
    ASSERT_TRUE(runUntilAllFinished());
    EXPECT_EQ(recorder->workersStarted, 3);
    EXPECT_EQ(recorder->workersFinished, 3);
    loop->runUntil([] { return false; }, 30ms);
    EXPECT_EQ(recorder->allJobsFinished, 1);
    EXPECT_EQ(recorder->workersFinishedAtEnd, 3);
    EXPECT_EQ(recorder->deliveredOffMainThread, 0);
}

TEST_F(JobManagerTest, WorkerCountFollowsProcessorsAndMaximum) {
    for (auto [processors, maxWorkers, expected] :
         {std::tuple{8, 2, 2}, std::tuple{1, 2, 1}, std::tuple{3, 0, 3}}) {
        recorder = std::make_shared<Recorder>();
        makeManager(processors, maxWorkers)->start();
        ASSERT_TRUE(runUntilAllFinished());
        EXPECT_EQ(recorder->workersStarted, expected) << processors << " " << maxWorkers;
    }
    // Without a stand-in the count comes from this thread's affinity.
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    recorder = std::make_shared<Recorder>();
    makeManager(0, 2)->start();
    sched_setaffinity(0, sizeof all, &all);
    ASSERT_TRUE(runUntilAllFinished());
    EXPECT_EQ(recorder->workersStarted, 1);
}

TEST_F(JobManagerTest, OneWorkerTakesJobsInOrderAddedOnceReady) {
    auto manager = makeManager(1);
    auto j1 = job(1), j2 = job(2), j3 = job(3), j4 = job(4);
    j3->addDependent(j1); // j1 waits for j3, which was added after it
    j1->addDependent(j4);
    for (auto& j : {j1, j2, j3, j4}) {
        manager->addJob(j);
    }
    manager->start();
    ASSERT_TRUE(runUntilAllFinished());
    EXPECT_EQ(recorder->startedCopy(), (std::vector<int>{2, 3, 1, 4}));
    EXPECT_EQ(recorder->delivered, (std::vector<int>{2, 3, 1, 4}));
    EXPECT_EQ(j1->workerIndex(), 0);
}

TEST_F(JobManagerTest, IndependentJobOvertakesAndDependentWaitsForReturn) {
    Latch releaseFirst;
    std::atomic<bool> secondDone{false};
    std::atomic<bool> thirdSawFirstReturned{false};
    auto manager = makeManager(2);
    auto j1 = job(1, [&](TestJob&) { releaseFirst.wait(); });
    auto j2 = job(2, [&](TestJob&) { secondDone = true; });
    auto j3 = job(3, [&](TestJob&) { thirdSawFirstReturned = j1->returned.load(); });
    j1->addDependent(j3);
    manager->addJob(j1);
    manager->addJob(j2);
    manager->addJob(j3);
    manager->start();
    // j2 finishes on the other worker while j1 still runs; j3 stays blocked meanwhile.
    ASSERT_TRUE(waitFor([&] { return secondDone.load(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(recorder->runs, 2);
    releaseFirst.open();
    ASSERT_TRUE(runUntilAllFinished());
    EXPECT_TRUE(thirdSawFirstReturned);
    EXPECT_EQ(recorder->runs, 3);
    EXPECT_EQ(recorder->delivered.size(), 3u);
}

TEST_F(JobManagerTest, BlockedPausedAndIdleWorkersSleep) {
    // Blocked: one worker runs j1, the others find only j1's dependents.
    Latch release;
    auto manager = makeManager(3);
    auto j1 = job(1, [&](TestJob&) { release.wait(); });
    manager->addJob(j1);
    for (int i = 2; i <= 4; ++i) {
        auto dependent = job(i);
        j1->addDependent(dependent);
        manager->addJob(dependent);
    }
    manager->start();
    ASSERT_TRUE(waitFor([&] { return recorder->runs == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(workersSleep()) << "blocked workers poll";
    // Paused: the freed jobs wait behind the pause gate.
    manager->pause();
    release.open();
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(workersSleep()) << "paused workers poll";
    EXPECT_EQ(recorder->runs, 1);
    manager->resume();
    ASSERT_TRUE(runUntilAllFinished());
    EXPECT_EQ(recorder->runs, 4);
    EXPECT_EQ(recorder->resumed, 1);

    // Idle: a persistent manager without jobs.
    auto persistent = makeManager(2);
    persistent->setPersistent(true);
    persistent->start();
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(workersSleep()) << "idle persistent workers poll";
    persistent->stop();
}

TEST_F(JobManagerTest, StopWhilePausedReleasesWorkersAndDropsPending) {
    Latch release;
    auto manager = makeManager(2);
    std::atomic<bool> sawCancel{false};
    auto running = job(1, [&](TestJob& self) {
        release.wait();
        sawCancel = self.isCancelled();
    });
    auto dependent = job(2);
    running->addDependent(dependent);
    manager->addJob(running);
    manager->addJob(dependent);
    for (int i = 3; i < 10; ++i) {
        manager->addJob(job(i, [&](TestJob&) { release.wait(); }));
    }
    manager->pause(); // before start: no job is taken at all
    manager->start();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(recorder->runs, 0);
    manager->resume();
    manager->pause();
    // Workers may or may not have slipped through; whatever runs is cancelled by stop.
    manager->stop();
    EXPECT_TRUE(manager->isStopped());
    EXPECT_EQ(manager->pendingCount(), 0u);
    EXPECT_EQ(recorder->stopped, 1);
    manager->addJob(job(99)); // a stopped manager takes nothing more
    EXPECT_EQ(manager->pendingCount(), 0u);
    release.open();
    ASSERT_TRUE(runUntilAllFinished());
    loop->runUntil([] { return false; }, 20ms);
    EXPECT_EQ(recorder->resumed, 2);
    EXPECT_EQ(recorder->allJobsFinished, 1);
    EXPECT_LE(recorder->runs, 2);
    if (running->returned) {
        EXPECT_TRUE(sawCancel);
    }
    EXPECT_EQ(recorder->delivered.size(), static_cast<size_t>(recorder->runs.load()));
}

TEST_F(JobManagerTest, PersistentWorkersWaitForJobsUntilStopped) {
    auto manager = makeManager(2);
    manager->setPersistent(true);
    manager->start();
    std::this_thread::sleep_for(30ms);
    loop->processPending();
    EXPECT_EQ(recorder->allJobsFinished, 0);
    EXPECT_EQ(recorder->workersFinished, 0);

    for (int round = 0; round < 20; ++round) {
        manager->addJob(job(round));
        ASSERT_TRUE(loop->runUntil(
            [&] { return recorder->delivered.size() == static_cast<size_t>(round + 1); }, 20s));
    }
    // Added from a worker thread too.
    std::thread([&] { manager->addJob(job(100)); }).join();
    ASSERT_TRUE(loop->runUntil([&] { return recorder->delivered.size() == 21; }, 20s));
    EXPECT_EQ(recorder->workersFinished, 0);

    manager->stop();
    ASSERT_TRUE(runUntilAllFinished());
    EXPECT_EQ(recorder->workersFinished, 2);
}

TEST_F(JobManagerTest, EscapingExceptionCountsAsPerformed) {
    TempDir dir;
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    auto manager = makeManager(2);
    auto failing = job(1, [](TestJob&) { throw std::logic_error("broken tag"); });
    auto dependent = job(2);
    failing->addDependent(dependent);
    manager->addJob(failing);
    manager->addJob(dependent);
    for (int i = 3; i < 8; ++i) {
        manager->addJob(job(i, [](TestJob&) { throw 7; }));
    }
    manager->start();
    ASSERT_TRUE(runUntilAllFinished());
    EXPECT_EQ(recorder->runs, 7);
    EXPECT_EQ(recorder->delivered.size(), 7u);
    EXPECT_FALSE(failing->returned);
    EXPECT_TRUE(dependent->returned);
    closeLog();
    EXPECT_NE(readFile(dir.file("Sonorix.log"))
                  .find("] Uncaught Exception std::logic_error in Thread! >>broken tag<<\n"),
              std::string::npos);
}

TEST_F(JobManagerTest, FinishedJobsWaitInOneDrainCall) {
    auto manager = makeManager(1);
    for (int i = 0; i < 500; ++i) {
        manager->addJob(job(i));
    }
    manager->start();
    // The main thread is busy elsewhere: however many jobs finish, one drain is queued (plus
    // the last worker's final call).
    ASSERT_TRUE(waitFor([&] { return recorder->runs == 500 && loop->pendingRecords() == 2; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(loop->pendingRecords(), 2u);
    ASSERT_TRUE(runUntilAllFinished());
    ASSERT_EQ(recorder->delivered.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(recorder->delivered[i], i);
    }
}

TEST_F(JobManagerTest, LatePrerequisiteReleasesSleepingWorkers) {
    auto manager = makeManager(2);
    manager->setPersistent(true);
    auto prerequisite = job(1);
    auto dependent = job(2);
    prerequisite->addDependent(dependent);
    manager->addJob(dependent);
    manager->start();
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(workersSleep()) << "workers poll a job whose prerequisite is not queued";
    manager->addJob(prerequisite);
    ASSERT_TRUE(loop->runUntil([&] { return recorder->delivered.size() == 2; }, 20s));
    EXPECT_EQ(recorder->startedCopy(), (std::vector<int>{1, 2}));
    manager->stop();
    ASSERT_TRUE(runUntilAllFinished());
}

TEST_F(JobManagerTest, JobsFinishingWhileTheWindowClosesDoNotKeepTheirManagerAlive) {
    std::weak_ptr<TestManager> watched;
    std::promise<void> closed;
    std::shared_future<void> closedFuture = closed.get_future().share();
    {
        auto manager = makeManager(2);
        watched = manager;
        for (int id = 0; id < 4; ++id) {
            // Jobs hold their manager, as real ones do; undelivered they would form a cycle.
            manager->addJob(job(id, [manager, closedFuture](TestJob&) { closedFuture.wait(); }));
        }
        manager->start();
    }
    ASSERT_TRUE(waitFor([&] { return recorder->runs > 0; }));
    setMainWindowClosing();
    closed.set_value();
    EXPECT_TRUE(waitFor([&] { return watched.expired(); }, 20s));
    EXPECT_EQ(recorder->allJobsFinished, 0);
    setMainRunLoop(loop); // accepts calls again for the tear-down
}
