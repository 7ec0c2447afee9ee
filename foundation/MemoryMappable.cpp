#include "foundation/MemoryMappable.h"

#include "foundation/Log.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonorix {

namespace {

thread_local MappedAccessGuard* t_innermostGuard = nullptr;
struct sigaction g_previousBusAction {};
uintptr_t g_pageSize = 4096;

} // namespace

struct MappedAccessGuardHandler {
    static void onBus(int signal, siginfo_t* info, void* context) {
        const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
        for (MappedAccessGuard* g = t_innermostGuard; g; g = g->m_outer) {
            if (address < g->m_begin || address >= g->m_end) {
                continue;
            }
            // A zero page over the vanished one lets the interrupted access finish; the guard's
            // owner then discards what it read.
            void* page = reinterpret_cast<void*>(address & ~(g_pageSize - 1));
            if (::mmap(page, g_pageSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
                g->m_faulted = true;
                return;
            }
            break;
        }
        const struct sigaction& previous = g_previousBusAction;
        if (previous.sa_flags & SA_SIGINFO) {
            previous.sa_sigaction(signal, info, context);
        } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
            previous.sa_handler(signal);
        } else {
            // Returning retries the access, which now ends the process as it would have.
            ::signal(signal, SIG_DFL);
        }
    }

    static void install() {
        static std::once_flag once;
        std::call_once(once, [] {
            long page = ::sysconf(_SC_PAGESIZE);
            if (page > 0) {
                g_pageSize = static_cast<uintptr_t>(page);
            }
            struct sigaction action {};
            action.sa_sigaction = onBus;
            action.sa_flags = SA_SIGINFO;
            sigemptyset(&action.sa_mask);
            ::sigaction(SIGBUS, &action, &g_previousBusAction);
        });
    }
};

MappedAccessGuard::MappedAccessGuard(MemoryMappable& mapping)
    : MappedAccessGuard(mapping.data(), mapping.size()) {}

MappedAccessGuard::MappedAccessGuard(const void* begin, size_t size)
    : m_begin(reinterpret_cast<uintptr_t>(begin)), m_end(m_begin + size),
      m_outer(t_innermostGuard) {
    MappedAccessGuardHandler::install();
    t_innermostGuard = this;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

MappedAccessGuard::~MappedAccessGuard() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_innermostGuard = m_outer;
}

bool MappedAccessGuard::faulted() const {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return m_faulted;
}

void MappedAccessGuard::check() const {
    if (faulted()) {
        throw MemoryMappable::FileChangedException("the file shrank while it was read");
    }
}

std::shared_ptr<MemoryMappable> createMemoryMappable(const std::string& path, bool writable) {
    return std::make_shared<MemoryMappedFile>(path, writable);
}

MemoryMappedFile::MemoryMappedFile(const std::string& path, bool writable) {
    FileFault fault = FileFault::None;
    m_fd = openRegularFile(path, writable ? O_RDWR : O_RDONLY, &fault);
    struct stat st {};
    if (m_fd >= 0 && ::fstat(m_fd, &st) != 0) {
        fault = faultOfErrno(errno);
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd < 0) {
        writeLog("CreateFile failed: %s %d\n", path.c_str(), errno);
        throw FileOpenException(faultText(fault), fault);
    }
    if (st.st_size == 0) {
        ::close(m_fd);
        m_fd = -1;
        writeLog("CreateFileMapping failed: %s %d\n", path.c_str(), EINVAL);
        throw FileEmptyException("empty file");
    }
    if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
        // The size is a 32-bit count: a truncated size would hide the end of the file.
        ::close(m_fd);
        m_fd = -1;
        writeLog("CreateFileMapping failed: %s %d\n", path.c_str(), EFBIG);
        throw FileTooLargeException("file of 4 GiB or more");
    }
    m_size = static_cast<uint32_t>(st.st_size);
    // Private mappings are writable too: their changes stay in the process (copy-on-write).
    void* base = ::mmap(nullptr, m_size, PROT_READ | PROT_WRITE,
                        writable ? MAP_SHARED : MAP_PRIVATE, m_fd, 0);
    if (base == MAP_FAILED) {
        int error = errno;
        ::close(m_fd);
        m_fd = -1;
        writeLog("MapViewOfFile failed: %s %d\n", path.c_str(), error);
        throw MMapException(std::strerror(error));
    }
    m_base = static_cast<uint8_t*>(base);
}

MemoryMappedFile::~MemoryMappedFile() {
    if (m_base) {
        ::munmap(m_base, m_size);
    }
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void MemoryMappedFile::synchronize() {
    // A shared mapping is the file's page cache: changed bytes are already what every reader of
    // the file sees, and the kernel writes them back; nothing to do here.
}

bool MemoryMappedFile::stillMaps(const std::string& path) const {
    struct stat mapped {};
    struct stat named {};
    if (m_fd < 0 || ::fstat(m_fd, &mapped) != 0 || ::stat(path.c_str(), &named) != 0) {
        return false;
    }
    return mapped.st_dev == named.st_dev && mapped.st_ino == named.st_ino && mapped.st_nlink > 0 &&
           static_cast<uint64_t>(mapped.st_size) == m_size;
}

} // namespace sonorix
