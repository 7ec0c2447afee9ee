#include "foundation/MemoryMappable.h"
#include "foundation/Log.h"

#include "support/TestSupport.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
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
