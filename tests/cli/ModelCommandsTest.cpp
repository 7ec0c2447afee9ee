#include "support/TestSupport.h"

#include "../model/LibraryFile.h"

#include <gtest/gtest.h>

using namespace sonorix::test;

namespace {

class ModelCommands : public ::testing::Test {
protected:
    ModelCommands() {
        LibraryTrack mix1 = track(4).on("Hits").by("A").comp().named("Mix One");
        LibraryTrack mix2 = track(5).on("Hits").by("B").comp().named("Mix Two").number(2);
        writeFile(m_dir.file("lib.xml"), libraryXml({track(1).on("X").named("Alpha"),
                                                     track(2).on("X").named("Beta").number(2),
                                                     track(3).on("X").named("Gamma").discNo(2),
                                                     mix1, mix2, track(6).named("Loose")}));
    }

    CommandResult cli(const std::vector<std::string>& args) { return runCliIn(m_dir, args); }

    TempDir m_dir;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(ModelCommands, ConfigShowsDefaultsAndChecksTypes) {
    auto list = cli({"config"});
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(contains(list.out, "PerceivedLoudness        = 92  (default)")) << list.out;
    EXPECT_TRUE(contains(list.out, "StartButtonMode          = -1  (default)"));

    EXPECT_EQ(cli({"config", "StartButtonMode", "three"}).status, 2);
    EXPECT_EQ(cli({"config", "NoSuchKey"}).status, 2);
    EXPECT_EQ(cli({"config", "PerceivedLoudness", "90.5"}).status, 0);
    auto one = cli({"config", "PerceivedLoudness"});
    EXPECT_EQ(one.out, "PerceivedLoudness        = 90.5\n");
    EXPECT_TRUE(contains(readFile(m_dir.file("data/sonorix.plist")), "<real>90.5</real>"));
}

TEST_F(ModelCommands, GroupsAndListFollowTheAlbumMode) {
    auto groups = cli({"groups"});
    ASSERT_EQ(groups.status, 0) << groups.err;
    EXPECT_TRUE(contains(groups.out, "0\tDefault\tAdjust Automatically\tAdjust Each Song "
                                     "Separately\t6\t6"))
        << groups.out;

    auto single = cli({"list"});
    ASSERT_EQ(single.status, 0);
    EXPECT_TRUE(contains(single.out, "6 Tracks combined to 6 Adjustment Groups"));
    EXPECT_TRUE(contains(single.out, "new          no data                Alpha | Band | X"));

    ASSERT_EQ(cli({"group-options", "--album-mode", "2"}).status, 0);
    auto albums = cli({"list"});
    EXPECT_TRUE(contains(albums.out, "6 Tracks combined to 3 Adjustment Groups")) << albums.out;
    EXPECT_TRUE(contains(albums.out, "[Compilation]  | Hits"));
    EXPECT_TRUE(contains(albums.out, "[Multi-CD Album] Band | X"));
    EXPECT_TRUE(contains(albums.out, "    new          no data                Gamma | Band | X"));

    ASSERT_EQ(
        cli({"group-options", "--multiple-cd", "false", "--compilations-apart", "true"}).status, 0);
    EXPECT_TRUE(contains(cli({"list"}).out, "6 Tracks combined to 5 Adjustment Groups"));

    ASSERT_EQ(cli({"group-options", "--album-mode", "3"}).status, 0);
    auto all = cli({"list", "--search", "mix"});
    EXPECT_TRUE(contains(all.out, "[Manually Combined Adjustment Group]"));
    EXPECT_TRUE(contains(all.out, "Mix One"));
    EXPECT_FALSE(contains(all.out, "Alpha"));

    EXPECT_EQ(cli({"group-options", "--album-mode", "7"}).status, 2);
    EXPECT_EQ(cli({"list", "--group", "Nope"}).status, 2);
}

TEST_F(ModelCommands, LibraryProblemsAreReported) {
    {
        // Nothing named and nothing in the usual places: the start-up error of a missing file.
        ScopedEnv home("HOME", m_dir.path());
        auto none = runCli({"--data-dir", m_dir.file("data"), "groups"});
        EXPECT_EQ(none.status, 3);
        EXPECT_TRUE(contains(none.err, "No iTunes library file found")) << none.err;
    }
    writeFile(m_dir.file("lib.xml"), "not a library");
    auto bad = cli({"groups"});
    EXPECT_EQ(bad.status, 3);
    EXPECT_TRUE(contains(bad.err, "Error reading the iTunes XML file")) << bad.err;
}
