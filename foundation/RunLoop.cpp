#include "foundation/RunLoop.h"

#include "foundation/Log.h"

#include <future>
#include <memory>

namespace sonorix {
namespace {

// A record that escapes with an exception must not take the loop down with it.
void runRecord(const RunLoop::Record& record) {
    try {
        record();
    } catch (const std::exception& e) {
        logUncaughtException(e, "Main Thread");
    } catch (...) {
        writeLog("Uncaught Exception of unknown type in Main Thread!\n");
    }
}

} // namespace

BasicRunLoop::BasicRunLoop() : m_thread(std::this_thread::get_id()) {}

BasicRunLoop::~BasicRunLoop() {
    std::deque<Record> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped.swap(m_records);
    }
    // A poster that queued its record may still be notifying.
    while (m_notifying.load() > 0) {
        std::this_thread::yield();
    }
    // Destroying the dropped records releases their senders.
}

void BasicRunLoop::post(Record record) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.push_back(std::move(record));
        m_notifying.fetch_add(1);
    }
    // After the release: woken under the lock, the loop thread would only block on it again.
    m_changed.notify_one();   // only the loop's own thread waits here
    m_notifying.fetch_sub(1); // the last touch of the loop
}

bool BasicRunLoop::send(Record record) {
    if (isLoopThread()) {
        runRecord(record);
        return true;
    }
    // The promise lives only in the queued record: a record dropped unrun breaks it, which
    // tells the sender that the loop ended.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    post([record = std::move(record), done = std::move(done)]() {
        try {
            record();
        } catch (...) {
            done->set_value();
            throw;
        }
        done->set_value();
    });
    try {
        ran.get();
        return true;
    } catch (const std::future_error&) {
        return false;
    }
}

bool BasicRunLoop::runOne(std::unique_lock<std::mutex>& lock) {
    if (m_records.empty()) {
        return false;
    }
    Record record = std::move(m_records.front());
    m_records.pop_front();
    lock.unlock();
    runRecord(record);
    record = nullptr; // released before the lock is taken again
    lock.lock();
    return true;
}

size_t BasicRunLoop::processPending(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_records.empty() && wait.count() > 0) {
        m_changed.wait_for(lock, wait, [this] { return !m_records.empty(); });
    }
    // Only what is queued now: records that post records must not keep this call going.
    size_t queued = m_records.size();
    size_t ran = 0;
    while (ran < queued && runOne(lock)) {
        ++ran;
    }
    return ran;
}

void BasicRunLoop::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_quit) {
        if (!runOne(lock)) {
            m_changed.wait(lock, [this] { return m_quit || !m_records.empty(); });
        }
    }
    m_quit = false;
}

bool BasicRunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        lock.unlock();
        if (done()) {
            return true;
        }
        lock.lock();
        if (m_quit) {
            m_quit = false;
            lock.unlock();
            return done();
        }
        if (!runOne(lock)) {
            if (!m_changed.wait_until(lock, deadline,
                                      [this] { return m_quit || !m_records.empty(); })) {
                lock.unlock();
                return done();
            }
        }
    }
}

void BasicRunLoop::quit() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quit = true;
    m_changed.notify_all();
}

size_t BasicRunLoop::pendingRecords() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.size();
}

} // namespace sonorix
