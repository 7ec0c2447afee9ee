#include "support/TestSupport.h"

#include "../model/LibraryFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

using namespace sonorix::test;

namespace {

using Clock = std::chrono::steady_clock;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string fileUrl(const std::string& path) {
    return "file://localhost" + path;
}

// Starts the console with standard input from a pipe that stays open and empty, so a question
// waits for ever; standard error goes to errPath.
pid_t spawnWaiting(const std::vector<std::string>& args, const std::string& errPath, int& input) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        ::dup2(fds[0], 0);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err, 2);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        std::vector<std::string> copy = args;
        std::string cli = SONORIX_CLI_PATH;
        std::vector<char*> argv{cli.data()};
        for (auto& a : copy) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[0]);
    input = fds[1];
    return pid;
}

bool waitFor(const std::string& path, const std::string& text, int seconds) {
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!contains(readFile(path), text)) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Seconds until pid ends, and how it ended.
double secondsUntilExit(pid_t pid, int& status) {
    auto start = Clock::now();
    ::waitpid(pid, &status, 0);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A library of one MP3 beside entries that are no audio files at all.
class UnusualEntries : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(m_dir.file("music").c_str(), 0755);
        ASSERT_TRUE(makeStereoMp3(music("good.mp3"), "sine=frequency=440:duration=2"));
        ::mkfifo(music("fifo.mp3").c_str(), 0644);
        ::symlink("/dev/zero", music("zero.mp3").c_str());
        ::symlink("/dev/urandom", music("random.m4a").c_str());
        ::mkdir(music("folder.mp3").c_str(), 0755);
        writeFile(music("empty.mp3"), "");
        std::vector<LibraryTrack> tracks;
        int id = 0x20;
        for (const char* name :
             {"good.mp3", "fifo.mp3", "zero.mp3", "random.m4a", "folder.mp3", "empty.mp3"}) {
            auto t = track(id++).on(std::string("Album ") + name).named(name);
            t.location = fileUrl(music(name));
            t.totalTimeMs = 2000;
            tracks.push_back(t);
        }
        writeFile(m_dir.file("lib.xml"), libraryXml(tracks, "12.9.5.5"));
    }

    std::string music(const std::string& name) const { return m_dir.file("music/" + name); }

    TempDir m_dir;
};

} // namespace

TEST_F(UnusualEntries, AdjustAndCheckNameWhatIsWrongWithEachEntry) {
    auto start = Clock::now();
    auto run = runCliIn(m_dir, {"adjust", "all"});
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60)) << "hung on an entry";
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(contains(run.err, "1 tracks adjusted")) << run.err;
    auto list = runCliIn(m_dir, {"list", "--all", "--check"});
    EXPECT_EQ(list.status, 0) << list.err;
    for (const auto& out : {run.err, list.out}) {
        EXPECT_TRUE(contains(out, "Not a Regular File")) << out;
        EXPECT_TRUE(contains(out, "File Empty")) << out;
        EXPECT_FALSE(contains(out, "Write Protected")) << out;
        EXPECT_FALSE(contains(out, "Unsupported")) << out;
    }
}

// A stop request is answered within a bounded time even when the main thread cannot take it
// (here it waits on a question nobody answers); a second request ends the process at once.
TEST_F(UnusualEntries, StopIsBoundedAndASecondRequestEndsAtOnce) {
    auto ids = runCliIn(m_dir, {"list", "--ids", "--all"});
    ASSERT_EQ(ids.status, 0) << ids.err;
    std::vector<std::string> args = {"--data-dir",          m_dir.file("data"), "--library",
                                     m_dir.file("lib.xml"), "forget",           "--interactive",
                                     "0000000000000020"};
    for (int requests : {1, 2}) {
        SCOPED_TRACE(requests);
        int input = -1;
        const std::string err = m_dir.file("err.txt");
        pid_t pid = spawnWaiting(args, err, input);
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(waitFor(err, "? ", 30)) << readFile(err);
        ::kill(pid, SIGTERM);
        if (requests == 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ::kill(pid, SIGTERM);
        }
        int status = 0;
        double seconds = secondsUntilExit(pid, status);
        ::close(input);
        ASSERT_TRUE(WIFSIGNALED(status)) << readFile(err);
        EXPECT_EQ(WTERMSIG(status), SIGTERM);
        if (requests == 1) {
            EXPECT_GT(seconds, 4.0);
            EXPECT_LT(seconds, 8.0);
        } else {
            EXPECT_LT(seconds, 1.5);
        }
    }
}

