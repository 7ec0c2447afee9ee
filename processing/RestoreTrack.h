#pragma once

#include "audio/SoundCheck.h"

namespace sonorix {

class iTunNORMTag;
class iTunesTrack;
class SonorixTrackStatus;

// What restoring a track's file does to its Sound Check text.
enum class RestoreAction {
    WriteBackup, // the values found before Sonorix first wrote the file
    RemoveText,  // there was none: the frame or item goes, it is not zeroed
    Unknown,     // nothing recorded about the file before: it is left as it is
};

RestoreAction restoreActionOf(const SonorixTrackStatus& status, SoundCheckValues& backup);

// Before a write: records what the file holds now as the track's original, unless something was
// recorded already (a track measured before may never have had its text read).
void recordOriginal(SonorixTrackStatus& status, const iTunNORMTag& tag);

// Puts the file back as it was before Sonorix adjusted it: the text restored (or removed), the
// comment stamp taken out; the track's stored tag and state follow the file. Failures are
// stored on the track as the adjustment stores them.
void restoreTrack(iTunesTrack& track, SonorixTrackStatus& status);

} // namespace sonorix
