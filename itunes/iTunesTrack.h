#pragma once

#include "foundation/OnceValue.h"
#include "foundation/PropertyList.h"
#include "foundation/Value.h"
#include "itunes/LibraryLocation.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace sonorix {

class iTunesLibrary;

// Why a library entry cannot hold a Sound Check text, and so belongs to no group.
enum class TrackExclusion {
    None,           // a song with a file
    Video,          // "Has Video"
    Stream,         // "Track Type" "URL"
    NoPersistentId, // nothing to key its status by
    NoFile,         // no "Location": a stream or a purchase kept only online
    NotAudio,       // a book, a PDF, an app
};

// What the track list can search and sort. The sort comparison arrives with the track list.
class FilterAndSortable {
public:
    virtual ~FilterAndSortable() = default;
    // True when text occurs, ignoring case, in the name, artist, album artist, album or composer.
    virtual bool matchesFilter(std::u16string_view text) const = 0;
};

// One entry of the library's "Tracks": keeps the entry (in the library file's bytes, or built) and
// reads fields on first use. The library file is never changed; what changes a track in iTunes goes
// through the platform operations, which a subclass implements.
class iTunesTrack : public FilterAndSortable, public std::enable_shared_from_this<iTunesTrack> {
public:
    iTunesTrack(std::weak_ptr<iTunesLibrary> library, LazyDict entry);
    ~iTunesTrack() override;
    iTunesTrack(const iTunesTrack&) = delete;
    iTunesTrack& operator=(const iTunesTrack&) = delete;

    // ---- platform operations; false when they fail ----
    virtual bool play() = 0;
    virtual bool revealInITunes() = 0;
    virtual bool revealInExplorer() = 0;
    virtual bool updateInfoFromFile() = 0;
    virtual bool getComment(std::u16string& comment) = 0;
    virtual bool setComment(const std::u16string& comment) = 0;
    // The audio file whose own comment getComment and setComment read and write; empty where the
    // comment is kept elsewhere.
    virtual std::string commentFile() { return {}; }
    virtual bool getVolumeAdjustment(int32_t& adjustment) = 0;
    virtual bool setVolumeAdjustment(int32_t adjustment) = 0;
    // The file's current location as iTunes knows it; false when it has none.
    virtual bool getLocationFromITunes(std::string& path) = 0;

    bool matchesFilter(std::u16string_view text) const override;
    // Makes the lower-cased text searches read, ahead of the first search; any thread.
    void prepareFilterText() const { filterText(); }

    // What the sorting layer derives from the fields for its comparisons. The fields never
    // change, so it is made once, on the first sort that needs it, and lives with the track.
    struct SortForms;
    SortForms& sortForms(std::shared_ptr<SortForms> (*make)()) const;

    std::shared_ptr<iTunesLibrary> library() const { return m_library.lock(); }
    const LazyDict& entry() const { return m_entry; }

    // ---- fields read once and cached ----
    uint64_t persistentId() const;
    std::u16string name() const;
    std::u16string artist() const;
    std::u16string albumArtist() const;
    std::u16string album() const;
    std::u16string grouping() const;
    bool compilation() const;
    bool gapless() const;
    int16_t discNumber() const;
    int32_t trackNumber() const;
    // The comment as the library file had it at start.
    std::u16string comments() const;

    // ---- fields read from the entry each time ----
    int32_t trackId() const;
    std::u16string composer() const;
    std::u16string genre() const;
    int16_t year() const;
    int16_t discCount() const;
    int32_t trackCount() const;
    std::u16string location() const;
    std::u16string kind() const;
    int32_t totalTime() const; // milliseconds
    int32_t sampleRate() const;
    int16_t bitRate() const;
    std::u16string trackType() const;
    bool hasVideo() const;
    bool podcast() const;
    bool movie() const;
    bool isProtected() const;
    bool unplayed() const;
    bool isExplicit() const;
    bool disabled() const;
    int32_t playCount() const;
    int32_t skipCount() const;
    int16_t rating() const;
    std::shared_ptr<DateTimePoint> dateModified() const;
    std::shared_ptr<DateTimePoint> dateAdded() const;
    std::shared_ptr<DateTimePoint> playDateUTC() const;

    TrackExclusion exclusion() const;

    std::string persistentIdText() const;
    // True when the entry's "Persistent ID" text is not empty.
    bool hasPersistentId() const;

    // The audio file's path. testExistence: stat the path; askITunes: when it does not exist, ask
    // iTunes for the current location (and once more after letting it re-read the file);
    // logMissing: log a path that was not found. A path found to exist (or not tested) is cached;
    // one that came from iTunes replaces the cached one. *exists (when given) says whether the
    // returned path was found to exist; false when not tested.
    std::string filePath(bool testExistence, bool askITunes, bool logMissing,
                         bool* exists = nullptr);

private:
    std::weak_ptr<iTunesLibrary> m_library;
    LazyDict m_entry;

    mutable OnceValue<uint64_t> m_persistentId;
    mutable OnceValue<std::u16string> m_name, m_artist, m_albumArtist, m_album, m_grouping,
        m_comments;
    mutable OnceValue<bool> m_compilation, m_gapless;
    mutable OnceValue<int16_t> m_discNumber;
    mutable OnceValue<int32_t> m_trackNumber;
    // The Location as a path without the location map; empty when it is none.
    const std::string& locationPath() const;
    mutable OnceValue<std::string> m_locationPath;
    // The searched fields lower-cased, joined by NULs (which no field holds).
    const std::u16string& filterText() const;
    mutable OnceValue<std::u16string> m_filterText;
    mutable OnceValue<std::shared_ptr<SortForms>>
        m_sortForms; // shared: deleted where SortForms is known

    mutable std::mutex m_pathMutex;
    bool m_pathCached = false;
    std::string m_filePath;
};

// Makes the library's tracks. The library-file connection brings a factory whose tracks reach the
// audio files; until then tracks come from this default one, whose platform operations fail.
class iTunesTrackFactory {
public:
    virtual ~iTunesTrackFactory() = default;
    virtual std::shared_ptr<iTunesTrack> makeTrack(std::weak_ptr<iTunesLibrary> library,
                                                   LazyDict entry) const;
    static std::shared_ptr<const iTunesTrackFactory> defaultFactory();
};

} // namespace sonorix
