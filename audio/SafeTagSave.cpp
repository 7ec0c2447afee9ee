#include "audio/SafeTagSave.h"

#include "foundation/Log.h"
#include "foundation/MemoryMappable.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace sonorix {
namespace {

std::mutex g_hookMutex;
SafeSaveFaultHook g_hook;

void runHook(SafeSaveStage stage, const std::string& copy) {
    SafeSaveFaultHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook) {
        hook(stage, copy);
    }
}

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool copyContent(int from, int to, std::string& error) {
    for (;;) {
        ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (n > 0) {
            continue;
        }
        if (n == 0) {
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
            error = errnoText("copy");
            return false;
        }
        break; // not supported here: plain reads and writes
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = errnoText("read");
            return false;
        }
        if (n == 0) {
            return true;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(to, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                error = errnoText("write");
                return false;
            }
            done += w;
        }
    }
}

// Extended attributes (ACLs, security labels, user tags) belong to the file, not its content;
// best effort, as a file system may refuse some of them.
void copyAttributes(int from, int to) {
    ssize_t length = ::flistxattr(from, nullptr, 0);
    if (length <= 0) {
        return;
    }
    std::vector<char> names(static_cast<size_t>(length));
    length = ::flistxattr(from, names.data(), names.size());
    for (ssize_t at = 0; length > 0 && at < length; at += std::strlen(names.data() + at) + 1) {
        const char* name = names.data() + at;
        ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        if (size < 0) {
            continue;
        }
        std::vector<char> value(static_cast<size_t>(size) + 1);
        size = ::fgetxattr(from, name, value.data(), value.size());
        if (size >= 0) {
            ::fsetxattr(to, name, value.data(), static_cast<size_t>(size), 0);
        }
    }
}

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

constexpr char kCopyPrefix[] = ".sonorix-";
constexpr char kCopySuffix[] = ".tmp";

// Creates and locks a fresh copy file in folder. A cleaner in another process may remove a name
// in the moment between its creation and the lock; the name is then checked and made anew.
int createCopyFile(const std::string& folder, std::string& copyPath) {
    for (int tries = 0; tries < 10; ++tries) {
        std::string pattern = folder + "/" + kCopyPrefix + "XXXXXX" + kCopySuffix;
        int fd = ::mkostemps(pattern.data(), static_cast<int>(sizeof kCopySuffix - 1), O_CLOEXEC);
        if (fd < 0) {
            return -1;
        }
        struct stat held {};
        struct stat named {};
        if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &held) == 0 &&
            ::lstat(pattern.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            copyPath = pattern;
            return fd;
        }
        ::close(fd);
    }
    errno = EEXIST;
    return -1;
}

// For its scope, lets a held lock go (release) or takes again one that was let go (!release);
// switches it back at the end. Without a lock, or with one already so, it does nothing.
class LockSwitch {
public:
    LockSwitch(std::unique_lock<std::mutex>* lock, bool release)
        : m_lock(lock && lock->owns_lock() == release ? lock : nullptr) {
        flip();
    }
    ~LockSwitch() { flip(); }
    LockSwitch(const LockSwitch&) = delete;
    LockSwitch& operator=(const LockSwitch&) = delete;

private:
    void flip() {
        if (!m_lock) {
            return;
        }
        if (m_lock->owns_lock()) {
            m_lock->unlock();
        } else {
            m_lock->lock();
        }
    }
    std::unique_lock<std::mutex>* m_lock;
};

