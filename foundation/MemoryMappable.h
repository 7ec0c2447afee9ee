#pragma once

#include "foundation/ExceptionBase.h"
#include "foundation/RegularFile.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sonorix {

// Direct byte access to the whole content of an existing file through the system's file mapping.
class MemoryMappable {
public:
    SONORIX_DECLARE_EXCEPTION(MemoryMappableException, ExceptionBase);
    // Opening failed; fault says why.
    class FileOpenException : public MemoryMappableException {
    public:
        explicit FileOpenException(std::string message = "FileOpenException",
                                   FileFault fault = FileFault::Other)
            : MemoryMappableException(std::move(message)), m_fault(fault) {}
        FileFault fault() const { return m_fault; }
        SONORIX_EXCEPTION_BODY(FileOpenException)

    private:
        FileFault m_fault;
    };
    SONORIX_DECLARE_EXCEPTION(MMapException, MemoryMappableException);
    SONORIX_DECLARE_EXCEPTION(FileEmptyException, MemoryMappableException);
    SONORIX_DECLARE_EXCEPTION(FileTooLargeException, MemoryMappableException);
    // Another program shrank the file while its mapped bytes were in use.
    SONORIX_DECLARE_EXCEPTION(FileChangedException, MemoryMappableException);

    virtual ~MemoryMappable() = default;
    virtual uint8_t* data() = 0;
    // The file's size in bytes; files that do not fit into 32 bits are never mapped.
    virtual uint32_t size() const = 0;
    // Called after mapped bytes were changed.
    virtual void synchronize() = 0;
    // True while path still names the mapped file with its mapped size: a writer checks this
    // before changing bytes, so that a file deleted, replaced or truncated in the meantime is
    // reported instead of silently written into a dead copy.
    virtual bool stillMaps(const std::string& path) const = 0;
};

// Maps the whole file at path (UTF-8). Writable: changes reach the file (shared mapping); not
// writable: changes stay private to the process (copy-on-write).
std::shared_ptr<MemoryMappable> createMemoryMappable(const std::string& path, bool writable);

// Scope in which this thread reads or writes mapped bytes. Touching a page past the end of a file
// that shrank meanwhile raises SIGBUS, which would end the process; inside a guard that page
// reads as zeros instead (writes to it go nowhere) and check() throws FileChangedException.
// Faults outside every guard go to the handler that was installed before.
class MappedAccessGuard {
public:
    explicit MappedAccessGuard(MemoryMappable& mapping);
    MappedAccessGuard(const void* begin, size_t size);
    ~MappedAccessGuard();
    MappedAccessGuard(const MappedAccessGuard&) = delete;
    MappedAccessGuard& operator=(const MappedAccessGuard&) = delete;

    bool faulted() const;
    // Throws FileChangedException when a fault happened since the guard began.
    void check() const;

private:
    uintptr_t m_begin;
    uintptr_t m_end;
    volatile bool m_faulted = false;
    MappedAccessGuard* m_outer;

    friend struct MappedAccessGuardHandler;
};

class MemoryMappedFile : public MemoryMappable {
public:
    MemoryMappedFile(const std::string& path, bool writable);
    ~MemoryMappedFile() override;
    MemoryMappedFile(const MemoryMappedFile&) = delete;
    MemoryMappedFile& operator=(const MemoryMappedFile&) = delete;

    uint8_t* data() override { return m_base; }
    uint32_t size() const override { return m_size; }
    void synchronize() override;
    bool stillMaps(const std::string& path) const override;

private:
    uint8_t* m_base = nullptr;
    int m_fd = -1;
    uint32_t m_size = 0;
};

} // namespace sonorix
