#include "audio/CommentTag.h"
#include "audio/SafeTagSave.h"
#include "audio/iTunNORMTag.h"
#include "foundation/Text.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrackLibraryFile.h"

#include "LibraryFileMaker.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace sonorix;
using namespace sonorix::test;

namespace {

struct Format {
    const char* extension;
    std::vector<std::string> options; // ffmpeg output options
    bool soundCheck;                  // the Sound Check text can live in this kind
};

const Format kFormats[] = {
    {"mp3", {"-c:a", "libmp3lame", "-b:a", "128k", "-metadata", "title=T"}, true},
    {"m4a", {"-c:a", "aac", "-b:a", "96k"}, true},
    {"aiff", {"-c:a", "pcm_s16be", "-write_id3v2", "1", "-metadata", "title=T"}, true},
    {"flac", {"-c:a", "flac"}, false},
};

// The decoded audio, to show that a comment write never touches it.
std::string decodedDigest(const std::string& path) {
    auto r = runCommand(
        {"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// The comment as an independent reader sees it.
std::string mutagenComment(const std::string& path) {
    static const char* script = R"(
import sys, mutagen
f = mutagen.File(sys.argv[1])
t = f.tags
out = ''
if t is not None and hasattr(t, 'getall'):
    found = [c for c in t.getall('COMM') if c.desc == '']
    out = '|'.join(found[0].text) if found else ''
elif t is not None and f.mime[0] == 'audio/mp4':
    out = '|'.join(t.get('\xa9cmt', []))
elif t is not None:
    out = '|'.join(t.get('comment', []))
sys.stdout.buffer.write(out.encode('utf-8'))
)";
    auto r = runCommand({"/usr/bin/python3", "-c", script, path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::string soundCheckText(const std::string& path) {
    int32_t hint = -1;
    iTunNORMTag tag;
    tag.open(path, hint, false, false);
    return tag.isPresent() ? tag.text() : "";
}

class FileComments : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir;
        for (const auto& f : kFormats) {
            std::string path = s_dir->file(std::string("source.") + f.extension);
            ASSERT_TRUE(makeAudio(path, "sine=frequency=440:duration=1", f.options)) << path;
        }
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    std::string copyOf(const Format& f) {
        std::string path = m_dir.file(std::string("track.") + f.extension);
        std::filesystem::copy_file(s_dir->file(std::string("source.") + f.extension), path);
        return path;
    }

    static TempDir* s_dir;
    TempDir m_dir;
};

TempDir* FileComments::s_dir = nullptr;

} // namespace

TEST_F(FileComments, WrittenAndReadBackInEveryKindWithAudioAndSoundCheckUnchanged) {
    const std::u16string stamp = u"Adjusted by Sonorix 12/09/2026 07:30:00\r\nLive at the café ♪";
    for (const auto& f : kFormats) {
        SCOPED_TRACE(f.extension);
        std::string path = copyOf(f);
        std::string soundCheck;
        if (f.soundCheck) {
            int32_t hint = -1;
            iTunNORMTag tag;
            tag.open(path, hint, true, true);
            ASSERT_TRUE(tag.setAdjustment(-4.5));
            soundCheck = soundCheckText(path);
            ASSERT_EQ(soundCheck.size(), iTunNORMTag::kTextLength);
        }
        std::string audio = decodedDigest(path);

        std::u16string comment = u"unchanged";
        ASSERT_TRUE(CommentTag::read(path, comment));
        EXPECT_EQ(comment, u""); // the Sound Check frame is not a comment

        ASSERT_TRUE(CommentTag::write(path, stamp));
        ASSERT_TRUE(CommentTag::read(path, comment));
        EXPECT_EQ(comment, stamp);
        EXPECT_EQ(mutagenComment(path), toUtf8(stamp));
        EXPECT_EQ(decodedDigest(path), audio);
        if (f.soundCheck) {
            EXPECT_EQ(soundCheckText(path), soundCheck);
        }

        // A second comment replaces the first; an empty one removes it.
        ASSERT_TRUE(CommentTag::write(path, u"second"));
        EXPECT_EQ(mutagenComment(path), "second");
        ASSERT_TRUE(CommentTag::write(path, u""));
        ASSERT_TRUE(CommentTag::read(path, comment));
        EXPECT_EQ(comment, u"");
        EXPECT_EQ(decodedDigest(path), audio);
        if (f.soundCheck) {
            EXPECT_EQ(soundCheckText(path), soundCheck);
        }
    }
}

TEST_F(FileComments, ACommentWrittenByAnotherProgramIsFoundAndOnlyItIsReplaced) {
    std::string path = m_dir.file("tagged.mp3");
    ASSERT_TRUE(makeAudio(path, "sine=frequency=440:duration=1",
                          {"-c:a", "libmp3lame", "-metadata", "title=Keep Me"}));
    auto added = runCommand({"/usr/bin/python3", "-c",
                             "import sys,mutagen.id3 as i;t=i.ID3(sys.argv[1]);"
                             "t.add(i.COMM(encoding=3,lang='eng',desc='',text=['from the shop']));"
                             "t.add(i.COMM(encoding=3,lang='eng',desc='iTunPGAP',text=['0']));"
                             "t.save()",
                             path});
    ASSERT_EQ(added.status, 0) << added.err;
    std::u16string comment;
    ASSERT_TRUE(CommentTag::read(path, comment));
    EXPECT_EQ(comment, u"from the shop");
    ASSERT_TRUE(CommentTag::write(path, u"mine"));
    auto r = runCommand({"/usr/bin/python3", "-c",
                         "import sys,mutagen;t=mutagen.File(sys.argv[1]).tags;"
                         "print(len([c for c in t.getall('COMM') if c.desc=='']),"
                         "len(t.getall('COMM')),t['TIT2'].text[0])",
                         path});
    EXPECT_EQ(r.out, "1 2 Keep Me\n") << r.err;
}

TEST_F(FileComments, FailuresLeaveTheFileAsItWas) {
    std::string path = copyOf(kFormats[0]);
    std::string before = readFile(path);
    // A save that breaks down half-way (full disk, crash) never reaches the user's file.
    setSafeSaveFaultHook([](SafeSaveStage stage, const std::string& copy) {
        if (stage == SafeSaveStage::Edited) {
            ::truncate(copy.c_str(), 1000);
        }
    });
    EXPECT_FALSE(CommentTag::write(path, u"half"));
    setSafeSaveFaultHook({});
    EXPECT_EQ(readFile(path), before);
    if (::geteuid() != 0) { // root may write anything
        ::chmod(path.c_str(), 0444);
        EXPECT_FALSE(CommentTag::write(path, u"nope"));
        EXPECT_EQ(readFile(path), before);
        ::chmod(path.c_str(), 0644);
    }

    std::u16string comment;
    std::string wav = m_dir.file("plain.wav");
    ASSERT_TRUE(makeAudio(wav, "sine=frequency=440:duration=0.2"));
    EXPECT_FALSE(CommentTag::supported(wav));
    EXPECT_FALSE(CommentTag::read(wav, comment));
    EXPECT_FALSE(CommentTag::write(wav, u"x"));
    std::string fake = m_dir.file("not audio.mp3");
    writeFile(fake, std::string(4096, 'z'));
    EXPECT_FALSE(CommentTag::read(fake, comment));
    EXPECT_FALSE(CommentTag::read(m_dir.file("missing.m4a"), comment));
}

TEST_F(FileComments, LibraryTracksWorkOnTheirFileAndNeverClaimAVolumeChange) {
    std::string audio = copyOf(kFormats[1]);
    std::string libraryPath = m_dir.file("library.xml");
    ASSERT_TRUE(writeLibraryFile(libraryPath,
                                 {{0xA1, 1, "On Disk", "", "", fileURL(audio), 128},
                                  {0xA2, 2, "Gone", "", "", fileURL(m_dir.file("gone.mp3")), -255},
                                  {0xA3, 3, "Radio", "", "", "http://radio.example/stream", 0}}));
    auto library =
        iTunesLibrary::load(libraryPath, {}, std::make_shared<iTunesTrackLibraryFileFactory>());
    auto onDisk = library->track(0xA1);
    auto gone = library->track(0xA2);
    auto radio = library->track(0xA3);

    ASSERT_TRUE(onDisk->setComment(u"Adjusted by Sonorix"));
    std::u16string comment;
    ASSERT_TRUE(onDisk->getComment(comment));
    EXPECT_EQ(comment, u"Adjusted by Sonorix");
    EXPECT_TRUE(onDisk->updateInfoFromFile());
    EXPECT_FALSE(gone->getComment(comment));
    EXPECT_FALSE(gone->setComment(u"x"));
    EXPECT_FALSE(gone->updateInfoFromFile());

    int32_t percent = 0;
    ASSERT_TRUE(onDisk->getVolumeAdjustment(percent));
    EXPECT_EQ(percent, 50);
    ASSERT_TRUE(gone->getVolumeAdjustment(percent));
    EXPECT_EQ(percent, -100);
    ASSERT_TRUE(radio->getVolumeAdjustment(percent));
    EXPECT_EQ(percent, 0);
    EXPECT_FALSE(onDisk->setVolumeAdjustment(0));
    EXPECT_FALSE(onDisk->revealInITunes());

    std::string where;
    ASSERT_TRUE(onDisk->getLocationFromITunes(where));
    EXPECT_EQ(where, audio);
    EXPECT_FALSE(radio->getLocationFromITunes(where));
}

TEST_F(FileComments, PlayingAndShowingStartTheDesktopsHelpers) {
    std::string audio = copyOf(kFormats[0]);
    std::string libraryPath = m_dir.file("library.xml");
    ASSERT_TRUE(writeLibraryFile(libraryPath, {{0xB1, 1, "A", "", "", fileURL(audio), 0},
                                               {0xB2, 2, "B", "", "", fileURL(audio + "x"), 0}}));
    auto library =
        iTunesLibrary::load(libraryPath, {}, std::make_shared<iTunesTrackLibraryFileFactory>());
    std::vector<std::vector<std::string>> ran;
    bool busAnswers = false;
    DesktopLauncher::setRunner([&](const std::vector<std::string>& argv, bool) {
        ran.push_back(argv);
        return argv[0] != "gdbus" || busAnswers;
    });
    EXPECT_TRUE(library->track(0xB1)->play());
    EXPECT_FALSE(library->track(0xB2)->play()); // no file, nothing started
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0], (std::vector<std::string>{"xdg-open", audio}));

    // Without a file manager on the bus, the folder is opened instead.
    ran.clear();
    EXPECT_TRUE(library->track(0xB1)->revealInExplorer());
    ASSERT_EQ(ran.size(), 2u);
    EXPECT_EQ(ran[0][0], "gdbus");
    EXPECT_NE(
        std::find(ran[0].begin(), ran[0].end(), "['" + DesktopLauncher::fileURI(audio) + "']"),
        ran[0].end());
    EXPECT_EQ(ran[1], (std::vector<std::string>{"xdg-open", m_dir.path()}));
    ran.clear();
    busAnswers = true;
    EXPECT_TRUE(library->track(0xB1)->revealInExplorer());
    EXPECT_EQ(ran.size(), 1u);
    DesktopLauncher::setRunner({});

    EXPECT_EQ(DesktopLauncher::fileURI("/a b/it's ü.mp3"), "file:///a%20b/it%27s%20%C3%BC.mp3");
}
