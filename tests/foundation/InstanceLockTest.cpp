#include "foundation/InstanceLock.h"

#include "foundation/Paths.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace sonorix;
using namespace sonorix::test;

namespace {

// Each test gets its own runtime folder and data folder, so parallel runs never meet.
class InstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override { setDataFolderOverride(m_data.path()); }
    void TearDown() override { setDataFolderOverride(""); }

    TempDir m_runtime;
    TempDir m_data;
    ScopedEnv m_env{"XDG_RUNTIME_DIR", m_runtime.path()};
};

std::string readAll(int fd) {
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// A child process that tries to take the lock: reports "ok" or the error line through a pipe.
// With `hold`, it keeps the lock after reporting until killed.
struct Child {
    pid_t pid = -1;
    int out = -1;

    static Child start(bool hold) {
        int p[2];
        if (::pipe(p) != 0) {
            return {};
        }
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(p[0]);
            std::string error;
            auto lock = InstanceLock::acquire(&error);
            std::string report = lock ? "ok" : error;
            [[maybe_unused]] ssize_t n = ::write(p[1], report.data(), report.size());
            ::close(p[1]);
            while (hold && lock) {
                ::pause();
            }
            ::_exit(0);
        }
        ::close(p[1]);
        return {pid, p[0]};
    }

    // The report; for a holder, read only up to "ok" so that it keeps running.
    std::string report(bool holder) {
        std::string text;
        if (holder) {
            char buf[2];
            if (::read(out, buf, 2) == 2) {
                text.assign(buf, 2);
            }
            return text;
        }
        text = readAll(out);
        wait();
        return text;
    }

    void wait() {
        if (out >= 0) {
            ::close(out);
            out = -1;
        }
        if (pid > 0) {
            int status;
            ::waitpid(pid, &status, 0);
            pid = -1;
        }
    }
};

std::string tryInChild() {
    Child child = Child::start(false);
    return child.report(false);
}

} // namespace

TEST_F(InstanceLockTest, SecondProcessRefusedWhileHeldAndAdmittedAfterRelease) {
    std::string error;
    auto lock = InstanceLock::acquire(&error);
    ASSERT_TRUE(lock) << error;
    std::string path = InstanceLock::lockPath();
    EXPECT_EQ(path.rfind(m_runtime.path() + "/" + InstanceLock::kName + "-", 0), 0u) << path;
    EXPECT_EQ(path.substr(path.size() - 5), ".lock");

    std::string refusal = tryInChild();
    EXPECT_NE(refusal.find("Another Sonorix instance (pid " + std::to_string(::getpid()) + ")"),
              std::string::npos)
        << refusal;
    EXPECT_NE(refusal.find(m_data.path()), std::string::npos) << refusal;
    EXPECT_EQ(refusal.find('\n'), std::string::npos);

    // A second take inside the holding process is refused as well.
    EXPECT_FALSE(InstanceLock::acquire());

    lock.reset();
    EXPECT_EQ(tryInChild(), "ok");
}

TEST_F(InstanceLockTest, KilledHolderLeavesNoStaleLock) {
    Child holder = Child::start(true);
    ASSERT_EQ(holder.report(true), "ok");
    std::string error;
    EXPECT_FALSE(InstanceLock::acquire(&error));
    EXPECT_NE(error.find("(pid " + std::to_string(holder.pid) + ")"), std::string::npos) << error;

    ::kill(holder.pid, SIGKILL);
    holder.wait();
    auto lock = InstanceLock::acquire(&error);
    EXPECT_TRUE(lock) << error;
}

TEST_F(InstanceLockTest, ProgramsStartedByTheHolderDoNotInheritIt) {
    auto lock = InstanceLock::acquire();
    ASSERT_TRUE(lock);
    pid_t sleeper;
    char arg0[] = "sleep";
    char arg1[] = "30";
    char* argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(::posix_spawnp(&sleeper, "sleep", nullptr, nullptr, argv, environ), 0);
    lock.reset();
    std::string error;
    lock = InstanceLock::acquire(&error);
    EXPECT_TRUE(lock) << error;
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);
}

TEST_F(InstanceLockTest, DataFoldersAreLockedSeparately) {
    auto lock = InstanceLock::acquire();
    ASSERT_TRUE(lock);
    std::string first = InstanceLock::lockPath();

    TempDir other;
    setDataFolderOverride(other.path());
    EXPECT_NE(InstanceLock::lockPath(), first);
    EXPECT_EQ(tryInChild(), "ok");
    auto second = InstanceLock::acquire();
    EXPECT_TRUE(second);

    // The same folder reached through a link and a trailing slash is the same lock.
    std::string link = other.file("link");
    ASSERT_EQ(::symlink(m_data.path().c_str(), link.c_str()), 0);
    setDataFolderOverride(link + "/");
    EXPECT_EQ(InstanceLock::lockPath(), first);
    EXPECT_FALSE(InstanceLock::acquire());
}

TEST_F(InstanceLockTest, UnusableRuntimeFolderIsReportedNotFatal) {
    {
        // A path through a regular file fails even for root.
        writeFile(m_runtime.file("file"), "x");
        ScopedEnv env("XDG_RUNTIME_DIR", m_runtime.file("file") + "/run");
        std::string error;
        EXPECT_FALSE(InstanceLock::acquire(&error));
        EXPECT_NE(error.find(m_runtime.file("file") + "/run"), std::string::npos) << error;
        EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
    }
    if (::geteuid() != 0) {
        std::string folder = m_runtime.file("readonly");
        ASSERT_EQ(::mkdir(folder.c_str(), 0500), 0);
        ScopedEnv env("XDG_RUNTIME_DIR", folder);
        std::string error;
        EXPECT_FALSE(InstanceLock::acquire(&error));
        EXPECT_NE(error.find("Cannot create the instance lock " + folder + "/"), std::string::npos)
            << error;
        EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
    }
}

TEST_F(InstanceLockTest, WithoutRuntimeFolderUsesAPrivateFolderUnderTmp) {
    ::unsetenv("XDG_RUNTIME_DIR");
    std::string folder = "/tmp/sonorix-" + std::to_string(::geteuid());
    EXPECT_EQ(InstanceLock::lockPath().rfind(folder + "/", 0), 0u);
    std::string error;
    auto lock = InstanceLock::acquire(&error);
    ASSERT_TRUE(lock) << error;
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(tryInChild().rfind("Another Sonorix instance", 0), 0u);
    std::string path = InstanceLock::lockPath();
    lock.reset();
    ::unlink(path.c_str());
}
