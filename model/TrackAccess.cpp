#include "model/TrackAccess.h"

#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixModel.h"

namespace sonorix::ta {

uint64_t persistentId(const iTunesTrack& track) {
    return track.persistentId();
}
bool hasPersistentId(const iTunesTrack& track) {
    return track.hasPersistentId();
}
std::u16string name(const iTunesTrack& track) {
    return track.name();
}
std::u16string artist(const iTunesTrack& track) {
    return track.artist();
}
std::u16string albumArtist(const iTunesTrack& track) {
    return track.albumArtist();
}
std::u16string album(const iTunesTrack& track) {
    return track.album();
}
std::u16string grouping(const iTunesTrack& track) {
    return track.grouping();
}
int32_t discNumber(const iTunesTrack& track) {
    return track.discNumber();
}
int32_t trackNumber(const iTunesTrack& track) {
    return track.trackNumber();
}
bool compilation(const iTunesTrack& track) {
    return track.compilation();
}
bool gapless(const iTunesTrack& track) {
    return track.gapless();
}
int32_t totalTimeMs(const iTunesTrack& track) {
    return track.totalTime();
}
std::u16string trackType(const iTunesTrack& track) {
    return track.trackType();
}
bool hasVideo(const iTunesTrack& track) {
    return track.hasVideo();
}
bool canHoldSoundCheck(const iTunesTrack& track) {
    return track.exclusion() == TrackExclusion::None;
}
std::shared_ptr<DateTimePoint> dateModified(const iTunesTrack& track) {
    return track.dateModified();
}
bool matchesFilter(const iTunesTrack& track, const std::u16string& text) {
    return track.matchesFilter(text);
}
std::string filePath(iTunesTrack& track) {
    return track.filePath(true, true, true);
}
std::string existingFilePath(iTunesTrack& track) {
    bool exists = false;
    std::string path = track.filePath(true, true, true, &exists);
    return exists ? path : std::string();
}
bool getVolumeAdjustment(iTunesTrack& track, int32_t& value) {
    return track.getVolumeAdjustment(value);
}
bool setVolumeAdjustment(iTunesTrack& track, int32_t value) {
    return track.setVolumeAdjustment(value);
}

std::shared_ptr<iTunesLibrary>
loadLibrary(const std::string& path,
            const std::vector<std::pair<std::string, std::string>>& locationMap,
            std::shared_ptr<const iTunesTrackFactory> factory) {
    LocationMap map;
    for (const auto& [from, to] : locationMap) {
        map.push_back(LocationPrefix{from, to});
    }
    try {
        if (!factory) {
            factory = iTunesTrackFactory::defaultFactory();
        }
        return iTunesLibrary::load(path, std::move(map), std::move(factory));
    } catch (const iTunesLibrary::CantLoadiTunesXMLException& e) {
        throw SonorixModel::CantLoadiTunesXMLException(e.what());
    }
}

uint32_t applicationVersion(const iTunesLibrary& library) {
    return library.applicationVersion();
}

uint64_t libraryPersistentId(const iTunesLibrary& library) {
    return library.libraryPersistentId();
}

std::shared_ptr<iTunesTrack> trackWithId(const iTunesLibrary& library, uint64_t id) {
    return library.track(id);
}

std::vector<uint64_t> trackIds(const iTunesLibrary& library) {
    std::vector<uint64_t> ids;
    ids.reserve(library.tracks().size());
    for (const auto& [id, track] : library.tracks()) {
        ids.push_back(id);
    }
    return ids;
}

size_t trackCount(const iTunesLibrary& library) {
    return library.tracks().size();
}

} // namespace sonorix::ta
