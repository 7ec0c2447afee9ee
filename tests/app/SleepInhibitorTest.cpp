#include "app/SleepInhibitor.h"

#include "foundation/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace sonorix;
using namespace sonorix::test;
using namespace std::chrono;

namespace {

// A helper process with piped standard input and output. It dies with the test process and is
// killed when the object goes.
class Helper {
public:
    explicit Helper(const std::vector<std::string>& argv, bool quiet = false) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            if (quiet) {
                int null = ::open("/dev/null", O_WRONLY);
                ::dup2(null, 2);
            }
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~Helper() {
        if (m_in >= 0) {
            ::close(m_in);
        }
        if (m_out >= 0) {
            ::close(m_out);
        }
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // The next line of output, or empty after `timeout` without one.
    std::string readLine(milliseconds timeout = 5s) {
        auto deadline = steady_clock::now() + timeout;
        for (;;) {
            if (auto nl = m_buffer.find('\n'); nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return line;
            }
            auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            pollfd p{m_out, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
                return {};
            }
            char buf[256];
            ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n <= 0) {
                return {};
            }
            m_buffer.append(buf, static_cast<size_t>(n));
        }
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
};

bool pythonWithGio() {
    return runCommand({"/usr/bin/python3", "-c", "from gi.repository import Gio"}).status == 0;
}

// A private message bus that lets anyone own any name and call anything.
class PrivateBus {
public:
    explicit PrivateBus(const TempDir& dir) {
        std::string config = dir.file("bus.conf");
        writeFile(config, "<busconfig><type>session</type>"
                          "<listen>unix:path=" +
                              dir.file("bus") +
                              "</listen><auth>EXTERNAL</auth>"
                              "<policy context=\"default\"><allow send_destination=\"*\" "
                              "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                              "<allow own=\"*\"/></policy></busconfig>");
        m_daemon = std::make_unique<Helper>(std::vector<std::string>{"/usr/bin/dbus-daemon",
                                                                     "--nofork", "--print-address",
                                                                     "--config-file=" + config},
                                            true);
        m_address = m_daemon->readLine();
    }
    const std::string& address() const { return m_address; }

private:
    std::unique_ptr<Helper> m_daemon;
    std::string m_address;
};

} // namespace

TEST(SleepInhibitor, NoBusMeansQuietlyNoInhibitor) {
    TempDir dir;
    ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.file("missing"));
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    SleepInhibitor inhibitor;
    auto start = steady_clock::now();
    EXPECT_FALSE(inhibitor.inhibit());
    EXPECT_FALSE(inhibitor.inhibit());
    EXPECT_LT(steady_clock::now() - start, 1s);
    EXPECT_FALSE(inhibitor.active());
    inhibitor.release();
    inhibitor.release();
    closeLog();

    // Logged once per process (this test runs first), naming what failed.
    std::string log = readFile(dir.file("Sonorix.log"));
    size_t first = log.find("Cannot keep the computer awake");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("Cannot keep the computer awake", first + 1), std::string::npos) << log;
    EXPECT_NE(log.find(dir.file("missing")), std::string::npos) << log;
}

TEST(SleepInhibitor, BusThatNeverAnswersIsGivenUp) {
    TempDir dir;
    // Accepts connections (the backlog does) but never answers the authentication.
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = dir.file("hung");
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    path.copy(addr.sun_path, path.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path);
    SleepInhibitor inhibitor;
    auto start = steady_clock::now();
    EXPECT_FALSE(inhibitor.inhibit());
    EXPECT_LT(steady_clock::now() - start, 10s);
    EXPECT_FALSE(inhibitor.active());
    ::close(listener);
}

TEST(SleepInhibitor, BusWithoutLogindGivesNoInhibitor) {
    if (!haveProgram("dbus-daemon")) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    TempDir dir;
    PrivateBus bus(dir);
    ASSERT_FALSE(bus.address().empty());
    ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", bus.address());
    SleepInhibitor inhibitor;
    EXPECT_FALSE(inhibitor.inhibit());
    EXPECT_FALSE(inhibitor.active());
}

TEST(SleepInhibitor, HoldsOneLogindInhibitorUntilReleased) {
    if (!haveProgram("dbus-daemon") || !pythonWithGio()) {
        GTEST_SKIP() << "needs dbus-daemon and Python with GObject introspection";
    }
    TempDir dir;
    PrivateBus bus(dir);
    ASSERT_FALSE(bus.address().empty());
    Helper logind(
        {"/usr/bin/python3", SONORIX_SOURCE_DIR "/tests/app/fake-login1.py", bus.address()});
    ASSERT_EQ(logind.readLine(), "ready");
    ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", bus.address());

    {
        SleepInhibitor inhibitor;
        ASSERT_TRUE(inhibitor.inhibit());
        EXPECT_TRUE(inhibitor.active());
        EXPECT_EQ(logind.readLine(), "inhibit sleep|Sonorix|Sonorix is adjusting tracks|block");
        EXPECT_TRUE(inhibitor.inhibit()); // keeps the one held: no second call
        EXPECT_EQ(logind.readLine(200ms), "");

        inhibitor.release();
        EXPECT_FALSE(inhibitor.active());
        EXPECT_EQ(logind.readLine(), "released 1");
        inhibitor.release();

        // Taken again, and let go by the destructor.
        ASSERT_TRUE(inhibitor.inhibit());
        EXPECT_EQ(logind.readLine(), "inhibit sleep|Sonorix|Sonorix is adjusting tracks|block");
    }
    EXPECT_EQ(logind.readLine(), "released 2");
}
