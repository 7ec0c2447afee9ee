#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace sonorix::test;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

CommandResult makeDemo(const std::string& folder, const std::string& dataDir) {
    return runCommand({"/usr/bin/python3", SONORIX_SOURCE_DIR "/scripts/make-demo-library", folder,
                       "--data-dir", dataDir});
}

} // namespace

// One generation serves every check: making the audio is what takes the time.
TEST(DemoLibrary, ParsesKeepsUserResultsAndRemakesOnlyWhenItsTableChanges) {
    if (!haveProgram("ffmpeg") || !haveProgram("/usr/bin/python3")) {
        GTEST_SKIP() << "needs ffmpeg and /usr/bin/python3";
    }
    TempDir dir;
    const std::string demo = dir.file("demo");
    const std::string data = dir.file("data");
    const std::string library = demo + "/iTunes Music Library.xml";

    auto made = makeDemo(demo, data);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.out, library + "\n"); // the path alone: run.sh captures it

    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--data-dir", data, "--library", library});
        return runCli(args);
    };
    // Every file named with umlauts, CJK, quotes, "&" and "?" is found; the missing file and the
    // stream are not.
    auto info = cli({"info"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(contains(info.out, "Tracks: 25\n")) << info.out;
    EXPECT_TRUE(contains(info.out, "Not in any group: 1 video, 1 stream\nFiles found: 22 of 23\n"))
        << info.out;

    // The video and the stream belong to no group.
    auto groups = cli({"groups"});
    ASSERT_EQ(groups.status, 0) << groups.err;
    EXPECT_TRUE(contains(groups.out, "0\tDefault\tAdjust Automatically\tCombine Albums\t20\t11\n"))
        << groups.out;
    EXPECT_TRUE(contains(groups.out, "1\tHand-Tuned\tAdjust Manually\t"));
    EXPECT_TRUE(contains(groups.out, "\t3\t3\n"));

    auto list = cli({"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    for (const char* album : {"[Multi-CD Album] Jürgen & die Wellenreiter | Zwei Ufer",
                              "[Compilation] Various Artists | Summer Mix",
                              "[Gapless Album] Ann Example | Quiet Evenings"}) {
        EXPECT_TRUE(contains(list.out, album)) << album << "\n" << list.out;
    }

    const std::string music = demo + "/music/";
    auto tag = runCli(
        {"tag", music + "Ann Example/Already Checked.mp3", music + "Zoë & Chloé/Ça va, Zoë?.m4a"});
    EXPECT_EQ(tag.status, 0) << tag.err;
    EXPECT_TRUE(contains(tag.out, " 00000A2C 00000A2C 00003F1E 00003F1E 00000000 00000000 "
                                  "00007FFF 00007FFF 00000000 00000000"))
        << tag.out;
    EXPECT_TRUE(contains(tag.out, " 000001F4 000001F4 00000C35 00000C35")) << tag.out;
    struct stat st {};
    ASSERT_EQ(::stat((music + "Test Signals/Write Protected.mp3").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);

    // The user's results stay, through a plain rerun and through a remake of the audio.
    ASSERT_EQ(cli({"group-options", "--group", "Hand-Tuned", "--additional", "2.5"}).status, 0);
    const std::string model = data + "/sonorix.5E1A7B9C0D2E4F60.plist";
    const std::string results = readFile(model);
    ASSERT_TRUE(contains(results, "AdditionalPerceivedLoudness"));
    const std::string libraryText = readFile(library);

    auto again = makeDemo(demo, data);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, library + "\n");
    EXPECT_FALSE(contains(again.err, "making")) << again.err;
    EXPECT_EQ(readFile(library), libraryText);
    EXPECT_EQ(readFile(model), results);

    writeFile(demo + "/.demo-table", "an older table\n");
    auto remade = makeDemo(demo, data);
    ASSERT_EQ(remade.status, 0) << remade.err;
    EXPECT_TRUE(contains(remade.err, "making")) << remade.err;
    EXPECT_EQ(readFile(model), results);
    EXPECT_TRUE(contains(cli({"info"}).out, "Files found: 22 of 23\n"));
}
