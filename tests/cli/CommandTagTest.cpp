#include "support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sonorix::test;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(text.substr(start, end - start));
    }
    return out;
}

std::vector<std::string> columns(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = line.find('\t', start)) != std::string::npos; start = end + 1) {
        out.push_back(line.substr(start, end - start));
    }
    out.push_back(line.substr(start));
    return out;
}

// Runs the console as an unprivileged user when the tests run as root, so that file
// permissions apply.
CommandResult runCliUnprivileged(const std::vector<std::string>& args) {
    if (::geteuid() != 0) {
        return runCli(args);
    }
    std::vector<std::string> argv{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                  SONORIX_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv);
}

class TagCommand : public ::testing::Test {
protected:
    void SetUp() override {
        m_mp3 = m_dir.file("song.mp3");
        ASSERT_TRUE(makeAudio(m_mp3, "sine=frequency=440:duration=1",
                              {"-ac", "2", "-c:a", "libmp3lame", "-id3v2_version", "3"}));
    }
    TempDir m_dir;
    std::string m_mp3;
};

} // namespace

TEST_F(TagCommand, TsvRowsBeforeAndAfterSetting) {
    std::string missing = m_dir.file("missing.mp3");
    auto r = runCli({"tag", "--format", "tsv", m_mp3, missing});
    EXPECT_EQ(r.status, 1) << r.err; // the missing file is a failure, no text is not
    auto rows = lines(r.out);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    EXPECT_EQ(rows[0], "path\ttext\tadjustment_db\twhere\terror");
    EXPECT_EQ(columns(rows[1]),
              (std::vector<std::string>{m_mp3, "", "", "", "no Sound Check text"}));
    auto missingRow = columns(rows[2]);
    ASSERT_EQ(missingRow.size(), 5u);
    EXPECT_EQ(missingRow[4].rfind("cannot open the file", 0), 0u) << missingRow[4];

    r = runCli({"tag", "--set", "-3", m_mp3});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, m_mp3 + ": no Sound Check text -> -3.00 dB, ID3v2 comment created\n");

    r = runCli({"tag", "--format", "tsv", m_mp3});
    EXPECT_EQ(r.status, 0);
    auto row = columns(lines(r.out).at(1));
    ASSERT_EQ(row.size(), 5u);
    EXPECT_EQ(row[1], " 000007CB 000007CB 0000137C 0000137C 00000000 00000000 00000000 00000000 "
                      "00000000 00000000");
    EXPECT_EQ(row[2], "-3.00");
    EXPECT_EQ(row[3].rfind("in place at byte ", 0), 0u) << row[3];
    EXPECT_EQ(row[4], "");

    r = runCli({"tag", "--set", "1.5", m_mp3});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(m_mp3 + ": -3.00 dB -> +1.50 dB, written in place at byte ", 0), 0u)
        << r.out;
    r = runCli({"tag", "--set", "1.5", "--format", "tsv", m_mp3});
    EXPECT_EQ(columns(lines(r.out).at(1)).back(), "no");
}

// Zero reads as no change at all: never "-0.00", whichever way the value rounds.
TEST_F(TagCommand, ZeroShowsWithoutSign) {
    for (const char* set : {"0", "-0.001", "0.004"}) {
        auto r = runCli({"tag", "--set", set, m_mp3});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find("-0.00"), std::string::npos) << r.out;
        auto shown = runCli({"tag", m_mp3});
        EXPECT_NE(shown.out.find("adjustment: 0.00 dB"), std::string::npos) << shown.out;
        EXPECT_EQ(columns(lines(runCli({"tag", "--format", "tsv", m_mp3}).out).at(1))[2], "0.00");
    }
}

// A name may hold any byte but "/" and NUL; the rows must still split into the same columns.
TEST_F(TagCommand, TsvEscapesTabsNewlinesAndBackslashes) {
    std::string odd = m_dir.file("a\tb\nc\\d.mp3");
    fs::copy_file(m_mp3, odd);
    const std::string escaped = m_dir.path() + "/a\\tb\\nc\\\\d.mp3";
    for (auto args : {std::vector<std::string>{"tag", "--format", "tsv", odd},
                      std::vector<std::string>{"analyze", "--format", "tsv", odd}}) {
        auto r = runCli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        auto rows = lines(r.out);
        ASSERT_EQ(rows.size(), 2u) << r.out;
        EXPECT_EQ(columns(rows[1]).size(), columns(rows[0]).size()) << rows[1];
        EXPECT_EQ(columns(rows[1])[0], escaped);
    }
}

TEST_F(TagCommand, RejectsBadArguments) {
    for (auto args : std::vector<std::vector<std::string>>{{"tag"},
                                                           {"tag", "--set", "loud", m_mp3},
                                                           {"tag", "--set", "nan", m_mp3},
                                                           {"tag", "--set", "1e999", m_mp3},
                                                           {"tag", "--set"},
                                                           {"tag", "--format", "xml", m_mp3},
                                                           {"tag", "--bogus", m_mp3}}) {
        auto r = runCli(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_NE(r.err.find("sonorix-cli: "), std::string::npos);
    }
    EXPECT_EQ(runCli({"tag", "--help"}).status, 0);
}

TEST_F(TagCommand, WriteProtectedFilesAreReportedAndLeftAlone) {
    // One file takes the TagLib path (no text yet), the other the in-place path.
    std::string inPlace = m_dir.file("in-place.mp3");
    fs::copy_file(m_mp3, inPlace);
    ASSERT_EQ(runCli({"tag", "--set", "0", inPlace}).status, 0);
    ::chmod(m_dir.path().c_str(), 0755);
    for (const auto& path : {m_mp3, inPlace}) {
        SCOPED_TRACE(path);
        ::chmod(path.c_str(), 0444);
        std::string before = readFile(path);
        auto r = runCliUnprivileged({"tag", "--set", "4", path});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.out.find(path + ": "), std::string::npos) << r.out;
        EXPECT_EQ(readFile(path), before);
    }
    EXPECT_EQ(fs::directory_iterator(m_dir.path()) == fs::directory_iterator(), false);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.path()), fs::directory_iterator()), 2);
}
