// Valid but unusual files, as other taggers write them: whatever Sonorix does to them, every tag it
// does not own stays as it was, the audio is untouched, and a file it cannot handle safely is left
// byte for byte with a message that says why.
#include "support/TestSupport.h"

#include "../model/LibraryFile.h"
#include "TagDump.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>

using namespace sonorix::test;

namespace {

// The unusual MP3s: extended headers with and without unsynchronisation (versions 2.3 and 2.4),
// a text in a user-text frame, a text planted in the audio or in a picture, a frame that asks to
// be dropped when the tag changes.
const std::vector<std::string> kMp3Kinds = {
    "ext23", "ext23u",        "ext24",    "ext24u",     "ext23-norm", "ext24u-norm",
    "txxx",  "txxx-and-comm", "in-audio", "in-picture", "drop-frame"};

class HostileFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(m_dir.file("music").c_str(), 0755);
        std::vector<std::string> kinds = kMp3Kinds;
        kinds.push_back("in-mdat.m4a");
        kinds.push_back("nested.m4a");
        ASSERT_TRUE(makeHostile(m_dir.file("music"), kinds));
        for (const auto& kind : kMp3Kinds) {
            m_files.push_back(music(kind + ".mp3"));
        }
        m_files.push_back(music("in-mdat.m4a"));
        for (const auto& file : m_files) {
            m_tags[file] = tagsOf(file);
            m_audio[file] = audioMd5(file);
        }
    }

    std::string music(const std::string& name) const { return m_dir.file("music/" + name); }

    // adjustment: the first Sound Check field expected, or empty for any.
    void expectOnlyOursChanged(const std::string& file, bool stamped,
                               const std::string& adjustment = "") {
        SCOPED_TRACE(file);
        std::string after = tagsOf(file);
        EXPECT_EQ(otherTags(after), otherTags(m_tags[file]));
        EXPECT_EQ(audioMd5(file), m_audio[file]);
        std::string norm = lineOf(after, "NORM");
        EXPECT_EQ(norm.size(), 90u) << norm;
        if (!adjustment.empty()) {
            EXPECT_EQ(norm.substr(0, 9), adjustment) << norm;
        }
        std::string comment = lineOf(after, "COMMENT");
        if (stamped) {
            EXPECT_TRUE(contains(comment, "Adjusted by Sonorix")) << comment;
        }
        if (contains(m_tags[file], "COMMENT=my comment")) {
            EXPECT_TRUE(contains(comment, "my comment")) << comment;
        }
    }

    TempDir m_dir;
    std::vector<std::string> m_files;
    std::map<std::string, std::string> m_tags;
    std::map<std::string, std::string> m_audio;
};

TEST_F(HostileFiles, TagSetChangesOnlyTheTextPlayersRead) {
    std::vector<std::string> args = {"tag", "--set", "-3"};
    args.insert(args.end(), m_files.begin(), m_files.end());
    auto r = runCli(args);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const auto& file : m_files) {
        expectOnlyOursChanged(file, false, " 000007CB");
    }
    // A text outside the comment frame is never "written in place": the frame was created.
    EXPECT_FALSE(contains(r.out, "in-audio.mp3: -1.00 dB")) << r.out;
    EXPECT_FALSE(contains(r.out, "txxx.mp3: -1.00 dB")) << r.out;
    // The user-text frame keeps its own value; only the comment frame holds ours.
    EXPECT_TRUE(contains(m_tags[music("txxx.mp3")], "000001F5"));
    EXPECT_TRUE(contains(otherTags(tagsOf(music("txxx.mp3"))), "000001F5"));
}

TEST_F(HostileFiles, DeeplyNestedAtomsAreRefusedWithoutACrash) {
    std::string nested = music("nested.m4a");
    std::string before = readFile(nested);
    auto tag = runCli({"tag", nested});
    EXPECT_EQ(tag.status, 1) << tag.out << tag.err;
    EXPECT_TRUE(contains(tag.out + tag.err, "nest too deeply")) << tag.out << tag.err;
    auto set = runCli({"tag", "--set", "2", nested});
    EXPECT_EQ(set.status, 1) << set.out << set.err;
    auto comment = runCli({"comment", "--set", "x", nested});
    EXPECT_NE(comment.status, 0);
    EXPECT_LT(comment.status, 128) << "crashed";
    EXPECT_EQ(readFile(nested), before);
}

