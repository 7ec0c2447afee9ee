#include "itunes/iTunesLibrary.h"
#include "foundation/Log.h"
#include "foundation/PropertyList.h"
#include "itunes/LibraryLocation.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

using namespace sonorix;
using sonorix::test::readFile;
using sonorix::test::TempDir;
using sonorix::test::writeFile;

namespace {

DictRef trackEntry(const std::string& persistentId, const std::string& name) {
    DictRef d = makeDict();
    d->set("Persistent ID", makeString(persistentId));
    d->set("Name", makeString(name));
    return d;
}

DictRef libraryRoot(std::vector<std::pair<std::string, DictRef>> entries) {
    DictRef tracks = makeDict();
    for (auto& [key, entry] : entries) {
        tracks->set(key, entry);
    }
    DictRef root = makeDict();
    root->set("Tracks", tracks);
    return root;
}

// Tracks whose "iTunes" answers with scripted locations and counts what it was asked.
struct ScriptedITunes {
    std::vector<std::string> locations; // answers to successive location questions
    int asked = 0;
    int refreshed = 0;
};

class ScriptedTrack final : public iTunesTrack {
public:
    ScriptedTrack(std::weak_ptr<iTunesLibrary> library, LazyDict entry,
                  std::shared_ptr<ScriptedITunes> itunes)
        : iTunesTrack(std::move(library), std::move(entry)), m_itunes(std::move(itunes)) {}
    bool play() override { return false; }
    bool revealInITunes() override { return false; }
    bool revealInExplorer() override { return false; }
    bool updateInfoFromFile() override {
        ++m_itunes->refreshed;
        return true;
    }
    bool getComment(std::u16string&) override { return false; }
    bool setComment(const std::u16string&) override { return false; }
    bool getVolumeAdjustment(int32_t&) override { return false; }
    bool setVolumeAdjustment(int32_t) override { return false; }
    bool getLocationFromITunes(std::string& path) override {
        size_t i = static_cast<size_t>(m_itunes->asked++);
        if (i >= m_itunes->locations.size()) {
            return false;
        }
        path = m_itunes->locations[i];
        return true;
    }

private:
    std::shared_ptr<ScriptedITunes> m_itunes;
};

class ScriptedFactory final : public iTunesTrackFactory {
public:
    explicit ScriptedFactory(std::shared_ptr<ScriptedITunes> itunes)
        : m_itunes(std::move(itunes)) {}
    std::shared_ptr<iTunesTrack> makeTrack(std::weak_ptr<iTunesLibrary> library,
                                           LazyDict entry) const override {
        return std::make_shared<ScriptedTrack>(std::move(library), std::move(entry), m_itunes);
    }

private:
    std::shared_ptr<ScriptedITunes> m_itunes;
};

std::shared_ptr<iTunesLibrary> oneTrackLibrary(const std::string& location,
                                               std::shared_ptr<ScriptedITunes> itunes,
                                               LocationMap map = {}) {
    DictRef entry = trackEntry("AB", "Song");
    entry->set("Location", makeString(location));
    return iTunesLibrary::fromRoot(libraryRoot({{"1", entry}}), std::move(map),
                                   std::make_shared<ScriptedFactory>(std::move(itunes)));
}

} // namespace

TEST(iTunesLibrary, DuplicatePersistentIdKeepsTheEntryWhoseKeySortsFirst) {
    // "100" sorts before "99" by code units, although it is the larger number.
    auto library = iTunesLibrary::fromRoot(libraryRoot({{"99", trackEntry("0A", "ninety-nine")},
                                                        {"100", trackEntry("0a", "one hundred")},
                                                        {"5", trackEntry("1F", "five")}}));
    ASSERT_EQ(library->tracks().size(), 2u);
    EXPECT_EQ(library->track(0xA)->name(), u"one hundred");
    // Iteration follows the persistent id.
    EXPECT_EQ(library->tracks().begin()->first, 0xAu);
    EXPECT_EQ(library->track(0x1F)->persistentIdText(), "1F");
    EXPECT_EQ(library->track(0x99), nullptr);
}

