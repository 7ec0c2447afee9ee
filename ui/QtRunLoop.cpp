#include "ui/QtRunLoop.h"

#include "foundation/Log.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <future>

namespace sonorix {

// What posters on other threads reach: they hold it by shared pointer, so a post racing the
// loop's end touches live memory and merely finds the loop gone.
struct QtRunLoop::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Record> records;
    bool wakeQueued = false;
    bool ended = false;
    // Lives on the loop's thread; queued wake-ups die with it.
    QPointer<QObject> receiver;
};

namespace {

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

QtRunLoop::QtRunLoop()
    : m_thread(std::this_thread::get_id()), m_shared(std::make_shared<Shared>()) {
    m_shared->receiver = new QObject();
    if (QCoreApplication::instance()) {
        m_shared->receiver->moveToThread(QCoreApplication::instance()->thread());
    }
}

QtRunLoop::~QtRunLoop() {
    std::deque<Record> dropped;
    QObject* receiver = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->ended = true;
        dropped.swap(m_shared->records);
        receiver = m_shared->receiver.data();
        m_shared->receiver = nullptr;
    }
    delete receiver;
    // Destroying the dropped records releases their senders.
}

void QtRunLoop::post(Record record) {
    std::shared_ptr<Shared> shared = m_shared;
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->ended) {
        return;
    }
    shared->records.push_back(std::move(record));
    shared->changed.notify_one();
    if (shared->wakeQueued || !shared->receiver) {
        return;
    }
    shared->wakeQueued = true;
    // Thread-safe: the call only queues an event for the receiver's thread.
    QMetaObject::invokeMethod(
        shared->receiver.data(), [shared] { drain(shared); }, Qt::QueuedConnection);
}

void QtRunLoop::drain(const std::shared_ptr<Shared>& shared) {
    std::deque<Record> batch;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->wakeQueued = false;
        batch.swap(shared->records);
    }
    // Records posted while these run wake the loop again rather than starving the toolkit.
    for (auto& record : batch) {
        runRecord(record);
    }
}

bool QtRunLoop::send(Record record) {
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

size_t QtRunLoop::processPending(std::chrono::milliseconds wait) {
    std::deque<Record> batch;
    {
        std::unique_lock<std::mutex> lock(m_shared->mutex);
        if (m_shared->records.empty() && wait.count() > 0) {
            m_shared->changed.wait_for(lock, wait, [&] { return !m_shared->records.empty(); });
        }
        batch.swap(m_shared->records);
    }
    for (auto& record : batch) {
        runRecord(record);
    }
    return batch.size();
}

} // namespace sonorix
