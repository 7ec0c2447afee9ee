#include "support/TestSupport.h"

#include "../model/LibraryFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace sonorix::test;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Names a spreadsheet must get back exactly: outside any one code page, with quotes, commas and
// a line break.
class DiagnosticsCommands : public ::testing::Test {
protected:
    DiagnosticsCommands() {
        LibraryTrack measured = track(0xA1).on("Homogenic").by("Björk").named("Jóga");
        measured.location = "file://" + m_dir.file("a.mp3");
        LibraryTrack tokyo = track(0xA2).on("東京").by("山田 花子").named("東京の夜");
        LibraryTrack quoted = track(0xA3).on("Live, \"Loud\"").by("O'Brien").named("Say \"Hi\"");
        LibraryTrack broken =
            track(0xA4).on("Live, \"Loud\"").by("O'Brien").named("Two\nLines").number(2);
        broken.location = "file://" + m_dir.file("missing.mp3");
        writeFile(m_dir.file("lib.xml"), libraryXml({measured, tokyo, quoted, broken}));
    }

    CommandResult cli(const std::vector<std::string>& args) { return runCliIn(m_dir, args); }

    // The rows as Python's csv module reads the file, one JSON array per line.
    CommandResult pythonRows(const std::string& path) {
        return runCommand({"/usr/bin/python3", "-c",
                           "import csv, json, sys\n"
                           "with open(sys.argv[1], encoding='utf-8-sig', newline='') as f:\n"
                           "    for row in csv.reader(f):\n"
                           "        print(json.dumps(row, ensure_ascii=False))\n",
                           path});
    }

    TempDir m_dir;
};

} // namespace

