#include "ProcessingTestSupport.h"

#include "audio/CommentTag.h"
#include "audio/SoundCheck.h"
#include "audio/iTunNORMTag.h"
#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/Text.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrackLibraryFile.h"
#include "processing/SonorixAdjustmentJob.h"
#include "processing/SonorixManualAdjustmentJob.h"
#include "processing/SonorixRemoveCommentsJob.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>

using namespace sonorix;
using namespace sonorix::test;

namespace {

TEST(TouchComment, AlternatesBetweenTwoFormsWithoutVisibleText) {
    std::u16string comment = u"abc";
    SonorixManualAdjustmentJob::touchComment(comment);
    EXPECT_EQ(comment, u"abc\n");
    SonorixManualAdjustmentJob::touchComment(comment);
    EXPECT_EQ(comment, u"abc");

    for (char16_t trailing : {u'\u0001', u'\t', u'\r', u' ', u'\u00A0'}) {
        comment = u"abc";
        comment += trailing;
        SonorixManualAdjustmentJob::touchComment(comment);
        EXPECT_EQ(comment, u"abc") << static_cast<int>(trailing);
    }
    comment.clear();
    SonorixManualAdjustmentJob::touchComment(comment);
    EXPECT_EQ(comment, u"");
}

TEST(ManualValue, IsRoundedToATenthWithHalvesAwayFromZero) {
    EXPECT_DOUBLE_EQ(SonorixManualAdjustmentJob::roundValue(1.25), 1.3);
    EXPECT_DOUBLE_EQ(SonorixManualAdjustmentJob::roundValue(-1.25), -1.3);
    EXPECT_DOUBLE_EQ(SonorixManualAdjustmentJob::roundValue(-2.5), -2.5);
    EXPECT_DOUBLE_EQ(SonorixManualAdjustmentJob::roundValue(0.04), 0.0);
}

struct Audio {
    TempDir dir;
    std::string a, b, c;
    bool ok = false;
    Audio() {
        a = dir.file("a.mp3");
        b = dir.file("b.mp3");
        c = dir.file("c.mp3");
        ok = makeStereoMp3(a, "anoisesrc=d=1:c=pink:a=0.5:r=44100") &&
             makeStereoMp3(b, "sine=f=440:d=1:r=44100") &&
             makeStereoMp3(c, "anoisesrc=d=1:c=brown:a=0.2:r=44100");
    }
};

Audio& audio() {
    static Audio files;
    return files;
}

std::string decodedAudioHash(const std::string& path) {
    return runCommand({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"}).out;
}

// The Sound Check text and the plain comment as mutagen reads them, one per line.
std::string mutagenView(const std::string& path) {
    auto read = runCommand({"/usr/bin/python3", "-c",
                            "import sys\nfrom mutagen.id3 import ID3\nt=ID3(sys.argv[1])\n"
                            "for f in t.getall('COMM'): print(f.desc + '=' + repr(f.text[0]))",
                            path});
    EXPECT_EQ(read.status, 0) << read.err;
    return read.out;
}

struct FileIdentity {
    ino_t inode = 0;
    timespec modified{};
    bool operator==(const FileIdentity& o) const {
        return inode == o.inode && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec;
    }
};

FileIdentity identity(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {st.st_ino, st.st_mtim};
}

class CommentJobs : public ProcessingFixture {
protected:
    void SetUp() override {
        if (!audio().ok) {
            GTEST_SKIP() << "ffmpeg could not make the test audio";
        }
        ASSERT_TRUE(openLog(m_dir.file("Sonorix.log")));
        controller = std::make_shared<RecordingController>();
        scheduler = DisplayMessageScheduler::create();
        scheduler->setTarget(controller);
    }
    void TearDown() override {
        if (scheduler) {
            scheduler->setTarget(nullptr);
        }
        SonorixModel::setCurrent(nullptr);
        closeLog();
    }

    std::string copy(const std::string& from, const std::string& name) {
        std::string path = m_dir.file(name);
        writeFile(path, readFile(from));
        return path;
    }

    LibraryTrack fileTrack(uint64_t id, const std::string& path, const std::string& album) {
        LibraryTrack t = track(id).on(album).named("T" + std::to_string(id));
        t.trackNumber = static_cast<int>(id);
        t.location = fileUrl(path);
        t.totalTimeMs = 1000;
        return t;
    }

    // Tracks of the library-file connection, so comments live in the files.
    std::shared_ptr<SonorixModel> load(const std::vector<LibraryTrack>& tracks) {
        std::string path = m_dir.file("Library.xml");
        writeFile(path, libraryXml(tracks));
        auto model = SonorixModel::create();
        model->setSaveTimerFactory(
            [](double, std::function<void()>) { return std::shared_ptr<SaveTimer>(); });
        model->load(path, {}, std::make_shared<iTunesTrackLibraryFileFactory>());
        model->groups()->groupAt(0)->options().setAlbumMode(SonorixOptions::kCombineAlbums);
        SonorixModel::setCurrent(model);
        return model;
    }

    void runToEnd(const std::shared_ptr<JobManager>& manager) {
        const size_t before = controller->count("finished", manager.get());
        manager->start();
        ASSERT_TRUE(
            runLoopUntil([&] { return controller->count("finished", manager.get()) > before; }));
        loop->processPending();
    }

    // A manual run of one track or of every track of an album.
    std::shared_ptr<SonorixManualAdjustmentJobManager>
    manualRun(const std::shared_ptr<SonorixAlbum>& album,
              const std::vector<std::shared_ptr<iTunesTrack>>& tracks, double value, bool final,
              bool modifyComments = true) {
        auto manager = std::make_shared<SonorixManualAdjustmentJobManager>(
            controller, album, final, modifyComments, SecondsClock{}, scheduler);
        for (const auto& t : tracks) {
            manager->addJob(std::make_shared<SonorixManualAdjustmentJob>(manager, t, value));
        }
        runToEnd(manager);
        return manager;
    }

    static SoundCheckValues fileValues(const std::string& path) {
        int32_t hint = -1;
        auto tag = createITunNORMTag(path, hint, false, false);
        EXPECT_TRUE(tag->isPresent()) << path;
        return tag->values();
    }

    static std::u16string fileComment(const std::string& path) {
        std::u16string comment;
        EXPECT_TRUE(CommentTag::read(path, comment));
        return comment;
    }

    std::shared_ptr<SonorixTrackStatus> status(SonorixModel& model, uint64_t id) {
        return model.statusLibrary()->trackStatus(id, false);
    }

    std::shared_ptr<RecordingController> controller;
    std::shared_ptr<DisplayMessageScheduler> scheduler;
};

} // namespace

TEST_F(CommentJobs, FinalManualRunWritesOneTrackOfAnAlbumAndStampsItsComment) {
    const std::string a = copy(audio().a, "a.mp3"), b = copy(audio().b, "b.mp3"),
                      c = copy(audio().c, "c.mp3");
    ASSERT_TRUE(CommentTag::write(b, u"Live recording"));
    const std::string audioBefore = decodedAudioHash(b);
    ASSERT_FALSE(audioBefore.empty());
    auto model =
        load({fileTrack(1, a, "Album"), fileTrack(2, b, "Album"), fileTrack(3, c, "Album")});
    const FileIdentity aBefore = identity(a), cBefore = identity(c);
    auto album = defaultGroup(*model)->albumOfTrack(2);
    ASSERT_EQ(album->tracks().size(), 3u);
    // A file error of an earlier run is not what the row shows once the value is in place.
    model->statusLibrary()->trackStatus(2, true)->setError(kErrorFile);

    auto manager = manualRun(nullptr, {model->library()->track(2)}, -1.3, true);

    SoundCheckValues expected = SoundCheck::valuesForAdjustment({}, -1.3);
    EXPECT_EQ(fileValues(b), expected);
    EXPECT_NEAR(SoundCheck::playbackAdjustment(fileValues(b), 0x0C0000), -1.3, 0.01);
    auto s = status(*model, 2);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->getState(), kStateDone);
    EXPECT_EQ(s->getError(), kErrorNone);
    EXPECT_FALSE(s->isProcessing());
    EXPECT_DOUBLE_EQ(s->progress(), 1.0);
    EXPECT_TRUE(s->adjustedMarker());
    SoundCheckValues stored{};
    ASSERT_TRUE(s->getTag(stored));
    EXPECT_EQ(stored, expected);
    double gain = 0, peak = 0;
    EXPECT_FALSE(s->getGainAndPeak(gain, peak)) << "no analysis date or result is stored";

    // One file written; the album's other files untouched; the album row redrawn at the end.
    EXPECT_TRUE(identity(a) == aBefore);
    EXPECT_TRUE(identity(c) == cBefore);
    EXPECT_GT(controller->count("album", album.get()), 0u);
    const std::u16string comment = fileComment(b);
    EXPECT_EQ(comment.rfind(u"Adjusted by Sonorix ", 0), 0u);
    EXPECT_EQ(comment.substr(comment.size() - 16), u"\r\nLive recording");
    EXPECT_EQ(decodedAudioHash(b), audioBefore);
    if (haveProgram("/usr/bin/python3")) {
        const std::string view = mutagenView(b);
        EXPECT_NE(view.find("iTunNORM='" + SoundCheckText::format(expected) + "'"),
                  std::string::npos)
            << view;
        EXPECT_NE(view.find("\\r\\nLive recording'"), std::string::npos) << view;
    }
}

TEST_F(CommentJobs, PreviewRunsOnlyTouchTheCommentAndSoDoesAFinalRunWithoutStamps) {
    const std::string a = copy(audio().a, "a.mp3");
    ASSERT_TRUE(CommentTag::write(a, u"Notes"));
    auto model = load({fileTrack(1, a, "Single")});
    auto track = model->library()->track(1);

    manualRun(nullptr, {track}, 2.0, false);
    EXPECT_EQ(fileComment(a), u"Notes\n");
    EXPECT_NEAR(SoundCheck::playbackAdjustment(fileValues(a), 0x0C0000), 2.0, 0.01);
    manualRun(nullptr, {track}, 3.0, false);
    EXPECT_EQ(fileComment(a), u"Notes");

    manualRun(nullptr, {track}, 3.0, true, false);
    EXPECT_EQ(fileComment(a), u"Notes\n");

    manualRun(nullptr, {track}, 3.0, true, true);
    EXPECT_EQ(fileComment(a).rfind(u"Adjusted by Sonorix ", 0), 0u);
}

TEST_F(CommentJobs, RemovedFileFailsWithoutTouchingAnything) {
    const std::string gone = m_dir.file("gone.mp3");
    auto model = load({fileTrack(1, gone, "Single")});
    manualRun(nullptr, {model->library()->track(1)}, 1.0, true);
    auto s = status(*model, 1);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->getError(), kErrorFile);
    EXPECT_EQ(s->getFileError(), kFileErrorNotFound);
    EXPECT_EQ(s->getState(), kStateFailed);
    EXPECT_FALSE(s->isProcessing());
    EXPECT_FALSE(s->adjustedMarker());
    EXPECT_FALSE(fileExists(gone));
}

