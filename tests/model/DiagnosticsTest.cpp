#include "ModelFixture.h"

#include "foundation/DateTimePoint.h"
#include "foundation/Log.h"
#include "model/Diagnostics.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"

#include <cmath>

using namespace sonorix;
using namespace sonorix::test;

namespace {

// 2010-03-01T12:00:00Z
std::shared_ptr<DateTimePoint> march1() {
    return std::make_shared<DateTimePoint>(DateTimePoint{1267444800, 0});
}

class Diagnostics : public ModelFixture {
protected:
    std::shared_ptr<iTunesTrack> trackOf(SonorixModel& model, uint64_t id) {
        return ta::trackWithId(*model.library(), id);
    }
    // The group's albums formed album by album.
    std::shared_ptr<SonorixGroup> albumGroup(SonorixModel& model) {
        auto group = model.groups()->groupAt(0);
        group->options().setAlbumMode(SonorixOptions::kCombineAlbums);
        group->markAlbumsDirty();
        return group;
    }
    std::string lines(const std::string& csv) { return csv.substr(csv.find("\r\n") + 2); }
};

std::vector<std::string> tail(const std::vector<std::string>& lines, size_t from) {
    return {lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end()};
}

} // namespace

TEST_F(Diagnostics, TrackSectionShowsEveryValue) {
    writeFile(m_dir.file("song.mp3"), std::string(1234, 'x'));
    LibraryTrack t = track(0xF00000000000002AULL).on("Album").by("Artist").named("Name");
    t.albumArtist = "Album Artist";
    t.grouping = "Grouping";
    t.disc = 2;
    t.trackNumber = 7;
    t.totalTimeMs = 123456;
    t.compilation = true;
    t.location = "file://" + m_dir.file("song.mp3");
    t.dateModified = "2010-03-01T12:00:00Z";
    t.extraXml = "<key>Composer</key><string>Composer</string>"
                 "<key>Genre</key><string>Genre</string><key>Year</key><integer>1999</integer>"
                 "<key>Disc Count</key><integer>3</integer>"
                 "<key>Track Count</key><integer>12</integer>"
                 "<key>Play Count</key><integer>5</integer>"
                 "<key>Skip Count</key><integer>1</integer>"
                 "<key>Rating</key><integer>80</integer>"
                 "<key>Comments</key><string>Björk</string>"
                 "<key>Sample Rate</key><integer>44100</integer>"
                 "<key>Bit Rate</key><integer>256</integer>"
                 "<key>Movie</key><true/><key>Explicit</key><true/>"
                 "<key>Date Added</key><date>2009-01-02T03:04:05Z</date>";
    auto model = load({t});
    auto status = model->statusLibrary()->trackStatus(t.id, true);
    status->setGainAndPeak(-5.5, 16384, march1());
    status->setError(kErrorTag);
    status->setState(kStateFailed);
    status->setTag({250, 250, 625, 625, 0xFFFFFFFF, 20, 16384, 8000, 30, 40}, march1());
    status->setBackup({2000, 2000, 2500, 2500, 0, 0, 0, 0, 0, 0});
    status->setManualAdjustment(-20, march1());

    auto out = diagnostics::trackDebugLines(*model, *trackOf(*model, t.id), 92.0);
    // Values worked out from the Sound Check formulas by hand: -5.5 + 92 - 89 = -2.5 dB is
    // 1000 * 10^0.25 and 2500 * 10^0.25; the peak 16384 leaves 20 log10 2 = 6.0206 dB, which is
    // 250 and 625; 8000 leaves 20 log10 4.096 = 12.2472 dB (60 and 149); the 8.0 readings are
    // limited by the peak to 6.0206 - 1 dB; backup 2000 is -10 log10 2 = -3.0103 dB, which 8.0
    // gives up for the 2500 pair's 0 dB.
    std::vector<std::string> expected = {
        "####### Track Debug Output #######",
        "",
        "iTunes information:",
        "  persistentID: -1152921504606846934 / 0xF00000000000002A",
        "  database ID: 100 / 0x64",
        "  name: >>Name<<",
        "  artist: >>Artist<<",
        "  album artist: >>Album Artist<<",
        "  album: >>Album<<",
        "  grouping: >>Grouping<<",
        "  composer: >>Composer<<",
        "  genre: >>Genre<<",
        "  year: 1999",
        "  location: >>file://" + m_dir.file("song.mp3") + "<<",
        "  filePath: >>" + m_dir.file("song.mp3") + "<<",
        "  compilation: 1",
        "  part of gapless album: 0",
        "  disabled: 0",
        "  disc 2 of 3",
        "  track 7 of 12",
        "  play count: 5",
        "  skip count: 1",
        "  rating: 80",
        "  comments: >>Björk<<",
        "  totalTime: 123456 ms",
        "  seconds: 123.456000 s",
        "  sample rate: 44100",
        "  bit rate: 256",
        "  size: 1234",
        "  track type: >>File<<",
        "  podcast: 0",
        "  movie 1",
        "  hasVideo: 0",
        "  isProtected: 0",
        "  unplayed: 0",
        "  isExplicit: 1",
        "  date modified: >>2010-03-01T12:00:00Z<<",
        "  date added: >>2009-01-02T03:04:05Z<<",
        "  date played: >><<",
        "",
        "Sonorix information:",
        "  gain analysis result: -5.500000",
        "  playback adjustment needed for Master Volume 92.000000 dB: -2.500000 dB (1778 / 4446) "
        "<<<<<<<<<<<<<<<",
        "  peak: 16384.000000 - maximum unclipped adjustment: +6.020600 dB (250 / 625)",
        "  last analyze check: >>2010-03-01T12:00:00Z<<",
        "  error: 2",
        "  processing: 0",
        "  state: 3",
        "",
        "  iTunNORM tag:",
        "  0: 250 / 0xfa (+6.020600 dB) left adjustment 1 (factor 1000)",
        "  1: 250 / 0xfa (+6.020600 dB) right adjustment 1 (factor 1000)",
        "  2: 625 / 0x271 (+6.020600 dB) left adjustment 2 (factor 2500)",
        "  3: 625 / 0x271 (+6.020600 dB) right adjustment 2 (factor 2500)",
        "  4: -1 / 0xffffffff left some statistical information",
        "  5: 20 / 0x14 right some statistical information",
        "  6: 16384 / 0x4000 left peak - maximum unclipped adjustment: +6.020600 dB (250 / 625)",
        "  7: 8000 / 0x1f40 right peak - maximum unclipped adjustment: +12.247199 dB (60 / 149)",
        "  8: 30 / 0x1e left some statistical information",
        "  9: 40 / 0x28 right some statistical information",
        "  adjustment currently used for playback: +6.020600 dB (iTunes 8.0: +5.020600 dB, iTunes "
        "8.0.1: +5.020600 dB) <<<<<<<<<<<<<<<",
        "  last iTunNORM tag check: >>2010-03-01T12:00:00Z<<",
        "",
        "  backup iTunNORM tag:",
        "  backup 0: 2000 / 0x7d0 (-3.010300 dB)",
        "  backup 1: 2000 / 0x7d0 (-3.010300 dB)",
        "  backup 2: 2500 / 0x9c4 (+0.000000 dB)",
        "  backup 3: 2500 / 0x9c4 (+0.000000 dB)",
        "  backup 4: 0 / 0x0",
        "  backup 5: 0 / 0x0",
        "  backup 6: 0 / 0x0",
        "  backup 7: 0 / 0x0",
        "  backup 8: 0 / 0x0",
        "  backup 9: 0 / 0x0",
        "  backup adjustment used for playback: -3.010300 dB (iTunes 8: +0.000000 dB, iTunes "
        "8.0.1: -3.010300 dB)",
        "  cached manual adjustment: -20%",
        "  last manual adjustment check: >>2010-03-01T12:00:00Z<<",
    };
    EXPECT_EQ(out, expected);

    // The master volume enters the needed adjustment only.
    auto louder = diagnostics::trackDebugLines(*model, *trackOf(*model, t.id), 95.5);
    EXPECT_EQ(louder[42], "  playback adjustment needed for Master Volume 95.500000 dB: +1.000000 "
                          "dB (794 / 1986) <<<<<<<<<<<<<<<");
}

