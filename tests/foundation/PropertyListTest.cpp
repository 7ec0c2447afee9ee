#include "foundation/PropertyList.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace sonorix;
using sonorix::test::readFile;
using sonorix::test::TempDir;
using sonorix::test::writeFile;

namespace {

const std::string kHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
                            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                            "<plist version=\"1.0\">\n";

DictRef parse(const std::string& text) {
    return readPropertyList(text.data(), text.size());
}

// A document whose root dictionary holds the given body.
DictRef parseBody(const std::string& body) {
    return parse(kHeader + "<dict>" + body + "</dict>\n</plist>\n");
}

std::string keyOrder(const DictRef& d) {
    std::string out;
    for (const auto& [key, value] : d->items()) {
        out += std::string(key.begin(), key.end()) + ",";
    }
    return out;
}

} // namespace

TEST(PropertyListWriter, ExactDocument) {
    DictRef root = makeDict();
    root->set("b", makeInt32(-3));
    root->set("B", makeBool(true));
    root->set("a", makeString(u"x<&\"'>y"));
    root->set("c", makeDouble(1.0 / 3.0));
    uint8_t abcd[] = {'A', 'B', 'C', 'D'};
    root->set("d", makeData(abcd, 4));
    root->set("e", makeDate(DateTimePoint{1267444800, 123}));
    root->set("f", makeDict());
    ArrayRef array = makeArray();
    array->append(makeString(u""));
    array->append(makeArray());
    array->append(makeBool(false));
    root->set("g", array);
    EXPECT_EQ(root->toXMLDocument(),
              kHeader + "<dict>\n"
                        "\t<key>B</key>\n\t<true/>\n"
                        "\t<key>a</key>\n\t<string>x&lt;&amp;&quot;&apos;&gt;y</string>\n"
                        "\t<key>b</key>\n\t<integer>-3</integer>\n"
                        "\t<key>c</key>\n\t<real>0.333333</real>\n"
                        "\t<key>d</key>\n\t<data>QUJDRA==</data>\n"
                        "\t<key>e</key>\n\t<date>2010-03-01T12:00:00Z</date>\n"
                        "\t<key>f</key>\n\t<dict>\n\t</dict>\n"
                        "\t<key>g</key>\n\t<array>\n"
                        "\t\t<string></string>\n"
                        "\t\t<array>\n\t\t</array>\n"
                        "\t\t<false/>\n"
                        "\t</array>\n"
                        "</dict>\n"
                        "</plist>\n");
}

TEST(PropertyList, RoundTripKeepsEveryKind) {
    DictRef root = makeDict();
    root->set("int32", makeInt32(-2147483647 - 1));
    root->set("int64", makeInt64(INT64_MAX));
    root->set("real", makeDouble(1.0 / 3.0));
    root->set("text", makeString(u"Caf\u00e9 <&> \"'\" \U0001F3B5 \t\r\n ctl\x01 nul\u0000!"));
    root->set("yes", makeBool(true));
    uint8_t bytes[] = {0, 1, 2, 250, 255};
    root->set("data", makeData(bytes, 5));
    root->set("date", makeDate(DateTimePoint{1267444800, 999}));
    root->set(u"key <&> \u00e4", makeInt32(1)); // markup in a key must not break the file
    DictRef nested = makeDict();
    ArrayRef list = makeArray();
    list->append(makeInt32(7));
    list->append(nested);
    nested->set("deep", makeString(u"v"));
    root->set("list", list);

    DictRef back = parse(root->toXMLDocument());
    ASSERT_TRUE(back);
    EXPECT_EQ(keyOrder(back), keyOrder(root));
    auto int32 = back->get("int32");
    EXPECT_EQ(int32->toInt64(), -2147483648LL);
    EXPECT_NE(dynamic_cast<Value_int64*>(int32.get()), nullptr); // integers read back 64-bit
    EXPECT_EQ(back->getInt64("int64"), INT64_MAX);
    EXPECT_DOUBLE_EQ(back->getDouble("real"), 0.333333);
    EXPECT_EQ(back->getString("text"), root->getString("text"));
    EXPECT_TRUE(back->getBool("yes"));
    int32_t length = 0;
    const uint8_t* read = back->get("data")->bytes(length);
    EXPECT_EQ(std::vector<uint8_t>(read, read + length), std::vector<uint8_t>(bytes, bytes + 5));
    EXPECT_EQ(*back->getDate("date"), (DateTimePoint{1267444800, 0})); // sub-second part lost
    EXPECT_EQ(back->getInt32(u"key <&> \u00e4"), 1);
    auto backList = asArray(back->get("list"));
    ASSERT_TRUE(backList);
    ASSERT_EQ(backList->count(), 2u);
    EXPECT_EQ(asDict(backList->items()[1])->getString("deep"), u"v");
    // And what was read once writes the same text again.
    EXPECT_EQ(back->toXMLDocument(), parse(back->toXMLDocument())->toXMLDocument());
}

