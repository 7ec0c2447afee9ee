#include "itunes/iTunesLibrary.h"

#include "foundation/Log.h"
#include "foundation/PropertyList.h"
#include "foundation/Text.h"

#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <vector>

namespace sonorix {

iTunesLibrary::iTunesLibrary(DictRef root, LocationMap locations)
    : m_root(std::move(root)), m_locations(std::move(locations)) {}

std::shared_ptr<iTunesLibrary>
iTunesLibrary::load(const std::string& path, LocationMap locations,
                    std::shared_ptr<const iTunesTrackFactory> factory) {
    writeLog("Loading iTunes Library from >>%s<< ...", path.c_str());
    // The track entries stay in the file's bytes: a library's value tree would take several times
    // the file's size, and most fields are never read.
    LazyDicts entries;
    DictRef root = readPropertyListLazily(path, u"Tracks", entries);
    if (!root) {
        throw CantLoadiTunesXMLException("cannot read the iTunes library file " + path);
    }
    writeLog("... loading iTunes Library finished.");
    std::shared_ptr<iTunesLibrary> library(
        new iTunesLibrary(std::move(root), std::move(locations)));
    library->addTracks(entries, factory);
    return library;
}

std::shared_ptr<iTunesLibrary>
iTunesLibrary::fromRoot(DictRef root, LocationMap locations,
                        std::shared_ptr<const iTunesTrackFactory> factory) {
    std::shared_ptr<iTunesLibrary> library(
        new iTunesLibrary(std::move(root), std::move(locations)));
    LazyDicts entries;
    if (DictRef tracks = asDict(library->m_root->get(u"Tracks"))) {
        for (const auto& [key, value] : tracks->items()) {
            entries.emplace(key, LazyDict(asDict(value)));
        }
    }
    library->addTracks(entries, factory);
    return library;
}

void iTunesLibrary::addTracks(const LazyDicts& entries,
                              std::shared_ptr<const iTunesTrackFactory> factory) {
    if (!factory) {
        factory = iTunesTrackFactory::defaultFactory();
    }
    std::weak_ptr<iTunesLibrary> self = shared_from_this();
    // Inserted in id order, each at the end: one by one in key order they land all over the
    // tree, and a large library spends more on that than on making its tracks.
    std::vector<std::pair<uint64_t, std::shared_ptr<iTunesTrack>>> made;
    made.reserve(entries.size());
    for (const auto& [key, entry] : entries) {
        if (!entry) {
            continue; // not a dictionary
        }
        std::shared_ptr<iTunesTrack> track = factory->makeTrack(self, entry);
        if (track) {
            uint64_t id = track->persistentId();
            made.emplace_back(id, std::move(track));
        }
    }
    // Entries come in key order; of two with the same persistent id the first stays.
    std::stable_sort(made.begin(), made.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [id, track] : made) {
        m_tracks.emplace_hint(m_tracks.end(), id, std::move(track));
    }
}

std::shared_ptr<iTunesTrack> iTunesLibrary::track(uint64_t persistentId) const {
    auto it = m_tracks.find(persistentId);
    return it == m_tracks.end() ? nullptr : it->second;
}

uint32_t packApplicationVersion(std::u16string_view text) {
    std::string utf8;
    try {
        utf8 = toUtf8(text);
    } catch (const std::exception&) {
        return 0;
    }
    uint32_t packed = 0;
    size_t start = 0;
    for (int part = 0; part < 3; ++part) {
        size_t dot = utf8.find('.', start);
        std::string piece =
            utf8.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        int value = 0;
        try {
            value = boost::lexical_cast<int>(piece);
        } catch (const boost::bad_lexical_cast&) {
        }
        packed |= (static_cast<uint32_t>(value) & 0xFF) << (16 - 8 * part);
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return packed;
}

uint32_t iTunesLibrary::applicationVersion() const {
    return packApplicationVersion(applicationVersionText());
}

std::u16string iTunesLibrary::applicationVersionText() const {
    return m_root->getString(u"Application Version");
}

uint64_t iTunesLibrary::libraryPersistentId() const {
    return m_root->getHexId(u"Library Persistent ID");
}

std::shared_ptr<iTunesTrack> iTunesLibrary::trackForPath(const std::string& path) const {
    for (const auto& [id, track] : m_tracks) {
        if (track->filePath(false, false, false) == path) {
            return track;
        }
    }
    // A file named in NFC on Linux for a library that stores NFD, or the other way round.
    for (const auto& [id, track] : m_tracks) {
        if (sameNormalizedPath(track->filePath(false, false, false), path)) {
            return track;
        }
    }
    return nullptr;
}

} // namespace sonorix
