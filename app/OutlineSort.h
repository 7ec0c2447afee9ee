#pragma once

#include "model/AlbumRules.h"
#include "model/SonorixGroups.h"
#include "model/TextCompare.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <unordered_map>
#include <vector>

namespace sonorix {

class SonorixModel;

// The outline's columns as sort keys.
enum SortColumn : int32_t {
    kSortStatus = 0,
    kSortTitle = 1,
    kSortArtist = 2,
    kSortAlbum = 3,
    kSortAdjustment = 4,
};

// A group's sort order in the outline: columns, the first deciding first, and a direction.
// Immutable: a change makes a new object, which is what tells the group to sort again.
class OutlineSortOptions final : public TrackSortOptions {
public:
    OutlineSortOptions(std::weak_ptr<SonorixModel> model, std::vector<int32_t> columns,
                       bool descending);

    const std::vector<int32_t>& columns() const { return m_columns; }
    bool descending() const { return m_descending; }
    // The order a group without options has: Album, ascending.
    static std::vector<int32_t> defaultColumns() { return {kSortAlbum}; }

    // With column moved to the front; the direction stays only when it was first already.
    std::shared_ptr<OutlineSortOptions> sortedBy(int32_t column) const;
    std::shared_ptr<OutlineSortOptions> toggledDirection() const;

    bool isAscendingAlbumOrder() const override;
    bool tracksLess(const iTunesTrack& a, const iTunesTrack& b) const override;
    bool albumsLess(const SonorixAlbum& a, const SonorixAlbum& b) const override;
    void sortTracks(std::vector<std::shared_ptr<iTunesTrack>>& tracks) const override;
    void sortAlbums(std::vector<std::shared_ptr<SonorixAlbum>>& albums) const override;

    // Status ranks and values change while work runs, but one sort must see one set of them or
    // the sort goes astray: they are read once and kept until this is called (main thread,
    // before the outline is reloaded).
    void forgetKeys() const;

    // <0, 0 or >0 for one column, ascending.
    int compareTracks(int32_t column, const iTunesTrack& a, const iTunesTrack& b) const;
    int compareAlbums(int32_t column, const SonorixAlbum& a, const SonorixAlbum& b) const;

    // A track's album order, its texts folded once and kept on the track.
    struct FoldedAlbumOrder;

    // Makes what a sort by any column and a search read of a track, so that the first sort or
    // search after loading finds it made. Any thread; each part is made once.
    static void prepareTrack(const iTunesTrack& track);
    // Prepares the tracks and ranks them by each text column, so that sorting these tracks
    // compares whole numbers. Meant for a thread of its own; a sort that meets tracks not
    // ranked together compares their texts instead.
    static void rankTracks(const std::vector<std::shared_ptr<const iTunesTrack>>& tracks,
                           const std::stop_token& stop);

private:
    struct Keys {
        int32_t rank = 0;      // status sort rank, adjusted rows first
        int32_t plainRank = 0; // the same without that preference
        double adjustment = 0;
    };
    Keys keysOf(const void* item, const std::function<Keys()>& read) const;
    // An album's texts with their letter forms, read once per sort like the keys: a sort
    // compares each row some twenty times, and reading an album's texts walks all its tracks.
    // A track's are kept on the track (see TrackForms in the source).
    struct Texts {
        std::weak_ptr<const SonorixAlbum> album; // an album's entry is its while that lives
        FoldedText title;
        FoldedText artist;
        FoldedText albumTitle;
    };
    bool sortsBy(int32_t column) const;
    const Texts& textsOf(const SonorixAlbum& album) const;
    // What one row's comparisons read; only the parts the columns need are filled.
    struct Row {
        const void* identity = nullptr;
        const FoldedText* title = nullptr;
        const FoldedText* artist = nullptr;
        const FoldedText* albumTitle = nullptr;  // albums
        const FoldedAlbumOrder* order = nullptr; // tracks
        // The texts' order keys copied here: most comparisons end on them without reading
        // the texts, which lie all over memory.
        uint64_t titleKey = UINT64_MAX;
        uint64_t artistKey = UINT64_MAX;
        uint64_t albumKey = UINT64_MAX;
        // Tracks ranked by rankTracks: the run and the places.
        uint32_t run = 0;
        uint32_t titleRank = 0, artistRank = 0, orderRank = 0;
        Keys keys;
    };
    // A row's leading columns as numbers, for the bulk of a sort's comparisons: where two
    // rows' numbers differ they order the rows as the columns do, and equal numbers marked
    // exact are a tie of their column. Sorting these, a few to a cache line, reads a row's
    // texts only when the numbers cannot decide.
    struct Prefix {
        uint64_t keys[3] = {};
        uint8_t count = 0;
        uint8_t exact = 0; // bit i for keys[i]
    };
    // ranked: track rows use their places from rankTracks (all of one run).
    Prefix prefixOf(const Row& row, bool ranked) const;
    // <0 or >0 where the prefixes decide; 0 where the full comparison must.
    static int comparePrefixes(const Prefix& a, const Prefix& b);
    // What a sort moves: a row's prefix and where its row is.
    struct SortItem {
        Prefix prefix;
        uint32_t index = 0;
        bool track = false; // compared as a track, not as an album
    };
    // Orders items by their prefixes, and by compare (<0, 0, >0 of two indexes) where those
    // cannot decide.
    template <class Compare>
    void sortItems(std::vector<SortItem>& items, const Compare& compare) const;
    Row trackRow(const iTunesTrack& track, bool texts, bool keys) const;
    Row albumRow(const SonorixAlbum& album, bool texts, bool keys) const;
    static int compareRows(int32_t column, const Row& a, const Row& b, bool albums);
    static int identityOrder(const void* a, const void* b);

    const std::weak_ptr<SonorixModel> m_model;
    const std::vector<int32_t> m_columns;
    const bool m_descending;
    mutable std::mutex m_keysLock;
    mutable std::unordered_map<const void*, Keys> m_keys;
    mutable std::unordered_map<const void*, std::unique_ptr<Texts>> m_texts;
};

// The outline header's columns in the order they were created, mapped to sort columns.
int32_t sortColumnOfHeader(int32_t headerColumn);

// The adjustment a row shows: a track's stored Sound Check value as current iTunes plays it;
// an album's when all its tracks with a value agree. None without stored values.
std::optional<double> trackAdjustment(SonorixModel& model, const iTunesTrack& track);
std::optional<double> albumAdjustment(SonorixModel& model, const SonorixAlbum& album);

} // namespace sonorix