TEST(iTunesLibrary, TracksWithoutUsableEntries) {
    DictRef noId = makeDict();
    noId->set("Name", makeString(u"no id"));
    DictRef root = libraryRoot({{"1", noId}});
    asDict(root->get("Tracks"))->set("2", makeString(u"not a dictionary"));
    auto library = iTunesLibrary::fromRoot(root);
    ASSERT_EQ(library->tracks().size(), 1u);
    auto track = library->track(0);
    ASSERT_TRUE(track);
    EXPECT_FALSE(track->hasPersistentId());
    EXPECT_TRUE(library->track(0)->library() == library);

    auto empty = iTunesLibrary::fromRoot(makeDict()); // no "Tracks"
    EXPECT_TRUE(empty->tracks().empty());
    EXPECT_EQ(empty->applicationVersion(), 0u);
    EXPECT_EQ(empty->libraryPersistentId(), 0u);
}

TEST(iTunesLibrary, ApplicationVersionPacking) {
    EXPECT_EQ(packApplicationVersion(u"6.0.4"), 0x60004u);
    EXPECT_EQ(packApplicationVersion(u"6.0.3"), 0x60003u);
    EXPECT_EQ(packApplicationVersion(u"abc.1"), 0x100u);
    EXPECT_EQ(packApplicationVersion(u"9.2.1.5"), 0x90201u);
    EXPECT_EQ(packApplicationVersion(u"10"), 0xA0000u);
    EXPECT_EQ(packApplicationVersion(u"12.9.5.5"), 0xC0905u);
    EXPECT_EQ(packApplicationVersion(u"1.300.2"), 0x12C02u); // each part keeps its low 8 bits
    EXPECT_EQ(packApplicationVersion(u""), 0u);
    EXPECT_EQ(packApplicationVersion(u"8.0"), 0x80000u);
    DictRef root = makeDict();
    root->set("Application Version", makeString(u"8.0.1"));
    root->set("Library Persistent ID", makeString(u"00C0FFEE12345678"));
    auto library = iTunesLibrary::fromRoot(root);
    EXPECT_EQ(library->applicationVersion(), 0x80001u);
    EXPECT_EQ(hexIdText(library->libraryPersistentId()), "C0FFEE12345678");
}

TEST(iTunesLibrary, LoadFromFileLogsAndFailsCleanly) {
    TempDir dir;
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    std::string path = dir.file("library.xml");
    DictRef root = libraryRoot({{"1", trackEntry("ABC", "x")}});
    ASSERT_TRUE(savePropertyList(*root, path));
    auto library = iTunesLibrary::load(path);
    EXPECT_EQ(library->tracks().size(), 1u);
    writeFile(dir.file("bad.xml"), "<plist><array/></plist>");
    EXPECT_THROW(iTunesLibrary::load(dir.file("bad.xml")),
                 iTunesLibrary::CantLoadiTunesXMLException);
    EXPECT_THROW(iTunesLibrary::load(dir.file("missing.xml")),
                 iTunesLibrary::CantLoadiTunesXMLException);
    closeLog();
    std::string log = readFile(dir.file("Sonorix.log"));
    EXPECT_NE(log.find("Loading iTunes Library from >>" + path + "<< ..."), std::string::npos);
    EXPECT_NE(log.find("... loading iTunes Library finished."), std::string::npos);
}

