#include "foundation/CrashJournal.h"
#include "foundation/Paths.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace sonorix;
using sonorix::test::TempDir;

namespace {

class CrashJournalTest : public ::testing::Test {
protected:
    void SetUp() override { setDataFolderOverride(m_dir.path()); }
    void TearDown() override { setDataFolderOverride(""); }

    // Runs body in a child process and returns how it ended (the signal, or 0).
    static int inChild(void (*body)()) {
        pid_t pid = ::fork();
        if (pid == 0) {
            body();
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

    TempDir m_dir;
};

volatile int* g_nowhere = nullptr;

volatile int g_depthLimit = 1 << 30;

int overflow(int depth) {
    volatile char frame[1024];
    frame[0] = char(depth);
    return depth < g_depthLimit ? overflow(depth + 1) + frame[0] : 0;
}

} // namespace

TEST_F(CrashJournalTest, AFileThatCrashesAReaderIsOnRecordAtTheNextStart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer handles fatal signals itself";
#endif
    EXPECT_EQ(inChild([] {
                  CrashJournal::Scope reading("ABC123", "/music/bad file.m4a");
                  *g_nowhere = 1;
              }),
              SIGSEGV);
    // A stack overflow on a worker thread is recorded as well.
    EXPECT_EQ(inChild([] {
                  std::thread worker([] {
                      CrashJournal::Scope reading("DEF456", "/music/deep.m4a");
                      overflow(0);
                  });
                  worker.join();
              }),
              SIGSEGV);
    EXPECT_EQ(inChild([] {
                  CrashJournal::Scope reading("0A0B", "/music/abort.mp3");
                  std::abort();
              }),
              SIGABRT);

    auto leftovers = CrashJournal::takeLeftovers();
    ASSERT_EQ(leftovers.size(), 3u);
    std::map<std::string, std::string> paths;
    for (const auto& l : leftovers) {
        EXPECT_TRUE(l.crashed);
        paths[l.key] = l.path;
    }
    EXPECT_EQ(paths["ABC123"], "/music/bad file.m4a");
    EXPECT_EQ(paths["DEF456"], "/music/deep.m4a");
    EXPECT_EQ(paths["0A0B"], "/music/abort.mp3");
    // Until discarded, a later start finds them again.
    EXPECT_EQ(CrashJournal::takeLeftovers().size(), 3u);
    std::vector<std::string> entries;
    for (const auto& l : leftovers) {
        entries.push_back(l.entry);
    }
    CrashJournal::discard(entries);
    EXPECT_TRUE(CrashJournal::takeLeftovers().empty());
}

TEST_F(CrashJournalTest, KilledOrFinishedWorkLeavesNothingOnRecord) {
    EXPECT_EQ(inChild([] {
                  CrashJournal::Scope reading("AAA", "/music/a.mp3");
                  ::raise(SIGKILL);
              }),
              SIGKILL);
    {
        CrashJournal::Scope outer("BBB", "/music/b.mp3");
        CrashJournal::Scope inner("CCC", "/music/c.mp3");
    }
    EXPECT_TRUE(CrashJournal::takeLeftovers().empty());
    // The killed process's entry is gone too: its file is simply worked on again.
    EXPECT_TRUE(CrashJournal::takeLeftovers().empty());
}

TEST_F(CrashJournalTest, TheStampFollowsTheFile) {
    std::string file = m_dir.file("song.mp3");
    test::writeFile(file, "one");
    std::string first = CrashJournal::fileStamp(file);
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(CrashJournal::fileStamp(file), first);
    test::writeFile(file, "longer");
    EXPECT_NE(CrashJournal::fileStamp(file), first);
    EXPECT_TRUE(CrashJournal::fileStamp(m_dir.file("missing")).empty());
}
