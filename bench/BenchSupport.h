#pragma once

// Helpers the benchmark programs share.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace sonorix::bench {

// What a shell command prints, without its trailing line breaks.
inline std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, n);
        }
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}

// A kB field of /proc/self/status ("VmHWM:"); -1 when missing.
inline long statusField(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(name) + 1);
        }
    }
    return -1;
}

} // namespace sonorix::bench
