#include "foundation/Log.h"

#include "foundation/Paths.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <memory>
#include <mutex>
#include <sys/utsname.h>
#include <typeinfo>

namespace sonorix {
namespace {

// A function-local static, so that a log call from another static initialiser still finds the
// clock started; the global below starts it during static initialisation in any case.
std::chrono::steady_clock::time_point logStart() {
    static const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    return start;
}
[[maybe_unused]] const std::chrono::steady_clock::time_point g_logStartedAtInit = logStart();

// Held only while an entry is handed to the file (formatting happens outside), and by open and
// close: no entry is ever written to a stream that is being closed.
std::mutex g_fileMutex;
std::FILE* g_logFile = nullptr;
std::string g_logPath;

constexpr size_t kFormatBufferSize = 512;

} // namespace

double logElapsedSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - logStart()).count();
}

void writeLog(const char* format, ...) {
    if (!format) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_fileMutex);
        if (!g_logFile) {
            return; // nothing to format for
        }
    }
    char prefixed[kFormatBufferSize];
    int needed =
        std::snprintf(prefixed, sizeof prefixed, "[%.3lfs] %s\n", logElapsedSeconds(), format);
    // A prefixed format that does not fit is dropped for the caller's own, plus a line end.
    bool fits = needed >= 0 && static_cast<size_t>(needed) < sizeof prefixed;
    const char* effective = fits ? prefixed : format;

    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    char small[1024];
    int length = std::vsnprintf(small, sizeof small, effective, args);
    va_end(args);
    std::string text;
    if (length < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        text.assign(small, static_cast<size_t>(length));
    } else {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), effective, copy);
        text.resize(static_cast<size_t>(length));
    }
    va_end(copy);
    if (!fits) {
        text += '\n';
    }
    // One write per entry: entries never interleave.
    std::lock_guard<std::mutex> lock(g_fileMutex);
    if (g_logFile) {
        std::fwrite(text.data(), 1, text.size(), g_logFile);
        std::fflush(g_logFile);
    }
}

bool openLog(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_fileMutex);
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) {
        return false;
    }
    std::FILE* old = g_logFile;
    g_logFile = file;
    g_logPath = path;
    if (old) {
        std::fclose(old);
    }
    return true;
}

bool openDefaultLog() {
    std::string folder = dataFolder();
    if (folder.empty()) {
        return false;
    }
    return openLog(folder + "/Sonorix.log");
}

void closeLog() {
    std::lock_guard<std::mutex> lock(g_fileMutex);
    if (g_logFile) {
        std::FILE* old = g_logFile;
        g_logFile = nullptr;
        g_logPath.clear();
        std::fclose(old);
    }
}

std::string logPath() {
    std::lock_guard<std::mutex> lock(g_fileMutex);
    return g_logPath;
}

void writeLogHeader(int activeProcessors) {
    // Product version (major.minor) and the four-part file version.
    writeLog("Sonorix %d.%d (%d.%d.%d.%d)\n", SONORIX_VERSION_MAJOR, SONORIX_VERSION_MINOR,
             SONORIX_VERSION_MAJOR, SONORIX_VERSION_MINOR, SONORIX_VERSION_PATCH, 0);
    struct utsname name {};
    if (uname(&name) == 0) {
        writeLog("%s version=%s\n", name.sysname, name.release);
    }
    writeLog("numberOfActiveProcessors=%d\n", activeProcessors);
}

std::string exceptionTypeName(const std::exception& e) {
    const char* mangled = typeid(e).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

void logUncaughtException(const std::exception& e, const char* place) {
    std::string format = std::string("Uncaught Exception %s in ") + place + "! >>%s<<\n";
    writeLog(format.c_str(), exceptionTypeName(e).c_str(), e.what());
    std::fflush(stdout);
}

} // namespace sonorix
