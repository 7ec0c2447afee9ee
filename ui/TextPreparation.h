#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace sonorix {

class iTunesTrack;

// Makes every track's sort and search texts on a thread of its own once a library has loaded,
// so that the first header click or search on a big library does not fold every title while
// the user waits. Sorts and searches that come first make what they need themselves; each text
// is made once either way.
class TextPreparation {
public:
    // Stops a preparation still running (it ends after the track at hand) and starts anew.
    void start(std::vector<std::shared_ptr<const iTunesTrack>> tracks);
    bool isDone() const { return m_done.load(std::memory_order_acquire); }

private:
    std::atomic<bool> m_done{false};
    std::jthread m_thread; // last: stopped and joined before the rest goes
};

} // namespace sonorix