TEST(iTunesTrack, CachedFieldsAreReadOnceOthersEachTime) {
    DictRef entry = trackEntry("1", "First");
    entry->set("Composer", makeString(u"C1"));
    entry->set("Disc Number", makeInt32(2));
    entry->set("Compilation", makeBool(true));
    auto library = iTunesLibrary::fromRoot(libraryRoot({{"1", entry}}));
    auto track = library->track(1);
    EXPECT_EQ(track->name(), u"First");
    EXPECT_EQ(track->composer(), u"C1");
    EXPECT_EQ(track->discNumber(), 2);
    EXPECT_TRUE(track->compilation());
    EXPECT_EQ(track->trackNumber(), 0); // absent: the default
    entry->set("Name", makeString(u"Changed"));
    entry->set("Composer", makeString(u"C2"));
    entry->set("Track Number", makeInt32(9));
    EXPECT_EQ(track->name(), u"First");  // cached
    EXPECT_EQ(track->trackNumber(), 0);  // cached as absent
    EXPECT_EQ(track->composer(), u"C2"); // read each time
}

TEST(iTunesTrack, CachesFillOnceUnderConcurrentReaders) {
    auto library = iTunesLibrary::fromRoot(libraryRoot({{"1", trackEntry("7", "Parallel")}}));
    auto track = library->track(7);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                if (track->name() != u"Parallel" || track->filePath(false, false, false) != "") {
                    ++wrong;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(iTunesTrack, MatchesFilterIgnoringCase) {
    DictRef entry = trackEntry("1", "Song");
    entry->set("Album Artist", makeString(u"Blue Moon Orchestra"));
    entry->set("Composer", makeString(u"\u00c4rger Kl\u00e4nge"));
    auto track = iTunesLibrary::fromRoot(libraryRoot({{"1", entry}}))->track(1);
    EXPECT_TRUE(track->matchesFilter(u"MOON"));
    EXPECT_TRUE(track->matchesFilter(u"song"));
    EXPECT_TRUE(track->matchesFilter(u"\u00e4rger")); // non-ASCII case folding too
    EXPECT_TRUE(track->matchesFilter(u""));
    EXPECT_FALSE(track->matchesFilter(u"sun"));
}

// The fields are searched as one lower-cased text: a match must not run from one field into the
// next, and a search that holds what separates them finds nothing.
TEST(iTunesTrack, FilterMatchesStayInsideOneField) {
    DictRef entry = trackEntry("1", "Blue");
    entry->set("Artist", makeString(u"Moon"));
    entry->set("Album", makeString(u"Night"));
    auto track = iTunesLibrary::fromRoot(libraryRoot({{"1", entry}}))->track(1);
    EXPECT_TRUE(track->matchesFilter(u"BLUE"));
    EXPECT_TRUE(track->matchesFilter(u"moon"));
    EXPECT_FALSE(track->matchesFilter(u"bluemoon"));
    EXPECT_FALSE(track->matchesFilter(u"moonnight"));
    EXPECT_FALSE(track->matchesFilter(std::u16string(u"blue\0moon", 9)));
    EXPECT_FALSE(track->matchesFilter(std::u16string(1, u'\0')));
    EXPECT_TRUE(track->matchesFilter(u"NIGHT")); // the same answers once the text is kept
}

TEST(LibraryLocation, ThisPlatformsForm) {
    EXPECT_EQ(pathFromLocation("file://localhost/C:/Music/A%20B/x.mp3"), "C:/Music/A B/x.mp3");
    EXPECT_EQ(pathFromLocation("file:///Users/Ann/Music/Caf%C3%A4.mp3"),
              "/Users/Ann/Music/Caf\xc3\xa4.mp3");
    EXPECT_EQ(pathFromLocation("file://localhost//server/share/x.mp3"), "//server/share/x.mp3");
    EXPECT_EQ(pathFromLocation("file:///home/ann/a/b/../c/x.mp3"), "/home/ann/a/c/x.mp3");
    EXPECT_EQ(pathFromLocation("file:///a/../../x.mp3"), "/../x.mp3"); // nothing left to collapse
    EXPECT_EQ(pathFromLocation("file:///home/%2e%2e/x"), "/x"); // decoded first, then collapsed
    EXPECT_EQ(pathFromLocation("/plain/path%zz%4"), "/plain/path%zz%4"); // not a percent code
    // "%00" would cut the path at the first system call.
    EXPECT_EQ(pathFromLocation("file:///music/x.mp3%00.txt"), "/music/x.mp3%00.txt");
    EXPECT_EQ(pathFromLocation("file:///Music/x%2Fy"), "/Music/x/y");
    EXPECT_EQ(pathFromLocation(""), "");
}

TEST(LibraryLocation, FirstMatchingPrefixIsReplaced) {
    LocationMap map = {{"C:/Users/ann/Music/", "/mnt/win/Music/"},
                       {"C:/", "/mnt/c/"},
                       {"/Users/ann/", "/home/ann/"}};
    EXPECT_EQ(pathFromLocation("file://localhost/C:/Users/ann/Music/iTunes/a.mp3", map),
              "/mnt/win/Music/iTunes/a.mp3");
    EXPECT_EQ(pathFromLocation("file://localhost/C:/Other/a.mp3", map), "/mnt/c/Other/a.mp3");
    EXPECT_EQ(pathFromLocation("file:///Users/ann/Music/a.mp3", map), "/home/ann/Music/a.mp3");
    // The drive letter matches in either case, the rest byte for byte; an unmapped drive path
    // stays as it is.
    EXPECT_EQ(pathFromLocation("file://localhost/c:/users/ann/a.mp3", map),
              "/mnt/c/users/ann/a.mp3");
    EXPECT_EQ(pathFromLocation("file://localhost/D:/a.mp3", map), "D:/a.mp3");
    // Collapsing happens before mapping.
    EXPECT_EQ(pathFromLocation("file://localhost/C:/X/../Users/ann/Music/a.mp3", map),
              "/mnt/win/Music/a.mp3");
}

TEST(LibraryLocation, WindowsPrefixesInEitherCaseAndWithBackslashes) {
    const std::string location = "file://localhost/G:/Music/iTunes/a.mp3";
    const std::pair<std::string, std::string> maps[] = {{"G:/Music/", "/srv/"},
                                                        {"g:/Music/", "/srv/"},
                                                        {"G:\\Music\\", "/srv/"},
                                                        {"g:\\Music", "/srv"}};
    for (const auto& [from, to] : maps) {
        EXPECT_EQ(pathFromLocation(location, {{from, to}}), "/srv/iTunes/a.mp3") << from;
    }
    // A library that wrote the drive letter in lower case.
    EXPECT_EQ(pathFromLocation("file://localhost/g:/Music/a.mp3", {{"G:/Music/", "/srv/"}}),
              "/srv/a.mp3");
    // Only the drive letter ignores case, and only where both name a drive.
    EXPECT_FALSE(locationPrefixMatches("G:/music/a.mp3", "G:/Music/"));
    EXPECT_FALSE(locationPrefixMatches("/users/ann/a.mp3", "/Users/ann/"));
    EXPECT_FALSE(locationPrefixMatches("G:/Music", "G:/Music/"));
    EXPECT_FALSE(locationPrefixMatches("G:/Music/a.mp3", ""));
    EXPECT_TRUE(locationPrefixMatches("/Users/ann/a.mp3", "\\Users\\ann\\"));
}

// Mac libraries keep names decomposed (NFD); a copy on Linux usually has them composed (NFC), and
// a user may have copied them either way.
TEST(LibraryLocation, MappedPathIsFoundInTheOtherNormalizationForm) {
    TempDir dir;
    const std::string composed = "Caf\xC3\xA9 Bras\xC3\xADlia.mp3";     // é, í as one code point
    const std::string decomposed = "Cafe\xCC\x81 Brasi\xCC\x81lia.mp3"; // e, i + combining acute
    const std::string composedURL = "Caf%C3%A9%20Bras%C3%ADlia.mp3";
    const std::string decomposedURL = "Cafe%CC%81%20Brasi%CC%81lia.mp3";
    const LocationMap map = {{"/Users/ann/Music/", dir.path() + "/"}};
    writeFile(dir.file(composed), "nfc");

    auto itunes = std::make_shared<ScriptedITunes>();
    auto library = oneTrackLibrary("file:///Users/ann/Music/" + decomposedURL, itunes, map);
    auto track = library->track(0xAB);
    EXPECT_EQ(track->filePath(false, false, false), dir.file(decomposed)); // untested: as stored
    EXPECT_EQ(track->filePath(true, false, false), dir.file(composed));
    EXPECT_EQ(track->filePath(false, false, false), dir.file(composed)); // now cached
    EXPECT_EQ(library->trackForPath(dir.file(composed)), track);

    // A file named on handing over in the other form still finds its track.
    auto fresh = oneTrackLibrary("file:///Users/ann/Music/" + decomposedURL, itunes, map);
    EXPECT_EQ(fresh->trackForPath(dir.file(composed)), fresh->track(0xAB));
    EXPECT_EQ(fresh->trackForPath(dir.file("Cafe Brasilia.mp3")), nullptr);

    // The other way round: the library composed, the file decomposed.
    TempDir other;
    writeFile(other.file(decomposed), "nfd");
    auto reverse = oneTrackLibrary("file:///Users/ann/Music/" + composedURL, itunes,
                                   {{"/Users/ann/Music/", other.path() + "/"}});
    EXPECT_EQ(reverse->track(0xAB)->filePath(true, false, false), other.file(decomposed));

    // Neither form there: the path stays as the library has it. Bytes that are not UTF-8 are
    // never turned into a made-up name.
    TempDir empty;
    auto missing = oneTrackLibrary("file:///Users/ann/Music/" + decomposedURL, itunes,
                                   {{"/Users/ann/Music/", empty.path() + "/"}});
    EXPECT_EQ(missing->track(0xAB)->filePath(true, false, false), empty.file(decomposed));
    EXPECT_EQ(otherNormalizationThatExists(dir.path() + "/Caf\xE9.mp3"), "");
    EXPECT_TRUE(sameNormalizedPath(dir.file(composed), dir.file(decomposed)));
    EXPECT_FALSE(sameNormalizedPath("/a\xE9", "/a\xE8"));
}

TEST(LibraryLocation, MissingFoldersHoldOnlyFoldersGoneInEveryForm) {
    TempDir dir;
    const std::string composed = "Caf\xC3\xA9";    // NFC
    const std::string decomposed = "Cafe\xCC\x81"; // NFD
    ASSERT_EQ(::mkdir(dir.file("here").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file(decomposed).c_str(), 0755), 0);
    writeFile(dir.file(decomposed + "/a.mp3"), "x");
    MissingFolders missing;
    // A file missing from a folder that is there says nothing about its neighbours.
    missing.noteMissingFile(dir.file("here/gone.mp3"));
    EXPECT_FALSE(missing.holdFolderOf(dir.file("here/other.mp3")));
    // A folder there only in the other form is there.
    missing.noteMissingFile(dir.file(composed + "/gone.mp3"));
    EXPECT_FALSE(missing.holdFolderOf(dir.file(composed + "/a.mp3")));
    // A folder gone in both forms holds every file in it, and nothing beside or above it.
    missing.noteMissingFile(dir.file("gone/" + composed + "/1.mp3"));
    EXPECT_TRUE(missing.holdFolderOf(dir.file("gone/" + composed + "/2.mp3")));
    EXPECT_FALSE(missing.holdFolderOf(dir.file("gone/" + composed + "x/2.mp3")));
    EXPECT_FALSE(missing.holdFolderOf(dir.file("gone/2.mp3")));
    // Paths without a folder to look for.
    missing.noteMissingFile("relative.mp3");
    missing.noteMissingFile("/top.mp3");
    EXPECT_FALSE(missing.holdFolderOf("relative2.mp3"));
    EXPECT_FALSE(missing.holdFolderOf("/top2.mp3"));
}

TEST(iTunesTrack, FilePathSwitches) {
    TempDir dir;
    ASSERT_TRUE(openLog(dir.file("Sonorix.log")));
    writeFile(dir.file("moved.mp3"), "x");
    auto itunes = std::make_shared<ScriptedITunes>();
    itunes->locations = {dir.file("gone-too.mp3"), dir.file("moved.mp3")};
    auto library = oneTrackLibrary("file://" + dir.file("gone.mp3"), itunes);
    auto track = library->track(0xAB);

    // Without any switch the converted path is returned (and cached) untested.
    EXPECT_EQ(track->filePath(false, false, false), dir.file("gone.mp3"));
    // Tested, but iTunes not asked: missing, logged.
    EXPECT_EQ(track->filePath(true, false, true), dir.file("gone.mp3"));
    EXPECT_EQ(itunes->asked, 0);
    // Asked: the first answer does not exist either, so iTunes re-reads and answers again.
    EXPECT_EQ(track->filePath(true, true, true), dir.file("moved.mp3"));
    EXPECT_EQ(itunes->asked, 2);
    EXPECT_EQ(itunes->refreshed, 1);
    // The location from iTunes is now the cached path.
    EXPECT_EQ(track->filePath(true, false, false), dir.file("moved.mp3"));
    EXPECT_EQ(library->trackForPath(dir.file("moved.mp3")), track);
    closeLog();
    std::string log = readFile(dir.file("Sonorix.log"));
    EXPECT_NE(log.find("Sonorix: Could not find song file at expected file path >>" +
                       dir.file("gone.mp3") + "<<"),
              std::string::npos)
        << log;
}

TEST(iTunesTrack, MissingFileIsNotCachedAndDefaultTracksCannotAsk) {
    TempDir dir;
    auto itunes = std::make_shared<ScriptedITunes>();
    auto library =
        oneTrackLibrary("file:///C:/Music/x.mp3", itunes, {{"C:/Music/", dir.path() + "/"}});
    auto track = library->track(0xAB);
    EXPECT_EQ(track->filePath(true, true, false), dir.file("x.mp3"));
    EXPECT_EQ(itunes->asked, 1); // asked, had nothing
    writeFile(dir.file("x.mp3"), "now it exists");
    EXPECT_EQ(track->filePath(true, true, false), dir.file("x.mp3"));
    EXPECT_EQ(itunes->asked, 1);

    // The default tracks report failure for every platform operation.
    DictRef entry = trackEntry("1", "x");
    auto plain = iTunesLibrary::fromRoot(libraryRoot({{"1", entry}}))->track(1);
    std::string where;
    std::u16string comment;
    int32_t adjustment = 0;
    EXPECT_FALSE(plain->getLocationFromITunes(where));
    EXPECT_FALSE(plain->getComment(comment));
    EXPECT_FALSE(plain->setVolumeAdjustment(1));
    EXPECT_FALSE(plain->getVolumeAdjustment(adjustment));
    EXPECT_FALSE(plain->play());
    EXPECT_EQ(plain->filePath(true, true, false), ""); // no location at all
}

TEST(iTunesLibrary, TrackForPathComparesConvertedPathsExactly) {
    DictRef a = trackEntry("2", "a");
    a->set("Location", makeString(u"file:///Music/Caf%C3%A9.mp3"));
    DictRef b = trackEntry("1", "b");
    b->set("Location", makeString(u"file:///Music/caf%C3%A9.mp3"));
    auto library = iTunesLibrary::fromRoot(libraryRoot({{"1", a}, {"2", b}}));
    EXPECT_EQ(library->trackForPath("/Music/Caf\xc3\xa9.mp3")->persistentId(), 2u);
    EXPECT_EQ(library->trackForPath("/Music/caf\xc3\xa9.mp3")->persistentId(), 1u);
    EXPECT_EQ(library->trackForPath("/music/CAF\xc3\x89.mp3"), nullptr);
    EXPECT_EQ(library->trackForPath(""), nullptr);
}
