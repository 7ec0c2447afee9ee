#include "support/TestSupport.h"

#include "../model/LibraryFile.h"

#include <gtest/gtest.h>

using namespace sonorix::test;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class GroupCommands : public ::testing::Test {
protected:
    void writeLibrary(const std::vector<LibraryTrack>& tracks) {
        writeFile(m_dir.file("lib.xml"), libraryXml(tracks));
    }
    LibraryTrack fileTrack(uint64_t id, const std::string& path, const std::string& name) {
        LibraryTrack t = track(id).named(name).on(name + " - Single");
        t.location = "file://" + path;
        t.totalTimeMs = 1000;
        return t;
    }
    CommandResult cli(const std::vector<std::string>& args) { return runCliIn(m_dir, args); }

    // The file's Sound Check text and plain comment as mutagen reads them.
    static std::string mutagenView(const std::string& path) {
        auto read = runCommand({"/usr/bin/python3", "-c",
                                "import sys\nfrom mutagen.id3 import ID3\nt=ID3(sys.argv[1])\n"
                                "for f in t.getall('COMM'): print(f.desc + '=' + repr(f.text[0]))",
                                path});
        EXPECT_EQ(read.status, 0) << read.err;
        return read.out;
    }

    TempDir m_dir;
};

} // namespace

TEST_F(GroupCommands, GroupsAreMadeMovedRenamedAndDeletedAcrossRuns) {
    writeLibrary({track(1).named("Alpha").on("A"), track(2).named("Beta").on("B"),
                  track(3).named("Gamma").on("C")});
    auto made = cli({"group-new", "Party", "1", "2"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.out, "1\tParty\t2\n");
    EXPECT_EQ(cli({"group-new", "party"}).status, 2) << "titles are unique";
    EXPECT_EQ(cli({"group-new", "Solo", "1", "3"}).status, 2) << "rows of two groups";

    EXPECT_EQ(cli({"move", "2", "--to", "Default"}).status, 0);
    EXPECT_EQ(cli({"group-rename", "Party", "Chill"}).status, 0);
    EXPECT_EQ(cli({"group-rename", "Default", "Other"}).status, 2);
    auto groups = cli({"groups"});
    EXPECT_TRUE(contains(groups.out, "0\tDefault\tAdjust Automatically")) << groups.out;
    EXPECT_TRUE(contains(groups.out, "\t2\t2\n")) << groups.out;
    EXPECT_TRUE(contains(groups.out, "1\tChill\tAdjust Automatically\tAdjust Each Song "
                                     "Separately\t1\t1"))
        << groups.out;

    // No answer keeps the group; the default group is never deleted.
    auto kept = cli({"group-delete", "Chill"});
    EXPECT_EQ(kept.status, 1) << kept.err;
    EXPECT_TRUE(contains(cli({"groups"}).out, "Chill"));
    EXPECT_EQ(cli({"group-delete", "--yes", "Default"}).status, 2);
    EXPECT_EQ(cli({"group-delete", "--yes", "Chill"}).status, 0);
    groups = cli({"groups"});
    EXPECT_FALSE(contains(groups.out, "Chill"));
    EXPECT_TRUE(contains(groups.out, "0\tDefault\tAdjust Automatically\tAdjust Each Song "
                                     "Separately\t3\t3"))
        << groups.out;
}

TEST_F(GroupCommands, ListSortsByTheOutlineColumns) {
    writeLibrary({track(1).named("b").by("X").on("One"), track(2).named("a").by("X").on("Two"),
                  track(3).named("c").by("W").on("Three")});
    auto order = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"list"};
        args.insert(args.end(), extra.begin(), extra.end());
        auto r = cli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    auto positions = [](const std::string& out) {
        return std::vector<size_t>{out.find(" b | "), out.find(" a | "), out.find(" c | ")};
    };
    auto p = positions(order({}));
    EXPECT_LT(p[0], p[2]); // One, Three, Two
    EXPECT_LT(p[2], p[1]);
    p = positions(order({"--sort", "artist,title"}));
    EXPECT_LT(p[2], p[1]); // W c, X a, X b
    EXPECT_LT(p[1], p[0]);
    p = positions(order({"--sort", "Title", "--descending"}));
    EXPECT_LT(p[2], p[0]);
    EXPECT_LT(p[0], p[1]);
    EXPECT_EQ(cli({"list", "--sort", "colour"}).status, 2);
}

TEST_F(GroupCommands, SetWritesRowsOfManualGroupsAndRemovalKeepsOtherCommentText) {
    const std::string a = m_dir.file("a.mp3"), b = m_dir.file("b.mp3");
    if (!makeStereoMp3(a, "sine=f=440:d=1:r=44100") ||
        !makeStereoMp3(b, "anoisesrc=d=1:c=pink:a=0.3:r=44100")) {
        GTEST_SKIP() << "ffmpeg could not make the test audio";
    }
    writeLibrary({fileTrack(1, a, "Alpha"), fileTrack(2, b, "Beta")});
    ASSERT_EQ(cli({"comment", "--set", "Take 2", a}).status, 0);
    ASSERT_EQ(cli({"group-new", "Hand", "1"}).status, 0);

    auto refused = cli({"set", "-2.5", "1"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(contains(refused.err, "Adjust Manually")) << refused.err;
    ASSERT_EQ(cli({"group-options", "--group", "Hand", "--mode", "1"}).status, 0);
    EXPECT_EQ(cli({"set", "-2.5", "2"}).status, 2) << "a row of the automatic default group";
    const std::string bBefore = readFile(b);

    auto set = cli({"set", "-2.5", "1"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_TRUE(contains(set.err, "1 tracks adjusted")) << set.err;
    EXPECT_EQ(readFile(b), bBefore) << "only the named row's file is written";
    auto list = cli({"list", "--group", "Hand"});
    EXPECT_TRUE(contains(list.out, "-2.5 dB                Alpha")) << list.out;
    if (haveProgram("/usr/bin/python3")) {
        const std::string view = mutagenView(a);
        EXPECT_TRUE(contains(view, "iTunNORM=' 000006F2 000006F2 0000115E 0000115E 00000000 "
                                   "00000000 00000000 00000000 00000000 00000000'"))
            << view;
        EXPECT_TRUE(contains(view, "='Adjusted by Sonorix ")) << view;
        EXPECT_TRUE(contains(view, "\\r\\nTake 2'")) << view;
    }

    auto removed = cli({"remove-comments", "all"});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_TRUE(contains(removed.err, "1 comments changed, 1 unchanged, 0 failed")) << removed.err;
    EXPECT_EQ(readFile(b), bBefore) << "a comment without a stamp is not written";
    auto comment = cli({"comment", a});
    EXPECT_EQ(comment.out, "Take 2\n");
    if (haveProgram("/usr/bin/python3")) {
        EXPECT_TRUE(contains(mutagenView(a), "iTunNORM=' 000006F2")) << "the value stays";
    }
}

TEST_F(GroupCommands, NewCommandsHaveHelpInEveryLanguage) {
    writeLibrary({track(1).named("Alpha")});
    for (const char* command :
         {"set", "remove-comments", "group-new", "group-delete", "group-rename", "move"}) {
        std::string english;
        for (const char* language : {"en", "de", "fr", "nl", "ja", "zh_CN"}) {
            auto help = runCli({"--language", language, command, "--help"});
            EXPECT_EQ(help.status, 0) << command << " " << language;
            EXPECT_TRUE(contains(help.out, std::string(command) + " ")) << help.out;
            if (std::string(language) == "en") {
                english = help.out;
            } else {
                EXPECT_NE(help.out, english) << command << " " << language;
            }
        }
    }
}
