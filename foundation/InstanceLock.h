#pragma once

#include <memory>
#include <string>

namespace sonorix {

// One Sonorix process per data folder, whichever front end it is, so that two processes never
// write one model file. The lock is an flock(2) on a file in the runtime folder: the kernel drops
// it when the holder exits or dies, so a crash leaves nothing stale behind.
class InstanceLock {
public:
    static constexpr const char* kName = "{11777AB2-F7F8-4C8A-A09C-F7B927CA3C0B}";

    // Takes the lock of the current data folder for the life of the returned object. Null when
    // another process holds it or when the lock file cannot be made; `error` then gets one line
    // saying which (naming the holder's pid when known).
    static std::unique_ptr<InstanceLock> acquire(std::string* error = nullptr);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // The lock file of the current data folder: kName + "-" + a hash of the folder's canonical
    // path + ".lock", in $XDG_RUNTIME_DIR, else in /tmp/sonorix-<uid> (a folder of mode 0700).
    // Empty when there is no data folder.
    static std::string lockPath();

private:
    explicit InstanceLock(int fd) : m_fd(fd) {}
    int m_fd;
};

} // namespace sonorix