TEST_F(Diagnostics, TrackWithoutFileOrStatus) {
    LibraryTrack t = track(0x2A);
    t.location = "file://" + m_dir.file("gone%20away.mp3");
    auto model = load({t});
    auto out = diagnostics::trackDebugLines(*model, *trackOf(*model, 0x2A), 92.0);
    ASSERT_EQ(out.size(), 42u);
    EXPECT_EQ(out[14], "  filePath: >>" + m_dir.file("gone away.mp3") + "<<");
    EXPECT_EQ(out[28], "  size: -1");
    EXPECT_EQ(out[31], "  movie 0");
    EXPECT_EQ(tail(out, 39), (std::vector<std::string>{"", "Sonorix information:", "  none"}));

    // A status with nothing stored says so for each part.
    model->statusLibrary()->trackStatus(0x2A, true);
    out = diagnostics::trackDebugLines(*model, *trackOf(*model, 0x2A), 92.0);
    EXPECT_EQ(tail(out, 41), (std::vector<std::string>{
                                 "  no gain analysis result",
                                 "  last analyze check: >><<",
                                 "  error: 0",
                                 "  processing: 0",
                                 "  state: 0",
                                 "  no iTunNORM tag information",
                                 "  last iTunNORM tag check: >><<",
                                 "  no backup iTunNORM tag information",
                                 "  no cached manual adjustment information",
                             }));
}