TEST(PropertyListReader, ParserRules) {
    std::string bom = "\xEF\xBB\xBF";
    DictRef d = parse(bom + "<?xml version=\"1.0\"?><!-- c --><!DOCTYPE plist [ <!ENTITY x 'y'> ]>"
                            "<other/><plist><array/><dict>"
                            "<key>e</key><string>&lt;&#233;&#x263A;&amp;</string>"
                            "<key>ws</key><string>  two  words </string>"
                            "<key>empty</key><string/>"
                            "<name-not-checked>k2</name-not-checked><integer> 5</integer>"
                            "<key>big</key><integer>123456789012345678901234</integer>"
                            "<key>t</key><true/><key>f</key><false/>"
                            "</dict></plist>");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->getString("e"), u"<\u00e9\u263a&");
    EXPECT_EQ(d->getString("ws"), u"  two  words ");
    ASSERT_TRUE(d->get("empty"));
    EXPECT_EQ(d->getString("empty"), u"");
    EXPECT_EQ(d->getInt64("k2", -1), 0);  // not wholly a number: 0
    EXPECT_EQ(d->getInt64("big", -1), 0); // too large: 0
    EXPECT_TRUE(d->getBool("t"));
    EXPECT_FALSE(d->getBool("f", true));
}

TEST(PropertyListReader, DropsEntriesThatCannotBeBuilt) {
    DictRef d = parseBody("<key>a</key><data></data>"
                          "<key>b</key><data>QUJD</data>"
                          "<key>c</key><unknown>1</unknown>"
                          "<key>d</key><date>not a date</date>"
                          "<key>e</key><string>bad \xC3\x28 utf8</string>"
                          "<key>f</key><array><string>ok</string><string>\xff</string>"
                          "<bogus/><integer>3</integer></array>"
                          "<key>g</key><dict><key>\xff</key><integer>1</integer></dict>"
                          "<key>h</key><integer>8</integer>"
                          "<key>dangling</key>");
    ASSERT_TRUE(d);
    EXPECT_EQ(keyOrder(d), "b,f,h,");
    int32_t length = 0;
    const uint8_t* abc = d->get("b")->bytes(length);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(abc), length), "ABC");
    EXPECT_EQ(d->get("f")->count(), 2u); // the bad string and the unknown element are left out
    EXPECT_EQ(d->getInt32("h"), 8);      // reading went on after the dropped pairs
}

TEST(PropertyListReader, NoRoot) {
    EXPECT_FALSE(parse(""));
    EXPECT_FALSE(readPropertyList(nullptr, 0));
    EXPECT_FALSE(parse(kHeader + "<array><dict/></array></plist>")); // root is an array
    EXPECT_FALSE(parse("<dict><key>a</key><true/></dict>"));         // no plist
    EXPECT_FALSE(parse(kHeader + "<dict><key>a</key><true/>"));      // truncated
    EXPECT_FALSE(parse(kHeader + "<dict><key>a</key>&#12<true/></dict></plist>")); // expected ;
    EXPECT_FALSE(parse(kHeader + "<dict></dict></plist> trailing"));
    EXPECT_FALSE(parse(std::string("\0\0\0", 3)));
    // A key that cannot be converted discards the whole dictionary: here the root.
    EXPECT_FALSE(parseBody("<key>\xff</key><integer>1</integer>"));
}

