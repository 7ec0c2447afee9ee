#include "foundation/Threads.h"

#include "foundation/ExceptionBase.h"
#include "foundation/Log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace sonorix {
namespace {

// Calls handed over without waiting queue here, and one record on the loop runs them: a burst
// from the workers wakes the main thread once instead of once per call. One batch per
// registered loop; the record that drains it keeps it alive.
struct CallBatch {
    std::mutex mutex;
    std::deque<std::pair<uint64_t, std::function<void()>>> calls;
    uint64_t nextNumber = 0;
    bool drainPosted = false;
};

constexpr uint64_t kAllCalls = std::numeric_limits<uint64_t>::max();

// Runs the calls numbered below `before`, one at a time from the shared queue so that a loop
// nested inside a call continues in order. The calls present at the start bound the work: a
// steady stream must not keep the loop from its other records.
void drainCalls(CallBatch& batch, uint64_t before) {
    size_t count;
    {
        std::lock_guard<std::mutex> lock(batch.mutex);
        if (before == kAllCalls) {
            // From here on a new call needs a new wake-up: this one is no longer pending.
            batch.drainPosted = false;
        }
        count = batch.calls.size();
    }
    for (size_t i = 0; i < count; ++i) {
        std::function<void()> call;
        {
            std::lock_guard<std::mutex> lock(batch.mutex);
            if (batch.calls.empty() || batch.calls.front().first >= before) {
                return;
            }
            call = std::move(batch.calls.front().second);
            batch.calls.pop_front();
        }
        call();
    }
}

void postBatched(const std::shared_ptr<RunLoop>& loop, const std::shared_ptr<CallBatch>& batch,
                 std::function<void()> call) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(batch->mutex);
        batch->calls.emplace_back(batch->nextNumber++, std::move(call));
        wake = !batch->drainPosted;
        batch->drainPosted = true;
    }
    if (wake) {
        loop->post([batch] { drainCalls(*batch, kAllCalls); });
    }
}

// Written only under the write side of mainThreadCallLock, read under its read side.
std::shared_ptr<RunLoop> g_mainLoop;
std::shared_ptr<CallBatch> g_callBatch;
bool g_mainWindowClosing = false;
// Read without the lock by isMainThread.
std::atomic<std::thread::id> g_mainThread{};
// Set at the start of closing: new callers give up at once, so the callers already inside
// drain and the main thread gets the write side even under steady traffic.
std::atomic<bool> g_closingRequested{false};

constexpr int kNewThreadNiceIncrement = 10;

// Holds the read side and releases it on every way out.
class ReadHold {
public:
    explicit ReadHold(ReadWriteLock& lock) : m_lock(lock) { m_lock.lockRead(); }
    ~ReadHold() { release(); }
    void release() {
        if (m_held) {
            m_held = false;
            m_lock.unlockRead();
        }
    }

private:
    ReadWriteLock& m_lock;
    bool m_held = true;
};

void lowerThreadPriority() {
    pid_t tid = gettid();
    errno = 0;
    int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno != 0) {
        return;
    }
    // Failure only costs responsiveness.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid),
                      std::min(current + kNewThreadNiceIncrement, 19));
}

} // namespace

std::shared_ptr<ReadWriteLock> mainThreadCallLock() {
    static const std::shared_ptr<ReadWriteLock> lock = ReadWriteLock::create();
    return lock;
}

// Made during static initialisation, before any thread can ask for it.
[[maybe_unused]] static const bool g_lockMade = (mainThreadCallLock(), true);

