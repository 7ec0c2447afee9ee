#pragma once

#include <string>
#include <sys/types.h>

namespace sonorix::test {

// tests/support/update-server.py over a folder, on a free port of 127.0.0.1, for as long as the
// object lives.
class UpdateServer {
public:
    explicit UpdateServer(const std::string& folder);
    ~UpdateServer();
    UpdateServer(const UpdateServer&) = delete;
    UpdateServer& operator=(const UpdateServer&) = delete;

    bool running() const { return m_port > 0; }
    // "http://127.0.0.1:<port>" + path
    std::string url(const std::string& path) const;
    // The requests served so far: "path<TAB>user agent" lines.
    std::string requests() const;

private:
    std::string m_folder;
    pid_t m_pid = -1;
    int m_port = 0;
};

} // namespace sonorix::test