bool attempt(const std::string& path, const std::function<bool(const std::string&)>& edit,
             const std::function<bool(const std::string&, const std::string&)>& verify,
             std::string& copyPath, int& copyFd, std::string& error, FileFault& fault,
             std::unique_lock<std::mutex>* tagLib) {
    // The disk work runs without the tag library's lock; the callbacks run with it.
    LockSwitch diskWork(tagLib, true);
    auto failErrno = [&](const char* what) {
        fault = faultOfErrno(errno);
        error = errnoText(what);
        return false;
    };
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) {
        return failErrno("resolve");
    }
    std::string real = resolved;
    FileFault sourceFault = FileFault::None;
    int source = openRegularFile(real, O_RDONLY, &sourceFault);
    if (source < 0) {
        fault = sourceFault;
        error = std::string("open: ") + faultText(sourceFault);
        return false;
    }
    struct stat st {};
    if (::fstat(source, &st) != 0) {
        failErrno("stat");
        ::close(source);
        return false;
    }
    // The copy replaces the original by rename, which a read-only file would not stop; the
    // user's write protection must.
    int probe = ::open(real.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (probe < 0) {
        failErrno("open for writing");
        ::close(source);
        return false;
    }
    ::close(probe);
    std::string folder = folderOf(real);
    removeStaleCopies(folder);
    // Room for the copy plus the tag's growth; TagLib does not report every failed write.
    struct statvfs fs {};
    if (::fstatvfs(source, &fs) == 0 && static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize <
                                            static_cast<uint64_t>(st.st_size) + (4u << 20)) {
        fault = FileFault::NoSpace;
        error = "not enough free space for a safe copy";
        ::close(source);
        return false;
    }
    copyFd = createCopyFile(folder, copyPath);
    if (copyFd < 0) {
        failErrno("create temporary file");
        ::close(source);
        return false;
    }
    bool copied = copyContent(source, copyFd, error);
    if (!copied) {
        fault = faultOfErrno(errno);
    } else {
        copyAttributes(source, copyFd);
    }
    ::close(source);
    if (!copied) {
        return false;
    }
    ::fchmod(copyFd, st.st_mode & 07777);
    if (::fchown(copyFd, st.st_uid, st.st_gid) != 0) {
        // Only the owner's group may be kept by an ordinary user; the bits above still apply.
    }
    // TagLib does not say why a write failed; a disk that filled up is the usual reason.
    auto spaceOrOther = [&] {
        struct statvfs now {};
        bool full = ::fstatvfs(copyFd, &now) == 0 &&
                    static_cast<uint64_t>(now.f_bavail) * now.f_frsize < (1u << 20);
        return full ? FileFault::NoSpace : FileFault::Other;
    };
    runHook(SafeSaveStage::Copied, copyPath);
    bool edited = false;
    {
        LockSwitch tags(tagLib, false);
        edited = edit(copyPath);
    }
    if (!edited) {
        fault = spaceOrOther();
        error = "editing the copy failed";
        return false;
    }
    runHook(SafeSaveStage::Edited, copyPath);
    if (::fsync(copyFd) != 0) {
        return failErrno("fsync");
    }
    runHook(SafeSaveStage::Synced, copyPath);
    bool verified = false;
    {
        LockSwitch tags(tagLib, false);
        verified = verify(real, copyPath);
    }
    if (!verified) {
        fault = spaceOrOther();
        error = "the saved copy does not hold what was written";
        return false;
    }
    runHook(SafeSaveStage::Verified, copyPath);
    // Someone may have replaced or removed the original meanwhile; do not resurrect it.
    struct stat now {};
    if (::stat(real.c_str(), &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
        fault = FileFault::Changed;
        error = "the file was removed or replaced during the save";
        return false;
    }
    if (::rename(copyPath.c_str(), real.c_str()) != 0) {
        return failErrno("rename");
    }
    copyPath.clear();
    syncFolder(folder);
    return true;
}

// Byte ranges holding the audio of a file, by container.
using Ranges = std::vector<std::pair<uint32_t, uint32_t>>; // offset, length

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

std::optional<Ranges> mp4Ranges(const uint8_t* d, uint64_t size) {
    Ranges ranges;
    for (uint64_t pos = 0; pos < size;) {
        if (size - pos < 8) {
            break; // a few stray bytes at the end carry no audio
        }
        uint64_t atom = be32(d + pos);
        uint64_t header = 8;
        if (atom == 1) {
            if (size - pos < 16) {
                return std::nullopt;
            }
            atom = uint64_t(be32(d + pos + 8)) << 32 | be32(d + pos + 12);
            header = 16;
        } else if (atom == 0) {
            atom = size - pos;
        }
        if (atom < header || atom > size - pos) {
            return std::nullopt;
        }
        if (std::memcmp(d + pos + 4, "mdat", 4) == 0) {
            ranges.emplace_back(uint32_t(pos + header), uint32_t(atom - header));
        }
        pos += atom;
    }
    return ranges;
}

std::optional<Ranges> aiffRanges(const uint8_t* d, uint64_t size) {
    Ranges ranges;
    for (uint64_t pos = 12; pos < size;) {
        if (size - pos < 8) {
            break;
        }
        uint64_t chunk = be32(d + pos + 4);
        if (chunk > size - pos - 8) {
            return std::nullopt;
        }
        if (std::memcmp(d + pos, "SSND", 4) == 0) {
            ranges.emplace_back(uint32_t(pos + 8), uint32_t(chunk));
        }
        pos += 8 + chunk + (chunk & 1);
    }
    return ranges;
}

std::optional<Ranges> audioRanges(const uint8_t* d, uint64_t size) {
    if (size >= 12 && std::memcmp(d, "FORM", 4) == 0 &&
        (std::memcmp(d + 8, "AIFF", 4) == 0 || std::memcmp(d + 8, "AIFC", 4) == 0)) {
        return aiffRanges(d, size);
    }
    if (size >= 8 && std::memcmp(d + 4, "ftyp", 4) == 0) {
        return mp4Ranges(d, size);
    }
    uint64_t start = 0;
    if (size >= 10 && std::memcmp(d, "ID3", 3) == 0) {
        uint64_t tag = (uint64_t(d[6] & 0x7F) << 21) | (uint64_t(d[7] & 0x7F) << 14) |
                       (uint64_t(d[8] & 0x7F) << 7) | uint64_t(d[9] & 0x7F);
        start = 10 + tag + ((d[5] & 0x10) ? 10 : 0);
        if (start > size) {
            return std::nullopt;
        }
    } else if (size < 2 || d[0] != 0xFF || (d[1] & 0xE0) != 0xE0) {
        return Ranges{}; // not a container we know
    }
    return Ranges{{uint32_t(start), uint32_t(size - start)}};
}

} // namespace

