#include "foundation/RegularFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonorix {

FileFault faultOfErrno(int error) {
    switch (error) {
    case 0:
        return FileFault::None;
    case ENOENT:
    case ENOTDIR:
        return FileFault::NotFound;
    case EISDIR:
    case ENXIO:
    case ENODEV:
        return FileFault::NotRegular;
    case ENOSPC:
    case EDQUOT:
        return FileFault::NoSpace;
    case ENAMETOOLONG:
        return FileFault::NameTooLong;
    case EROFS:
        return FileFault::ReadOnlyVolume;
    case EACCES:
    case EPERM:
    case ETXTBSY:
        return FileFault::WriteProtected;
    default:
        return FileFault::Other;
    }
}

const char* faultText(FileFault fault) {
    switch (fault) {
    case FileFault::None:
        return "";
    case FileFault::NotFound:
        return "no such file";
    case FileFault::NotRegular:
        return "not a regular file";
    case FileFault::Empty:
        return "the file is empty";
    case FileFault::NoSpace:
        return "no space left on the disk";
    case FileFault::NameTooLong:
        return "the file name is too long";
    case FileFault::ReadOnlyVolume:
        return "the disk is read-only";
    case FileFault::WriteProtected:
        return "the file or its folder is write-protected";
    case FileFault::Changed:
        return "the file changed while it was read";
    case FileFault::Other:
        break;
    }
    return "file error";
}

FileFault checkRegularFile(const std::string& path) {
    struct stat st {};
    if (path.empty()) {
        return FileFault::NotFound;
    }
    if (::stat(path.c_str(), &st) != 0) {
        return faultOfErrno(errno);
    }
    return S_ISREG(st.st_mode) ? FileFault::None : FileFault::NotRegular;
}

int openRegularFile(const std::string& path, int flags, FileFault* fault) {
    auto fail = [&](FileFault f, int error) {
        if (fault) {
            *fault = f;
        }
        errno = error;
        return -1;
    };
    // The check before opening keeps FIFOs and devices closed; the one after catches a swap.
    FileFault before = checkRegularFile(path);
    if (before != FileFault::None) {
        return fail(before, before == FileFault::NotRegular ? EISDIR : errno ? errno : ENOENT);
    }
    int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        int error = errno;
        return fail(faultOfErrno(error), error);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(FileFault::NotRegular, EISDIR);
    }
    if (!(flags & O_NONBLOCK)) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    if (fault) {
        *fault = FileFault::None;
    }
    return fd;
}

} // namespace sonorix