TEST_F(DiagnosticsCommands, ExportRoundTripsThroughPythonsCsvModule) {
    if (!haveProgram("/usr/bin/python3") || !makeStereoMp3(m_dir.file("a.mp3"), "sine=f=440:d=3")) {
        GTEST_SKIP() << "needs ffmpeg and /usr/bin/python3";
    }
    ASSERT_EQ(cli({"group-options", "--album-mode", "2"}).status, 0);
    auto adjusted = cli({"adjust", "all"});
    ASSERT_EQ(adjusted.status, 1) << adjusted.err; // the missing file fails

    const std::string file = m_dir.file("out.csv");
    writeFile(file, "old content that must go");
    auto exported = cli({"export", file});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.out, "");
    EXPECT_FALSE(exists(file + ".tmp"));
    const std::string text = readFile(file);
    EXPECT_EQ(text.rfind("\xEF\xBB\xBFpersistentID,", 0), 0u);
    EXPECT_TRUE(contains(text, "adjustment[92.000000]"));
    // Every line ends in CR LF; the line break inside the name stays as it was.
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        if (!contains(text.substr(at - 3, 3), "Two")) {
            EXPECT_EQ(text[at - 1], '\r') << at;
        }
    }
    // Standard output gets the same bytes.
    EXPECT_EQ(cli({"export", "-"}).out, text);

    auto rows = pythonRows(file);
    ASSERT_EQ(rows.status, 0) << rows.err;
    std::vector<std::string> lines;
    for (size_t start = 0; start < rows.out.size();) {
        size_t end = rows.out.find('\n', start);
        lines.push_back(rows.out.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_EQ(lines.size(), 6u) << rows.out;
    EXPECT_EQ(lines[0], "[\"persistentID\", \"gainAnalysisResult\", \"peak\", "
                        "\"adjustment[92.000000]\", \"unclippedMax\", \"name\", \"artist\", "
                        "\"album\", \"filePath\"]");
    // Album order: by album title; the two-track album has its own line first.
    EXPECT_TRUE(contains(lines[1], "\"Jóga\", \"Björk\", \"Homogenic\", \"" + m_dir.file("a.mp3")))
        << lines[1];
    EXPECT_FALSE(contains(lines[1], "[\"A1\", \"\"")) << lines[1]; // measured
    EXPECT_TRUE(contains(lines[2], "\"<<<Album>>>\", \"O'Brien\", \"Live, \\\"Loud\\\"\", \"\"]"))
        << lines[2];
    EXPECT_EQ(lines[3], "[\"A3\", \"\", \"\", \"\", \"\", \"Say \\\"Hi\\\"\", \"O'Brien\", "
                        "\"Live, \\\"Loud\\\"\", \"/nonexistent/00000000000000A3.mp3\"]");
    EXPECT_EQ(lines[4], "[\"A4\", \"\", \"\", \"\", \"\", \"Two\\nLines\", \"O'Brien\", "
                        "\"Live, \\\"Loud\\\"\", \"" +
                            m_dir.file("missing.mp3") + "\"]");
    EXPECT_EQ(lines[5], "[\"A2\", \"\", \"\", \"\", \"\", \"東京の夜\", \"山田 花子\", \"東京\", "
                        "\"/nonexistent/00000000000000A2.mp3\"]");

    // The measured track's full section.
    auto debug = cli({"debug", "A1"});
    ASSERT_EQ(debug.status, 0) << debug.err;
    EXPECT_EQ(debug.out.rfind("####### Track Debug Output #######\n\niTunes information:\n", 0),
              0u);
    for (const char* part : {"\n  name: >>Jóga<<\n", "\n  gain analysis result: ",
                             "\n  playback adjustment needed for Master Volume 92.000000 dB: ",
                             "\n  iTunNORM tag:\n  0: ", "\n  adjustment currently used for ",
                             "\n  last iTunNORM tag check: >>2"}) {
        EXPECT_TRUE(contains(debug.out, part)) << part << "\n" << debug.out;
    }
}

TEST_F(DiagnosticsCommands, ExportSelectionAndGroup) {
    ASSERT_EQ(cli({"group-options", "--album-mode", "2"}).status, 0);
    auto selected = cli({"export", "-", "A2", "A3:A4"});
    ASSERT_EQ(selected.status, 0) << selected.err;
    EXPECT_EQ(selected.out.substr(selected.out.find("\r\n") + 2),
              "A2,,,,,\"東京の夜\",\"山田 花子\",\"東京\",\"/nonexistent/00000000000000A2.mp3\"\r\n"
              "A3:A4,,,,,<<<Album>>>,\"O'Brien\",\"Live, \"\"Loud\"\"\",\r\n");

    auto group = cli({"export", "-", "--group", "Default"});
    ASSERT_EQ(group.status, 0) << group.err;
    EXPECT_EQ(group.out, cli({"export", "-"}).out);
    EXPECT_TRUE(contains(group.out, "\r\nA3:A4,")) << group.out;
}

TEST_F(DiagnosticsCommands, ExportFailuresAreReported) {
    auto nowhere = cli({"export", m_dir.file("no/such/folder/out.csv")});
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_TRUE(contains(nowhere.err, "could not write '" + m_dir.file("no/such/folder/out.csv") +
                                          "': No such file or directory"))
        << nowhere.err;

    // A folder in the way is left alone, and nothing is left behind.
    ASSERT_EQ(::mkdir(m_dir.file("folder.csv").c_str(), 0755), 0);
    auto folder = cli({"export", m_dir.file("folder.csv")});
    EXPECT_EQ(folder.status, 1);
    EXPECT_TRUE(contains(folder.err, "could not write")) << folder.err;
    EXPECT_FALSE(exists(m_dir.file("folder.csv.tmp")));

    EXPECT_EQ(cli({"export"}).status, 2);
    EXPECT_EQ(cli({"export", "-", "--group"}).status, 2);
    EXPECT_EQ(cli({"export", "-", "--group", "Default", "A2"}).status, 2);
    EXPECT_EQ(cli({"export", "-", "--group", "Nope"}).status, 2);
    auto unknown = cli({"export", "-", "FFFF"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(contains(unknown.err, "no track or album 'FFFF'")) << unknown.err;
    EXPECT_EQ(unknown.out, "");
}

TEST_F(DiagnosticsCommands, DebugOfMissingFileAndAlbum) {
    EXPECT_EQ(cli({"debug"}).status, 2);
    EXPECT_EQ(cli({"debug", "A2", "nothing"}).status, 2);

    auto missing = cli({"debug", "A4"});
    ASSERT_EQ(missing.status, 0) << missing.err;
    EXPECT_TRUE(contains(missing.out, "\n  size: -1\n"));
    EXPECT_TRUE(contains(missing.out, "\n\nSonorix information:\n  none\n")) << missing.out;

    ASSERT_EQ(cli({"group-options", "--album-mode", "2"}).status, 0);
    auto both = cli({"debug", "A3:A4", "A2"});
    ASSERT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(both.out.rfind("####### Album Debug Output #######\n\nSonorix information:\n  none\n"
                             "####### Track Debug Output #######\n",
                             0),
              0u)
        << both.out;
}
