#pragma once

#include "itunes/iTunesTrack.h"
#include "model/AlbumRules.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace sonorix {

// The fields of a track that album order looks at (the album artist, else the artist).
AlbumSortFields albumSortFieldsOf(const iTunesTrack& track);

class Value_dict;
class SonorixModel;
class SonorixGroup;
class SonorixStatus;

// A group's options: a view onto its "Options" dictionary.
class SonorixOptions {
public:
    enum OperationMode : int32_t { kAdjustAutomatically = 0, kAdjustManually = 1, kIgnore = 2 };
    enum AlbumMode : int32_t {
        kEachSongSeparately = 0,
        kCombineAlbumsByGrouping = 1,
        kCombineAlbums = 2,
        kCombineAllSongs = 3,
    };

    SonorixOptions(std::shared_ptr<Value_dict> entry, std::weak_ptr<SonorixModel> model);

    int32_t operationMode() const;
    void setOperationMode(int32_t mode);
    int32_t albumMode() const;
    void setAlbumMode(int32_t mode);
    bool gaplessAlwaysAlbums() const;
    void setGaplessAlwaysAlbums(bool value);
    bool compilationsNotAlbums() const;
    void setCompilationsNotAlbums(bool value);
    bool multipleCDAlbums() const;
    void setMultipleCDAlbums(bool value);
    double additionalPerceivedLoudness() const;
    void setAdditionalPerceivedLoudness(double value);

    // All stored values at once, with the derived queries the interface enables controls by.
    OptionQueries queries() const;
    AlbumRules rules() const { return queries().rules; }
    bool isAutomatic() const { return queries().isAutomatic(); }
    double effectiveAdditionalLoudness() const { return queries().effectiveAdditionalLoudness(); }

private:
    std::shared_ptr<Value_dict> m_entry;
    std::weak_ptr<SonorixModel> m_model;
};

class SonorixAlbum;

// How the track list orders rows; supplied by the window. Without one (or in ascending album
// order) albums and tracks stay in album order.
class TrackSortOptions {
public:
    virtual ~TrackSortOptions() = default;
    virtual bool isAscendingAlbumOrder() const = 0;
    virtual bool tracksLess(const iTunesTrack& a, const iTunesTrack& b) const = 0;
    virtual bool albumsLess(const SonorixAlbum& a, const SonorixAlbum& b) const = 0;
    // One album's visible tracks and a group's visible albums in this order. By default pairwise
    // through the two above; an order whose keys are costly to read may read them once per row.
    virtual void sortTracks(std::vector<std::shared_ptr<iTunesTrack>>& tracks) const;
    virtual void sortAlbums(std::vector<std::shared_ptr<SonorixAlbum>>& albums) const;
};

// Tracks that are adjusted together. Album objects survive re-formation while they keep a track,
// so whatever the interface attached to them stays.
class SonorixAlbum : public FilterAndSortable, public std::enable_shared_from_this<SonorixAlbum> {
public:
    explicit SonorixAlbum(std::weak_ptr<SonorixGroup> group);

    const std::vector<std::shared_ptr<iTunesTrack>>& tracks() const { return m_tracks; }
    const std::vector<std::shared_ptr<iTunesTrack>>& visibleTracks() const {
        return m_visibleTracks;
    }
    int32_t kind() const { return m_kind; }
    bool isSingleTrack() const { return m_tracks.size() == 1; }
    std::shared_ptr<SonorixGroup> group() const { return m_group.lock(); }

    // Sorted ids in "%llX" joined with ":"; a single track's key is its own.
    std::u16string albumKey() const;
    // The track's name for a single track, otherwise the name of the album's kind.
    std::u16string displayName() const;
    // The common "Album" of the tracks; empty when they disagree.
    std::u16string albumTitle() const;
    // The common "Album Artist", else the common "Artist"; empty when they disagree.
    std::u16string albumArtist() const;
    // The album's status (not created).
    std::shared_ptr<SonorixStatus> status() const;

    // Albums are filtered through their tracks.
    bool matchesFilter(std::u16string_view) const override { return false; }

private:
    friend class SonorixGroup;
    std::vector<std::shared_ptr<iTunesTrack>> m_tracks;
    std::vector<std::shared_ptr<iTunesTrack>> m_visibleTracks;
    std::weak_ptr<SonorixGroup> m_group;
    int32_t m_kind = 0;
};

