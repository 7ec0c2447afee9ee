#include "app/OutlinePresenter.h"
#include "app/OutlineSort.h"

#include "foundation/Text.h"
#include "itunes/iTunesLibrary.h"
#include "model/ModelFixture.h"
#include "model/SonorixStatus.h"
#include "model/StatusDisplay.h"
#include "model/TrackAccess.h"

#include <algorithm>
#include <thread>

namespace sonorix::test {

namespace {

// iTunNORM fields for a playback adjustment of +3.0 dB.
const SoundCheckValues kPlus3 = {501, 501, 1253, 1253, 0, 0, 0, 0, 0, 0};

class OutlinePresenterTest : public ModelFixture {
protected:
    std::vector<OutlineRow> rowsOf(const std::shared_ptr<SonorixModel>& model) {
        auto group = model->groups()->groupAt(0);
        group->options().setAlbumMode(2);
        group->markAlbumsDirty();
        return OutlinePresenter(model).rows(*group);
    }
    static const OutlineRow* rowWithId(const std::vector<OutlineRow>& rows, uint64_t id) {
        char hex[24];
        std::snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(id));
        for (const auto& row : rows) {
            if (row.id == hex) {
                return &row;
            }
        }
        return nullptr;
    }
};

} // namespace

TEST_F(OutlinePresenterTest, AlbumRowLeadsItsTracksAndAOneTrackAlbumShowsAsItsTrack) {
    auto model = load({track(1).on("Pair").named("A"), track(2).on("Pair").named("B").number(2),
                       track(3).on("Solo").named("C")});
    auto rows = rowsOf(model);
    ASSERT_EQ(rows.size(), 4u);
    size_t album = 0;
    while (album < rows.size() && rows[album].kind != OutlineRow::Kind::Album) {
        ++album;
    }
    ASSERT_LT(album + 2, rows.size());
    EXPECT_EQ(toUtf8(rows[album].album), "Pair");
    EXPECT_FALSE(rows[album].inAlbum);
    for (size_t i : {album + 1, album + 2}) {
        EXPECT_EQ(rows[i].kind, OutlineRow::Kind::Track);
        EXPECT_TRUE(rows[i].inAlbum);
    }
    const OutlineRow* solo = rowWithId(rows, 3);
    ASSERT_NE(solo, nullptr);
    EXPECT_EQ(solo->kind, OutlineRow::Kind::Track);
    EXPECT_FALSE(solo->inAlbum);
    EXPECT_EQ(toUtf8(solo->title), "C");
}

TEST_F(OutlinePresenterTest, TrackWithoutArtistShowsTheAlbumArtist) {
    LibraryTrack without = track(1).on("X").named("A").by("");
    without.albumArtist = "The Album Artist";
    LibraryTrack with = track(2).on("Y").named("B").by("Own Artist");
    with.albumArtist = "Other Album Artist";
    auto rows = rowsOf(load({without, with}));
    ASSERT_NE(rowWithId(rows, 1), nullptr);
    ASSERT_NE(rowWithId(rows, 2), nullptr);
    EXPECT_EQ(toUtf8(rowWithId(rows, 1)->artist), "The Album Artist");
    EXPECT_EQ(toUtf8(rowWithId(rows, 2)->artist), "Own Artist");
}

TEST_F(OutlinePresenterTest, AdjustmentColumnShowsErrorBeforeValueAndNoDataWithoutOne) {
    auto model = load({track(1).on("X"), track(2).on("Y"), track(3).on("Z")});
    auto measured = model->statusLibrary()->trackStatus(1, true);
    measured->setTag(kPlus3, nullptr);
    measured->setState(kStateDone);
    auto failed = model->statusLibrary()->trackStatus(2, true);
    failed->setTag(kPlus3, nullptr);
    failed->setError(kErrorSilent);
    failed->setState(kStateFailed);
    auto rows = rowsOf(model);

    const OutlineRow* done = rowWithId(rows, 1);
    ASSERT_NE(done, nullptr);
    ASSERT_TRUE(done->adjustment.has_value());
    EXPECT_NEAR(*done->adjustment, 3.0, 0.05);
    EXPECT_EQ(done->adjustmentText(), "+3.0 dB");
    EXPECT_EQ(done->statusWord, "adjusted");
    EXPECT_EQ(done->iconName, "success");

    const OutlineRow* error = rowWithId(rows, 2);
    ASSERT_NE(error, nullptr);
    EXPECT_FALSE(error->errorText.empty());
    EXPECT_EQ(error->adjustmentText(), toUtf8(error->errorText));
    EXPECT_EQ(error->statusWord, "failed");
    EXPECT_EQ(error->iconName, "warning");

    const OutlineRow* fresh = rowWithId(rows, 3);
    ASSERT_NE(fresh, nullptr);
    EXPECT_FALSE(fresh->adjustment.has_value());
    EXPECT_EQ(fresh->adjustmentText(), "no data");
    EXPECT_EQ(fresh->statusWord, "new");
    EXPECT_EQ(fresh->iconName, "");
}

