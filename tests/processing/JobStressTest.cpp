#include "JobTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace sonorix;
using namespace sonorix::test;
using namespace std::chrono_literals;

namespace {

constexpr int kWorkers = 4;

// A job that checks, as it starts, that it runs for the first time and that every
// prerequisite already returned, and notes its place in its worker's sequence.
class CheckedJob : public Job {
public:
    explicit CheckedJob(int id, std::shared_ptr<std::vector<std::atomic<int>>> workerSequence)
        : id(id), m_workerSequence(std::move(workerSequence)) {}

    void run(const WorkerContext&) override {
        if (++runs != 1) {
            ++violations;
        }
        for (const CheckedJob* p : prerequisites) {
            if (!p->returned) {
                ++violations;
            }
        }
        // A little work, so that workers overlap and pause/stop land mid-run.
        volatile unsigned sink = 0;
        for (unsigned i = 0; i < 4000 + static_cast<unsigned>(id % 7) * 2000; ++i) {
            sink = sink + i;
        }
        sequence = (*m_workerSequence)[workerIndex()]++;
        returned = true;
    }

    void finishedOnMainThread() override {
        if (!isMainThread()) {
            ++violations;
        }
        ++deliveries;
        delivered.push_back(this);
    }

    const int id;
    // Plain pointers: a job already holds its dependents, and the test holds every job.
    std::vector<CheckedJob*> prerequisites;
    std::atomic<int> runs{0};
    std::atomic<bool> returned{false};
    int sequence = -1;
    int deliveries = 0; // main thread only

    static inline std::atomic<int> violations{0};
    static inline std::vector<CheckedJob*> delivered; // main thread only

private:
    std::shared_ptr<std::vector<std::atomic<int>>> m_workerSequence;
};

} // namespace

// Thousands of jobs with random prerequisites, added in random order, on more workers than
// the machine may have, while the main thread pauses, resumes and stops at random moments.
TEST(JobStress, RandomPrerequisitesPauseResumeStop) {
    auto loop = std::make_shared<BasicRunLoop>();
    setMainRunLoop(loop);
    std::mt19937 random(20240611);
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    const int rounds = 4; // the sanitized runs are many times slower
#else
    const int rounds = 8;
#endif
    const int jobsPerRound = 2500;

    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        CheckedJob::violations = 0;
        CheckedJob::delivered.clear();
        auto recorder = std::make_shared<Recorder>();
        auto manager = std::make_shared<TestManager>(recorder, kWorkers);
        auto workerSequence = std::make_shared<std::vector<std::atomic<int>>>(kWorkers);

        std::vector<std::shared_ptr<CheckedJob>> jobs;
        for (int i = 0; i < jobsPerRound; ++i) {
            auto job = std::make_shared<CheckedJob>(i, workerSequence);
            // Prerequisites among the jobs made before: no cycles.
            int count = i == 0 ? 0 : std::uniform_int_distribution<int>(0, 3)(random);
            for (int k = 0; k < count; ++k) {
                // Mostly recent jobs, so chains form as they do for albums.
                int back = std::min(i, 1 + std::uniform_int_distribution<int>(0, 40)(random));
                auto& prerequisite = jobs[static_cast<size_t>(i - back)];
                if (std::find(job->prerequisites.begin(), job->prerequisites.end(),
                              prerequisite.get()) == job->prerequisites.end()) {
                    prerequisite->addDependent(job);
                    job->prerequisites.push_back(prerequisite.get());
                }
            }
            jobs.push_back(job);
        }
        // Added mostly in order, with some local shuffling: dependents sometimes come first.
        std::vector<std::shared_ptr<CheckedJob>> order = jobs;
        for (size_t i = 0; i + 8 < order.size(); i += 8) {
            std::shuffle(order.begin() + static_cast<long>(i),
                         order.begin() + static_cast<long>(i + 8), random);
        }
        for (auto& job : order) {
            manager->addJob(job);
        }

        const bool stopsEarly = round % 3 == 2;
        const int stopAt = std::uniform_int_distribution<int>(1, 40)(random);
        manager->start();
        int slices = 0;
        while (recorder->allJobsFinished == 0) {
            loop->processPending();
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::uniform_int_distribution<int>(0, 300)(random)));
            ++slices;
            int action = std::uniform_int_distribution<int>(0, 9)(random);
            if (action < 3) {
                manager->pause();
            } else if (action < 7) {
                manager->resume();
            }
            if (stopsEarly && slices == stopAt) {
                manager->stop();
            }
            ASSERT_LT(slices, 1000000) << "manager never finished";
        }
        manager->resume();
        loop->runUntil([] { return false; }, 10ms);

        EXPECT_EQ(CheckedJob::violations, 0);
        EXPECT_EQ(recorder->allJobsFinished, 1);
        EXPECT_EQ(recorder->workersStarted, kWorkers);
        EXPECT_EQ(recorder->workersFinished, kWorkers);
        EXPECT_EQ(recorder->workersFinishedAtEnd, kWorkers);
        int ran = 0;
        for (auto& job : jobs) {
            EXPECT_LE(job->runs, 1);
            EXPECT_EQ(job->deliveries, job->runs.load()) << "job " << job->id;
            ran += job->runs;
        }
        if (!stopsEarly) {
            EXPECT_EQ(ran, jobsPerRound);
        }
        // Each worker's jobs arrive in the order that worker finished them.
        std::vector<int> lastSequence(kWorkers, -1);
        for (CheckedJob* job : CheckedJob::delivered) {
            int& last = lastSequence[static_cast<size_t>(job->workerIndex())];
            EXPECT_GT(job->sequence, last) << "job " << job->id;
            last = job->sequence;
        }
    }
    clearMainRunLoop();
}
