#pragma once

#include <mutex>

namespace sonorix {

// Holds a systemd-logind "sleep" inhibitor while work runs, so the computer does not suspend in
// the middle of a run. logind keeps the inhibitor as long as the descriptor it hands out is open.
class SleepInhibitor {
public:
    SleepInhibitor() = default;
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    // Takes the inhibitor over the system bus. Without a bus or logind (a container, another init
    // system): false, logged once per process, nothing shown to the user. Taking it while held
    // keeps the one held. Each bus step gives up after a short time-out.
    bool inhibit();
    // Closes the descriptor; nothing when none is held.
    void release();
    bool active() const;

private:
    mutable std::mutex m_mutex;
    int m_fd = -1;
};

} // namespace sonorix