TEST_F(HostileFiles, AdjustingKeepsEveryTagAndStampsEachFile) {
    std::vector<LibraryTrack> tracks;
    uint64_t id = 0x100;
    std::vector<std::string> all = m_files;
    all.push_back(music("nested.m4a"));
    for (const auto& file : all) {
        auto t = track(id++).named(file.substr(file.rfind('/') + 1)).on("Single " + file);
        t.location = "file://localhost" + file;
        t.totalTimeMs = 3000;
        tracks.push_back(t);
    }
    writeFile(m_dir.file("lib.xml"), libraryXml(tracks, "12.9.5.5"));
    std::string nestedBefore = readFile(music("nested.m4a"));

    auto r = runCliIn(m_dir, {"adjust", "all"});
    EXPECT_EQ(r.status, 1) << r.err; // the nested file fails, the rest are adjusted
    EXPECT_TRUE(contains(r.err, std::to_string(m_files.size()) + " tracks adjusted")) << r.err;
    for (const auto& file : m_files) {
        expectOnlyOursChanged(file, true);
    }
    EXPECT_EQ(readFile(music("nested.m4a")), nestedBefore);
    auto list = runCliIn(m_dir, {"list"});
    EXPECT_TRUE(contains(list.out, "Could Not Be Read Safely")) << list.out;

    // Nothing left to do on a second run: every value and stamp is in place.
    auto again = runCliIn(m_dir, {"adjust", "all"});
    EXPECT_TRUE(contains(again.err, "0 tracks adjusted")) << again.err;
}

} // namespace

namespace {

// A file that crashed a reader in an earlier run is failed and skipped, never read again while it
// stays the same; the rest of the library is adjusted.
TEST(CrashedFiles, AreSkippedUntilTheyChange) {
    TempDir dir;
    ::mkdir(dir.file("music").c_str(), 0755);
    ::mkdir(dir.file("data").c_str(), 0700);
    ::mkdir(dir.file("data/in-progress").c_str(), 0700);
    std::vector<LibraryTrack> tracks;
    for (uint64_t id : {0xA1, 0xA2}) {
        std::string file = dir.file("music/" + std::to_string(id) + ".mp3");
        ASSERT_TRUE(makeStereoMp3(file, "sine=frequency=440:duration=2"));
        auto t = track(id).named("T" + std::to_string(id)).on("Single " + std::to_string(id));
        t.location = "file://localhost" + file;
        t.totalTimeMs = 2000;
        tracks.push_back(t);
    }
    writeFile(dir.file("lib.xml"), libraryXml(tracks, "12.9.5.5"));
    std::string bad = dir.file("music/162.mp3"); // 0xA2
    std::string badBefore = readFile(bad);
    writeFile(dir.file("data/in-progress/A2-1-0"), "A2\n" + bad + "\ncrashed\n");
    // A killed run's entry (no crash mark) does not count.
    writeFile(dir.file("data/in-progress/A1-1-1"), "A1\n" + dir.file("music/161.mp3"));

    auto first = runCliIn(dir, {"adjust", "all"});
    EXPECT_EQ(first.status, 1) << first.err;
    EXPECT_TRUE(contains(first.err, "1 tracks adjusted")) << first.err;
    EXPECT_TRUE(contains(first.err, "Could Not Be Read Safely")) << first.err;
    EXPECT_EQ(readFile(bad), badBefore);
    auto entries = runCommand({"/bin/ls", "-A", dir.file("data/in-progress")});
    EXPECT_EQ(entries.out, "") << "entries stay only until the model holding them is saved";

    // Still skipped on the next run, with nothing left in the journal.
    auto second = runCliIn(dir, {"adjust", "all"});
    EXPECT_TRUE(contains(second.err, "Could Not Be Read Safely")) << second.err;
    EXPECT_EQ(readFile(bad), badBefore);

    // Once the file changed (repaired, replaced), it is worked on again.
    ASSERT_TRUE(makeStereoMp3(bad, "sine=frequency=330:duration=2"));
    auto third = runCliIn(dir, {"adjust", "all"});
    EXPECT_EQ(third.status, 0) << third.err;
    EXPECT_TRUE(contains(third.err, "1 tracks adjusted")) << third.err;
}

} // namespace
