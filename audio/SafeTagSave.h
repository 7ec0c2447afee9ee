#pragma once

#include "foundation/RegularFile.h"

#include <functional>
#include <mutex>
#include <string>

namespace sonorix {

// Edits an audio file's tags without ever leaving a damaged file behind: the edit happens on a
// copy in the same folder, which replaces the original (rename(2), atomic) only after it was
// saved, synced to disk and verified. On any failure the copy is removed and the original is
// untouched. Symbolic links are resolved, so the link stays a link to the edited file; the
// original's permission bits (and owner, where allowed) carry over.
//
// edit(copyPath) changes the copy and returns whether that worked; verify(originalPath,
// copyPath) returns whether the copy holds what was meant. Callers that use TagLib in these
// callbacks hold tagLibLock(). Returns true when the original now holds the edited content;
// otherwise false, with the reason in *error (also logged).
// *fault (when given) says what kind of failure it was. tagLib (when given) is the caller's hold
// on tagLibLock(): it is let go while the copy is made, synced and put in place, and held again
// for the callbacks and on return, so that other threads' tags are not kept waiting on the disk.
//
// The copy is named ".sonorix-XXXXXX.tmp" whatever the original's name, so a name close to the
// file system's limit still has room, and it is locked (flock) while in use: a copy that nobody
// holds was left by a process that ended mid-save and is removed (removeStaleCopies).
bool saveFileSafely(const std::string& path, const std::function<bool(const std::string&)>& edit,
                    const std::function<bool(const std::string&, const std::string&)>& verify,
                    std::string* error = nullptr, FileFault* fault = nullptr,
                    std::unique_lock<std::mutex>* tagLib = nullptr);

// Removes the copies of our own naming in folder that no process holds, once per folder and
// process (later calls for the same folder do nothing). Returns how many were removed.
int removeStaleCopies(const std::string& folder);
// The same for the folder of the file at path.
int removeStaleCopiesBeside(const std::string& path);
// Whether name (without folder) is one of our copies' names, old or current.
bool isSafeSaveCopyName(const std::string& name);

// Whether two files hold the same audio data, compared byte for byte, ignoring tags: the frames
// after a leading ID3v2 tag (MPEG audio), the SSND chunk (AIFF), the mdat atoms (MPEG-4). A save
// that ran out of disk space half-way, which TagLib does not always notice, fails this test.
// Files of other kinds have nothing to compare and pass.
bool sameAudioPayload(const std::string& a, const std::string& b);

// Points at which a save can be made to fail, for tests: the hook runs at each one and may
// throw or damage the copy.
enum class SafeSaveStage { Copied, Edited, Synced, Verified };
using SafeSaveFaultHook = std::function<void(SafeSaveStage stage, const std::string& copyPath)>;
void setSafeSaveFaultHook(SafeSaveFaultHook hook);

} // namespace sonorix
