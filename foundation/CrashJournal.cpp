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

// The entry of the file this thread works on; read by the signal handler.
thread_local int t_entryFd = -1;
std::atomic<uint64_t> g_counter{0};

void onFatalSignal(int signal) {
    int fd = t_entryFd;
    if (fd >= 0) {
        ssize_t ignored = ::write(fd, kCrashMark, sizeof kCrashMark - 1);
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

// Keys become file names: anything but letters and digits is left out.
std::string safeName(const std::string& key) {
    std::string name;
    for (char c : key) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            name += c;
        }
    }
    return name.substr(0, 64);
}

} // namespace

Scope::Scope(const std::string& key, const std::string& path) {
    std::string dir = folder();
    if (dir.empty()) {
        return;
    }
    installHandlers();
    m_entry = dir + "/" + safeName(key) + "-" + std::to_string(::getpid()) + "-" +
              std::to_string(g_counter.fetch_add(1));
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW;
    m_fd = ::open(m_entry.c_str(), flags, 0600);
    if (m_fd < 0 && errno == ENOENT && makeFolders(dir)) {
        m_fd = ::open(m_entry.c_str(), flags, 0600); // the folder went away meanwhile
    }
    if (m_fd < 0) {
        m_entry.clear();
        return;
    }
    std::string content = key + "\n" + path;
    ssize_t ignored = ::write(m_fd, content.data(), content.size());
    (void)ignored;
    m_previousFd = t_entryFd;
    t_entryFd = m_fd;
}

Scope::~Scope() {
    if (m_fd < 0) {
        return;
    }
    t_entryFd = m_previousFd;
    ::close(m_fd);
    ::unlink(m_entry.c_str());
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
        if (name == "." || name == "..") {
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
