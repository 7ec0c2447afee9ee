#include "foundation/MemoryMappable.h"
#include "foundation/Log.h"

#include "support/TestSupport.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace sonorix;
using sonorix::test::readFile;
using sonorix::test::TempDir;
using sonorix::test::writeFile;

namespace {

std::string bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>(i * 7 + 3);
    }
    return s;
}

} // namespace

TEST(MemoryMappedFile, MapsTheWholeFile) {
    TempDir dir;
    std::string content = bytes(1000);
    writeFile(dir.file("a"), content);
    auto map = createMemoryMappable(dir.file("a"), false);
    ASSERT_EQ(map->size(), 1000u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(map->data()), 1000), content);
}

TEST(MemoryMappedFile, ReadOnlyMappingKeepsChangesPrivate) {
    TempDir dir;
    std::string content = bytes(5000);
    writeFile(dir.file("a"), content);
    {
        auto map = createMemoryMappable(dir.file("a"), false);
        map->data()[10] ^= 0xFF;
        map->data()[4999] ^= 0xFF;
        map->synchronize();
        EXPECT_NE(map->data()[10], static_cast<uint8_t>(content[10]));
    }
    EXPECT_EQ(readFile(dir.file("a")), content);
}

TEST(MemoryMappedFile, WritableMappingChangesExactlyTheWrittenBytes) {
    TempDir dir;
    std::string content = bytes(10000);
    writeFile(dir.file("a"), content);
    {
        auto map = createMemoryMappable(dir.file("a"), true);
        map->data()[0] = 'X';
        map->data()[8191] = 'Y';
        map->data()[9999] = 'Z';
        map->synchronize();
    }
    std::string expected = content;
    expected[0] = 'X';
    expected[8191] = 'Y';
    expected[9999] = 'Z';
    EXPECT_EQ(readFile(dir.file("a")), expected);
}

