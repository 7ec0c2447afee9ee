#pragma once

// Main-thread calls, new threads and the processor count. Includes the lock family, delegates
// and the run-loop interface, so one include serves every layer that works across threads.

#include "foundation/Delegate.h"
#include "foundation/Locks.h"
#include "foundation/RunLoop.h"

#include <functional>
#include <memory>

namespace sonorix {

// One cross-thread call: the delegate and whether the caller waits.
struct DeferredCall {
    DelegatePtr delegate;
    bool waitUntilDone = false;

    void run() const { delegate->call(); }
};

// Makes the calling thread the main thread and `loop` the loop that runs its calls. Each
// registration starts afresh: calls are accepted again after an earlier shut-off.
void setMainRunLoop(std::shared_ptr<RunLoop> loop);
// Forgets the loop; calls from other threads are then dropped and no thread is the main thread.
void clearMainRunLoop();
std::shared_ptr<RunLoop> mainRunLoop();

// True on the thread that registered the main run loop.
bool isMainThread();

// Whether assertMainThread checks: always in builds without NDEBUG; otherwise once
// setMainThreadChecks turned it on or the environment holds SONORIX_MAIN_THREAD_CHECKS=1 (the
// test runs set it).
bool mainThreadChecks();
void setMainThreadChecks(bool on);
// For hooks that must run on the main thread: when checking, a call from any other thread is
// logged and ends the process, naming where it happened.
void assertMainThread(const char* where);

// Runs the delegate on the main thread. On the main thread itself it is
// called directly, waiting or not. From another thread, when waiting, the call returns after
// the delegate ran, and an ExceptionBase it raised is thrown again here with its own type;
// other exceptions are logged on the main thread and the call returns normally. Dropped once
// the main window began closing, or when no loop is registered.
void callOnMainThread(const DelegatePtr& delegate, bool waitUntilDone);
void callOnMainThread(std::function<void()> function, bool waitUntilDone);

// Runs the delegate on a new detached thread named "callOnNewThread" at a lower priority than
// the interface. An exception escaping it is logged ("Uncaught Exception %s in Thread! >>%s<<").
void callOnNewThread(const DelegatePtr& delegate);
void callOnNewThread(std::function<void()> function);

// Read side: held by callers while they hand a call over (and while a waiting caller waits).
// Write side: taken once, by the main thread, to shut main-thread calls off.
std::shared_ptr<ReadWriteLock> mainThreadCallLock();
// True once the main window began closing; never cleared within one registration.
bool mainWindowClosing();
// On the main thread, when the main window starts closing: shuts off main-thread calls from
// other threads. Calls already handed over, including those whose callers wait, still run:
// the main thread keeps running them while it waits for the write side.
void setMainWindowClosing();

// How many processors this thread may run on (the whole affinity mask); 1 if unknown.
int numberOfActiveProcessors();

// Names the calling thread for debuggers and top (at most 15 bytes are kept).
void setThreadName(const char* name);

} // namespace sonorix