TEST(PropertyListReader, EveryTruncationIsHandled) {
    DictRef root = makeDict();
    root->set("name", makeString(u"Caf\u00e9"));
    root->set("list", makeArray());
    asArray(root->get("list"))->append(makeInt32(1));
    root->set("when", makeDate(DateTimePoint{0, 0}));
    std::string text = root->toXMLDocument();
    size_t end = text.rfind("</plist>");
    for (size_t cut = 0; cut < end; ++cut) {
        EXPECT_FALSE(parse(text.substr(0, cut))) << cut;
    }
    EXPECT_TRUE(parse(text.substr(0, end + 8)));
}

TEST(PropertyListReader, GarbageNeverCrashes) {
    std::mt19937 random(11);
    const std::string alphabet = "<>/![]?-\"'=&#;abcdikl pt\n\x80\xff\0";
    for (int round = 0; round < 2000; ++round) {
        std::string text = round % 2 ? kHeader : std::string();
        size_t n = random() % 200;
        for (size_t i = 0; i < n; ++i) {
            text += round % 3 ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
        }
        parse(text);
    }
}

TEST(PropertyListReader, DeepNestingIsMalformedNotAStackOverflow) {
    const int deep = 100000;
    std::string text = kHeader + "<dict><key>a</key>";
    for (int i = 0; i < deep; ++i) {
        text += "<array>";
    }
    for (int i = 0; i < deep; ++i) {
        text += "</array>";
    }
    EXPECT_FALSE(parse(text + "</dict></plist>"));
    // Unclosed and self-closing forms are counted the way the parser sees them.
    std::string unclosed = kHeader + "<dict>";
    for (int i = 0; i < deep; ++i) {
        unclosed += "<a x='/>'>";
    }
    EXPECT_FALSE(parse(unclosed));
    // End tags hidden in a DOCTYPE subset or a comment must not shorten the count.
    for (std::string open : {"<!DOCTYPE x [ ", "<!-- "}) {
        std::string close = open[2] == 'D' ? " ]>" : " -->";
        std::string hidden = kHeader + "<dict><key>a</key>";
        for (int round = 0; round < 1000; ++round) {
            for (int j = 0; j < 200; ++j) {
                hidden += "<array>";
            }
            hidden += open;
            for (int j = 0; j < 200; ++j) {
                hidden += "</array>";
            }
            hidden += close;
        }
        EXPECT_FALSE(parse(hidden));
    }

    std::string sane = kHeader + "<dict><key>a</key>";
    for (int i = 0; i < 100; ++i) {
        sane += "<array>";
    }
    sane += "<self-closing/><string>x</string>";
    for (int i = 0; i < 100; ++i) {
        sane += "</array>";
    }
    DictRef d = parse(sane + "</dict></plist>");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->get("a")->count(), 1u);
}

TEST(PropertyListReader, FromFilesAndDataValues) {
    TempDir dir;
    EXPECT_FALSE(readPropertyList(dir.file("missing.plist")));
    writeFile(dir.file("empty.plist"), "");
    EXPECT_FALSE(readPropertyList(dir.file("empty.plist")));
    EXPECT_FALSE(readPropertyList(dir.path())); // a folder
    DictRef root = makeDict();
    root->set("k", makeString(u"v"));
    std::string text = root->toXMLDocument();
    writeFile(dir.file("ok.plist"), text);
    ASSERT_TRUE(readPropertyList(dir.file("ok.plist")));
    EXPECT_EQ(readPropertyList(dir.file("ok.plist"))->getString("k"), u"v");
    auto data =
        makeData(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size()));
    ASSERT_TRUE(readPropertyList(*data));
    EXPECT_FALSE(readPropertyList(*makeInt32(3)));
}

TEST(SafeFile, SaveReplacesTargetAndLeavesNoTemporaryFile) {
    TempDir dir;
    std::string path = dir.file("model.plist");
    writeFile(path + ".tmp", "stale leftover");
    writeFile(path, "old");
    DictRef root = makeDict();
    root->set("v", makeInt32(2));
    ASSERT_TRUE(savePropertyList(*root, path));
    EXPECT_EQ(readFile(path), root->toXMLDocument());
    struct stat st {};
    EXPECT_NE(::stat((path + ".tmp").c_str(), &st), 0);
    EXPECT_EQ(loadPropertyList(path)->getInt32("v"), 2);
}

