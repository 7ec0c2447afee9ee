#include "AudioFiles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

using namespace sonorix::test;

TEST(AnalyzeCommand, ResultsInInputOrderWithExitStatus) {
    std::string loud = generatedAudio("cli-loud.flac", "anoisesrc=d=2:a=0.8:r=44100", "-c:a flac");
    std::string quiet = generatedAudio("cli-quiet.wav", "sine=f=500:d=2", "-c:a pcm_s16le");
    std::string tooShort = generatedAudio("cli-short.wav", "sine=d=0.02", "-c:a pcm_s16le");
    std::string missing = generatedFolder() + "/missing.mp3";

    // Many workers, results still in the order given.
    CommandResult r = runCli({"analyze", "--threads", "3", quiet, loud, quiet, loud});
    EXPECT_EQ(r.status, 0) << r.err;
    std::regex line(R"((.*): ([+-]\d+\.\d\d) dB, peak (\d+\.\d\d), length 0:02\.00)");
    std::istringstream out(r.out);
    std::vector<std::string> paths;
    for (std::string l; std::getline(out, l);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        paths.push_back(m[1]);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{quiet, loud, quiet, loud}));

    r = runCli({"analyze", "--format", "tsv", loud, missing, tooShort});
    EXPECT_EQ(r.status, 1);
    std::istringstream tsv(r.out);
    std::string header, a, b, c;
    std::getline(tsv, header);
    std::getline(tsv, a);
    std::getline(tsv, b);
    std::getline(tsv, c);
    EXPECT_EQ(header, "path\tgain_db\tpeak\tframes\terror");
    EXPECT_TRUE(std::regex_match(
        a, std::regex(std::regex_replace(loud, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                      R"(\t-?\d+\.\d{4}\t\d+\.\d{2}\t88200\t)")))
        << a;
    EXPECT_EQ(b, missing + "\t\t\t0\tFile Not Found");
    EXPECT_EQ(c, tooShort + "\t\t\t882\tToo Short");
}

TEST(AnalyzeCommand, UsageErrors) {
    EXPECT_EQ(runCli({"analyze"}).status, 2);
    EXPECT_EQ(runCli({"analyze", "--format", "xml", "a.mp3"}).status, 2);
    EXPECT_EQ(runCli({"analyze", "--threads", "0", "a.mp3"}).status, 2);
    EXPECT_EQ(runCli({"analyze", "--bogus", "a.mp3"}).status, 2);
    CommandResult help = runCli({"analyze", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--format tsv"), std::string::npos);
    // "--" ends the options: a file may start with a dash.
    CommandResult r = runCli({"analyze", "--", "--not-there.mp3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "--not-there.mp3: File Not Found\n");
}
