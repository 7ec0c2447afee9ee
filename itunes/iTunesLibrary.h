#pragma once

#include "foundation/ExceptionBase.h"
#include "foundation/PropertyList.h"
#include "foundation/Value.h"
#include "itunes/LibraryLocation.h"
#include "itunes/iTunesTrack.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace sonorix {

// The imported iTunes library file: its root dictionary and one track per "Tracks" entry, ordered
// by persistent id. Read once, never written back. Loaded from a file, the root lacks "Tracks": the
// tracks hold their entries, which stay in the file's bytes until read.
class iTunesLibrary : public std::enable_shared_from_this<iTunesLibrary> {
public:
    // The library file cannot be read or has no property-list root. (The model reports it under
    // its own name.)
    SONORIX_DECLARE_EXCEPTION(CantLoadiTunesXMLException, ExceptionBase);

    using Tracks = std::map<uint64_t, std::shared_ptr<iTunesTrack>>;

    // Loads the file at path (UTF-8). locations rewrites the tracks' "Location" paths. Throws
    // CantLoadiTunesXMLException.
    static std::shared_ptr<iTunesLibrary>
    load(const std::string& path, LocationMap locations = {},
         std::shared_ptr<const iTunesTrackFactory> factory = iTunesTrackFactory::defaultFactory());
    // The same from an already read root dictionary (never empty).
    static std::shared_ptr<iTunesLibrary> fromRoot(
        DictRef root, LocationMap locations = {},
        std::shared_ptr<const iTunesTrackFactory> factory = iTunesTrackFactory::defaultFactory());

    const DictRef& root() const { return m_root; }
    const Tracks& tracks() const { return m_tracks; }
    std::shared_ptr<iTunesTrack> track(uint64_t persistentId) const;
    const LocationMap& locations() const { return m_locations; }

    // "Application Version" as major << 16 | minor << 8 | revision, 8 bits each.
    uint32_t applicationVersion() const;
    std::u16string applicationVersionText() const;
    uint64_t libraryPersistentId() const;

    // The first track, in persistent-id order, whose converted path is exactly path (bytes).
    // Fills the path caches of the tracks it walks.
    std::shared_ptr<iTunesTrack> trackForPath(const std::string& path) const;

private:
    iTunesLibrary(DictRef root, LocationMap locations);
    void addTracks(const LazyDicts& entries, std::shared_ptr<const iTunesTrackFactory> factory);

    DictRef m_root;
    LocationMap m_locations;
    Tracks m_tracks;
};

// The packing of a version text: "9.2.1.5" gives 0x90201, "10" gives 0xA0000.
uint32_t packApplicationVersion(std::u16string_view text);

} // namespace sonorix