TEST(SafeFile, WriterWithoutCommitKeepsTheOldTarget) {
    TempDir dir;
    std::string path = dir.file("model.plist");
    writeFile(path, "old");
    {
        SafeFileWriter writer(path);
        writeFile(writer.tempPath(), "half of the new con");
        // no commit: the caller could not finish
    }
    EXPECT_EQ(readFile(path), "old");
    struct stat st {};
    EXPECT_NE(::stat((path + ".tmp").c_str(), &st), 0);
    SafeFileWriter nothingWritten(path);
    EXPECT_FALSE(nothingWritten.commit()); // creating the temporary file failed
    EXPECT_EQ(readFile(path), "old");
}

TEST(SafeFile, PartlyWrittenFileNeverReplacesTheTarget) {
    TempDir dir;
    std::string path = dir.file("model.plist");
    DictRef old = makeDict();
    old->set("keep", makeString(u"me"));
    ASSERT_TRUE(savePropertyList(*old, path));
    std::string before = readFile(path);

    DictRef big = makeDict();
    for (int i = 0; i < 2000; ++i) {
        big->set(std::to_string(i), makeString(u"some text that makes the file large"));
    }
    // A file size limit stands in for a full disk: the write fails part-way.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool saved_ok = savePropertyList(*big, path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_DFL);

    EXPECT_FALSE(saved_ok); // the failure is reported
    EXPECT_EQ(readFile(path), before);
    struct stat st {};
    EXPECT_NE(::stat((path + ".tmp").c_str(), &st), 0);
    EXPECT_EQ(loadPropertyList(path)->getString("keep"), u"me");
}

TEST(SafeFile, UnwritableFolderReportsFailure) {
    TempDir dir;
    EXPECT_FALSE(savePropertyList(*makeDict(), dir.file("no/such/folder/x.plist")));
    EXPECT_FALSE(makeDict()->writeXMLFile(dir.file("no/such/folder/x.plist")));
    std::string folder = dir.file("ro");
    ASSERT_EQ(::mkdir(folder.c_str(), 0500), 0);
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root may write anywhere";
    }
    EXPECT_FALSE(savePropertyList(*makeDict(), folder + "/x.plist"));
}

TEST(SafeFile, ReaderFallsBackToTheTemporaryFile) {
    TempDir dir;
    std::string path = dir.file("model.plist");
    EXPECT_EQ(SafeFileReader(path).path(), path); // neither exists
    DictRef root = makeDict();
    root->set("from", makeString(u"tmp"));
    ASSERT_TRUE(root->writeXMLFile(path + ".tmp"));
    EXPECT_EQ(SafeFileReader(path).path(), path + ".tmp");
    EXPECT_EQ(loadPropertyList(path)->getString("from"), u"tmp");
    writeFile(path, "target");
    EXPECT_EQ(SafeFileReader(path).path(), path);
}

namespace {

// Both reading strategies, compared through what they would write.
std::string readBoth(const std::string& text) {
    DictRef whole = detail::readPropertyListWhole(text.data(), text.size());
    DictRef walked = detail::readPropertyListSegmented(text.data(), text.size());
    std::string a = whole ? whole->toXMLDocument() : "(no root)";
    std::string b = walked ? walked->toXMLDocument() : "(no root)";
    EXPECT_EQ(a, b) << text;
    return a;
}

} // namespace