TEST_F(CommentJobs, RemovalTakesOutStampsKeepsOtherTextAndWritesNothingWithoutAStamp) {
    const std::string a = copy(audio().a, "a.mp3"), b = copy(audio().b, "b.mp3"),
                      c = copy(audio().c, "c.mp3");
    std::u16string stamped = u"Live recording";
    SonorixAdjustmentJob::updateCommentStamp(stamped);
    ASSERT_TRUE(CommentTag::write(a, stamped));
    ASSERT_TRUE(CommentTag::write(b, u"Notes only"));
    ASSERT_TRUE(CommentTag::write(c, stamped));
    const std::string audioBefore = decodedAudioHash(a);
    auto model =
        load({fileTrack(1, a, "Album"), fileTrack(2, b, "Album"), fileTrack(3, c, "Other")});
    const FileIdentity bBefore = identity(b);
    auto group = defaultGroup(*model);
    auto album = group->albumOfTrack(1);
    ASSERT_EQ(album->tracks().size(), 2u);

    auto manager =
        std::make_shared<SonorixRemoveCommentsJobManager>(controller, SecondsClock{}, scheduler);
    // Only the chosen tracks of an album are queued.
    manager->addAlbum(album, {model->library()->track(1), model->library()->track(2)});
    manager->addAlbum(group->albumOfTrack(3), {});
    runToEnd(manager);

    EXPECT_EQ(fileComment(a), u"Live recording");
    EXPECT_EQ(fileComment(c), stamped) << "not chosen";
    EXPECT_TRUE(identity(b) == bBefore) << "a comment without a stamp is not written";
    EXPECT_EQ(decodedAudioHash(a), audioBefore);
    // Each track counts its full unit whatever it found, and the album is done with.
    EXPECT_DOUBLE_EQ(manager->progress()->total(), 2.0);
    EXPECT_DOUBLE_EQ(manager->progress()->done(), 2.0);
    for (uint64_t id : {1, 2}) {
        auto s = status(*model, id);
        ASSERT_TRUE(s);
        EXPECT_DOUBLE_EQ(s->progress(), 1.0) << id;
        EXPECT_TRUE(s->adjustedMarker()) << id;
        EXPECT_FALSE(s->isProcessing()) << id;
    }
    auto albumStatus = model->statusLibrary()->albumStatus(*album, false, false);
    ASSERT_TRUE(albumStatus);
    EXPECT_EQ(albumStatus->processingCount(), 0);
    EXPECT_TRUE(albumStatus->adjustedMarker());
    if (haveProgram("/usr/bin/python3")) {
        const std::string view = mutagenView(a);
        EXPECT_NE(view.find("='Live recording'"), std::string::npos) << view;
        EXPECT_EQ(view.find("Adjusted by Sonorix"), std::string::npos) << view;
    }
    // The run's line was shown and is gone again.
    bool shown = false;
    for (const auto& call : controller->takeCalls()) {
        shown |= call.what == "message" &&
                 call.text == toUtf16(localizedString("Removing Sonorix Comments"));
    }
    EXPECT_TRUE(shown);
    EXPECT_EQ(scheduler->currentMessage(), nullptr);
}

