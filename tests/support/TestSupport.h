#pragma once

#include <string>
#include <vector>

namespace sonorix::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets an environment variable for the lifetime of the object, restoring the old value after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_hadOld = false;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

struct CommandResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program (no shell) and captures its output.
CommandResult runCommand(const std::vector<std::string>& argv);

// Runs the console front end built with the tests.
CommandResult runCli(const std::vector<std::string>& args);
// The same on the library "lib.xml" of a test folder, with its "data" folder as the data folder.
CommandResult runCliIn(const TempDir& folder, const std::vector<std::string>& args);

bool haveProgram(const std::string& name);

// Makes an audio file with ffmpeg: "-f lavfi -i <source>" plus the given output options.
// Returns false (and the test should skip or fail) when ffmpeg is missing or fails.
bool makeAudio(const std::string& path, const std::string& lavfiSource,
               const std::vector<std::string>& outputOptions = {});

// A stereo 96 kbit/s MP3 from a lavfi source: the common test track.
bool makeStereoMp3(const std::string& path, const std::string& lavfiSource);

} // namespace sonorix::test
