#pragma once

#include "foundation/RunLoop.h"

#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace sonorix {

// The main run loop over Qt's event loop: records posted from any thread run on the thread that
// made the loop, in order, between the toolkit's own events. Each post wakes the event loop
// once per batch, so a burst of worker reports costs one event.
class QtRunLoop final : public RunLoop {
public:
    QtRunLoop();
    // Drops the records still queued; blocked senders return false.
    ~QtRunLoop() override;

    void post(Record record) override;
    bool send(Record record) override;
    size_t processPending(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) override;

    bool isLoopThread() const { return std::this_thread::get_id() == m_thread; }

private:
    struct Shared;
    static void drain(const std::shared_ptr<Shared>& shared);

    const std::thread::id m_thread;
    std::shared_ptr<Shared> m_shared;
};

} // namespace sonorix