// A file the manual run cannot write fails with the file error that names why, the rows stop
// showing work, and the log names the path and what went wrong.
TEST_F(CommentJobs, ManualRunKeepsTheCauseOfEachFileFailure) {
    const std::string empty = m_dir.file("empty.mp3");
    writeFile(empty, "");
    const std::string folder = m_dir.file("folder.mp3");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    // An MP4 whose atoms nest deeper than a reader may safely follow.
    const std::string nested = m_dir.file("nested.m4a");
    if (!makeAudio(nested, "sine=f=440:d=1:r=44100", {"-c:a", "aac", "-b:a", "64k"})) {
        GTEST_SKIP() << "ffmpeg cannot make an MP4";
    }
    std::string nest;
    constexpr uint32_t kDepth = 100000;
    for (uint32_t i = 0; i < kDepth; ++i) {
        const uint32_t size = 8 * (kDepth - i);
        nest += {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                 static_cast<char>(size >> 8), static_cast<char>(size)};
        nest += "moov";
    }
    writeFile(nested, readFile(nested) + nest);
    const std::string nestedBefore = readFile(nested);

    struct Case {
        uint64_t id;
        std::string path;
        int16_t fileError;
    };
    const std::vector<Case> cases = {
        {1, empty, kFileErrorEmpty},
        {2, folder, kFileErrorNotRegular},
        {3, nested, kFileErrorUnsafe},
    };
    std::vector<LibraryTrack> tracks;
    for (const auto& c : cases) {
        tracks.push_back(fileTrack(c.id, c.path, "Single " + std::to_string(c.id)));
    }
    auto model = load(tracks);
    for (const auto& c : cases) {
        manualRun(nullptr, {model->library()->track(c.id)}, 1.5, true);
        auto s = status(*model, c.id);
        ASSERT_TRUE(s) << c.path;
        EXPECT_EQ(s->getError(), kErrorFile) << c.path;
        EXPECT_EQ(s->getFileError(), c.fileError) << c.path;
        EXPECT_EQ(s->getState(), kStateFailed) << c.path;
        EXPECT_FALSE(s->isProcessing()) << c.path;
        EXPECT_FALSE(s->adjustedMarker()) << c.path;
    }
    EXPECT_EQ(readFile(nested), nestedBefore);
    EXPECT_EQ(readFile(empty), "");

    const std::string log = readFile(m_dir.file("Sonorix.log"));
    for (const auto& c : cases) {
        EXPECT_NE(log.find("manual adjustment of " + c.path + " failed: "), std::string::npos)
            << c.path << "\n"
            << log;
    }
    EXPECT_NE(log.find("nest too deeply"), std::string::npos) << log;
}
