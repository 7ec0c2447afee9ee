#include "AudioFiles.h"

#include "support/TestSupport.h"

#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

namespace sonorix::test {

namespace {

std::mutex g_mutex;

TempDir& folder() {
    static TempDir dir;
    return dir;
}

std::vector<std::string> split(const std::string& options) {
    std::istringstream in(options);
    std::vector<std::string> out;
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    return out;
}

} // namespace

std::string generatedAudio(const std::string& name, const std::string& lavfiSource,
                           const std::string& outputOptions) {
    std::lock_guard lock(g_mutex);
    static std::map<std::string, std::string> made;
    auto it = made.find(name);
    if (it != made.end()) {
        return it->second;
    }
    std::string path = folder().file(name);
    if (!makeAudio(path, lavfiSource, split(outputOptions))) {
        path.clear();
    }
    made[name] = path;
    return path;
}

std::string generatedFile(const std::string& name, const std::string& bytes) {
    std::lock_guard lock(g_mutex);
    std::string path = folder().file(name);
    writeFile(path, bytes);
    return path;
}

std::string generatedFolder() {
    return folder().path();
}

} // namespace sonorix::test
