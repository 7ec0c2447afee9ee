#include "foundation/Threads.h"
#include "foundation/ExceptionBase.h"
#include "foundation/Log.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <pthread.h>
#include <sched.h>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sonorix;
using namespace std::chrono_literals;

namespace {

SONORIX_DECLARE_EXCEPTION(TestFailure, ExceptionBase);
SONORIX_DECLARE_EXCEPTION(SpecificFailure, TestFailure);

class MainThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        loop = std::make_shared<BasicRunLoop>();
        setMainRunLoop(loop);
    }
    void TearDown() override { clearMainRunLoop(); }

    // Runs the loop until the future is ready.
    template <class T>
    T runUntilReady(std::future<T>& f) {
        std::atomic<bool> ready{false};
        std::thread watcher([&] {
            f.wait();
            ready = true;
            loop->post([] {}); // wakes the loop to look at `ready`
        });
        bool ok = loop->runUntil([&] { return ready.load(); }, 20s);
        watcher.join();
        EXPECT_TRUE(ok);
        return f.get();
    }

    std::shared_ptr<BasicRunLoop> loop;
};

class Counter : public ThreadCallable<Counter> {
public:
    void add(int amount) { total += amount; }
    void bump() { ++total; }
    std::atomic<int> total{0};
};

} // namespace

TEST_F(MainThreadTest, OnTheMainThreadRunsDirectlyWaitingOrNot) {
    EXPECT_TRUE(isMainThread());
    int ran = 0;
    callOnMainThread([&] { ++ran; }, false);
    EXPECT_EQ(ran, 1);
    callOnMainThread([&] { ++ran; }, true);
    EXPECT_EQ(ran, 2);
    EXPECT_EQ(loop->pendingRecords(), 0u);
}

TEST_F(MainThreadTest, WaitingCallRunsOnTheMainThreadBeforeReturning) {
    auto worker = std::async(std::launch::async, [] {
        EXPECT_FALSE(isMainThread());
        bool onMain = false;
        callOnMainThread([&] { onMain = isMainThread(); }, true);
        return onMain; // written by the main thread; visible because the call waited
    });
    EXPECT_TRUE(runUntilReady(worker));
}

TEST_F(MainThreadTest, ExceptionBaseReachesTheWaitingCallerWithItsType) {
    auto worker = std::async(std::launch::async, [] {
        std::string caught;
        try {
            callOnMainThread([] { throw SpecificFailure("disk gone"); }, true);
            caught = "nothing";
        } catch (const SpecificFailure& e) {
            caught = std::string("SpecificFailure:") + e.what();
        } catch (...) {
            caught = "other";
        }
        return caught;
    });
    EXPECT_EQ(runUntilReady(worker), "SpecificFailure:disk gone");
}

TEST_F(MainThreadTest, OtherExceptionsAndNonWaitingFailuresAreDropped) {
    auto worker = std::async(std::launch::async, [] {
        callOnMainThread([] { throw std::runtime_error("plain"); }, true);
        callOnMainThread([] { throw SpecificFailure("nobody waits"); }, false);
        callOnMainThread([] { throw 42; }, true);
        return true; // reached only when no call re-raised
    });
    EXPECT_TRUE(runUntilReady(worker));
}

TEST_F(MainThreadTest, PostedCallsRunInOrderAndDelegatesKeepTheirObject) {
    auto counter = std::make_shared<Counter>();
    std::vector<int> order;
    DelegatePtr add = counter->delegateFor<&Counter::add>(5);
    DelegatePtr bump = counter->delegateFor<&Counter::bump>();
    std::weak_ptr<Counter> weak = counter;
    counter.reset(); // the delegates hold it now
    auto worker = std::async(std::launch::async,
                             [&order, add = std::move(add), bump = std::move(bump)]() mutable {
                                 for (int i = 0; i < 100; ++i) {
                                     callOnMainThread([&order, i] { order.push_back(i); }, false);
                                 }
                                 callOnMainThread(add, false);
                                 callOnMainThread(bump, true);
                                 add.reset();
                                 bump.reset();
                             });
    EXPECT_FALSE(weak.expired());
    runUntilReady(worker);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[i], i);
    }
    EXPECT_TRUE(weak.expired()); // released once every scheduled call ran
}

// Counts the records handed to the loop: each one is a wake-up of the main thread.
class CountingLoop final : public RunLoop {
public:
    void post(Record record) override {
        ++posts;
        inner.post(std::move(record));
    }
    bool send(Record record) override {
        ++sends;
        return inner.send(std::move(record));
    }
    size_t processPending(std::chrono::milliseconds wait) override {
        return inner.processPending(wait);
    }

    BasicRunLoop inner;
    std::atomic<int> posts{0};
    std::atomic<int> sends{0};
};