TEST_F(Diagnostics, AlbumSectionRecomputesTheAlbum) {
    LibraryTrack a = track(1).on("X").number(1);
    a.totalTimeMs = 100000;
    LibraryTrack b = track(2).on("X").number(2);
    b.totalTimeMs = 300000;
    auto model = load({a, b, track(3).on("Zed")});
    auto group = albumGroup(*model);
    auto album = group->albums().at(0);
    ASSERT_EQ(album->tracks().size(), 2u);

    auto none = diagnostics::albumDebugLines(*model, *album, 92.0);
    EXPECT_EQ(none, (std::vector<std::string>{"####### Album Debug Output #######", "",
                                              "Sonorix information:", "  none"}));
    // One log entry per line, the empty one included.
    ASSERT_TRUE(openLog(m_dir.file("debug.log")));
    diagnostics::logDebugLines(none);
    closeLog();
    std::string log = readFile(m_dir.file("debug.log"));
    EXPECT_NE(log.find("s] ####### Album Debug Output #######\n["), std::string::npos) << log;
    EXPECT_NE(log.find("s] \n["), std::string::npos) << log;
    EXPECT_NE(log.find("s]   none\n"), std::string::npos) << log;

    model->statusLibrary()->trackStatus(1, true)->setGainAndPeak(-4, 1000, march1());
    model->statusLibrary()->trackStatus(2, true)->setGainAndPeak(-8, 2000, march1());
    // Duration-weighted: (-4 * 100 + -8 * 300) / 400 = -7 dB, needing -4 dB at 92 dB.
    auto out = diagnostics::albumDebugLines(*model, *album, 92.0);
    EXPECT_EQ(out, (std::vector<std::string>{
                       "####### Album Debug Output #######",
                       "",
                       "Sonorix information:",
                       "  gain analysis result: -7.000000",
                       "  playback adjustment needed for Master Volume 92.000000 dB: -4.000000 dB "
                       "(2512 / 6280) <<<<<<<<<<<<<<<",
                       "  peak: 2000.000000",
                       "  last analyze check: >>2010-03-01T12:00:00Z<<",
                       "  error: 0",
                       "  processing: 0",
                       "  state: 0",
                   }));

    // Rows in order: an album row gives the album section, a one-track album its track's.
    auto single = group->albums().at(1);
    ASSERT_TRUE(single->isSingleTrack());
    auto both = diagnostics::debugLines(*model, {album, single}, 92.0);
    ASSERT_EQ(both.size(), out.size() + 42);
    EXPECT_EQ(both[out.size()], "####### Track Debug Output #######");
    EXPECT_EQ(both[out.size() + 5], "  name: >>Song<<");
}