bool sameAudioPayload(const std::string& a, const std::string& b) {
    try {
        auto ma = createMemoryMappable(a, false);
        auto mb = createMemoryMappable(b, false);
        // A file that shrinks meanwhile reads as zeros; the guards then make it a difference.
        MappedAccessGuard guardA(*ma);
        MappedAccessGuard guardB(*mb);
        auto ra = audioRanges(ma->data(), ma->size());
        auto rb = audioRanges(mb->data(), mb->size());
        if (!ra || !rb || ra->size() != rb->size()) {
            return false;
        }
        for (size_t i = 0; i < ra->size(); ++i) {
            auto [oa, la] = (*ra)[i];
            auto [ob, lb] = (*rb)[i];
            if (la != lb || std::memcmp(ma->data() + oa, mb->data() + ob, la) != 0) {
                return false;
            }
        }
        return !guardA.faulted() && !guardB.faulted();
    } catch (const std::exception&) {
        return false;
    }
}

void setSafeSaveFaultHook(SafeSaveFaultHook hook) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_hook = std::move(hook);
}

bool isSafeSaveCopyName(const std::string& name) {
    auto alnum = [](const std::string& s, size_t from, size_t count) {
        for (size_t i = from; i < from + count; ++i) {
            if (!std::isalnum(static_cast<unsigned char>(s[i]))) {
                return false;
            }
        }
        return true;
    };
    const size_t prefix = sizeof kCopyPrefix - 1;
    const size_t suffix = sizeof kCopySuffix - 1;
    if (name.size() == prefix + 6 + suffix && name.compare(0, prefix, kCopyPrefix) == 0 &&
        name.compare(prefix + 6, suffix, kCopySuffix) == 0) {
        return alnum(name, prefix, 6);
    }
    // Earlier versions named the copy ".NAME.sonorix-XXXXXX".
    const std::string old = ".sonorix-";
    return name.size() > 1 + 1 + old.size() + 6 && name[0] == '.' &&
           name.compare(name.size() - 6 - old.size(), old.size(), old) == 0 &&
           alnum(name, name.size() - 6, 6);
}

int removeStaleCopies(const std::string& folder) {
    static std::mutex mutex;
    static std::set<std::string> done;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!done.insert(folder).second) {
            return 0;
        }
    }
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        return 0;
    }
    int removed = 0;
    const int dirFd = ::dirfd(dir);
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!isSafeSaveCopyName(name)) {
            continue;
        }
        int fd = ::openat(dirFd, name.c_str(),
                          O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0) {
            continue;
        }
        // Held: a save in progress. Free and still under this name: left by a process that
        // ended mid-save.
        struct stat held {};
        struct stat named {};
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
            S_ISREG(held.st_mode) &&
            ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev &&
            ::unlinkat(dirFd, name.c_str(), 0) == 0) {
            writeLog("Removed the stale temporary file >>%s/%s<<", folder.c_str(), name.c_str());
            ++removed;
        }
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

int removeStaleCopiesBeside(const std::string& path) {
    // Resolving every file's path costs a look-up per component. A folder reached without a
    // link is known by its name once cleaned, and a file in it that is no link itself needs one
    // look-up; a link may lead anywhere, so it is resolved every time.
    static std::mutex mutex;
    static std::set<std::string> seen;
    const std::string named = folderOf(path);
    const bool absolute = !path.empty() && path[0] == '/';
    if (absolute) {
        bool known;
        {
            std::lock_guard<std::mutex> lock(mutex);
            known = seen.count(named) != 0;
        }
        struct stat st {};
        if (known && ::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            return 0;
        }
    }
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) {
        return 0;
    }
    const std::string real = folderOf(resolved);
    const int removed = removeStaleCopies(real);
    if (absolute && real == named) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.insert(named);
    }
    return removed;
}

bool saveFileSafely(const std::string& path, const std::function<bool(const std::string&)>& edit,
                    const std::function<bool(const std::string&, const std::string&)>& verify,
                    std::string* error, FileFault* fault, std::unique_lock<std::mutex>* tagLib) {
    std::string copyPath;
    int copyFd = -1;
    std::string reason;
    FileFault kind = FileFault::Other;
    bool ok = false;
    try {
        ok = attempt(path, edit, verify, copyPath, copyFd, reason, kind, tagLib);
    } catch (const std::exception& e) {
        reason = std::string("exception: ") + e.what();
    } catch (...) {
        reason = "exception";
    }
    // Removed before its lock goes, so no cleaner ever sees a failed copy as stale.
    if (!copyPath.empty()) {
        ::unlink(copyPath.c_str());
    }
    if (copyFd >= 0) {
        ::close(copyFd);
    }
    if (!ok) {
        writeLog("Saving >>%s<< failed, file left unchanged: %s", path.c_str(), reason.c_str());
        if (error) {
            *error = reason;
        }
        if (fault) {
            *fault = kind == FileFault::None ? FileFault::Other : kind;
        }
    } else if (fault) {
        *fault = FileFault::None;
    }
    return ok;
}

} // namespace sonorix