TEST(MainThreadBatch, BurstFromSeveralThreadsArrivesCompleteInOrderWithOneWakeUp) {
    auto counting = std::make_shared<CountingLoop>();
    setMainRunLoop(counting);
    constexpr int kThreads = 4;
    constexpr int kCalls = 2000;
    std::vector<std::vector<int>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&seen, t] {
            for (int i = 0; i < kCalls; ++i) {
                callOnMainThread([&seen, t, i] { seen[t].push_back(i); }, false);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // The main thread was busy for the whole burst: one record woke it.
    EXPECT_EQ(counting->posts.load(), 1);
    EXPECT_EQ(counting->processPending(std::chrono::milliseconds(0)), 1u);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), size_t(kCalls)) << "thread " << t;
        for (int i = 0; i < kCalls; ++i) {
            ASSERT_EQ(seen[t][i], i) << "thread " << t;
        }
    }
    // Drained: the next call needs, and gets, a new wake-up.
    std::thread([] { callOnMainThread([] {}, false); }).join();
    EXPECT_EQ(counting->posts.load(), 2);
    counting->processPending(std::chrono::milliseconds(0));
    clearMainRunLoop();
}

TEST(MainThreadBatch, WaitingCallRunsAfterTheCallsQueuedBeforeIt) {
    auto counting = std::make_shared<CountingLoop>();
    setMainRunLoop(counting);
    std::vector<int> order;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) {
            callOnMainThread([&order, i] { order.push_back(i); }, false);
        }
        callOnMainThread([&order] { order.push_back(-1); }, true);
        done = true;
    });
    // The send is queued behind the batch's record; processed either way, the order holds.
    while (!done.load()) {
        counting->processPending(std::chrono::milliseconds(1));
    }
    worker.join();
    counting->processPending(std::chrono::milliseconds(0));
    ASSERT_EQ(order.size(), 101u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[i], i);
    }
    EXPECT_EQ(order.back(), -1);
    EXPECT_EQ(counting->sends.load(), 1);
    clearMainRunLoop();
}

TEST(MainThreadBatch, CallsPostedWhileTheBatchRunsWaitForTheNextPass) {
    auto counting = std::make_shared<CountingLoop>();
    setMainRunLoop(counting);
    std::vector<int> order;
    std::thread([&] {
        callOnMainThread(
            [&] {
                order.push_back(1);
                // A worker's call arriving now must not extend this pass for ever; it gets its
                // own wake-up and still runs after this one.
                std::thread([&] { callOnMainThread([&] { order.push_back(2); }, false); }).join();
            },
            false);
    }).join();
    EXPECT_EQ(counting->processPending(std::chrono::milliseconds(0)), 1u);
    EXPECT_EQ(order, std::vector<int>({1}));
    EXPECT_EQ(counting->posts.load(), 2);
    counting->processPending(std::chrono::milliseconds(0));
    EXPECT_EQ(order, std::vector<int>({1, 2}));
    clearMainRunLoop();
}

TEST_F(MainThreadTest, MainThreadHooksCalledElsewhereEndTheProcessWhileChecking) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const bool was = mainThreadChecks();
    setMainThreadChecks(true);
    assertMainThread("refreshTrack"); // on the main thread: nothing happens
    EXPECT_DEATH(std::thread([] { assertMainThread("refreshTrack"); }).join(),
                 "refreshTrack was called off the main thread");
    setMainThreadChecks(false);
    std::thread([] { assertMainThread("refreshTrack"); }).join();
    setMainThreadChecks(was);
}

TEST(Delegates, DelegateForNeedsASharedOwner) {
    Counter onStack;
    EXPECT_THROW(onStack.delegateFor<&Counter::bump>(), std::bad_weak_ptr);
    auto shared = std::make_shared<Counter>();
    shared->delegateFor<&Counter::add>(3)->call();
    EXPECT_EQ(shared->total.load(), 3);
}

TEST_F(MainThreadTest, ClosingDropsLaterCallsButFinishesWaitingOnes) {
    std::atomic<bool> firstRan{false};
    std::atomic<bool> laterRan{false};
    std::promise<void> closed;
    auto closedFuture = closed.get_future().share();
    auto worker = std::async(std::launch::async, [&] {
        callOnMainThread([&] { firstRan = true; }, true); // waiting when the closing starts
        closedFuture.wait();
        callOnMainThread([&] { laterRan = true; }, true);
        callOnMainThread([&] { laterRan = true; }, false);
        return true;
    });
    // Wait until the worker's call is queued (and it holds the read side), then close without
    // running the loop first: the closing itself must run the call.
    while (loop->pendingRecords() == 0) {
        std::this_thread::yield();
    }
    setMainWindowClosing();
    EXPECT_TRUE(firstRan);
    EXPECT_TRUE(mainWindowClosing());
    closed.set_value();
    EXPECT_EQ(worker.wait_for(20s), std::future_status::ready); // dropped calls return at once
    EXPECT_TRUE(worker.get());
    loop->processPending();
    EXPECT_FALSE(laterRan);

    // A new registration accepts calls again.
    setMainRunLoop(loop);
    EXPECT_FALSE(mainWindowClosing());
}

