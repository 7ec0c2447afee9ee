#include "foundation/PropertyList.h"

#include "support/TestSupport.h"

#include "../model/LibraryFile.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace sonorix;
using namespace sonorix::test;

TEST(InfoCommand, PrintsWhatTheLibraryHolds) {
    TempDir dir;
    writeFile(dir.file("here.mp3"), "x");
    DictRef tracks = makeDict();
    const char* locations[] = {"here.mp3", "gone.mp3", "here.mp3"};
    for (int i = 0; i < 3; ++i) {
        DictRef t = makeDict();
        t->set("Persistent ID", makeString(std::string(1, char('A' + i))));
        t->set("Location", makeString("file://" + dir.file(locations[i])));
        tracks->set(std::to_string(i), t);
    }
    DictRef root = makeDict();
    root->set("Tracks", tracks);
    root->set("Application Version", makeString(u"9.2.1.5"));
    root->set("Library Persistent ID", makeString(u"00ab12"));
    ASSERT_TRUE(savePropertyList(*root, dir.file("lib.xml")));

    auto r = runCli({"info", "--library", dir.file("lib.xml")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Library Persistent ID: AB12\n"
                     "Application Version: 9.2.1.5 (0x90201)\n"
                     "Tracks: 3\n"
                     "Files found: 2 of 3\n");
}

TEST(InfoCommand, UnreadableLibraryIsAOneLineStartupError) {
    TempDir dir;
    writeFile(dir.file("broken.xml"), "<plist><dict><key>a</key>");
    for (std::string path : {dir.file("broken.xml"), dir.file("missing.xml"), dir.path()}) {
        auto r = runCli({"--library", path, "info"});
        EXPECT_EQ(r.status, 3) << path;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
        // Only the file that is not there says so.
        EXPECT_EQ(r.err.find("no such file") != std::string::npos, path == dir.file("missing.xml"))
            << r.err;
    }
}

TEST(InfoCommand, HelpAndUsage) {
    auto help = runCli({"info", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--library FILE"), std::string::npos);
    EXPECT_EQ(runCli({"info"}).status, 2); // no library named
}

// A Windows library read on Linux, with what a real library holds besides songs.
TEST(InfoCommand, CountsWhatNoGroupTakesAndFindsFilesThroughTheLocationMap) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("music"));
    writeFile(dir.file("music/a.mp3"), "x");
    writeFile(dir.file("music/b.mp3"), "x");
    auto at = [](uint64_t id, const char* kind, const char* location) {
        LibraryTrack t = track(id);
        t.kind = kind;
        if (location) {
            t.location = location;
        } else {
            t.withoutLocation = true;
        }
        return t;
    };
    LibraryTrack video = at(9, "MPEG-4 video file", "file://localhost/G:/Music/v.m4v");
    video.video = true;
    writeFile(dir.file("lib.xml"),
              libraryXml({at(1, "MPEG audio file", "file://localhost/G:/Music/a.mp3"),
                          at(2, "MPEG audio file", "file://localhost/g:/Music/b.mp3"),
                          at(3, "MPEG audio file", "file://localhost/G:/Music/gone.mp3"),
                          at(4, "Book", "file://localhost/G:/Books/x.epub"),
                          at(5, "PDF document", "file://localhost/G:/Books/y.pdf"),
                          at(6, "iPhone/iPod touch/iPad app", "file://localhost/G:/Apps/z.ipa"),
                          at(7, "Apple Music AAC audio file", nullptr),
                          at(8, "Purchased AAC audio file", nullptr), video}));
    const std::string head = "Library Persistent ID: A1B2C3D4E5F607\n"
                             "Application Version: 10.0.1 (0xA0001)\n"
                             "Tracks: 9\n"
                             "Not in any group: 1 video, 3 not audio, 2 without a file\n";
    auto before = runCliIn(dir, {"info"});
    EXPECT_EQ(before.status, 0) << before.err;
    EXPECT_EQ(before.out, head + "Files found: 0 of 3\n");

    // Typed as Windows shows it; the second prefix is a slip that matches nothing.
    auto config = runCliIn(dir, {"config", "LocationPrefixMap", "g:\\Music\\", dir.file("music/"),
                                 "H:/Music/", dir.file("music/")});
    EXPECT_EQ(config.status, 0) << config.err;
    EXPECT_EQ(config.err,
              "sonorix-cli: warning: 'H:/Music/' maps no track of " + dir.file("lib.xml") + "\n");
    EXPECT_NE(runCliIn(dir, {"config", "LocationPrefixMap"}).err.find("'H:/Music/'"),
              std::string::npos);

    auto after = runCliIn(dir, {"info"});
    EXPECT_EQ(after.out, head + "Files found: 2 of 3\n");
    auto groups = runCliIn(dir, {"groups"});
    EXPECT_NE(groups.out.find("\t3\t3"), std::string::npos) << groups.out;
}
