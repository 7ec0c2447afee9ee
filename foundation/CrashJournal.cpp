#include "foundation/CrashJournal.h"

#include "foundation/Log.h"
#include "foundation/Paths.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace sonorix::CrashJournal {
namespace {

constexpr char kFolder[] = "/in-progress";
constexpr char kCrashMark[] = "\ncrashed\n";
constexpr int kFatalSignals[] = {SIGSEGV, SIGFPE, SIGILL, SIGABRT};

// This thread's entry and the length of what it holds; read by the signal handler.
thread_local int t_entryFd = -1;
thread_local size_t t_entryLength = 0;
std::atomic<uint64_t> g_counter{0};

void onFatalSignal(int signal) {
    int fd = t_entryFd;
    if (fd >= 0 && t_entryLength > 0) {
        ssize_t ignored = ::pwrite(fd, kCrashMark, sizeof kCrashMark - 1, off_t(t_entryLength));
        (void)ignored;
    }
    // Die of the same signal, as if nothing had been in the way.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// A stack overflow leaves no stack for the handler: each thread gets a small one of its own.
struct AlternateStack {
    std::unique_ptr<char[]> memory;
    AlternateStack() {
        const size_t size = 64 * 1024;
        memory.reset(new char[size]);
        stack_t stack{};
        stack.ss_sp = memory.get();
        stack.ss_size = size;
        if (::sigaltstack(&stack, nullptr) != 0) {
            memory.reset();
        }
    }
    ~AlternateStack() {
        if (memory) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            ::sigaltstack(&off, nullptr);
        }
    }
};

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int signal : kFatalSignals) {
            struct sigaction current {};
            ::sigaction(signal, nullptr, &current);
            // Someone else's handler (a sanitizer, a debugger's helper) stays in charge.
            if (current.sa_handler != SIG_DFL) {
                continue;
            }
            struct sigaction action {};
            action.sa_handler = onFatalSignal;
            action.sa_flags = SA_ONSTACK | SA_RESETHAND;
            sigemptyset(&action.sa_mask);
            ::sigaction(signal, &action, nullptr);
        }
    });
    thread_local AlternateStack stack;
}

// The entry folder, made once per data folder: a track's entry must cost no more than the file
// operations it takes.
std::string folder() {
    static std::mutex mutex;
    static std::string madeFor;
    static std::string made;
    std::string data = dataFolder();
    if (data.empty()) {
        return {};
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (data != madeFor) {
        std::string path = data + kFolder;
        made = makeFolders(path) ? path : std::string();
        madeFor = data;
    }
    return made;
}

// The entry file of this thread, made on first use and removed when the thread ends.
struct Slot {
    int fd = -1;
    std::string path;
    std::string folder;
    pid_t owner = 0;
    void close() {
        if (fd >= 0) {
            t_entryFd = -1;
            t_entryLength = 0;
            ::close(fd);
            ::unlink(path.c_str());
            fd = -1;
        }
    }
    ~Slot() { close(); }
};

std::string pidPrefix() {
    return std::to_string(::getpid()) + "-";
}

int slotFd() {
    thread_local Slot slot;
    std::string dir = folder();
    if (dir.empty()) {
        return -1;
    }
    if (slot.owner != ::getpid()) {
        // A forked child has its own entries; the parent's stay the parent's.
        if (slot.fd >= 0) {
            ::close(slot.fd);
        }
        slot.fd = -1;
        t_entryFd = -1;
        t_entryLength = 0;
        slot.owner = ::getpid();
    } else if (slot.fd >= 0 && slot.folder != dir) {
        slot.close();
    }
    if (slot.fd < 0) {
        slot.folder = dir;
        installHandlers();
        slot.path = dir + "/" + pidPrefix() + std::to_string(g_counter.fetch_add(1));
        const int flags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW;
        slot.fd = ::open(slot.path.c_str(), flags, 0600);
        if (slot.fd < 0 && errno == ENOENT && makeFolders(dir)) {
            slot.fd = ::open(slot.path.c_str(), flags, 0600); // the folder went away meanwhile
        }
        t_entryFd = slot.fd;
    }
    return slot.fd;
}

void record(int fd, const std::string& content) {
    t_entryLength = 0; // nothing to mark while the content changes
    ssize_t written = ::pwrite(fd, content.data(), content.size(), 0);
    if (::ftruncate(fd, off_t(content.size())) == 0 && written == ssize_t(content.size())) {
        t_entryLength = content.size();
    }
}

} // namespace

Scope::Scope(const std::string& key, const std::string& path) {
    int fd = slotFd();
    if (fd < 0) {
        return;
    }
    if (t_entryLength > 0) {
        m_previous.resize(t_entryLength);
        if (::pread(fd, m_previous.data(), m_previous.size(), 0) != ssize_t(m_previous.size())) {
            m_previous.clear();
        }
    }
    record(fd, key + "\n" + path);
    m_recorded = true;
}

Scope::~Scope() {
    if (!m_recorded || t_entryFd < 0) {
        return;
    }
    if (m_previous.empty()) {
        t_entryLength = 0;
        if (::ftruncate(t_entryFd, 0) != 0) {
            // An entry left standing only means the file is read again after a kill.
        }
    } else {
        record(t_entryFd, m_previous);
    }
}

std::vector<Leftover> takeLeftovers() {
    std::vector<Leftover> found;
    // Looked at, never made: a data folder that was never worked in stays as it is.
    std::string data = dataFolder();
    std::string dir = data.empty() ? data : data + kFolder;
    DIR* listing = dir.empty() ? nullptr : ::opendir(dir.c_str());
    if (!listing) {
        return found;
    }
    while (dirent* item = ::readdir(listing)) {
        std::string name = item->d_name;
        // Ours are the entries of threads of this process, which may be at work right now.
        if (name == "." || name == ".." || name.rfind(pidPrefix(), 0) == 0) {
            continue;
        }
        std::string entry = dir + "/" + name;
        int fd = ::open(entry.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        std::string content;
        char buffer[4096];
        ssize_t n = fd >= 0 ? ::read(fd, buffer, sizeof buffer) : -1;
        if (n > 0) {
            content.assign(buffer, size_t(n));
        }
        if (fd >= 0) {
            ::close(fd);
        }
        Leftover leftover;
        leftover.entry = entry;
        size_t mark = content.find(kCrashMark);
        leftover.crashed = mark != std::string::npos;
        content = content.substr(0, mark);
        size_t newline = content.find('\n');
        leftover.key = content.substr(0, newline);
        leftover.path = newline == std::string::npos ? "" : content.substr(newline + 1);
        if (leftover.crashed && !leftover.key.empty()) {
            writeLog("A reader crashed on >>%s<< in an earlier run; it is not read again while "
                     "it stays unchanged",
                     leftover.path.c_str());
            found.push_back(leftover);
        } else {
            ::unlink(entry.c_str());
        }
    }
    ::closedir(listing);
    return found;
}

void discard(const std::vector<std::string>& entries) {
    for (const auto& entry : entries) {
        ::unlink(entry.c_str());
    }
}

std::string fileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {};
    }
    return std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

} // namespace sonorix::CrashJournal
