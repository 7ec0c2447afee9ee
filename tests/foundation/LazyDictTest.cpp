#include "foundation/PropertyList.h"
#include "foundation/Text.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

using namespace sonorix;
using sonorix::test::TempDir;
using sonorix::test::writeFile;

namespace {

const std::string kOpen = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<plist version=\"1.0\">\n<dict>\n"
                          "\t<key>Application Version</key><string>12.9.5.5</string>\n"
                          "\t<key>Tracks</key>\n\t<dict>\n";
const std::string kClose = "\t</dict>\n\t<key>Playlists</key><array><dict><key>Name</key>"
                           "<string>Library</string></dict></array>\n</dict>\n</plist>\n";

std::string entry(const std::string& id, const std::string& pairs) {
    return "\t\t<key>" + id + "</key>\n\t\t<dict>\n" + pairs + "\t\t</dict>\n";
}

std::string xmlOf(const ValueRef& value) {
    if (!value) {
        return "(none)";
    }
    DictRef holder = makeDict();
    holder->set("v", value);
    return holder->toXMLDocument();
}

// Reads the document both ways and checks that every entry, every field and every typed getter
// agrees with the whole-document reader. Returns the entries for further checks.
LazyDicts compareWithWhole(const std::string& text, const std::vector<std::u16string>& probes) {
    LazyDicts entries;
    DictRef lazyRoot = readPropertyListLazily(text.data(), text.size(), u"Tracks", entries);
    DictRef whole = detail::readPropertyListWhole(text.data(), text.size());
    EXPECT_EQ(!lazyRoot, !whole) << text;
    if (!whole || !lazyRoot) {
        return entries;
    }
    DictRef wholeTracks = asDict(whole->get("Tracks"));
    whole->remove(std::string_view("Tracks"));
    EXPECT_EQ(lazyRoot->toXMLDocument(), whole->toXMLDocument());
    if (!wholeTracks) {
        EXPECT_TRUE(entries.empty());
        return entries;
    }
    std::set<std::u16string> lazyKeys;
    for (const auto& [key, lazy] : entries) {
        lazyKeys.insert(key);
    }
    std::set<std::u16string> wholeKeys;
    for (const auto& [key, value] : wholeTracks->items()) {
        wholeKeys.insert(key);
    }
    EXPECT_EQ(lazyKeys, wholeKeys);
    for (const auto& [key, value] : wholeTracks->items()) {
        auto found = entries.find(key);
        if (found == entries.end()) {
            continue;
        }
        const LazyDict& lazy = found->second;
        DictRef dict = asDict(value);
        EXPECT_EQ(static_cast<bool>(lazy), static_cast<bool>(dict));
        if (!dict || !lazy) {
            continue;
        }
        EXPECT_EQ(lazy.toDict()->toXMLDocument(), dict->toXMLDocument());
        std::vector<std::u16string> keys = probes;
        for (const auto& [field, v] : dict->items()) {
            keys.push_back(field);
        }
        for (const auto& field : keys) {
            SCOPED_TRACE(std::string(field.begin(), field.end()));
            EXPECT_EQ(xmlOf(lazy.get(field)), xmlOf(dict->get(field)));
            EXPECT_EQ(lazy.getString(field), dict->getString(field));
            EXPECT_EQ(lazy.hasText(field), !dict->getString(field).empty());
            std::string utf8 = "(throws)";
            try {
                utf8 = toUtf8(dict->getString(field));
            } catch (const std::exception&) {
            }
            try {
                EXPECT_EQ(lazy.getUtf8String(field), utf8);
            } catch (const std::exception&) {
                EXPECT_EQ(utf8, "(throws)");
            }
            EXPECT_EQ(lazy.getInt16(field, 7), dict->getInt16(field, 7));
            EXPECT_EQ(lazy.getInt32(field, 7), dict->getInt32(field, 7));
            EXPECT_EQ(lazy.getInt64(field), dict->getInt64(field));
            EXPECT_EQ(lazy.getBool(field, true), dict->getBool(field, true));
            EXPECT_EQ(lazy.getDouble(field), dict->getDouble(field));
            EXPECT_EQ(lazy.getHexId(field), dict->getHexId(field));
            auto a = lazy.getDate(field);
            auto b = dict->getDate(field);
            EXPECT_EQ(static_cast<bool>(a), static_cast<bool>(b));
            if (a && b) {
                EXPECT_EQ(*a, *b);
            }
        }
    }
    return entries;
}

const std::vector<std::u16string> kProbes = {u"Name", u"Persistent ID", u"Track Number", u"Absent",
                                             u"",     u"K\u00e4se"};

} // namespace