namespace {

// Runs a shell script as root of a private user and mount namespace, so that it may mount small
// or read-only file systems; false when the system does not allow that.
bool haveNamespaces() {
    return runCommand({"unshare", "-rm", "true"}).status == 0;
}

CommandResult inNamespace(const TempDir& dir, const std::string& script) {
    writeFile(dir.file("script.sh"),
              "set -e\ncli=" SONORIX_CLI_PATH "\ncd " + dir.path() + "\n" + script);
    return runCommand({"unshare", "-rm", "sh", dir.file("script.sh")});
}

} // namespace

// A full or read-only disk under the music says so, and the file stays as it was; a data folder
// that cannot take the results is an error the user sees, with status 1.
TEST(FullDisks, EachFailureNamesItsCause) {
    if (!haveNamespaces()) {
        GTEST_SKIP() << "no user namespaces";
    }
    TempDir dir;
    ::mkdir(dir.file("music").c_str(), 0755);
    ::mkdir(dir.file("data").c_str(), 0755);
    ASSERT_TRUE(makeStereoMp3(dir.file("song.mp3"), "sine=frequency=440:duration=2"));
    auto t = track(0x31).on("Album").named("Song");
    t.location = fileUrl(dir.file("music/song.mp3"));
    t.totalTimeMs = 2000;
    writeFile(dir.file("lib.xml"), libraryXml({t}, "12.9.5.5"));
    const std::string run = "\"$cli\" --data-dir data --library lib.xml";

    // The music on a disk with too little room for the copy of a file being saved.
    auto full = inNamespace(dir, "mount -t tmpfs -o size=1m tmpfs music\n"
                                 "cp song.mp3 music/\n"
                                 "head -c 600k /dev/zero > music/filler || true\n" +
                                     run + " adjust all 2>&1 || echo status=$?\n" + run +
                                     " list --check 2>&1\n"
                                     "cmp song.mp3 music/song.mp3 && echo unchanged\n");
    EXPECT_TRUE(contains(full.out, "Disk Full")) << full.out << full.err;
    EXPECT_TRUE(contains(full.out, "status=1")) << full.out;
    EXPECT_TRUE(contains(full.out, "unchanged")) << full.out;
    EXPECT_FALSE(contains(full.out, "Write Protected")) << full.out;

    auto readOnly = inNamespace(dir, "cp song.mp3 music/\n"
                                     "mount --bind music music\n"
                                     "mount -o remount,bind,ro music\n" +
                                         run + " adjust all 2>&1 || echo status=$?\n");
    EXPECT_TRUE(contains(readOnly.out, "Disk Read-Only")) << readOnly.out << readOnly.err;
    EXPECT_TRUE(contains(readOnly.out, "status=1")) << readOnly.out;

    // The data folder fills up: the results cannot be kept.
    ::unlink(dir.file("music/song.mp3").c_str());
    auto lost = inNamespace(dir, "cp song.mp3 music/\n" + run +
                                     " list >/dev/null 2>&1\n"
                                     "mount -t tmpfs -o size=64k tmpfs data\n"
                                     "head -c 1m /dev/zero > data/filler || true\n" +
                                     run + " adjust all 2>&1 || echo status=$?\n");
    EXPECT_TRUE(contains(lost.out, "could not be saved")) << lost.out << lost.err;
    EXPECT_TRUE(contains(lost.out, "No space left on device")) << lost.out;
    EXPECT_TRUE(contains(lost.out, "status=1")) << lost.out;

    ::unlink(dir.file("music/song.mp3").c_str());
    auto readOnlyData = inNamespace(dir, "cp song.mp3 music/\n"
                                         "mount --bind data data\n"
                                         "mount -o remount,bind,ro data\n" +
                                             run + " adjust all 2>&1 || echo status=$?\n");
    EXPECT_TRUE(contains(readOnlyData.out, "Read-only file system")) << readOnlyData.out;
    EXPECT_TRUE(contains(readOnlyData.out, "status=1")) << readOnlyData.out;
}
