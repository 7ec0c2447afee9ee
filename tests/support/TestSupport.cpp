#include "support/TestSupport.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sonorix::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sonorix-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Read-only files and folders made by tests must not keep their folder alive.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(m_path, ec);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name)) {
        m_old = old;
        m_hadOld = true;
    }
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (m_hadOld) {
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

CommandResult runCommand(const std::vector<std::string>& argv) {
    CommandResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        result.status = 127;
        return result;
    }
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            break;
        }
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd >= 0 && (fds[k].revents & (POLLIN | POLLHUP))) {
                ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[k]->append(buffer, static_cast<size_t>(n));
                } else {
                    close(fds[k].fd);
                    fds[k].fd = -1;
                    --open;
                }
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

CommandResult runCli(const std::vector<std::string>& args) {
    std::vector<std::string> argv{SONORIX_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv);
}

CommandResult runCliIn(const TempDir& folder, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--data-dir", folder.file("data"), "--library",
                                    folder.file("lib.xml")};
    all.insert(all.end(), args.begin(), args.end());
    return runCli(all);
}

bool haveProgram(const std::string& name) {
    return runCommand({"sh", "-c", "command -v " + name}).status == 0;
}

bool makeAudio(const std::string& path, const std::string& lavfiSource,
               const std::vector<std::string>& outputOptions) {
    std::vector<std::string> argv{"ffmpeg", "-nostdin", "-v", "error",    "-y",
                                  "-f",     "lavfi",    "-i", lavfiSource};
    argv.insert(argv.end(), outputOptions.begin(), outputOptions.end());
    argv.push_back(path);
    return runCommand(argv).status == 0;
}

bool makeStereoMp3(const std::string& path, const std::string& lavfiSource) {
    return makeAudio(path, lavfiSource, {"-ac", "2", "-c:a", "libmp3lame", "-b:a", "96k"});
}

} // namespace sonorix::test
