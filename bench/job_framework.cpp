// Throughput of the job framework with trivial jobs in chains of 4 (as album jobs come), and
// the CPU its workers use while they have nothing to do.

#include "foundation/Threads.h"
#include "processing/JobManager.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <thread>

using namespace sonorix;

namespace {

constexpr int kJobs = 200000;
constexpr int kChain = 4;

class TrivialJob : public Job {
public:
    explicit TrivialJob(std::function<void()> body = {}) : m_body(std::move(body)) {}
    void run(const WorkerContext&) override {
        if (m_body) {
            m_body();
        }
        benchmark::DoNotOptimize(++m_runs);
    }
    void finishedOnMainThread() override { benchmark::DoNotOptimize(++m_delivered); }

private:
    std::function<void()> m_body;
    int m_runs = 0;
    int m_delivered = 0;
};

class BenchManager : public JobManager {
public:
    explicit BenchManager(BasicRunLoop& loop) : m_loop(loop) {}
    void allJobsFinished() override {
        finished = true;
        m_loop.quit();
    }
    bool finished = false;

private:
    BasicRunLoop& m_loop;
};

std::vector<std::shared_ptr<Job>> makeChains(int jobs) {
    std::vector<std::shared_ptr<Job>> all;
    all.reserve(static_cast<size_t>(jobs));
    for (int i = 0; i < jobs; ++i) {
        auto job = std::make_shared<TrivialJob>();
        if (i % kChain != 0) {
            all.back()->addDependent(job);
        }
        all.push_back(std::move(job));
    }
    return all;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Jobs per second of wall time, and per second of CPU time of the whole process (all threads):
// the second is what the framework costs, whatever else the machine is doing.
void setCounters(benchmark::State& state, double cpuSeconds) {
    double jobs = static_cast<double>(kJobs) * static_cast<double>(state.iterations());
    state.counters["jobs_per_s"] = benchmark::Counter(jobs, benchmark::Counter::kIsRate);
    state.counters["jobs_per_cpu_s"] = jobs / cpuSeconds;
}

// Baseline: the same jobs performed and delivered one after another on one thread.
void BM_DirectCalls(benchmark::State& state) {
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto jobs = makeChains(kJobs);
        state.ResumeTiming();
        double before = processCpuSeconds();
        for (auto& job : jobs) {
            job->perform({}, 0);
            job->finishedOnMainThread();
        }
        jobs.clear();
        cpu += processCpuSeconds() - before;
    }
    setCounters(state, cpu);
}

void BM_JobManager(benchmark::State& state) {
    auto loop = std::make_shared<BasicRunLoop>();
    setMainRunLoop(loop);
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto jobs = makeChains(kJobs);
        auto manager = std::make_shared<BenchManager>(*loop);
        manager->setMaxWorkers(static_cast<int>(state.range(0)));
        state.ResumeTiming();
        double before = processCpuSeconds();
        for (auto& job : jobs) {
            manager->addJob(job);
        }
        jobs.clear();
        manager->start();
        loop->run();
        cpu += processCpuSeconds() - before;
        if (!manager->finished) {
            state.SkipWithError("manager did not finish");
        }
    }
    setCounters(state, cpu);
    clearMainRunLoop();
}

BENCHMARK(BM_DirectCalls)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_JobManager)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

double cpuDuring(std::chrono::milliseconds window) {
    double before = processCpuSeconds();
    std::this_thread::sleep_for(window);
    return processCpuSeconds() - before;
}

// Workers with nothing to do must sleep: paused, blocked behind a running job, and idle in a
// persistent manager.
void measureIdleWorkers() {
    auto loop = std::make_shared<BasicRunLoop>();
    setMainRunLoop(loop);
    const auto window = std::chrono::seconds(2);
    std::printf("\nProcess CPU time while workers have nothing to do (2 workers, %lld s each):\n",
                static_cast<long long>(window.count()));

    {
        auto manager = std::make_shared<BenchManager>(*loop);
        manager->setMaxWorkers(2);
        for (auto& job : makeChains(kJobs)) {
            manager->addJob(job);
        }
        manager->start();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        manager->pause();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        size_t pendingBefore = manager->pendingCount();
        double cpu = cpuDuring(window);
        std::printf("  paused mid-run:               %.4f s CPU (%zu jobs pending, %zu after)\n",
                    cpu, pendingBefore, manager->pendingCount());
        manager->resume();
        loop->run();
    }
    {
        std::mutex mutex;
        std::condition_variable released;
        bool open = false;
        auto manager = std::make_shared<BenchManager>(*loop);
        manager->setMaxWorkers(2);
        auto first = std::make_shared<TrivialJob>([&] {
            std::unique_lock<std::mutex> lock(mutex);
            released.wait(lock, [&] { return open; });
        });
        manager->addJob(first);
        for (int i = 0; i < 1000; ++i) {
            auto dependent = std::make_shared<TrivialJob>();
            first->addDependent(dependent);
            manager->addJob(dependent);
        }
        manager->start();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        double cpu = cpuDuring(window);
        std::printf("  blocked behind a running job: %.4f s CPU\n", cpu);
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        released.notify_all();
        loop->run();
    }
    {
        auto manager = std::make_shared<BenchManager>(*loop);
        manager->setMaxWorkers(2);
        manager->setPersistent(true);
        manager->start();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        double cpu = cpuDuring(window);
        std::printf("  idle persistent manager:      %.4f s CPU\n", cpu);
        manager->stop();
        loop->run();
    }
    clearMainRunLoop();
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::printf("%d trivial jobs in chains of %d; usable processors: %d; target >= 100000 "
                "jobs/s\n",
                kJobs, kChain, numberOfActiveProcessors());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    measureIdleWorkers();
    return 0;
}