TEST(LazyDict, OddEntriesReadAsTheWholeDocumentReaderReadsThem) {
    const std::string plain = "<key>Name</key><string>Plain</string>"
                              "<key>Persistent ID</key><string>00AB</string>"
                              "<key>Track Number</key><integer>3</integer>";
    const std::string longText(300000, 'x');
    std::vector<std::string> bodies = {
        entry("1", plain),
        // Missing keys, an empty entry, a self-closing one.
        entry("2", "<key>Name</key><string>only a name</string>") + entry("3", "") +
            "<key>4</key><dict/>",
        // Wrong types for every getter.
        entry("5", "<key>Name</key><integer>12</integer><key>Track Number</key>"
                   "<string>7</string><key>Persistent ID</key><integer>255</integer>"
                   "<key>Date Added</key><string>2020-01-01T00:00:00Z</string>"
                   "<key>Compilation</key><string>1</string><key>Rating</key><real>2.5</real>"
                   "<key>Play Count</key><string> 4</string><key>Big</key>"
                   "<integer>99999999999</integer><key>Neg</key><integer>-3</integer>"),
        // Duplicates: the later counts unless it cannot be built.
        entry("6", "<key>Name</key><string>first</string><key>Name</key><string>second</string>"
                   "<key>Track Number</key><integer>1</integer><key>Track Number</key>"
                   "<unknown>2</unknown><key>Date Added</key><date>2020-01-01T00:00:00Z</date>"
                   "<key>Date Added</key><date>not a date</date><key>Persistent ID</key>"
                   "<string>AA</string><key>Persistent ID</key><string>\xC3</string>"
                   "<key>Blob</key><data>AAEC</data><key>Blob</key><data>====</data>"),
        // Non-ASCII keys and values, blanks, self-closing values, loose closing tags.
        entry("7",
              "<key>K\xC3\xA4se</key><string>\xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x8E\xB5</string>"
              "<key>Name</key><string>   </string><key>Persistent ID</key><string> 1F "
              "</string><key>True</key><true/><key>False</key><false /><key>Empty</key>"
              "<string/><key>Track Number</key><integer>5</integer  ><key>Loose</key>"
              "<string>a</strin>\n\t\t\t<key>Tab</key>\t<string>\ta\tb\t</string>"
              "<key>Gt</key><string>a > b ]]> c</string>"),
        // Very long strings.
        entry("8", "<key>Name</key><string>" + longText + "</string><key>" + longText +
                       "</key><integer>8</integer>"),
        // Layouts the index leaves to the parser: references, CDATA, nested containers,
        // attributes, an undecodable key (the entry is dropped), a container as a value.
        entry("9", "<key>Name</key><string>Tom &amp; Jerry &#x263A;</string>"),
        entry("10", "<key>Name</key><string><![CDATA[<x>]]></string>"),
        entry("11", "<key>Name</key><string>n</string><key>List</key><array><integer>1</integer>"
                    "</array><key>Sub</key><dict><key>a</key><true/></dict>"),
        entry("12", "<key>Name</key><string kind=\"x\">attr</string>"),
        entry("13", "<key>Name</key><string>n</string><key>\xFF</key><true/>"),
        entry("14", "<key>Name</key><string>n</string><key>Empty</key><dict/>"),
        entry("15", "<key>Name</key><string>n</string><key>Dangling</key>"),
        entry("16", "<key>Name</key><string>\xC3 undecodable value</string><key>Track Number"
                    "</key><integer>4</integer>"),
        entry("17", "<key>Name</key><string>\xC3</string><key>Name</key><string>x</string>"),
        // Children of Tracks that are not dictionaries, and a duplicate track key.
        "<key>18</key><string>not a dictionary</string>",
        entry("19", plain) + "<key>19</key><integer>19</integer>",
        entry("20", "<key>Name</key><string>first</string>") +
            entry("20", "<key>Name</key><string>second</string>"),
        entry("21", plain) + "<key>21</key><unknown/>",
        // An undecodable key before any key was known, then entries that are fine.
        entry("22", "<key>\xFF</key><true/>") + entry("23", plain) + entry("24", plain),
    };
    for (const auto& body : bodies) {
        SCOPED_TRACE(body.substr(0, 200));
        compareWithWhole(kOpen + body + kClose, kProbes);
    }
    // All at once (CDATA aside, which sends the whole document to the parser), and a tracks key
    // that cannot be decoded drops Tracks as a whole.
    std::string all;
    for (const auto& body : bodies) {
        if (body.find("CDATA") == std::string::npos) {
            all += body;
        }
    }
    LazyDicts entries = compareWithWhole(kOpen + all + kClose, kProbes);
    EXPECT_EQ(entries.size(), 21u);
    EXPECT_TRUE(entries.at(u"1").inPlace());
    EXPECT_TRUE(entries.at(u"8").inPlace());
    EXPECT_FALSE(entries.at(u"9").inPlace());
    EXPECT_FALSE(entries.count(u"13")); // its key did not decode: dropped
    EXPECT_FALSE(entries.at(u"18"));    // not a dictionary
    EXPECT_FALSE(entries.at(u"19"));    // the later, not a dictionary, replaced it
    EXPECT_EQ(entries.at(u"20").getString(u"Name"), u"second");
    EXPECT_TRUE(entries.at(u"21").inPlace()); // an unknown element is no value
    EXPECT_TRUE(compareWithWhole(kOpen + all + "<key>\xFF</key><dict/>" + kClose, {}).empty());
}