// Takes the write side of mainThreadCallLock. A caller that waits holds the read side until the
// main thread has run its call, so the main thread runs those calls while it waits; blocking on
// the write side would deadlock.
static void lockWriteRunningCalls() {
    std::shared_ptr<ReadWriteLock> lock = mainThreadCallLock();
    std::shared_ptr<RunLoop> loop = mainRunLoop();
    while (!lock->tryLockWrite()) {
        if (loop && isMainThread()) {
            loop->processPending(std::chrono::milliseconds(1));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

void setMainRunLoop(std::shared_ptr<RunLoop> loop) {
    lockWriteRunningCalls();
    g_mainLoop = std::move(loop);
    g_callBatch = g_mainLoop ? std::make_shared<CallBatch>() : nullptr;
    g_mainThread.store(std::this_thread::get_id());
    g_mainWindowClosing = false;
    g_closingRequested.store(false);
    mainThreadCallLock()->unlockWrite();
}

void clearMainRunLoop() {
    lockWriteRunningCalls();
    g_mainLoop.reset();
    g_callBatch.reset();
    g_mainThread.store(std::thread::id());
    mainThreadCallLock()->unlockWrite();
}

std::shared_ptr<RunLoop> mainRunLoop() {
    ReadLocker hold(mainThreadCallLock());
    return g_mainLoop;
}

bool isMainThread() {
    std::thread::id main = g_mainThread.load();
    return main != std::thread::id() && main == std::this_thread::get_id();
}

bool mainWindowClosing() {
    ReadLocker hold(mainThreadCallLock());
    return g_mainWindowClosing;
}

void setMainWindowClosing() {
    g_closingRequested.store(true);
    lockWriteRunningCalls();
    g_mainWindowClosing = true;
    mainThreadCallLock()->unlockWrite();
}

void callOnMainThread(std::function<void()> function, bool waitUntilDone) {
    ReadHold hold(*mainThreadCallLock());
    if (isMainThread()) {
        hold.release();
        function();
        return;
    }
    if (g_mainWindowClosing || g_closingRequested.load()) {
        return;
    }
    if (!g_mainLoop) {
        static std::atomic<bool> reported{false};
        if (!reported.exchange(true)) {
            writeLog("callOnMainThread: no main run loop is registered; the call is dropped\n");
        }
        return;
    }
    std::shared_ptr<RunLoop> loop = g_mainLoop;
    std::shared_ptr<CallBatch> batch = g_callBatch;
    if (!waitUntilDone) {
        postBatched(loop, batch, [function = std::move(function)]() {
            try {
                function();
            } catch (const std::exception& e) {
                logUncaughtException(e, "Main Thread");
            } catch (...) {
                writeLog("Uncaught Exception of unknown type in Main Thread!\n");
            }
        });
        return;
    }
    // The calls handed over before this one run first, as they would without the batch.
    uint64_t before;
    {
        std::lock_guard<std::mutex> lock(batch->mutex);
        before = batch->nextNumber;
    }
    // Filled on the main thread; read here only after send returned.
    std::unique_ptr<ExceptionBase> raised;
    loop->send([&function, &raised, batch, before]() {
        drainCalls(*batch, before);
        try {
            function();
        } catch (const ExceptionBase& e) {
            raised.reset(e.clone());
        } catch (const std::exception& e) {
            logUncaughtException(e, "Main Thread");
        } catch (...) {
            writeLog("Uncaught Exception of unknown type in Main Thread!\n");
        }
    });
    hold.release();
    if (raised) {
        raised.release()->rethrow();
    }
}

namespace {

// -1 until decided: the environment is read on first use.
std::atomic<int> g_mainThreadChecks{-1};

} // namespace

bool mainThreadChecks() {
    int on = g_mainThreadChecks.load(std::memory_order_relaxed);
    if (on < 0) {
#ifdef NDEBUG
        const char* value = std::getenv("SONORIX_MAIN_THREAD_CHECKS");
        on = value && std::strcmp(value, "1") == 0 ? 1 : 0;
#else
        on = 1;
#endif
        g_mainThreadChecks.store(on, std::memory_order_relaxed);
    }
    return on != 0;
}

void setMainThreadChecks(bool on) {
    g_mainThreadChecks.store(on ? 1 : 0, std::memory_order_relaxed);
}

void assertMainThread(const char* where) {
    if (!mainThreadChecks() || isMainThread()) {
        return;
    }
    writeLog("%s was called off the main thread", where);
    std::fprintf(stderr, "sonorix: %s was called off the main thread\n", where);
    std::abort();
}

void callOnMainThread(const DelegatePtr& delegate, bool waitUntilDone) {
    auto call = std::make_shared<DeferredCall>(DeferredCall{delegate, waitUntilDone});
    callOnMainThread([call]() { call->run(); }, waitUntilDone);
}

void callOnNewThread(std::function<void()> function) {
    std::thread([function = std::move(function)]() mutable {
        setThreadName("callOnNewThread");
        lowerThreadPriority();
        try {
            function();
        } catch (const std::exception& e) {
            logUncaughtException(e, "Thread");
        } catch (...) {
            writeLog("Uncaught Exception of unknown type in Thread!\n");
        }
        // The references the call holds go before the thread is gone.
        function = nullptr;
    }).detach();
}

void callOnNewThread(const DelegatePtr& delegate) {
    auto call = std::make_shared<DeferredCall>(DeferredCall{delegate, false});
    callOnNewThread([call]() { call->run(); });
}

int numberOfActiveProcessors() {
    // The set grows until it holds every CPU the kernel knows of.
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) {
            return 1;
        }
        size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            return std::max(count, 1);
        }
        int error = errno;
        CPU_FREE(set);
        if (error != EINVAL) {
            break;
        }
    }
    return 1;
}

void setThreadName(const char* name) {
    if (!name) {
        return;
    }
    char shortName[16];
    std::strncpy(shortName, name, sizeof shortName - 1);
    shortName[sizeof shortName - 1] = '\0';
    (void)pthread_setname_np(pthread_self(), shortName);
}

} // namespace sonorix