TEST(MemoryMappedFile, FailuresRaiseTheirExceptionAndLogErrno) {
    TempDir dir;
    ASSERT_TRUE(openLog(dir.file("log")));
    writeFile(dir.file("empty"), "");
    ::mkdir(dir.file("folder").c_str(), 0755);
    ::mkfifo(dir.file("fifo").c_str(), 0644);

    EXPECT_THROW(createMemoryMappable(dir.file("missing"), false),
                 MemoryMappable::FileOpenException);
    EXPECT_THROW(createMemoryMappable(dir.file("empty"), false),
                 MemoryMappable::FileEmptyException);
    EXPECT_THROW(createMemoryMappable(dir.file("empty"), true), MemoryMappable::FileEmptyException);
    // Neither a folder nor a FIFO is a file; the FIFO must not block the open.
    EXPECT_THROW(createMemoryMappable(dir.file("folder"), false),
                 MemoryMappable::FileOpenException);
    EXPECT_THROW(createMemoryMappable(dir.file("folder"), true), MemoryMappable::FileOpenException);
    EXPECT_THROW(createMemoryMappable(dir.file("fifo"), false), MemoryMappable::FileOpenException);
    closeLog();

    std::string log = readFile(dir.file("log"));
    EXPECT_NE(log.find("CreateFile failed: " + dir.file("missing") + " 2\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("CreateFileMapping failed: " + dir.file("empty") + " 22\n"),
              std::string::npos);
    EXPECT_NE(log.find("CreateFile failed: " + dir.file("folder") + " 21\n"), std::string::npos);
}

TEST(MemoryMappedFile, FileOf4GiBOrMoreIsTooLargeNotTruncated) {
    TempDir dir;
    std::string path = dir.file("big");
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    // Sparse: no disk space is used.
    ASSERT_EQ(::ftruncate(fd, off_t(1) << 32), 0);
    ::close(fd);
    EXPECT_THROW(createMemoryMappable(path, false), MemoryMappable::FileTooLargeException);
    ASSERT_EQ(::truncate(path.c_str(), (off_t(1) << 32) - 1), 0);
    auto map = createMemoryMappable(path, false);
    EXPECT_EQ(map->size(), 0xFFFFFFFFu);
}

TEST(MemoryMappedFile, NoticesWhenThePathNoLongerNamesTheMappedFile) {
    TempDir dir;
    std::string path = dir.file("a");
    writeFile(path, bytes(3000));
    auto map = createMemoryMappable(path, true);
    EXPECT_TRUE(map->stillMaps(path));
    ASSERT_EQ(::truncate(path.c_str(), 2000), 0);
    EXPECT_FALSE(map->stillMaps(path));

    writeFile(path, bytes(3000));
    auto second = createMemoryMappable(path, true);
    writeFile(dir.file("b"), bytes(3000));
    ASSERT_EQ(std::rename(dir.file("b").c_str(), path.c_str()), 0);
    EXPECT_FALSE(second->stillMaps(path));

    auto third = createMemoryMappable(path, true);
    ::unlink(path.c_str());
    EXPECT_FALSE(third->stillMaps(path));
}

TEST(MemoryMappableException, CloneAndRethrowKeepTheMostDerivedType) {
    MemoryMappable::MMapException original("x");
    ExceptionBase* copy = original.clone();
    EXPECT_THROW(copy->rethrow(), MemoryMappable::MMapException);
    try {
        throw MemoryMappable::FileTooLargeException();
    } catch (const MemoryMappable::MemoryMappableException&) {
        SUCCEED();
    }
}

// Another program truncating a mapped file makes the vanished pages raise SIGBUS; inside a
// guard that is a FileChangedException for this file, not the end of the process.
TEST(MappedAccessGuard, FileTruncatedUnderTheMappingBecomesAFileError) {
    TempDir dir;
    const std::string path = dir.file("a");
    writeFile(path, bytes(64 * 1024));
    auto map = createMemoryMappable(path, false);
    ASSERT_EQ(::truncate(path.c_str(), 100), 0);

    auto readAll = [&] {
        unsigned sum = 0;
        for (uint32_t i = 0; i < map->size(); ++i) {
            sum += map->data()[i];
        }
        return sum;
    };
    {
        MappedAccessGuard guard(*map);
        EXPECT_FALSE(guard.faulted());
        volatile unsigned sum = readAll();
        (void)sum;
        EXPECT_TRUE(guard.faulted());
        EXPECT_THROW(guard.check(), MemoryMappable::FileChangedException);
    }
    // Bytes still inside the file read as they are; a writable mapping's writes past the end go
    // nowhere and do not grow the file.
    writeFile(path, bytes(64 * 1024));
    auto writable = createMemoryMappable(path, true);
    ASSERT_EQ(::truncate(path.c_str(), 5000), 0);
    {
        MappedAccessGuard guard(*writable);
        EXPECT_EQ(writable->data()[10], static_cast<uint8_t>(bytes(11)[10]));
        EXPECT_FALSE(guard.faulted());
        writable->data()[60000] = 'X';
        EXPECT_TRUE(guard.faulted());
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5000);
    EXPECT_EQ(readFile(path), bytes(5000));
}

TEST(MappedAccessGuard, NestedGuardsAndThreadsKeepTheirOwnFaults) {
    TempDir dir;
    writeFile(dir.file("a"), bytes(32 * 1024));
    writeFile(dir.file("b"), bytes(32 * 1024));
    auto a = createMemoryMappable(dir.file("a"), false);
    auto b = createMemoryMappable(dir.file("b"), false);
    ASSERT_EQ(::truncate(dir.file("b").c_str(), 10), 0);
    MappedAccessGuard outer(*a);
    {
        MappedAccessGuard inner(*b);
        volatile uint8_t x = b->data()[20000];
        (void)x;
        EXPECT_TRUE(inner.faulted());
    }
    EXPECT_FALSE(outer.faulted());
    // Another thread's fault on the same file is that thread's own.
    bool otherFaulted = false;
    std::thread([&] {
        MappedAccessGuard guard(*b);
        volatile uint8_t x = b->data()[30000];
        (void)x;
        otherFaulted = guard.faulted();
    }).join();
    EXPECT_TRUE(otherFaulted);
    EXPECT_FALSE(outer.faulted());
}

TEST(MappedAccessGuardDeathTest, FaultsOutsideEveryGuardStillEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    writeFile(dir.file("a"), bytes(32 * 1024));
    EXPECT_EXIT(
        {
            auto map = createMemoryMappable(dir.file("a"), false);
            { MappedAccessGuard unrelated(*createMemoryMappable(dir.file("a"), false)); }
            ::truncate(dir.file("a").c_str(), 10);
            char other = 0;
            MappedAccessGuard elsewhere(&other, 1);
            volatile uint8_t x = map->data()[20000];
            (void)x;
            std::_Exit(0);
        },
        // A sanitizer's own handler, chained to, reports and exits instead.
        [](int status) {
            return (WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) ||
                   (WIFEXITED(status) && WEXITSTATUS(status) != 0);
        },
        "");
}

TEST(RegularFile, OnlyRegularFilesOpenAndFaultsNameTheCause) {
    TempDir dir;
    writeFile(dir.file("file"), "abc");
    ::mkdir(dir.file("folder").c_str(), 0755);
    ::mkfifo(dir.file("fifo").c_str(), 0644);
    ::symlink("/dev/zero", dir.file("zero").c_str());
    ::symlink(dir.file("file").c_str(), dir.file("link").c_str());

    EXPECT_EQ(checkRegularFile(dir.file("file")), FileFault::None);
    EXPECT_EQ(checkRegularFile(dir.file("link")), FileFault::None);
    EXPECT_EQ(checkRegularFile(dir.file("missing")), FileFault::NotFound);
    EXPECT_EQ(checkRegularFile(""), FileFault::NotFound);
    for (const char* name : {"folder", "fifo", "zero"}) {
        EXPECT_EQ(checkRegularFile(dir.file(name)), FileFault::NotRegular) << name;
        FileFault fault = FileFault::None;
        EXPECT_EQ(openRegularFile(dir.file(name), O_RDONLY, &fault), -1) << name;
        EXPECT_EQ(fault, FileFault::NotRegular) << name;
        EXPECT_THROW(createMemoryMappable(dir.file(name), false),
                     MemoryMappable::FileOpenException);
    }
    FileFault fault = FileFault::Other;
    int fd = openRegularFile(dir.file("link"), O_RDONLY, &fault);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fault, FileFault::None);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0); // an ordinary descriptor for its user
    ::close(fd);

    EXPECT_EQ(faultOfErrno(ENOSPC), FileFault::NoSpace);
    EXPECT_EQ(faultOfErrno(EDQUOT), FileFault::NoSpace);
    EXPECT_EQ(faultOfErrno(ENAMETOOLONG), FileFault::NameTooLong);
    EXPECT_EQ(faultOfErrno(EROFS), FileFault::ReadOnlyVolume);
    EXPECT_EQ(faultOfErrno(EACCES), FileFault::WriteProtected);
    EXPECT_EQ(faultOfErrno(EIO), FileFault::Other);
    try {
        createMemoryMappable(dir.file("fifo"), true);
        ADD_FAILURE();
    } catch (const MemoryMappable::FileOpenException& e) {
        EXPECT_EQ(e.fault(), FileFault::NotRegular);
        std::unique_ptr<ExceptionBase> copy(e.clone());
        EXPECT_EQ(dynamic_cast<MemoryMappable::FileOpenException&>(*copy).fault(),
                  FileFault::NotRegular);
    }
}
