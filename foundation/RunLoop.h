#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sonorix {

// What the main thread runs: it accepts records to run on its thread, from any thread. The
// console front end and the tests use BasicRunLoop; the window front end puts one over its
// toolkit's event loop.
class RunLoop {
public:
    using Record = std::function<void()>;

    virtual ~RunLoop() = default;

    // Queues a record and returns at once. Records run in the order they were posted.
    virtual void post(Record record) = 0;
    // Runs a record on the loop's thread and returns once it ran (at once, when called on that
    // thread). Returns false, without running it, when the loop dropped it because it ended.
    virtual bool send(Record record) = 0;
    // On the loop's thread: runs the records queued so far, first waiting up to `wait` for one
    // when none is queued. Returns how many ran.
    virtual size_t
    processPending(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) = 0;
};

// A queue with a condition variable. The thread that constructs it is its thread.
class BasicRunLoop final : public RunLoop {
public:
    BasicRunLoop();
    // Drops the records still queued; blocked senders return false.
    ~BasicRunLoop() override;

    void post(Record record) override;
    bool send(Record record) override;
    size_t processPending(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) override;

    // Runs records until quit is called.
    void run();
    // Runs records until done() holds or the time-out passed, and returns done(). done() is
    // checked after every record and on quit, so it should become true through a record this
    // loop runs; the loop does not poll it.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Makes run return after the record it is running; callable from any thread.
    void quit();

    bool isLoopThread() const { return std::this_thread::get_id() == m_thread; }
    // Records queued and not yet taken.
    size_t pendingRecords();

private:
    bool runOne(std::unique_lock<std::mutex>& lock);

    const std::thread::id m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Record> m_records;
    bool m_quit = false;
    std::atomic<int> m_notifying{0};
};

} // namespace sonorix
