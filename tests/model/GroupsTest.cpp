#include "ModelFixture.h"

#include "foundation/Text.h"
#include "foundation/Value.h"
#include "itunes/iTunesLibrary.h"
#include "model/ModelText.h"
#include "model/ModelValues.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"

#include <set>

using namespace sonorix;
using namespace sonorix::test;

namespace {

class Groups : public ModelFixture {
protected:
    static std::vector<std::string> names(const SonorixAlbum& album) {
        std::vector<std::string> out;
        for (const auto& t : album.tracks()) {
            out.push_back(toUtf8(ta::name(*t)));
        }
        return out;
    }
    std::shared_ptr<SonorixGroup> defaultGroup(SonorixModel& model) {
        return model.groups()->groupAt(0);
    }
};

} // namespace

TEST_F(Groups, DefaultGroupTakesEveryUsableTrackInIdOrder) {
    LibraryTrack video = track(4);
    video.video = true;
    LibraryTrack stream = track(5);
    stream.trackType = "URL";
    LibraryTrack noId = track(0);
    auto model =
        load({track(3).named("c"), track(1).named("a"), video, stream, noId, track(2).named("b")});
    auto groups = model->groups();
    ASSERT_EQ(groups->count(), 1u);
    auto group = defaultGroup(*model);
    EXPECT_EQ(group->title(), modelText("DefaultGroupTitle"));
    EXPECT_EQ(group->trackCount(), 3u);
    // Rejected tracks are still remembered as members, in ascending id order.
    std::vector<uint64_t> stored;
    for (const auto& t : group->tracks()) {
        stored.push_back(ta::persistentId(*t));
    }
    EXPECT_EQ(stored, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(groups->groupOfTrack(2), group);
    EXPECT_EQ(groups->groupOfTrack(4), nullptr);
    // Each song on its own, named by the track.
    auto albums = group->albums();
    ASSERT_EQ(albums.size(), 3u);
    EXPECT_EQ(albums[0]->displayName(), u"a");
    EXPECT_EQ(toUtf8(albums[2]->albumKey()), "3");
}

// What a real library holds besides songs: none of it has a file that can keep a Sound Check text,
// so none of it may reach a group and fail every run.
TEST_F(Groups, BooksDocumentsAppsAndOnlineTracksBelongToNoGroup) {
    auto entry = [](uint64_t id, const char* kind, const char* location) {
        LibraryTrack t = track(id);
        t.kind = kind;
        if (location) {
            t.location = location;
        } else {
            t.withoutLocation = true;
        }
        return t;
    };
    auto model = load({
        entry(1, "MPEG audio file", "file:///Music/a.mp3"),
        entry(2, "Book", "file:///Books/Novel.epub"),
        entry(3, "Book", "file:///Books/Kept%20As%20Folder.epub/"),
        entry(4, "PDF document", "file:///Books/Manual.PDF"),
        entry(5, "iPhone/iPod touch/iPad app", "file:///Mobile%20Applications/Game%201.0.ipa"),
        entry(6, "Apple Music AAC audio file", nullptr), // streamed, never downloaded
        entry(7, "Purchased AAC audio file", nullptr),
        entry(8, "Buch", "file:///B%C3%BCcher/Roman.ibooks"), // localized kind, told by its file
        entry(9, "PDF document", "file:///Docs/notes"),       // no extension, told by its kind
        entry(10, "Audible file", "file:///Audiobooks/Story.aax"),
        entry(11, "AAC audio book file", "file:///Audiobooks/Story.m4b"),
        entry(12, "", "file:///Music/no-kind.m4a"),
    });
    auto group = defaultGroup(*model);
    std::set<uint64_t> members;
    for (const auto& t : group->tracks()) {
        members.insert(ta::persistentId(*t));
    }
    EXPECT_EQ(members, (std::set<uint64_t>{1, 10, 11, 12}));
    for (uint64_t id : {2, 3, 4, 5, 6, 7, 8, 9}) {
        EXPECT_EQ(model->groups()->groupOfTrack(id), nullptr) << id;
    }
    auto excluded = [&](uint64_t id) { return model->library()->track(id)->exclusion(); };
    EXPECT_EQ(excluded(2), TrackExclusion::NotAudio);
    EXPECT_EQ(excluded(9), TrackExclusion::NotAudio);
    EXPECT_EQ(excluded(6), TrackExclusion::NoFile);
    EXPECT_EQ(excluded(1), TrackExclusion::None);

    // Moved by hand into a group of their own, they are still left out.
    auto fresh = SonorixGroup::create(model, nullptr);
    model->groups()->insertGroup(fresh, 1, true);
    fresh->addTrack(model->library()->track(4));
    fresh->addTrack(model->library()->track(1));
    EXPECT_EQ(fresh->trackCount(), 1u);
}

// Albums form by "Album Artist" where there is one: guest artists on single tracks must not split
// an album, and two albums of one title by different album artists must not merge.
TEST_F(Groups, AlbumArtistWinsOverTrackArtist) {
    auto t = [](uint64_t id, const char* artist, const char* albumArtist, int number) {
        LibraryTrack x = track(id).on("Duets").by(artist).number(number);
        x.albumArtist = albumArtist;
        return x;
    };
    auto model = load({t(1, "Singer", "Singer", 1), t(2, "Singer feat. Guest", "Singer", 2),
                       t(3, "Singer", "Other Band", 1), t(4, "Singer", "Other Band", 2)});
    auto group = defaultGroup(*model);
    group->options().setAlbumMode(SonorixOptions::kCombineAlbums);
    group->markAlbumsDirty();
    auto albums = group->albums();
    ASSERT_EQ(albums.size(), 2u);
    std::vector<uint64_t> first;
    for (const auto& x : albums[0]->tracks()) {
        first.push_back(ta::persistentId(*x));
    }
    std::vector<uint64_t> second;
    for (const auto& x : albums[1]->tracks()) {
        second.push_back(ta::persistentId(*x));
    }
    EXPECT_EQ(first, (std::vector<uint64_t>{3, 4})); // "Other Band" sorts before "Singer"
    EXPECT_EQ(second, (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(albums[0]->albumArtist(), u"Other Band");
    EXPECT_EQ(albums[1]->albumArtist(), u"Singer");
}

TEST_F(Groups, UuidIsMadeOnceAndKept) {
    auto model = load({track(1)});
    auto group = defaultGroup(*model);
    std::string id = group->uuid();
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(group->uuid(), id);
    EXPECT_EQ(model->groups()->indexOfGroup(id), 0);
    EXPECT_EQ(model->groups()->groupWithUUID(id), group);
    EXPECT_EQ(model->groups()->indexOfGroup("nope"), -1);
}

TEST_F(Groups, NewGroupClaimsTracksAndDeletingHandsThemBack) {
    auto model = load({track(1), track(2), track(3)});
    auto groups = model->groups();
    auto fresh = SonorixGroup::create(model, nullptr);
    fresh->setTitle(u"Classical");
    groups->insertGroup(fresh, 0, true); // never before the default group
    EXPECT_EQ(groups->count(), 1u);
    groups->insertGroup(fresh, groups->count(), true);
    ASSERT_EQ(groups->count(), 2u);

    auto t2 = ta::trackWithId(*model->library(), 2);
    defaultGroup(*model)->removeTrack(t2);
    fresh->addTrack(t2);
    groups->ensureDefaultGroup();
    EXPECT_EQ(defaultGroup(*model)->trackCount(), 2u);
    EXPECT_EQ(fresh->trackCount(), 1u);
    EXPECT_EQ(groups->groupOfTrack(2), fresh);
    EXPECT_EQ(groups->groupWithTitle(u"classical"), fresh);

    groups->removeGroupAt(0, true); // the default group stays
    EXPECT_EQ(groups->count(), 2u);
    groups->removeGroupAt(1, true);
    EXPECT_EQ(groups->count(), 1u);
    EXPECT_EQ(defaultGroup(*model)->trackCount(), 3u);
    EXPECT_EQ(groups->groupOfTrack(2), defaultGroup(*model));
    EXPECT_EQ(groups->groupWithUUID(fresh->uuid()), nullptr);
}

TEST_F(Groups, GroupsSurviveSaveAndReload) {
    std::string uuid;
    {
        auto model = load({track(1), track(2), track(3)});
        auto fresh = SonorixGroup::create(model, nullptr);
        fresh->setTitle(u"Live");
        fresh->options().setAlbumMode(2);
        model->groups()->insertGroup(fresh, 1, false);
        fresh->addTrack(ta::trackWithId(*model->library(), 3));
        model->groups()->ensureDefaultGroup();
        uuid = fresh->uuid();
        ASSERT_TRUE(model->save());
    }
    auto model = load({track(1), track(2), track(3)});
    ASSERT_EQ(model->groups()->count(), 2u);
    auto live = model->groups()->groupAt(1);
    EXPECT_EQ(live->uuid(), uuid);
    EXPECT_EQ(live->title(), u"Live");
    EXPECT_EQ(live->options().albumMode(), 2);
    EXPECT_EQ(live->trackCount(), 1u);
    EXPECT_EQ(defaultGroup(*model)->trackCount(), 2u);
}

TEST_F(Groups, AlbumsAreReusedAcrossFormations) {
    auto model =
        load({track(1).on("X").number(1), track(2).on("X").number(2), track(3).on("Y").number(1)});
    auto group = defaultGroup(*model);
    group->options().setAlbumMode(2);
    group->markAlbumsDirty();
    auto first = group->albums();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(names(*first[0]).size(), 2u);
    EXPECT_EQ(group->albumOfTrack(2), first[0]);
    EXPECT_EQ(group->albumPosition(*first[1]), 1);

    // Splitting album X: the old object goes to the first new album that finds it; the second
    // half gets a new object.
    group->options().setAlbumMode(0);
    group->markAlbumsDirty();
    auto second = group->albums();
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[0], first[0]);
    EXPECT_EQ(names(*second[0]), (std::vector<std::string>{"Song"}));
    EXPECT_EQ(second[0]->tracks().size(), 1u);
    EXPECT_NE(second[1], first[0]);
    EXPECT_EQ(second[2], first[1]);
    EXPECT_EQ(group->albumPosition(*second[1]), 1);

    // Joining again: the album found for the last track of the new album wins.
    group->options().setAlbumMode(2);
    group->markAlbumsDirty();
    auto third = group->albums();
    ASSERT_EQ(third.size(), 2u);
    EXPECT_EQ(third[0], second[1]);
    EXPECT_EQ(third[0]->tracks().size(), 2u);
    EXPECT_EQ(group->albumPosition(*second[0]), -1);

    // Nothing changes while nothing was marked dirty.
    group->options().setAlbumMode(0);
    EXPECT_EQ(group->albums().size(), 2u);
}

TEST_F(Groups, AlbumTitleArtistAndNames) {
    LibraryTrack a = track(1).on("Hits").by("A").comp();
    LibraryTrack b = track(2).on("hits").by("B").comp().number(2);
    LibraryTrack c = track(3).on("Solo").by("Sam").discNo(1);
    c.albumArtist = "Sam & Band";
    LibraryTrack d = track(4).on("Solo").by("Sam").discNo(2);
    d.albumArtist = "Sam & Band";
    auto model = load({a, b, c, d});
    auto group = defaultGroup(*model);
    group->options().setAlbumMode(2);
    group->markAlbumsDirty();
    auto albums = group->albums();
    ASSERT_EQ(albums.size(), 2u);
    EXPECT_EQ(albums[0]->displayName(), modelText("AlbumName_Compilation"));
    EXPECT_EQ(albums[0]->albumTitle(), u"Hits"); // plain comparison ignores case
    EXPECT_EQ(albums[0]->albumArtist(), u"");    // A and B disagree
    EXPECT_EQ(albums[1]->displayName(), modelText("AlbumName_MultiCDAlbum"));
    EXPECT_EQ(albums[1]->albumArtist(), u"Sam & Band");
    EXPECT_EQ(toUtf8(albums[1]->albumKey()), "3:4");
}

TEST_F(Groups, SearchShowsAlbumsWithMatchingTracksOnly) {
    auto model = load({track(1).on("Moon").named("Rise"), track(2).on("Moon").named("Set"),
                       track(3).on("Sun").named("Noon")});
    auto group = defaultGroup(*model);
    group->options().setAlbumMode(2);
    group->markAlbumsDirty();
    group->setSearchText(u"SET");
    auto visible = group->visibleAlbums();
    ASSERT_EQ(visible.size(), 1u);
    ASSERT_EQ(visible[0]->visibleTracks().size(), 1u);
    EXPECT_EQ(ta::name(*visible[0]->visibleTracks()[0]), u"Set");
    EXPECT_EQ(visible[0]->tracks().size(), 2u);
    group->setSearchText(u"");
    EXPECT_EQ(group->visibleAlbums().size(), 2u);
}

TEST_F(Groups, AlbumGainIsDurationWeightedAndStateDerived) {
    LibraryTrack a = track(1).on("X").number(1);
    a.totalTimeMs = 100000;
    LibraryTrack b = track(2).on("X").number(2);
    b.totalTimeMs = 300000;
    LibraryTrack silent = track(3).on("X").number(3);
    auto model = load({a, b, silent});
    auto group = defaultGroup(*model);
    group->options().setAlbumMode(2);
    group->markAlbumsDirty();
    auto album = group->albums().at(0);
    auto statuses = model->statusLibrary();

    // Without any track status nothing is created.
    EXPECT_EQ(statuses->albumStatus(*album, false, true), nullptr);

    auto date1 = mv::now(false);
    auto s1 = statuses->trackStatus(1, true);
    auto s2 = statuses->trackStatus(2, true);
    auto s3 = statuses->trackStatus(3, true);
    s1->setGainAndPeak(-6.0, 20000, date1);
    s2->setGainAndPeak(-10.0, 30000, date1);
    s3->setGainAndPeak(+30.0, 1.0, date1);
    s1->setState(kStateDone);
    s2->setState(kStateDone);
    s3->setState(kStateDone);
    auto albumStatus = statuses->albumStatus(*album, false, true);
    ASSERT_NE(albumStatus, nullptr);
    double gain = 0, peak = 0;
    ASSERT_TRUE(albumStatus->getGainAndPeak(gain, peak));
    EXPECT_DOUBLE_EQ(gain, -9.0);
    EXPECT_DOUBLE_EQ(peak, 30000);
    EXPECT_EQ(albumStatus->getState(), kStateDone);
    EXPECT_EQ(album->status(), albumStatus);
    EXPECT_TRUE(mv::has(*statuses->statuses(), "1:2:3"));

    s2->setState(kStateFailed);
    EXPECT_EQ(statuses->albumStatus(*album, false, true)->getState(), kStateFailed);
    s2->setState(kStateNone);
    EXPECT_EQ(statuses->albumStatus(*album, false, true)->getState(), kStateNone);
}

TEST_F(Groups, JoiningAGroupResetsTheTracksRuntimeState) {
    auto model = load({track(1)});
    std::vector<uint64_t> forgotten;
    setTrackForgetter([&](uint64_t id) { forgotten.push_back(id); });
    auto status = model->statusLibrary()->trackStatus(1, true);
    status->setState(kStateDone);
    status->setAdjustedMarker(true);
    auto t = ta::trackWithId(*model->library(), 1);
    defaultGroup(*model)->removeTrack(t);
    defaultGroup(*model)->addTrack(t);
    setTrackForgetter(nullptr);
    EXPECT_EQ(status->getState(), kStateNone);
    EXPECT_FALSE(status->adjustedMarker());
    EXPECT_EQ(forgotten, (std::vector<uint64_t>{1}));
}

TEST_F(Groups, StatusLineCountsTracksAndAlbums) {
    auto model = load({track(1).on("X"), track(2).on("X").number(2), track(3)});
    auto group = defaultGroup(*model);
    group->options().setAlbumMode(2);
    group->markAlbumsDirty();
    std::u16string expected = modelText("StatusFormatString");
    EXPECT_EQ(toUtf8(statusLine(group.get())), "3 Tracks combined to 2 Adjustment Groups");
    EXPECT_EQ(statusLine(nullptr), u"");
}