// One of the user's groups: a view onto its dictionary plus its tracks and albums.
class SonorixGroup : public std::enable_shared_from_this<SonorixGroup> {
public:
    // A group on a stored dictionary; a new group is made on an empty one.
    static std::shared_ptr<SonorixGroup> create(std::weak_ptr<SonorixModel> model,
                                                std::shared_ptr<Value_dict> entry);

    std::shared_ptr<Value_dict> entry() const { return m_entry; }
    // Made from a new random UUID the first time it is asked for.
    std::string uuid();
    std::u16string title() const;
    void setTitle(const std::u16string& title);
    SonorixOptions options();

    // Rebuilds the list from the stored ids, skipping ids the library no longer has.
    void loadTracks();
    void addTrack(const std::shared_ptr<iTunesTrack>& track);
    void removeTrack(const std::shared_ptr<iTunesTrack>& track);
    void clearTracks();
    // The member tracks (in album order once albums were formed).
    std::vector<std::shared_ptr<iTunesTrack>> tracks() const;
    size_t trackCount() const;

    void rebuild();
    void markAlbumsDirty();
    void markDisplayDirty();
    void setSearchText(const std::u16string& text);
    std::u16string searchText() const;
    void setSortOptions(std::shared_ptr<const TrackSortOptions> options);
    // Main thread only, where the options are set.
    std::shared_ptr<const TrackSortOptions> sortOptions() const { return m_sortOptions; }

    // Each of these forms the albums first when they are out of date.
    std::vector<std::shared_ptr<SonorixAlbum>> albums();
    std::vector<std::shared_ptr<SonorixAlbum>> visibleAlbums();
    std::shared_ptr<SonorixAlbum> albumOfTrack(uint64_t persistentId);
    // -1 when the album is not (or no longer) one of this group's.
    int64_t albumPosition(const SonorixAlbum& album) const;

    std::shared_ptr<SonorixModel> model() const { return m_model.lock(); }

private:
    SonorixGroup(std::weak_ptr<SonorixModel> model, std::shared_ptr<Value_dict> entry);
    void acceptTrack(const std::shared_ptr<iTunesTrack>& track);
    void formAlbums();
    void filterAlbums();

    std::weak_ptr<SonorixModel> m_model;
    std::shared_ptr<Value_dict> m_entry;
    std::vector<std::shared_ptr<iTunesTrack>> m_tracks;
    bool m_albumsDirty = true;
    bool m_displayDirty = true;
    std::vector<std::shared_ptr<SonorixAlbum>> m_albums;
    std::vector<std::shared_ptr<SonorixAlbum>> m_visibleAlbums;
    std::unordered_map<uint64_t, std::shared_ptr<SonorixAlbum>> m_albumOfTrack;
    std::unordered_map<const SonorixAlbum*, size_t> m_albumIndex;
    std::shared_ptr<const TrackSortOptions> m_sortOptions;
    std::u16string m_searchText;
    std::string m_uuid;
};

// The group list of one model: a view onto the "Groups" dictionary.
class SonorixGroups {
public:
    SonorixGroups(std::weak_ptr<SonorixModel> model, std::shared_ptr<Value_dict> entry);

    // Loads every group's tracks and sets up the default group.
    void setUp();

    size_t count() const;
    std::shared_ptr<SonorixGroup> groupAt(size_t position);
    int64_t indexOfGroup(const std::string& uuid) const;
    std::shared_ptr<SonorixGroup> groupWithUUID(const std::string& uuid);
    std::shared_ptr<SonorixGroup> groupOfTrack(uint64_t persistentId);
    std::shared_ptr<SonorixGroup> groupWithTitle(const std::u16string& title);

    // Position 0 is the default group: nothing is inserted before it or removes it.
    void insertGroup(const std::shared_ptr<SonorixGroup>& group, size_t position,
                     bool ensureDefault);
    void removeGroupAt(size_t position, bool ensureDefault);
    // Gives every library track that no other group claims to the default group.
    void ensureDefaultGroup();

    void setGroupOfTrack(uint64_t persistentId, const std::string& uuid);
    void clearGroupOfTrack(uint64_t persistentId);

private:
    std::weak_ptr<SonorixModel> m_model;
    std::shared_ptr<Value_dict> m_entry;
    std::unordered_map<std::string, std::shared_ptr<SonorixGroup>> m_cache;
    std::unordered_map<uint64_t, std::string> m_groupOfTrack;
};

// Called when a track joins a group, so that the status refresh checks it again.
void setTrackForgetter(std::function<void(uint64_t persistentId)> forget);

// "%d Tracks combined to %d Adjustment Groups" for a group, empty for none.
std::u16string statusLine(SonorixGroup* group);

} // namespace sonorix
