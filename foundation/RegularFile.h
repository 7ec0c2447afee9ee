#pragma once

#include <cstdint>
#include <string>

namespace sonorix {

// What went wrong with a file, by cause, so that the message can name it.
enum class FileFault : int16_t {
    None,
    NotFound,
    NotRegular, // a folder, FIFO, device or socket
    Empty,
    NoSpace, // the disk (or the user's quota) is full
    NameTooLong,
    ReadOnlyVolume, // the file system is mounted read-only
    WriteProtected, // the file or its folder may not be written
    Changed,        // shrank or was replaced while it was being read
    Other,
};

FileFault faultOfErrno(int error);
// A short English description ("not a regular file"), for the console and the log.
const char* faultText(FileFault fault);

// Whether path, links resolved, names a regular file (None when it does). Audio and tag readers
// ask first: a FIFO blocks the opener for ever and a device such as /dev/zero never ends.
FileFault checkRegularFile(const std::string& path);

// open(2) for regular files only; never blocks on a FIFO. Returns a blocking descriptor, or -1
// with errno set and *fault (if given) saying why.
int openRegularFile(const std::string& path, int flags, FileFault* fault = nullptr);

} // namespace sonorix
