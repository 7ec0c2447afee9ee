#include "foundation/InstanceLock.h"

#include "foundation/Paths.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonorix {
namespace {

// FNV-1a: stable across builds and compilers, unlike std::hash, so both front ends agree.
std::string hashHex(const std::string& text) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) {
        h = (h ^ c) * 1099511628211ull;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

// A fixed /tmp rather than $TMPDIR: every process of the user must find the same folder.
std::string fallbackRuntimeFolder() {
    return "/tmp/sonorix-" + std::to_string(::geteuid());
}

std::string runtimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        std::string folder = runtime;
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
        return folder;
    }
    return fallbackRuntimeFolder();
}

// Makes the fallback folder when needed and checks that nobody else can reach into the folder.
bool prepareRuntimeFolder(const std::string& folder, std::string* why) {
    bool fallback = folder == fallbackRuntimeFolder();
    if (fallback && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    // $XDG_RUNTIME_DIR is the session's own and may be a link; our /tmp folder must not be one.
    if ((fallback ? ::lstat(folder.c_str(), &st) : ::stat(folder.c_str(), &st)) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = "not a folder";
        return false;
    }
    // Another user could otherwise plant the lock file or hold it: refuse a shared folder.
    if (fallback && (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)) {
        *why = "not private to this user (owner or permissions)";
        return false;
    }
    return true;
}

std::string canonicalDataFolder() {
    std::string folder = dataFolder();
    if (folder.empty()) {
        return {};
    }
    char resolved[PATH_MAX];
    return ::realpath(folder.c_str(), resolved) ? std::string(resolved) : folder;
}

std::string lockPathFor(const std::string& canonicalFolder) {
    return runtimeFolder() + "/" + InstanceLock::kName + "-" + hashHex(canonicalFolder) + ".lock";
}

// The pid the holder wrote, 0 when there is none (yet).
long holderPid(int fd) {
    char buf[32] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) {
        return 0;
    }
    char* end = nullptr;
    long pid = std::strtol(buf, &end, 10);
    return end != buf && pid > 0 ? pid : 0;
}

void setError(std::string* error, std::string text) {
    if (error) {
        *error = std::move(text);
    }
}

} // namespace

std::string InstanceLock::lockPath() {
    std::string folder = canonicalDataFolder();
    return folder.empty() ? std::string() : lockPathFor(folder);
}

std::unique_ptr<InstanceLock> InstanceLock::acquire(std::string* error) {
    std::string folder = canonicalDataFolder();
    if (folder.empty()) {
        setError(error, "The data folder cannot be created, so the instance lock cannot be taken.");
        return nullptr;
    }
    std::string runtime = runtimeFolder();
    std::string why;
    if (!prepareRuntimeFolder(runtime, &why)) {
        setError(error, "Cannot use the runtime folder " + runtime +
                            " for the instance lock: " + why + ".");
        return nullptr;
    }
    std::string path = lockPathFor(folder);
    // O_CLOEXEC: a program we start (a file viewer, a helper) must not keep the lock alive.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        setError(error,
                 "Cannot create the instance lock " + path + ": " + std::strerror(errno) + ".");
        return nullptr;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        if (err == EWOULDBLOCK) {
            long pid = holderPid(fd);
            std::string holder = pid > 0
                                     ? "Another Sonorix instance (pid " + std::to_string(pid) + ")"
                                     : std::string("Another Sonorix instance");
            setError(error, holder + " is using the data folder " + folder + ".");
        } else {
            setError(error,
                     "Cannot take the instance lock " + path + ": " + std::strerror(err) + ".");
        }
        ::close(fd);
        return nullptr;
    }
    // The pid is only for the refusal message; failing to write it does not matter.
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() {
    // The file stays: unlinking a lock file races with a process that has just opened it and
    // would let two processes hold locks on different files of one name.
    [[maybe_unused]] int rc = ::ftruncate(m_fd, 0);
    ::close(m_fd);
}

} // namespace sonorix
