#pragma once

// The track and library fields the model reads, in one place.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sonorix {

class iTunesTrack;
class iTunesLibrary;
class iTunesTrackFactory;
struct DateTimePoint;

namespace ta {

uint64_t persistentId(const iTunesTrack& track);
bool hasPersistentId(const iTunesTrack& track);
std::u16string name(const iTunesTrack& track);
std::u16string artist(const iTunesTrack& track);
std::u16string albumArtist(const iTunesTrack& track);
std::u16string album(const iTunesTrack& track);
std::u16string grouping(const iTunesTrack& track);
int32_t discNumber(const iTunesTrack& track);
int32_t trackNumber(const iTunesTrack& track);
bool compilation(const iTunesTrack& track);
bool gapless(const iTunesTrack& track);
int32_t totalTimeMs(const iTunesTrack& track);
std::u16string trackType(const iTunesTrack& track);
bool hasVideo(const iTunesTrack& track);
// False for videos, streams, entries without persistent id or file, books, PDFs and apps.
bool canHoldSoundCheck(const iTunesTrack& track);
std::shared_ptr<DateTimePoint> dateModified(const iTunesTrack& track);
bool matchesFilter(const iTunesTrack& track, const std::u16string& text);
// The audio file, looked for everywhere, a missing one logged.
std::string filePath(iTunesTrack& track);
// The same, empty when the file was not found: no second look-up needed.
std::string existingFilePath(iTunesTrack& track);
bool getVolumeAdjustment(iTunesTrack& track, int32_t& value);
bool setVolumeAdjustment(iTunesTrack& track, int32_t value);

// Imports a library file with a location map; throws SonorixModel::CantLoadiTunesXMLException.
std::shared_ptr<iTunesLibrary>
loadLibrary(const std::string& path,
            const std::vector<std::pair<std::string, std::string>>& locationMap,
            std::shared_ptr<const iTunesTrackFactory> factory = nullptr);
uint32_t applicationVersion(const iTunesLibrary& library);
uint64_t libraryPersistentId(const iTunesLibrary& library);

std::shared_ptr<iTunesTrack> trackWithId(const iTunesLibrary& library, uint64_t id);
std::vector<uint64_t> trackIds(const iTunesLibrary& library);
size_t trackCount(const iTunesLibrary& library);

} // namespace ta
} // namespace sonorix
