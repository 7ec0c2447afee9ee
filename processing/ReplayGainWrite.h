#pragma once

#include <string>

namespace sonorix {

class iTunesTrack;
class SonorixStatus;
class SonorixTrackStatus;

// Writes the track's measured ReplayGain (and, with album, the album's) into its file; the
// gain is the 89 dB-reference figure as measured, before the master volume. Returns whether the
// file changed; throws iTunNORMTag::SaveErrorException when it could not be written.
bool writeReplayGain(const std::string& path, SonorixStatus& track, SonorixStatus* album);

// The adjustment of a file that takes ReplayGain tags but no Sound Check text (FLAC, Ogg): the
// tags, the comment stamp, and the track's state and error as the adjustment job sets them.
void adjustReplayGainOnly(iTunesTrack& track, SonorixTrackStatus& status, SonorixStatus* album,
                          const std::string& path, double peak, bool modifyComments);

} // namespace sonorix