TEST_F(MainThreadTest, ReplacingTheLoopRunsTheCallsItsCallersWaitFor) {
    std::atomic<bool> ran{false};
    auto worker =
        std::async(std::launch::async, [&] { callOnMainThread([&] { ran = true; }, true); });
    while (loop->pendingRecords() == 0) {
        std::this_thread::yield();
    }
    setMainRunLoop(std::make_shared<BasicRunLoop>()); // would wait for ever for the caller
    EXPECT_TRUE(ran);
    EXPECT_EQ(worker.wait_for(20s), std::future_status::ready);
}

TEST(MainThread, WithoutALoopCallsAreDroppedAndNoThreadIsMain) {
    clearMainRunLoop();
    EXPECT_FALSE(isMainThread());
    bool ran = false;
    std::async(std::launch::async, [&] { callOnMainThread([&] { ran = true; }, true); }).get();
    EXPECT_FALSE(ran);
}

TEST(RunLoop, SendFromTheLoopThreadRunsAtOnceAndDroppedSendersAreReleased) {
    auto loop = std::make_unique<BasicRunLoop>();
    bool ran = false;
    EXPECT_TRUE(loop->send([&] { ran = true; }));
    EXPECT_TRUE(ran);

    std::atomic<bool> queuedRan{false};
    auto sender =
        std::async(std::launch::async, [&] { return loop->send([&] { queuedRan = true; }); });
    while (loop->pendingRecords() == 0) {
        std::this_thread::yield();
    }
    loop.reset(); // the loop ends with the record still queued
    EXPECT_FALSE(sender.get());
    EXPECT_FALSE(queuedRan);
}

TEST(RunLoop, QuitEndsRunFromAnotherThread) {
    BasicRunLoop loop;
    int ran = 0;
    loop.post([&] { ++ran; });
    std::thread([&] {
        loop.send([&] { ++ran; });
        loop.quit();
    }).detach();
    loop.run();
    EXPECT_EQ(ran, 2);
}

TEST(NewThread, RunsNamedAndLowerOnAnotherThread) {
    errno = 0;
    int mainNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    std::promise<std::tuple<std::thread::id, std::string, int>> seen;
    callOnNewThread([&] {
        char name[32] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        seen.set_value({std::this_thread::get_id(), name, nice});
    });
    auto [id, name, nice] = seen.get_future().get();
    EXPECT_NE(id, std::this_thread::get_id());
    EXPECT_EQ(name, "callOnNewThread");
    if (mainNice < 19) {
        EXPECT_GT(nice, mainNice);
    }
}

TEST(NewThread, EscapingExceptionIsLoggedAndTheThreadEnds) {
    test::TempDir dir;
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    // Signals when the thread lets go of its call, which it does only after logging.
    struct SignalOnRelease {
        std::promise<void> released;
        ~SignalOnRelease() { released.set_value(); }
    };
    auto signal = std::make_shared<SignalOnRelease>();
    std::future<void> released = signal->released.get_future();
    callOnNewThread([signal] { throw std::out_of_range("index 7"); });
    signal.reset();
    ASSERT_EQ(released.wait_for(20s), std::future_status::ready);
    closeLog();
    std::string log = test::readFile(dir.file("Sonorix.log"));
    EXPECT_NE(log.find("] Uncaught Exception std::out_of_range in Thread! >>index 7<<\n"),
              std::string::npos)
        << log;
}

TEST(Processors, CountsTheWholeAffinityMask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    EXPECT_EQ(numberOfActiveProcessors(), CPU_COUNT(&set));

    // A thread allowed fewer processors than the machine has counts only those.
    std::vector<int> allowed;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            allowed.push_back(cpu);
        }
    }
    for (size_t keep = 1; keep <= allowed.size() && keep <= 4; ++keep) {
        int counted = std::async(std::launch::async, [&] {
                          cpu_set_t some;
                          CPU_ZERO(&some);
                          for (size_t i = 0; i < keep; ++i) {
                              CPU_SET(allowed[allowed.size() - 1 - i], &some);
                          }
                          if (sched_setaffinity(0, sizeof some, &some) != 0) {
                              return -1;
                          }
                          return numberOfActiveProcessors();
                      }).get();
        EXPECT_EQ(counted, static_cast<int>(keep));
    }
}

TEST(ThreadName, LongNamesAreCutToWhatTheKernelKeeps) {
    std::string name = std::async(std::launch::async, [] {
                           setThreadName("a-rather-long-thread-name");
                           char buffer[32] = {};
                           pthread_getname_np(pthread_self(), buffer, sizeof buffer);
                           return std::string(buffer);
                       }).get();
    EXPECT_EQ(name, "a-rather-long-t");
}
