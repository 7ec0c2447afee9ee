#include "foundation/PropertyList.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace sonorix;
using sonorix::test::runCli;
using sonorix::test::TempDir;
using sonorix::test::writeFile;

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
    }
}

TEST(InfoCommand, HelpAndUsage) {
    auto help = runCli({"info", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--library FILE"), std::string::npos);
    EXPECT_EQ(runCli({"info"}).status, 2); // no library named
}
