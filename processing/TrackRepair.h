#pragma once

namespace sonorix {

class iTunesTrack;
class SonorixTrackStatus;

// Leaves one well-formed Sound Check text in the track's file (see repairValues), every other
// copy removed; a file whose texts are all unusable loses them. A file without problems is not
// written. The track's stored tag follows the file.
void repairTrack(iTunesTrack& track, SonorixTrackStatus& status);

} // namespace sonorix