TEST(PropertyListReader, LargeDocumentsReadTheSameContainerByContainer) {
    DictRef root = makeDict();
    DictRef tracks = makeDict();
    for (int i = 0; i < 5000; ++i) {
        DictRef t = makeDict();
        t->set("Track ID", makeInt32(i));
        t->set("Name", makeString(u"T\u00e4tig <" + std::u16string(1, char16_t(u'a' + i % 26))));
        t->set("Date Added", makeDate(DateTimePoint{1000000000 + i, 0}));
        t->set("Rating", makeDouble(i / 7.0));
        t->set("Loved", makeBool(i % 2));
        tracks->set(std::to_string(i), t);
    }
    root->set("Tracks", tracks);
    ArrayRef lists = makeArray();
    lists->append(tracks);
    lists->append(makeString(u"x"));
    root->set("Playlists", lists);
    root->set("Version", makeString(u"1.0"));
    std::string text = root->toXMLDocument();
    // Large enough for the container-by-container walk that hands read pages back.
    ASSERT_GT(text.size(), 1024u * 1024);
    DictRef back = readPropertyList(text.data(), text.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->toXMLDocument(),
              detail::readPropertyListWhole(text.data(), text.size())->toXMLDocument());
    EXPECT_EQ(asDict(back->get("Tracks"))->count(), 5000u);
    // The same from a file, and a file cut short gives no root either way.
    TempDir dir;
    writeFile(dir.file("big.plist"), text);
    EXPECT_EQ(readPropertyList(dir.file("big.plist"))->toXMLDocument(), back->toXMLDocument());
    writeFile(dir.file("cut.plist"), text.substr(0, text.size() - 20));
    EXPECT_FALSE(readPropertyList(dir.file("cut.plist")));
}

TEST(PropertyListReader, WalkAndWholeParseAgreeOnUnusualLayouts) {
    const std::string open = kHeader + "<dict><key>Tracks</key><dict>";
    const std::string close = "</dict><key>After</key><true/></dict></plist>\n";
    const std::string track = "<key>1</key><dict><key>Name</key><string>a</string></dict>";
    std::vector<std::string> bodies = {
        track + "<!-- comment -->" + track,
        track + "stray text" + track,
        track + "<key>2</key><dict><key>N</key><string><![CDATA[x]]>y</string></dict>",
        track + "<key>\xff</key><dict/>" + track, // undecodable key: Tracks dropped
        track + "<key>3</key><dict><key>\xff</key><true/></dict>", // only that track dropped
        track + "<key>4</key><dict><key>Bad</key><string>\xC3</string></dict>",
        track + "<dict><key>x</key><true/></dict><integer>5</integer>", // a container as key
        track + "<key>dangling</key>",
        track + "<key>\xff dangling and undecodable</key>",
        track + "<key>5</key><dict attr='1'><key>k</key><true/></dict>",
        track + "<key>6</key><dict><key>k</key><unknown/></dict><key>7</key><date>bad</date>",
        track + "<key>8</key><dict><key>k</key><string>&#xD800;&#12;</string></dict>",
        track + "<key>9</key><dict><key>k</key><string>&#12</string></dict>", // malformed
        track + "<key>10</key><dict><key>k</key><string>a</strin></dict>",    // names unchecked
        track + "<key>11</key><dict><key>k</key><string>a</string></dict  >",
        track + "<key>12</key><dict><key>k</key><string>a</string>", // unclosed
        track + "<key>13</key><array><dict/><array></array><string>q</string></array>",
        track + "<key>14</key><dict/><key>15</key><array/>",
        "",
    };
    for (const auto& body : bodies) {
        readBoth(open + body + close);
    }
    EXPECT_EQ(readBoth(open + track + "<key>\xff</key><dict/>" + close).find("Tracks"),
              std::string::npos);
    EXPECT_EQ(readBoth(kHeader + "<dict><key>\xff</key><true/></dict></plist>"), "(no root)");
    readBoth(kHeader + "<!-- c --><dict></dict></plist>");
    readBoth("<?xml version='1.0'?><!DOCTYPE plist [<!ENTITY a 'b'>]><plist><dict/></plist>");
    readBoth("\xEF\xBB\xBF<plist version=\"1.0\"><dict></dict></plist> \n");
    readBoth(kHeader + "<dict></dict></plist><extra/>");
    readBoth(kHeader + "<dict></dict><dict></dict></plist>");
    readBoth(kHeader + "<array/><dict><key>a</key><true/></dict></plist>");
    readBoth("<plist version=\"&#49;\"><dict/></plist>");
    readBoth("<?><plist><dict/></plist>"); // an instruction that never ends
    // A zero byte ends the document for the parser, wherever it stands.
    readBoth(std::string("<?pi \0 ?><plist><dict/></plist>", 31));
    readBoth(std::string("<!DOCTYPE plist \0><plist><dict/></plist>", 40));
    readBoth(std::string("<plist><dict><key>a</key><true/>\0</dict></plist>", 48));
}
