#include "model/HealthCheck.h"

#include "support/TestSupport.h"

#include "audio/iTunNORMTag.h"

#include <gtest/gtest.h>

using namespace sonorix;
using namespace sonorix::test;

namespace {

const std::string kText = " 00000A2C 00000A2C 00003F1E 00003F1E 00000000 00000000 00007FFF "
                          "00007FFF 00000000 00000000";

SoundCheckValues valuesOf(const std::string& text) {
    SoundCheckValues values{};
    EXPECT_TRUE(SoundCheckText::parse(text.data(), text.size(), values));
    return values;
}

// An MP3 with a Sound Check comment and a ReplayGain track gain of -3 dB, written by mutagen.
class HealthCheckFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(makeStereoMp3(m_path, "sine=frequency=440:duration=1"));
        auto r = runCommand({"/usr/bin/python3", "-c",
                             "import sys, mutagen.id3 as i\n"
                             "t = i.ID3(sys.argv[1])\n"
                             "t.add(i.COMM(encoding=0, lang='eng', desc='iTunNORM', "
                             "text=[sys.argv[2]]))\n"
                             "t.add(i.TXXX(encoding=0, desc='REPLAYGAIN_TRACK_GAIN', "
                             "text=['-3.00 dB']))\n"
                             "t.save()\n",
                             m_path, kText});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    TempDir m_dir;
    std::string m_path = m_dir.file("a.mp3");
};

TEST_F(HealthCheckFile, StoredResultAndReplayGainAreComparedWithTheFile) {
    const auto same = valuesOf(kText);
    auto good = checkFile(m_path, same, -2.2);
    EXPECT_TRUE(good.readable);
    ASSERT_EQ(good.soundCheck.size(), 1u);
    EXPECT_TRUE(good.soundCheck[0].canonical);
    ASSERT_EQ(good.replayGain.size(), 1u);
    // Within 1 dB of the measurement and equal to the stored values: nothing to report.
    EXPECT_TRUE(good.problems.empty());
    EXPECT_FALSE(good.repairable());

    auto other = same;
    other[0] = other[1] = 0x500;
    auto bad = checkFile(m_path, other, -1.5);
    EXPECT_TRUE(bad.has(HealthReport::kDisagreesWithStore));
    EXPECT_TRUE(bad.has(HealthReport::kReplayGainDisagrees));
    // A repair writes Sonorix's stored value, not the file's.
    EXPECT_EQ(repairValues(bad, other), other);
    EXPECT_EQ(repairValues(bad, std::nullopt), same);

    auto counts = totals({good, bad, bad});
    EXPECT_EQ(counts[HealthReport::kReplayGainDisagrees], 2u);
}

TEST(HealthCheck, FilesThatCannotBeCheckedSaySo) {
    TempDir dir;
    auto missing = checkFile(dir.file("gone.mp3"), std::nullopt, std::nullopt);
    EXPECT_FALSE(missing.readable);
    EXPECT_EQ(missing.note, "file not found");
    writeFile(dir.file("a.wav"), "RIFF");
    auto wav = checkFile(dir.file("a.wav"), std::nullopt, std::nullopt);
    EXPECT_TRUE(wav.readable);
    EXPECT_TRUE(wav.problems.empty());
}

} // namespace
