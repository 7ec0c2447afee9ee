#include "itunes/iTunesTrackLibraryFile.h"

#include "audio/CommentTag.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "itunes/DesktopLauncher.h"
#include "itunes/iTunesLibrary.h"

#include <algorithm>
#include <cmath>

namespace sonorix {

std::string iTunesTrackLibraryFile::existingFile() {
    std::string path = filePath(true, false, false);
    return fileExists(path) ? path : std::string();
}

bool iTunesTrackLibraryFile::play() {
    std::string path = existingFile();
    return !path.empty() && DesktopLauncher::openFile(path);
}

bool iTunesTrackLibraryFile::revealInExplorer() {
    std::string path = existingFile();
    return !path.empty() && DesktopLauncher::showInFileManager(path);
}

bool iTunesTrackLibraryFile::updateInfoFromFile() {
    std::string path = existingFile();
    return !path.empty() && CommentTag::tagsReadable(path);
}

bool iTunesTrackLibraryFile::getComment(std::u16string& comment) {
    std::string path = existingFile();
    return !path.empty() && CommentTag::read(path, comment);
}

bool iTunesTrackLibraryFile::setComment(const std::u16string& comment) {
    std::string path = existingFile();
    return !path.empty() && CommentTag::write(path, comment);
}

int32_t iTunesTrackLibraryFile::percentFromVolumeAdjustment(int32_t value) {
    value = std::clamp(value, -255, 255);
    return static_cast<int32_t>(std::lround(value * 100.0 / 255.0));
}

bool iTunesTrackLibraryFile::getVolumeAdjustment(int32_t& adjustment) {
    adjustment = percentFromVolumeAdjustment(entry().getInt32(u"Volume Adjustment"));
    return true;
}

bool iTunesTrackLibraryFile::setVolumeAdjustment(int32_t) {
    return false;
}

bool iTunesTrackLibraryFile::getLocationFromITunes(std::string& path) {
    std::string location;
    try {
        location = toUtf8(this->location());
    } catch (const std::exception&) {
        return false;
    }
    // Streams and other URLs have no file.
    if (location.rfind("file://", 0) != 0) {
        return false;
    }
    LocationMap map;
    if (auto lib = library()) {
        map = lib->locations();
    }
    path = pathFromLocation(location, map);
    return !path.empty();
}

std::shared_ptr<iTunesTrack>
iTunesTrackLibraryFileFactory::makeTrack(std::weak_ptr<iTunesLibrary> library,
                                         LazyDict entry) const {
    if (m_seen) {
        bool fresh = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            fresh = m_last.owner_before(library) || library.owner_before(m_last);
            if (fresh) {
                m_last = library;
            }
        }
        if (fresh) {
            m_seen(library);
        }
    }
    return std::make_shared<iTunesTrackLibraryFile>(std::move(library), std::move(entry));
}

} // namespace sonorix
