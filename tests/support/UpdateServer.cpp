#include "support/UpdateServer.h"

#include "support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sonorix::test {

UpdateServer::UpdateServer(const std::string& folder) : m_folder(folder) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    const std::string script = SONORIX_SOURCE_DIR "/tests/support/update-server.py";
    m_pid = ::fork();
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(out[1], 1);
        ::execl("/usr/bin/python3", "python3", script.c_str(), folder.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    // The first line is "port N"; give the interpreter ten seconds on a busy machine.
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
        char buffer[64];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        line.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (line.rfind("port ", 0) == 0) {
        m_port = std::atoi(line.c_str() + 5);
    }
}

UpdateServer::~UpdateServer() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

std::string UpdateServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::string UpdateServer::requests() const {
    std::ifstream in(m_folder + "/requests.log");
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace sonorix::test
