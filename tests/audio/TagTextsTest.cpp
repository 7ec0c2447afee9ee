#include "audio/TagTexts.h"

#include "support/TestSupport.h"

#include "audio/SafeTagSave.h"
#include "audio/iTunNORMTag.h"

#include <gtest/gtest.h>

using namespace sonorix;
using namespace sonorix::test;

namespace {

// Every tag mutagen sees, one "key=value" per line, sorted.
std::string tagsOf(const std::string& path) {
    auto r = runCommand({"/usr/bin/python3", "-c",
                         "import sys, mutagen\n"
                         "f = mutagen.File(sys.argv[1])\n"
                         "print('\\n'.join(sorted('%s=%s' % (k, f.tags[k]) for k in "
                         "f.tags.keys())))\n",
                         path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(TagTexts, ReplayGainInOggReplacesEverySpellingAndKeepsOtherComments) {
    TempDir dir;
    const std::string path = dir.file("a.ogg");
    ASSERT_TRUE(makeAudio(path, "sine=frequency=440:duration=1",
                          {"-c:a", "libvorbis", "-metadata", "title=Song", "-metadata",
                           "replaygain_track_gain=+9.00 dB", "-metadata",
                           "REPLAYGAIN_ALBUM_GAIN=+1.00 dB"}));
    TagTexts::ReplayGain gain;
    gain.trackGain = -4.5;
    gain.trackPeak = 0.25;
    EXPECT_EQ(TagTexts::setReplayGain(path, gain), TagTexts::Outcome::Changed);
    const std::string tags = tagsOf(path);
    EXPECT_TRUE(has(tags, "replaygain_track_gain=['-4.50 dB']")) << tags;
    EXPECT_TRUE(has(tags, "replaygain_track_peak=['0.250000']")) << tags;
    EXPECT_FALSE(has(tags, "+9.00")) << tags;
    EXPECT_TRUE(has(tags, "title=['Song']")) << tags;
    // The same figures again: the file is not written.
    EXPECT_EQ(TagTexts::setReplayGain(path, gain), TagTexts::Outcome::Unchanged);
    // No album figures given: the album tag another tool wrote is not ours to remove.
    EXPECT_TRUE(has(tags, "replaygain_album_gain=['+1.00 dB']")) << tags;
}

TEST(TagTexts, OneCanonicalTextOrNoneInMpeg4) {
    TempDir dir;
    const std::string path = dir.file("a.m4a");
    ASSERT_TRUE(makeAudio(path, "sine=frequency=440:duration=1",
                          {"-c:a", "aac", "-b:a", "96k", "-metadata", "title=Song"}));
    const std::string text = " 000001F4 000001F4 00000C35 00000C35 00024CA8 00024CA8 00007FFF "
                             "00007FFF 00024CA8 00024CA8";
    auto r = runCommand({"/usr/bin/python3", "-c",
                         "import sys, mutagen.mp4 as m\n"
                         "f = m.MP4(sys.argv[1])\n"
                         "f['----:com.apple.iTunes:itunnorm'] = [sys.argv[2].lower().encode()]\n"
                         "f['----:com.apple.iTunes:ITUNNORM'] = [sys.argv[2].encode()]\n"
                         "f.save()\n",
                         path, text});
    ASSERT_EQ(r.status, 0) << r.err;
    auto before = TagTexts::survey(path);
    ASSERT_EQ(before.soundCheck.size(), 2u);
    EXPECT_FALSE(before.soundCheck[0].canonical || before.soundCheck[1].canonical);

    SoundCheckValues values{};
    ASSERT_TRUE(SoundCheckText::parse(text.data(), text.size(), values));
    EXPECT_EQ(TagTexts::setSoundCheck(path, values), TagTexts::Outcome::Changed);
    auto one = TagTexts::survey(path);
    ASSERT_EQ(one.soundCheck.size(), 1u);
    EXPECT_TRUE(one.soundCheck[0].canonical);
    EXPECT_EQ(one.soundCheck[0].text, text);
    EXPECT_EQ(TagTexts::setSoundCheck(path, values), TagTexts::Outcome::Unchanged);

    // Removed, not zeroed; the title stays.
    EXPECT_EQ(TagTexts::setSoundCheck(path, std::nullopt), TagTexts::Outcome::Changed);
    EXPECT_TRUE(TagTexts::survey(path).soundCheck.empty());
    const std::string tags = tagsOf(path);
    EXPECT_FALSE(has(tags, "iTunNORM") || has(tags, "ITUNNORM")) << tags;
    EXPECT_TRUE(has(tags, "Song")) << tags;
}

TEST(TagTexts, AnEditThatFailsLeavesTheFileAsItWas) {
    TempDir dir;
    const std::string path = dir.file("a.mp3");
    ASSERT_TRUE(makeStereoMp3(path, "sine=frequency=440:duration=1"));
    const std::string before = readFile(path);
    setSafeSaveFaultHook([](SafeSaveStage stage, const std::string&) {
        if (stage == SafeSaveStage::Synced) {
            throw std::runtime_error("disk gone");
        }
    });
    TagTexts::ReplayGain gain;
    gain.trackGain = 1.0;
    gain.trackPeak = 0.5;
    std::string error;
    const auto outcome = TagTexts::setReplayGain(path, gain, &error);
    setSafeSaveFaultHook(nullptr);
    EXPECT_EQ(outcome, TagTexts::Outcome::Failed);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(readFile(path), before);
    EXPECT_TRUE(TagTexts::survey(path).replayGain.empty());
}

TEST(TagTexts, GainTexts) {
    EXPECT_EQ(TagTexts::gainText(-6.544), "-6.54 dB");
    EXPECT_EQ(TagTexts::gainText(3.0), "+3.00 dB");
    EXPECT_EQ(TagTexts::peakText(0.98855349), "0.988553");
    EXPECT_EQ(TagTexts::parseGain("-6.54 dB"), -6.54);
    EXPECT_EQ(TagTexts::parseGain("+1.5"), 1.5);
    EXPECT_FALSE(TagTexts::parseGain("loud"));
    EXPECT_FALSE(TagTexts::parseGain("-1 dBFS"));
}

} // namespace
