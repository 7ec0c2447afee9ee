#include "itunes/DesktopLauncher.h"

#include "foundation/Log.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace sonorix::DesktopLauncher {
namespace {

std::mutex g_runnerMutex;
Runner g_runner;

bool spawn(const std::vector<std::string>& argv, bool wait) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The helpers talk on their standard streams; the console's user should not see that.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        writeLog("Could not start %s: error %d", argv[0].c_str(), error);
        return false;
    }
    if (!wait) {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
        return true;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool run(const std::vector<std::string>& argv, bool wait) {
    Runner runner;
    {
        std::lock_guard<std::mutex> lock(g_runnerMutex);
        runner = g_runner;
    }
    return runner ? runner(argv, wait) : spawn(argv, wait);
}

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

void setRunner(Runner runner) {
    std::lock_guard<std::mutex> lock(g_runnerMutex);
    g_runner = std::move(runner);
}

std::string fileURI(const std::string& path) {
    std::string uri = "file://";
    for (unsigned char c : path) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            uri += static_cast<char>(c);
        } else {
            char buffer[4];
            std::snprintf(buffer, sizeof buffer, "%%%02X", c);
            uri += buffer;
        }
    }
    return uri;
}

bool openFile(const std::string& path) {
    return run({"xdg-open", path}, false);
}

bool showInFileManager(const std::string& path) {
    // The URI is percent-encoded, so it cannot break out of the quoted GVariant text.
    std::string items = "['" + fileURI(path) + "']";
    if (run({"gdbus", "call", "--session", "--timeout", "5", "--dest",
             "org.freedesktop.FileManager1", "--object-path", "/org/freedesktop/FileManager1",
             "--method", "org.freedesktop.FileManager1.ShowItems", items, ""},
            true)) {
        return true;
    }
    return run({"xdg-open", folderOf(path)}, false);
}

} // namespace sonorix::DesktopLauncher
