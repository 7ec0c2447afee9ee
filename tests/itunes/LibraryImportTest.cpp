// The library import from a file against the library built from the whole-document reader's
// root: the same tracks in the same order, every field the same, the same root and playlists.
#include "foundation/PropertyList.h"
#include "foundation/Text.h"
#include "itunes/iTunesLibrary.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>

using namespace sonorix;
using sonorix::test::TempDir;
using sonorix::test::writeFile;

namespace {

std::string dateText(const std::shared_ptr<DateTimePoint>& point) {
    return point ? point->format(kIsoDatePattern) : "(none)";
}

// Every field a track answers, as one text.
std::string fieldsOf(iTunesTrack& t) {
    auto u8 = [](const std::u16string& text) {
        try {
            return toUtf8(text);
        } catch (const std::exception&) {
            return std::string("(undecodable)");
        }
    };
    std::string out;
    auto add = [&out](const std::string& name, const std::string& value) {
        out += name + "=" + value + "\n";
    };
    add("id", t.persistentIdText());
    add("hasId", std::to_string(t.hasPersistentId()));
    add("name", u8(t.name()));
    add("artist", u8(t.artist()));
    add("albumArtist", u8(t.albumArtist()));
    add("album", u8(t.album()));
    add("grouping", u8(t.grouping()));
    add("comments", u8(t.comments()));
    add("composer", u8(t.composer()));
    add("genre", u8(t.genre()));
    add("location", u8(t.location()));
    add("kind", u8(t.kind()));
    add("trackType", u8(t.trackType()));
    add("compilation", std::to_string(t.compilation()));
    add("gapless", std::to_string(t.gapless()));
    add("disc", std::to_string(t.discNumber()) + "/" + std::to_string(t.discCount()));
    add("track", std::to_string(t.trackNumber()) + "/" + std::to_string(t.trackCount()));
    add("trackId", std::to_string(t.trackId()));
    add("year", std::to_string(t.year()));
    add("time", std::to_string(t.totalTime()));
    add("rate", std::to_string(t.sampleRate()) + " " + std::to_string(t.bitRate()));
    add("flags", std::to_string(t.hasVideo()) + std::to_string(t.podcast()) +
                     std::to_string(t.movie()) + std::to_string(t.isProtected()) +
                     std::to_string(t.unplayed()) + std::to_string(t.isExplicit()) +
                     std::to_string(t.disabled()));
    add("counts", std::to_string(t.playCount()) + " " + std::to_string(t.skipCount()) + " " +
                      std::to_string(t.rating()));
    add("dates", dateText(t.dateModified()) + " " + dateText(t.dateAdded()) + " " +
                     dateText(t.playDateUTC()));
    add("exclusion", std::to_string(static_cast<int>(t.exclusion())));
    add("path", t.filePath(false, false, false));
    return out;
}

// A library with every kind of odd entry, from a fixed seed. CDATA anywhere sends the whole
// document to the parser.
std::string oddLibrary(unsigned seed, int count, bool cdata = false) {
    std::mt19937 rng(seed);
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const std::vector<std::string> names = {"Plain",
                                            "Caf\xC3\xA9 \xE6\x9D\xB1\xE4\xBA\xAC",
                                            "Tom &amp; Jerry",
                                            "   ",
                                            "",
                                            std::string(70000, 'L'),
                                            "\xC3",
                                            "a > b",
                                            cdata ? "<![CDATA[x<y]]>" : "a\tb"};
    const std::vector<std::string> keys = {"Name",     "Artist",   "Album Artist", "Album",
                                           "Grouping", "Comments", "Composer",     "Genre",
                                           "Kind",     "Location", "Track Type"};
    const std::vector<std::string> numbers = {
        "Track Number", "Disc Number", "Disc Count", "Track Count", "Year",   "Total Time",
        "Sample Rate",  "Bit Rate",    "Play Count", "Skip Count",  "Rating", "Track ID"};
    const std::vector<std::string> flags = {"Compilation", "Part Of Gapless Album",
                                            "Has Video",   "Podcast",
                                            "Movie",       "Protected",
                                            "Unplayed",    "Explicit",
                                            "Disabled"};
    auto value = [&]() -> std::string {
        switch (pick(12)) {
        case 0:
            return "<integer>" + std::to_string(static_cast<int>(rng() % 200000) - 100) +
                   "</integer>";
        case 1:
            return "<integer>x12</integer>";
        case 2:
            return "<true/>";
        case 3:
            return "<false/>";
        case 4:
            return "<date>20" + std::to_string(10 + pick(15)) + "-0" + std::to_string(1 + pick(9)) +
                   "-11T10:00:00Z</date>";
        case 5:
            return "<date>bad</date>";
        case 6:
            return "<real>" + std::to_string(pick(1000) / 7.0) + "</real>";
        case 7:
            return "<data>AAEC</data>";
        case 8:
            return "<unknown>1</unknown>";
        default:
            return "<string>" + names[static_cast<size_t>(pick(static_cast<int>(names.size())))] +
                   "</string>";
        }
    };
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                       "<dict>\n\t<key>Application Version</key><string>12.9.5.5</string>\n"
                       "\t<key>Library Persistent ID</key><string>8E2F4C6A1B3D5F70</string>\n"
                       "\t<key>Tracks</key>\n\t<dict>\n";
    for (int i = 0; i < count; ++i) {
        text += "\t\t<key>" + std::to_string(1000 + i) + "</key>\n";
        if (pick(25) == 0) {
            text += "\t\t<string>not a track</string>\n";
            continue;
        }
        text += "\t\t<dict>\n\t\t\t<key>Track ID</key><integer>" + std::to_string(1000 + i) +
                "</integer>\n";
        if (pick(10) != 0) {
            // Some ids repeat, so that of two tracks with one id the first stays.
            char id[32];
            std::snprintf(id, sizeof id, "%016X", 0x1000 + pick(count));
            text += "\t\t\t<key>Persistent ID</key><string>" + std::string(id) + "</string>\n";
        }
        for (const auto* list : {&keys, &numbers, &flags}) {
            for (const auto& key : *list) {
                int roll = pick(6);
                if (roll == 0) {
                    continue; // missing
                }
                std::string v;
                if (list == &keys) {
                    v = roll == 1
                            ? value()
                            : "<string>" + key + " " + std::to_string(i) + " \xC3\xA4</string>";
                } else if (list == &numbers) {
                    v = roll == 1 ? value()
                                  : "<integer>" + std::to_string(pick(400)) + "</integer>";
                } else {
                    v = roll == 1 ? value() : roll == 2 ? "<true/>" : "<false/>";
                }
                text += "\t\t\t<key>" + key + "</key>" + v + "\n";
                if (pick(8) == 0) {
                    text += "\t\t\t<key>" + key + "</key>" + value() + "\n"; // a duplicate
                }
            }
        }
        text += "\t\t\t<key>Date Modified</key>" + value() + "\n";
        if (pick(40) == 0) {
            text += "\t\t\t<key>\xFF</key><true/>\n"; // the whole entry is dropped
        }
        if (pick(40) == 0) {
            text += "\t\t\t<key>Sub</key><array><integer>1</integer></array>\n";
        }
        text += "\t\t</dict>\n";
    }
    text += "\t</dict>\n\t<key>Playlists</key>\n\t<array>\n\t\t<dict><key>Name</key><string>"
            "Library</string><key>Master</key><true/><key>Playlist Items</key><array>";
    for (int i = 0; i < count; i += 3) {
        text +=
            "<dict><key>Track ID</key><integer>" + std::to_string(1000 + i) + "</integer></dict>";
    }
    text += "</array></dict>\n\t</array>\n</dict>\n</plist>\n";
    return text;
}

void expectSameLibrary(const std::string& path) {
    auto lazy = iTunesLibrary::load(path);
    std::string text = test::readFile(path);
    DictRef whole = detail::readPropertyListWhole(text.data(), text.size());
    ASSERT_TRUE(whole);
    auto built = iTunesLibrary::fromRoot(whole);
    ASSERT_EQ(lazy->tracks().size(), built->tracks().size());
    auto a = lazy->tracks().begin();
    for (auto b = built->tracks().begin(); b != built->tracks().end(); ++a, ++b) {
        ASSERT_EQ(a->first, b->first);
        EXPECT_EQ(fieldsOf(*a->second), fieldsOf(*b->second));
        EXPECT_EQ(a->second->entry().toDict()->toXMLDocument(),
                  b->second->entry().toDict()->toXMLDocument());
        EXPECT_EQ(a->second->entry().getInt32(u"Volume Adjustment", 3),
                  b->second->entry().getInt32(u"Volume Adjustment", 3));
    }
    // The root as read whole, less the tracks, which the tracks now hold.
    whole->remove(std::string_view("Tracks"));
    EXPECT_EQ(lazy->root()->toXMLDocument(), whole->toXMLDocument());
    EXPECT_EQ(lazy->applicationVersion(), built->applicationVersion());
    EXPECT_EQ(lazy->libraryPersistentId(), built->libraryPersistentId());
}

} // namespace

TEST(LibraryImport, GeneratedLibrariesWithOddEntriesImportAsTheWholeReaderReadsThem) {
    TempDir dir;
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        std::string path = dir.file("library-" + std::to_string(seed) + ".xml");
        writeFile(path, oddLibrary(seed, 300, seed == 4));
        expectSameLibrary(path);
    }
}

TEST(LibraryImport, PlainEntriesStayInTheFileAndOddOnesAreBuilt) {
    TempDir dir;
    std::string path = dir.file("library.xml");
    writeFile(path, oddLibrary(7, 200));
    auto library = iTunesLibrary::load(path);
    size_t inPlace = 0;
    for (const auto& [id, track] : library->tracks()) {
        inPlace += track->entry().inPlace() ? 1 : 0;
    }
    // Most entries are plain; those with references, CDATA or arrays are not.
    EXPECT_GT(inPlace, library->tracks().size() / 4);
    EXPECT_LT(inPlace, library->tracks().size());
    EXPECT_FALSE(library->root()->get("Tracks"));
    EXPECT_TRUE(library->root()->get("Playlists"));
}
