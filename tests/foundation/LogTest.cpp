#include "foundation/Log.h"

#include "support/TestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <regex>
#include <stdexcept>
#include <thread>

using namespace sonorix;
using sonorix::test::readFile;
using sonorix::test::TempDir;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

} // namespace

TEST(Log, EntryFormatAndTrailingLineEnds) {
    TempDir dir;
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    writeLog("plain %d", 42);
    writeLog("ends with line end %s\n", "x");
    writeLog("after");
    closeLog();
    auto l = lines(readFile(dir.file("Sonorix.log")));
    ASSERT_EQ(l.size(), 4u);
    EXPECT_TRUE(std::regex_match(l[0], std::regex(R"(\[\d+\.\d{3}s\] plain 42)"))) << l[0];
    EXPECT_TRUE(std::regex_match(l[1], std::regex(R"(\[\d+\.\d{3}s\] ends with line end x)")));
    EXPECT_EQ(l[2], ""); // a format ending in "\n" gets an empty line after it
    EXPECT_TRUE(std::regex_match(l[3], std::regex(R"(\[\d+\.\d{3}s\] after)")));
}

TEST(Log, LongFormatFallsBackToPlainFormat) {
    TempDir dir;
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    // "[0.000s] " + format + "\n" + NUL must fit 512 bytes; this one does not.
    std::string longFormat(505, 'x');
    writeLog("%s", longFormat.c_str()); // short format, long text: prefixed
    writeLog(longFormat.c_str());       // long format: written as it is, plus a line end
    closeLog();
    auto l = lines(readFile(dir.file("Sonorix.log")));
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].substr(0, 1), "[");
    EXPECT_EQ(l[1], longFormat);
}

TEST(Log, ReopeningTruncatesAndTimesGrow) {
    TempDir dir;
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    writeLog("first run");
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    double a = logElapsedSeconds();
    writeLog("second run");
    closeLog();
    EXPECT_EQ(readFile(dir.file("Sonorix.log")).find("first run"), std::string::npos);
    EXPECT_GE(logElapsedSeconds(), a);
}

TEST(Log, UncaughtExceptionReport) {
    TempDir dir;
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    logUncaughtException(std::out_of_range("index 7"), "Thread");
    closeLog();
    std::string text = readFile(dir.file("Sonorix.log"));
    EXPECT_NE(text.find("Uncaught Exception std::out_of_range in Thread! >>index 7<<"),
              std::string::npos)
        << text;
}

TEST(Log, HeaderNamesVersionsKernelAndProcessors) {
    TempDir dir;
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    writeLogHeader(3);
    closeLog();
    auto l = lines(readFile(dir.file("Sonorix.log")));
    ASSERT_EQ(l.size(), 6u); // three entries, each followed by an empty line
    // Product version (major.minor), then the four-part file version.
    EXPECT_TRUE(std::regex_match(
        l[0], std::regex(R"(\[\d+\.\d{3}s\] Sonorix \d+\.\d+ \(\d+\.\d+\.\d+\.\d+\))")))
        << l[0];
    EXPECT_TRUE(std::regex_match(l[2], std::regex(R"(\[\d+\.\d{3}s\] Linux version=\S+)"))) << l[2];
    EXPECT_TRUE(
        std::regex_match(l[4], std::regex(R"(\[\d+\.\d{3}s\] numberOfActiveProcessors=3)")));
}

TEST(Log, WritersNeverMeetAClosedFile) {
    TempDir dir;
    ASSERT_TRUE(openLog(dir.file("a.log")));
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 300; ++i) {
                writeLog("writer %d", t);
            }
        });
    }
    // Reopening swaps and closes the old file while entries are being written.
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(openLog(dir.file(i % 2 ? "a.log" : "b.log")));
    }
    for (auto& w : writers) {
        w.join();
    }
    closeLog();
    for (const auto& line : lines(readFile(dir.file("a.log")))) {
        EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[\d+\.\d{3}s\] writer \d)"))) << line;
    }
}
