#include "foundation/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/stat.h>

namespace sonorix {
namespace {

std::mutex g_mutex;
std::string g_override;

} // namespace

bool makeFolders(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(path.substr(0, slash))) {
        return false;
    }
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    return false;
}

void setDataFolderOverride(const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_override = folder;
}

std::string dataFolder() {
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        folder = g_override;
    }
    if (folder.empty()) {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        if (xdg && *xdg == '/') {
            folder = std::string(xdg) + "/nubosoft";
        } else {
            const char* home = std::getenv("HOME");
            if (!home || !*home) {
                return {};
            }
            folder = std::string(home) + "/.local/share/nubosoft";
        }
    }
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return makeFolders(folder) ? folder : std::string();
}

bool fileExists(const std::string& path) {
    struct stat st {};
    // A path with a NUL byte would name a shorter, different file.
    return !path.empty() && path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

std::string fileIdentity(const std::string& path) {
    struct stat st {};
    if (path.empty() || path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) {
        return {};
    }
    auto time = [](const timespec& t) {
        return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
    };
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_size) + ":" + time(st.st_mtim) + ":" + time(st.st_ctim);
}

} // namespace sonorix