TEST(LazyDict, TheRootKeepsEverythingButTheLazyEntries) {
    // Tracks twice: the later wins, as in the root built whole; Tracks not a dictionary.
    compareWithWhole(kOpen + entry("1", "<key>Name</key><string>a</string>") +
                         "</dict><key>Tracks</key><dict>" +
                         entry("2", "<key>Name</key><string>b</string>") + kClose,
                     kProbes);
    LazyDicts entries;
    std::string text = kOpen + "</dict><key>Tracks</key><string>x</string></dict></plist>";
    DictRef root = readPropertyListLazily(text.data(), text.size(), u"Tracks", entries);
    ASSERT_TRUE(root);
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(root->get("Tracks"));
    EXPECT_EQ(root->getString("Application Version"), u"12.9.5.5");
    // Layouts the walk does not take are read whole: the same entries come back built.
    entries = compareWithWhole(
        kOpen + "<!-- c -->" + entry("1", "<key>Name</key><string>a</string>") + kClose, kProbes);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries.begin()->second.inPlace());
    // Malformed documents give no root either way.
    for (std::string bad :
         {kOpen + entry("1", "<key>Name</key><string>a</string>"),
          kOpen + entry("1", "<key>Name</key><string>a</strin") + kClose,
          kOpen + entry("1", "<key>a</key><string>" + std::string(1, '\0') + "</string>") + kClose,
          std::string("not xml")}) {
        compareWithWhole(bad, kProbes);
    }
}

