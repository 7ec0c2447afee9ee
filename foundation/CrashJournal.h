#pragma once

#include <string>
#include <vector>

namespace sonorix {

// Records, in the data folder, which file each thread is reading or writing, so that a file that
// crashes a reader (a decoder or tag library fault) is known at the next start and not touched
// again: one bad file must never block a whole library. Each thread that works on files keeps one
// small entry file in the folder "in-progress", empty while idle and naming the file while it
// works (rewritten in place: creating and deleting a file per track costs the file system more
// than the track). A fatal signal marks the running thread's entry as crashed before the process
// dies. An entry without the mark was left by a process that was killed or lost power; its file
// is simply worked on again.
namespace CrashJournal {

// Marks the current thread as working on a file until destroyed. Cheap (one small file); never
// throws: without a data folder nothing is recorded.
class Scope {
public:
    Scope(const std::string& key, const std::string& path);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    std::string m_previous; // the enclosing scope's content on this thread
    bool m_recorded = false;
};

struct Leftover {
    std::string entry; // the entry file, to be removed once the crash is on record
    std::string key;
    std::string path;
    bool crashed = false;
};

// The entries earlier processes left behind. Entries without the crash mark are removed at once.
// Only one process uses a data folder at a time, so every entry found belongs to a dead one.
std::vector<Leftover> takeLeftovers();

// Removes entries once what they say was saved elsewhere.
void discard(const std::vector<std::string>& entries);

// The file's size and modification time as text: a crashed file is skipped only while it stays
// the same, so a repaired or replaced file is tried again.
std::string fileStamp(const std::string& path);

} // namespace CrashJournal
} // namespace sonorix