TEST_F(OutlinePresenterTest, AlbumShowsAValueOnlyWhenItsTracksAgree) {
    auto model = load({track(1).on("X"), track(2).on("X").number(2)});
    model->statusLibrary()->trackStatus(1, true)->setTag(kPlus3, nullptr);
    model->statusLibrary()->trackStatus(2, true)->setTag({1000, 1000, 2500, 2500, 0, 0, 0, 0, 0, 0},
                                                         nullptr);
    auto album = [&] {
        for (const auto& row : rowsOf(model)) {
            if (row.kind == OutlineRow::Kind::Album) {
                return row;
            }
        }
        ADD_FAILURE() << "no album row";
        return OutlineRow{};
    };
    EXPECT_FALSE(album().adjustment.has_value());
    model->statusLibrary()->trackStatus(2, true)->setTag(kPlus3, nullptr);
    EXPECT_EQ(album().adjustmentText(), "+3.0 dB");
}

} // namespace sonorix::test

namespace sonorix::test {

// The sort that reads each row's keys once must give exactly the order of the pairwise
// comparisons, for every column first, both directions, albums of one and of several tracks,
// ties, punctuation-only differences, missing artists and rows with and without values.
TEST_F(OutlinePresenterTest, SortReadingKeysOnceKeepsThePairwiseOrder) {
    std::vector<LibraryTrack> tracks;
    const char* names[] = {"Hello", "Hello!", "help", "", "Zed", "zed", "...", "Éclair"};
    const char* artists[] = {"Ann", "", "ann", "Bob", "Émile", "Bob"};
    const char* albums[] = {"One", "One", "Two", "Three", "Three", "Four", "", "Five"};
    for (uint64_t id = 1; id <= 40; ++id) {
        LibraryTrack t = track(id)
                             .on(albums[id % 8])
                             .named(names[(id * 3) % 8])
                             .by(artists[id % 6])
                             .number(int(id % 5));
        if (id % 4 == 0) {
            t.albumArtist = "Crew";
        }
        tracks.push_back(t);
    }
    // Albums of their own among the larger ones.
    for (uint64_t id = 41; id <= 44; ++id) {
        LibraryTrack t = track(id).on("Solo " + std::to_string(id)).named(names[id % 8]);
        t.artist = artists[id % 6];
        if (id % 4 == 0) {
            t.albumArtist = "Crew";
        }
        tracks.push_back(t);
    }
    auto model = load(tracks);
    for (uint64_t id = 1; id <= 40; id += 3) {
        model->statusLibrary()->trackStatus(id, true)->setTag(
            id % 2 ? kPlus3 : SoundCheckValues{1000, 1000, 2500, 2500, 0, 0, 0, 0, 0, 0}, nullptr);
    }
    model->statusLibrary()->trackStatus(7, true)->addProcessing(1);
    auto group = model->groups()->groupAt(0);
    std::vector<std::shared_ptr<const iTunesTrack>> everyTrack;
    for (const auto& [id, t] : model->library()->tracks()) {
        everyTrack.push_back(t);
    }
    // Texts compared as such first; then the same sorts over the tracks' ranked places.
    for (int pass = 0; pass < 4; ++pass) {
        const bool ranked = pass >= 2;
        if (pass == 2) {
            OutlineSortOptions::rankTracks(everyTrack, std::stop_token());
        }
        const int32_t albumMode =
            pass % 2 ? SonorixOptions::kEachSongSeparately : SonorixOptions::kCombineAlbums;
        SCOPED_TRACE(ranked ? "ranked" : "texts");
        group->options().setAlbumMode(albumMode);
        group->markAlbumsDirty();
        auto albumsFormed = group->albums();
        ASSERT_GT(albumsFormed.size(), 3u);
        for (int32_t column = kSortStatus; column <= kSortAdjustment; ++column) {
            for (bool descending : {false, true}) {
                OutlineSortOptions plain(model, {kSortAlbum}, false);
                auto options = plain.sortedBy(column);
                if (descending) {
                    options = options->toggledDirection();
                }
                auto expectedAlbums = albumsFormed;
                std::stable_sort(
                    expectedAlbums.begin(), expectedAlbums.end(),
                    [&](const auto& a, const auto& b) { return options->albumsLess(*a, *b); });
                auto albums = albumsFormed;
                // The same starting order: a one-track album's artist is its track's Artist against
                // another one-track album but its Album Artist against a larger album, so where the
                // pairwise order ends depends on where the sort starts.
                options->sortAlbums(albums);
                EXPECT_EQ(albums, expectedAlbums) << "column " << column << " " << descending;
                auto expectedTracks = group->tracks();
                std::stable_sort(
                    expectedTracks.begin(), expectedTracks.end(),
                    [&](const auto& a, const auto& b) { return options->tracksLess(*a, *b); });
                auto sorted = group->tracks();
                options->sortTracks(sorted);
                EXPECT_EQ(sorted, expectedTracks) << "column " << column << " " << descending;
            }
        }
    }
    model->statusLibrary()->trackStatus(7, true)->addProcessing(-1);
}

// The Album column orders tracks by texts folded once and kept on the track; the order must be
// the album formation's own, field by field: disc, grouping, compilations first, the artist of
// non-compilations only, track number, name, with punctuation, case and non-ASCII differences.
// Tracks are ranked on a thread of their own after loading while the outline sorts: a sort
// that meets some tracks ranked and others not compares texts, one over ranked tracks their
// places, and every sort gives the order of the texts.
TEST_F(OutlinePresenterTest, RankingWhileSortingKeepsTheOrder) {
    const char* words[] = {"Moon", "moon!", "Mo", "\u00c9t\u00e9", "ete", "", "...", "Zed"};
    std::vector<LibraryTrack> tracks;
    for (uint64_t id = 1; id <= 400; ++id) {
        LibraryTrack t = track(id)
                             .on(std::string(words[id % 8]) + words[(id / 8) % 8])
                             .named(std::string(words[(id * 3) % 8]) + " " + words[(id / 5) % 8])
                             .by(words[(id * 5) % 8])
                             .number(int(id % 4));
        tracks.push_back(t);
    }
    auto model = load(tracks);
    const auto all = model->groups()->groupAt(0)->tracks();
    std::vector<std::shared_ptr<const iTunesTrack>> everyTrack(all.begin(), all.end());
    std::vector<std::shared_ptr<const OutlineSortOptions>> orders;
    std::vector<std::vector<std::shared_ptr<iTunesTrack>>> expected;
    OutlineSortOptions plain(model, {kSortAlbum}, false);
    for (int32_t column : {kSortTitle, kSortArtist, kSortAlbum}) {
        for (bool descending : {false, true}) {
            auto options = plain.sortedBy(column);
            orders.push_back(descending ? options->toggledDirection() : options);
            auto sorted = all;
            std::stable_sort(sorted.begin(), sorted.end(), [&](const auto& a, const auto& b) {
                return orders.back()->tracksLess(*a, *b);
            });
            expected.push_back(std::move(sorted));
        }
    }
    std::jthread ranking(
        [&](std::stop_token stop) { OutlineSortOptions::rankTracks(everyTrack, stop); });
    for (int round = 0; round < 20; ++round) {
        for (size_t i = 0; i < orders.size(); ++i) {
            auto sorted = all;
            orders[i]->sortTracks(sorted);
            ASSERT_EQ(sorted, expected[i]) << "round " << round << ", order " << i;
        }
    }
}

TEST_F(OutlinePresenterTest, AlbumColumnOrdersTracksAsAlbumFormation) {
    const char* albums[] = {"One", "one!", "", "\u00c9t\u00e9", "ETE", "..."};
    const char* groupings[] = {"", "Live", "live.", "\u00df"};
    const char* artists[] = {"Ann", "", "ann", "\u00c9mile", "SS"};
    const char* names[] = {"Hello", "hello!", "", "Zed", "\u017ftop"};
    std::vector<LibraryTrack> tracks;
    for (uint64_t id = 1; id <= 60; ++id) {
        LibraryTrack t = track(id)
                             .on(albums[id % 6])
                             .named(names[(id * 7) % 5])
                             .by(artists[(id * 3) % 5])
                             .number(int(id % 3));
        t.grouping = groupings[(id / 2) % 4];
        t.disc = int(id % 4 == 0) + 1;
        t.compilation = id % 5 == 0;
        if (id % 7 == 0) {
            t.albumArtist = "Crew";
        }
        tracks.push_back(t);
    }
    auto model = load(tracks);
    const auto all = model->groups()->groupAt(0)->tracks();
    ASSERT_EQ(all.size(), tracks.size());
    OutlineSortOptions options(model, {kSortAlbum}, false);
    for (const auto& a : all) {
        const AlbumSortFields fa = albumSortFieldsOf(*a);
        for (const auto& b : all) {
            const int expected = compareAlbumOrder(fa, albumSortFieldsOf(*b));
            EXPECT_EQ(options.compareTracks(kSortAlbum, *a, *b), (expected > 0) - (expected < 0))
                << toUtf8(fa.album) << "/" << toUtf8(fa.name) << " vs " << toUtf8(ta::album(*b))
                << "/" << toUtf8(ta::name(*b));
        }
    }
}

} // namespace sonorix::test