TEST_F(Diagnostics, CsvFieldsAndLines) {
    EXPECT_EQ(diagnostics::csvNumber(-7.5), "\"-7,500000\"");
    EXPECT_EQ(diagnostics::csvNumber(-0.0), "\"0,000000\"");
    EXPECT_EQ(diagnostics::csvText("Say \"Hi\", now"), "\"Say \"\"Hi\"\", now\"");
    EXPECT_EQ(diagnostics::csvText(""), "\"\"");

    LibraryTrack quoted = track(0x1F).on("X").named("Say \"Hi\"");
    quoted.location = "file:///music/a.mp3";
    auto model = load({quoted, track(0x2A).on("Y").by("Me").named("Plain")});
    model->statusLibrary()->trackStatus(0x2A, true)->setGainAndPeak(-5.5, 16384, march1());

    auto csv = diagnostics::csvExport(*model, {trackOf(*model, 0x1F), trackOf(*model, 0x2A)}, 92.0);
    EXPECT_EQ(csv, "\xEF\xBB\xBF"
                   "persistentID,gainAnalysisResult,peak,adjustment[92.000000],unclippedMax,name,"
                   "artist,album,filePath\r\n"
                   // Without an analysis: four empty fields after the id.
                   "1F,,,,,\"Say \"\"Hi\"\"\",\"Band\",\"X\",\"/music/a.mp3\"\r\n"
                   "2A,\"-5,500000\",\"16384,000000\",\"-2,500000\",\"6,020600\",\"Plain\","
                   "\"Me\",\"Y\",\"/nonexistent/000000000000002A.mp3\"\r\n");
}

TEST_F(Diagnostics, ExportWithoutSelectionTakesEveryGroupAlbumByAlbum) {
    LibraryTrack a = track(1).on("X").named("One").number(1);
    a.totalTimeMs = 100000;
    LibraryTrack b = track(2).on("X").named("Two").number(2);
    b.totalTimeMs = 300000;
    auto model = load({a, b, track(3).on("Zed").named("Three")});
    auto group = albumGroup(*model);
    model->statusLibrary()->trackStatus(1, true)->setGainAndPeak(-4, 1000, march1());
    model->statusLibrary()->trackStatus(2, true)->setGainAndPeak(-8, 2000, march1());

    auto rows = diagnostics::exportRows({group});
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], group->albums().at(0));
    EXPECT_EQ(lines(diagnostics::csvExport(*model, rows, 92.0)),
              "1:2,\"-7,000000\",\"2000,000000\",\"-4,000000\",\"24,288399\",<<<Album>>>,"
              "\"Band\",\"X\",\r\n"
              "1,\"-4,000000\",\"1000,000000\",\"-1,000000\",\"30,308999\",\"One\",\"Band\","
              "\"X\",\"/nonexistent/0000000000000001.mp3\"\r\n"
              "2,\"-8,000000\",\"2000,000000\",\"-5,000000\",\"24,288399\",\"Two\",\"Band\","
              "\"X\",\"/nonexistent/0000000000000002.mp3\"\r\n"
              "3,,,,,\"Three\",\"Band\",\"Zed\",\"/nonexistent/0000000000000003.mp3\"\r\n");

    // An album without any result still gets its line, with empty loudness fields.
    auto fresh = load({track(7).on("Z"), track(8).on("Z").number(2)});
    auto freshGroup = albumGroup(*fresh);
    auto freshLines =
        lines(diagnostics::csvExport(*fresh, diagnostics::exportRows({freshGroup}), 92.0));
    EXPECT_EQ(freshLines.substr(0, freshLines.find("\r\n")), "7:8,,,,,<<<Album>>>,\"Band\",\"Z\",");
}
