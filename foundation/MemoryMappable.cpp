#include "foundation/MemoryMappable.h"

#include "foundation/Log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonorix {

std::shared_ptr<MemoryMappable> createMemoryMappable(const std::string& path, bool writable) {
    return std::make_shared<MemoryMappedFile>(path, writable);
}

MemoryMappedFile::MemoryMappedFile(const std::string& path, bool writable) {
    // O_NONBLOCK: opening a FIFO given as a file must not hang; it is rejected below.
    int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    m_fd = ::open(path.c_str(), flags);
    struct stat st {};
    if (m_fd >= 0 && ::fstat(m_fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        // A folder opens read-only without complaint; it is not a file we can map.
        ::close(m_fd);
        m_fd = -1;
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    if (m_fd < 0) {
        int error = errno;
        writeLog("CreateFile failed: %s %d\n", path.c_str(), error);
        throw FileOpenException(std::strerror(error));
    }
    if (st.st_size == 0) {
        ::close(m_fd);
        m_fd = -1;
        writeLog("CreateFileMapping failed: %s %d\n", path.c_str(), EINVAL);
        throw MMapException("empty file");
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