TEST(LazyDict, PlaylistItemsReadAsTheWholeDocumentReaderReadsThem) {
    // Plain item dictionaries are built straight from the text; every other layout goes to the
    // parser. Both must give what the whole document gives, in the lazy and the segmented read.
    const std::vector<std::string> items = {
        "<dict><key>Track ID</key><integer>1</integer></dict>",
        "<dict>\n\t<key>Track ID</key>\t<integer>2</integer>\n</dict >",
        "<dict/>",
        "<dict></dict>",
        "<dict><key>Track ID</key><integer>3</integer><key>Track ID</key><integer>4</integer>"
        "</dict>",
        "<dict><key>Track ID</key><integer>5</integer><key>Track ID</key><unknown>6</unknown>"
        "</dict>",
        "<dict><key>Track ID</key><string>7</string><key>Dangling</key></dict>",
        "<dict><key>Name</key><string>\xC3</string><key>Track ID</key><integer>8</integer>"
        "</dict>",
        "<dict><key>\xFF</key><integer>9</integer></dict>",
        "<dict><key>Name</key><string>a &amp; b</string></dict>",
        "<dict><key>Sub</key><dict><key>a</key><true/></dict></dict>",
        "<dict><key>Empty</key><dict/><key>List</key><array/></dict>",
        "<dict><key>When</key><date>2020-01-01T00:00:00Z</date><key>Bad</key>"
        "<date>never</date><key>Blob</key><data>AAEC</data><key>R</key><real>1.5</real>"
        "<key>T</key><true/><key>F</key><false/><key>Blank</key><string>  </string></dict>",
        "<integer>10</integer>",
        "<array><dict><key>Track ID</key><integer>11</integer></dict></array>",
    };
    std::string playlist = "<dict><key>Name</key><string>Mix</string><key>Playlist Items</key>"
                           "<array>";
    for (const auto& item : items) {
        playlist += item;
    }
    playlist += "</array></dict>";
    const std::string text = kOpen + entry("1", "<key>Name</key><string>a</string>") +
                             "\t</dict>\n\t<key>Playlists</key><array>" + playlist +
                             "<dict><key>Playlist Items</key><array>" + items[0] +
                             "</array><key>Playlist Items</key><string>x</string></dict>" +
                             "</array>\n</dict>\n</plist>\n";
    compareWithWhole(text, kProbes);
    DictRef whole = detail::readPropertyListWhole(text.data(), text.size());
    DictRef walked = detail::readPropertyListSegmented(text.data(), text.size());
    ASSERT_TRUE(whole && walked);
    EXPECT_EQ(walked->toXMLDocument(), whole->toXMLDocument());
    ArrayRef playlists = asArray(whole->get("Playlists"));
    ASSERT_TRUE(playlists && playlists->arrayItems());
    EXPECT_EQ(asArray(asDict(playlists->arrayItems()->at(0))->get("Playlist Items"))->count(),
              items.size() - 1); // the undecodable key's item is dropped
}

TEST(LazyDict, NestingBeyondTheLimitGivesNoRootWhereverItIs) {
    auto arrays = [](int n) {
        std::string text;
        for (int i = 0; i < n; ++i) {
            text += "<array>";
        }
        for (int i = 0; i < n; ++i) {
            text += "</array>";
        }
        return text;
    };
    // Inside a track entry the arrays start at depth 5, directly in the root at depth 3, in a
    // container of the root at depth 4; 256 levels are allowed.
    for (int extra : {0, 1}) {
        SCOPED_TRACE(extra);
        for (const auto& text :
             {kOpen + entry("1", "<key>Deep</key>" + arrays(252 + extra)) + kClose,
              kOpen + "</dict><key>Deep</key>" + arrays(254 + extra) + "</dict></plist>",
              kOpen + "</dict><key>List</key><array>" + arrays(253 + extra) + "</array></dict>" +
                  "</plist>"}) {
            LazyDicts entries;
            DictRef root = readPropertyListLazily(text.data(), text.size(), u"Tracks", entries);
            EXPECT_EQ(static_cast<bool>(root), extra == 0);
            compareWithWhole(text, kProbes);
        }
    }
}

TEST(LazyDict, EntriesOutliveTheReadAndServeManyThreads) {
    std::string body;
    for (int i = 0; i < 2000; ++i) {
        body += entry(std::to_string(i), "<key>Name</key><string>Track " + std::to_string(i) +
                                             "</string><key>Track Number</key><integer>" +
                                             std::to_string(i) + "</integer>");
    }
    TempDir dir;
    writeFile(dir.file("library.xml"), kOpen + body + kClose);
    LazyDicts entries;
    ASSERT_TRUE(readPropertyListLazily(dir.file("library.xml"), u"Tracks", entries));
    ASSERT_EQ(entries.size(), 2000u);
    std::vector<LazyDict> kept;
    for (const auto& [key, lazy] : entries) {
        kept.push_back(lazy);
    }
    entries.clear(); // the copies keep the bytes
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (const auto& lazy : kept) {
                int32_t number = lazy.getInt32(u"Track Number");
                if (lazy.getString(u"Name") != u"Track " + toUtf16(std::to_string(number))) {
                    ++wrong[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}
