#include "ProcessingTestSupport.h"

#include "audio/CommentTag.h"
#include "audio/SafeTagSave.h"
#include "audio/SoundCheck.h"
#include "audio/iTunNORMTag.h"
#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "itunes/iTunesTrackLibraryFile.h"
#include "model/ModelValues.h"
#include "model/SonorixPreferences.h"
#include "processing/AlbumChain.h"
#include "processing/SonorixAdjustmentJob.h"
#include "processing/SonorixAutomaticAdjustmentJobManager.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

using namespace sonorix;
using namespace sonorix::test;

namespace {

// ---- the comment stamp

std::time_t sampleTime() {
    std::tm local{};
    local.tm_year = 2024 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 7;
    local.tm_hour = 9;
    local.tm_min = 5;
    local.tm_sec = 3;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

TEST(CommentStamp, IsWrittenInFrontOfAPlainCommentAndReplacedInPlaceLater) {
    std::u16string comment = u"Live recording";
    SonorixAdjustmentJob::updateCommentStamp(comment, sampleTime());
    EXPECT_EQ(comment, u"Adjusted by Sonorix 03/07/2024 09:05:03\r\nLive recording");

    // A later run replaces only the stamp and its line end; the text after it stays.
    SonorixAdjustmentJob::updateCommentStamp(comment, sampleTime() + 86400 + 3600);
    EXPECT_EQ(comment, u"Adjusted by Sonorix 03/08/2024 10:05:03\r\nLive recording");

    std::u16string empty;
    SonorixAdjustmentJob::updateCommentStamp(empty, sampleTime());
    EXPECT_EQ(empty, u"Adjusted by Sonorix 03/07/2024 09:05:03\r\n");
}

TEST(CommentStamp, DamagedStampsAreFoundAsFarAsTheyMatch) {
    size_t position = 0, length = 0;
    // The marker alone, in the middle of other text.
    std::u16string comment = u"Intro Adjusted by Sonorix\nrest";
    ASSERT_TRUE(SonorixAdjustmentJob::findCommentStamp(comment, position, length));
    EXPECT_EQ(position, 6u);
    EXPECT_EQ(length, 20u); // marker and the line feed
    SonorixAdjustmentJob::updateCommentStamp(comment, sampleTime());
    EXPECT_EQ(comment, u"Intro Adjusted by Sonorix 03/07/2024 09:05:03\r\nrest");

    // A partial date: the digits that fit the mask belong to the stamp, the rest does not.
    comment = u"Adjusted by Sonorix 12/34x";
    ASSERT_TRUE(SonorixAdjustmentJob::findCommentStamp(comment, position, length));
    EXPECT_EQ(comment.substr(position + length), u"x");

    comment = u"Adjusted by Sonorix 01/02/2003 04:05:06\r\n\r\nNotes";
    EXPECT_TRUE(SonorixAdjustmentJob::removeCommentStamp(comment));
    EXPECT_EQ(comment, u"Notes");
    EXPECT_FALSE(SonorixAdjustmentJob::removeCommentStamp(comment));
    EXPECT_FALSE(SonorixAdjustmentJob::findCommentStamp(u"Adjusted by", position, length));
}

// ---- adjusting real files

struct Audio {
    TempDir dir;
    std::string a, b, c, single, silent, wav;
    bool ok = false;
    Audio() {
        a = dir.file("a.mp3");
        b = dir.file("b.mp3");
        c = dir.file("c.mp3");
        single = dir.file("single.mp3");
        silent = dir.file("silent.mp3");
        wav = dir.file("w.wav");
        ok = makeStereoMp3(a, "anoisesrc=d=2:c=pink:a=0.5:r=44100") &&
             makeStereoMp3(b, "sine=f=440:d=1:r=44100") &&
             makeStereoMp3(c, "anoisesrc=d=3:c=brown:a=0.2:r=44100") &&
             makeStereoMp3(single, "sine=f=1000:d=1:r=44100") &&
             makeStereoMp3(silent, "anullsrc=d=1:r=44100:cl=stereo") &&
             makeAudio(wav, "sine=f=300:d=1:r=44100", {"-ac", "2"});
    }
};

Audio& audio() {
    static Audio files;
    return files;
}

// The ten values a written adjustment must give, computed here from the definition.
SoundCheckValues expectedValues(double adjustment) {
    auto value = [&](double base) {
        double v = std::round(base * std::pow(10.0, -adjustment / 10.0));
        return static_cast<uint32_t>(std::clamp(v, 1.0, 65534.0));
    };
    return {value(1000), value(1000), value(2500), value(2500), 0, 0, 0, 0, 0, 0};
}

std::string decodedAudioHash(const std::string& path) {
    return runCommand({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"}).out;
}

class Adjusting : public ProcessingFixture {
protected:
    void SetUp() override {
        if (!audio().ok) {
            GTEST_SKIP() << "ffmpeg could not make the test audio";
        }
        ASSERT_TRUE(openLog(m_dir.file("Sonorix.log")));
        controller = std::make_shared<RecordingController>();
        scheduler = DisplayMessageScheduler::create();
        scheduler->setTarget(controller);
        preferences = std::make_shared<SonorixPreferences>();
    }
    void TearDown() override {
        if (scheduler) {
            scheduler->setTarget(nullptr);
        }
        closeLog();
    }

    std::string copy(const std::string& from, const std::string& name) {
        std::string path = m_dir.file(name);
        writeFile(path, readFile(from));
        return path;
    }

    LibraryTrack fileTrack(uint64_t id, const std::string& path, int ms, const std::string& album) {
        LibraryTrack t = track(id).on(album).named("T" + std::to_string(id));
        t.trackNumber = static_cast<int>(id);
        t.location = fileUrl(path);
        t.totalTimeMs = ms;
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
        return model;
    }

    // One Start over every album of the default group; returns once the controller heard.
    void runAll(SonorixModel& model, bool adjust = true) {
        auto manager = std::make_shared<SonorixAutomaticAdjustmentJobManager>(
            controller, 0, preferences, SecondsClock{}, scheduler);
        auto group = defaultGroup(model);
        for (const auto& album : group->albums()) {
            if (adjust) {
                manager->addAlbum(group, album);
            } else {
                addAlbumJobs(manager, group, album, {});
            }
        }
        const size_t before = controller->count("finished");
        manager->start();
        ASSERT_TRUE(runLoopUntil([&] { return controller->count("finished") > before; }));
        loop->processPending();
        EXPECT_EQ(manager->activeMessageCount(), 0u);
        EXPECT_DOUBLE_EQ(manager->progress()->done(), manager->progress()->total());
    }

    std::shared_ptr<SonorixTrackStatus> status(SonorixModel& model, uint64_t id) {
        return model.statusLibrary()->trackStatus(id, false);
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

    std::shared_ptr<RecordingController> controller;
    std::shared_ptr<DisplayMessageScheduler> scheduler;
    std::shared_ptr<SonorixPreferences> preferences;
};

} // namespace

TEST_F(Adjusting, AlbumsGetTheirCombinedValueAndAFollowingRunChangesNothing) {
    const std::string a = copy(audio().a, "a.mp3"), b = copy(audio().b, "b.mp3"),
                      c = copy(audio().c, "c.mp3"), single = copy(audio().single, "s.mp3");
    const std::vector<std::string> paths = {a, b, c, single};
    std::vector<std::string> hashes;
    for (const auto& path : paths) {
        hashes.push_back(decodedAudioHash(path));
        ASSERT_FALSE(hashes.back().empty());
    }
    ASSERT_TRUE(CommentTag::write(b, u"Live recording"));
    auto model = load({fileTrack(1, a, 2000, "Album"), fileTrack(2, b, 1000, "Album"),
                       fileTrack(3, c, 3000, "Album"), fileTrack(4, single, 1000, "Single")});
    // The text and the stamp go into each file in one save.
    std::atomic<int> saves{0};
    setSafeSaveFaultHook([&](SafeSaveStage stage, const std::string&) {
        saves += stage == SafeSaveStage::Verified ? 1 : 0;
    });
    runAll(*model);
    setSafeSaveFaultHook(nullptr);
    EXPECT_EQ(saves, 4);

    // The album's value, worked out from its tracks' measurements.
    double weighted = 0, seconds = 0, albumPeak = 0;
    const int times[] = {2000, 1000, 3000};
    for (uint64_t id = 1; id <= 3; ++id) {
        double gain = 0, peak = 0;
        ASSERT_TRUE(status(*model, id)->getGainAndPeak(gain, peak));
        weighted += gain * times[id - 1] / 1000.0;
        seconds += times[id - 1] / 1000.0;
        albumPeak = std::max(albumPeak, peak);
    }
    const double albumGain = weighted / seconds;
    double singleGain = 0, singlePeak = 0;
    ASSERT_TRUE(status(*model, 4)->getGainAndPeak(singleGain, singlePeak));

    auto check = [&](double master, double extra) {
        for (uint64_t id = 1; id <= 4; ++id) {
            const double gain = id == 4 ? singleGain : albumGain;
            const SoundCheckValues expected = expectedValues(gain + master + extra - 89.0);
            EXPECT_EQ(fileValues(paths[id - 1]), expected) << "track " << id;
            SoundCheckValues stored{};
            EXPECT_TRUE(status(*model, id)->getTag(stored));
            EXPECT_EQ(stored, expected);
            EXPECT_EQ(status(*model, id)->getState(), kStateDone);
            EXPECT_EQ(status(*model, id)->getError(), kErrorNone);
        }
    };
    check(92, 0);
    EXPECT_TRUE(status(*model, 2)->adjustedMarker());
    const std::u16string stamped = fileComment(b);
    EXPECT_EQ(stamped.rfind(u"Adjusted by Sonorix ", 0), 0u);
    EXPECT_EQ(stamped.substr(stamped.size() - 16), u"\r\nLive recording");

    // An independent reader sees both texts; the audio itself is untouched.
    if (haveProgram("/usr/bin/python3")) {
        auto read = runCommand({"/usr/bin/python3", "-c",
                                "import sys\nfrom mutagen.id3 import ID3\nt=ID3(sys.argv[1])\n"
                                "for f in t.getall('COMM'): print(repr(f.desc), repr(f.text[0]))",
                                b});
        ASSERT_EQ(read.status, 0) << read.err;
        EXPECT_NE(read.out.find("'iTunNORM'"), std::string::npos) << read.out;
        EXPECT_NE(read.out.find("Adjusted by Sonorix"), std::string::npos) << read.out;
    }
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(decodedAudioHash(paths[i]), hashes[i]) << paths[i];
    }

    // Nothing to change: no byte of any file is written, the comment keeps its time.
    std::vector<std::string> bytes;
    for (const auto& path : paths) {
        bytes.push_back(readFile(path));
    }
    for (uint64_t id = 1; id <= 4; ++id) {
        status(*model, id)->setAdjustedMarker(false);
    }
    runAll(*model);
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(readFile(paths[i]), bytes[i]) << paths[i];
        EXPECT_FALSE(status(*model, i + 1)->adjustedMarker());
    }

    // A new master volume and a group's extra loudness: only the values change.
    preferences->setPerceivedLoudness(95);
    defaultGroup(*model)->options().setAdditionalPerceivedLoudness(1.5);
    runAll(*model);
    check(95, 1.5);
    EXPECT_EQ(fileComment(b).substr(fileComment(b).size() - 16), u"\r\nLive recording");
}

TEST_F(Adjusting, CommentsStayAsTheyAreWhenTheUserSaysSo) {
    const std::string a = copy(audio().a, "a.mp3");
    ASSERT_TRUE(CommentTag::write(a, u"Adjusted by Sonorix\r\nMine"));
    preferences->setModifyComments(false);
    auto model = load({fileTrack(1, a, 2000, "One")});
    runAll(*model);
    EXPECT_EQ(status(*model, 1)->getState(), kStateDone);
    EXPECT_EQ(fileComment(a), u"Adjusted by Sonorix\r\nMine");

    preferences->setModifyComments(true);
    preferences->setPerceivedLoudness(90);
    runAll(*model);
    const std::u16string comment = fileComment(a);
    EXPECT_EQ(comment.size(),
              std::u16string(u"Adjusted by Sonorix 01/02/2003 04:05:06\r\nMine").size())
        << toUtf8(comment);
    EXPECT_EQ(comment.substr(comment.size() - 6), u"\r\nMine");
}

TEST_F(Adjusting, FailuresLeaveTheFilesAsTheyWere) {
    const std::string silent = copy(audio().silent, "silent.mp3");
    const std::string gone = copy(audio().a, "gone.mp3");
    const std::string wav = copy(audio().wav, "w.wav");
    const std::string locked = copy(audio().b, "locked.mp3");
    const std::string silentBytes = readFile(silent), lockedBytes = readFile(locked),
                      wavBytes = readFile(wav);
    auto model = load({fileTrack(1, silent, 1000, "S"), fileTrack(2, gone, 2000, "G"),
                       fileTrack(3, wav, 1000, "W"), fileTrack(4, locked, 1000, "L")});
    runAll(*model, false);
    ASSERT_EQ(::unlink(gone.c_str()), 0);

    // Root may write anything: an immutable file stands in for a read-only one then.
    bool immutable = false;
    if (::geteuid() == 0) {
        int fd = ::open(locked.c_str(), O_RDONLY);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags |= FS_IMMUTABLE_FL;
            immutable = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) {
            ::close(fd);
        }
    } else {
        ::chmod(locked.c_str(), 0444);
    }
    const bool lockedWorks = immutable || ::geteuid() != 0;

    runAll(*model);

    auto silentStatus = status(*model, 1);
    EXPECT_EQ(silentStatus->getError(), kErrorSilent);
    EXPECT_EQ(silentStatus->getState(), kStateFailed);
    EXPECT_EQ(readFile(silent), silentBytes);

    auto goneStatus = status(*model, 2);
    EXPECT_EQ(goneStatus->getError(), kErrorFile);
    EXPECT_EQ(goneStatus->getFileError(), kFileErrorNotFound);
    EXPECT_EQ(goneStatus->getState(), kStateFailed);

    auto wavStatus = status(*model, 3);
    EXPECT_EQ(wavStatus->getError(), kErrorUnsupported);
    EXPECT_EQ(wavStatus->getState(), kStateFailed);
    EXPECT_EQ(readFile(wav), wavBytes);

    if (lockedWorks) {
        auto lockedStatus = status(*model, 4);
        EXPECT_EQ(lockedStatus->getError(), kErrorFile);
        EXPECT_EQ(lockedStatus->getFileError(), kFileErrorOpen); // "write protected"
        EXPECT_EQ(lockedStatus->getState(), kStateFailed);
        EXPECT_EQ(readFile(locked), lockedBytes);
    }
    if (immutable) {
        int fd = ::open(locked.c_str(), O_RDONLY);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// A run that ended between the Sound Check value and the comment stamp left a track whose value
// already matches; the next run adds the stamp instead of counting the track as done.
TEST_F(Adjusting, AHalfDoneTrackGetsItsStampOnTheNextRun) {
    const std::string a = copy(audio().a, "a.mp3");
    ASSERT_TRUE(CommentTag::write(a, u"Mine"));
    preferences->setModifyComments(false); // the value only, as a killed run leaves it
    auto model = load({fileTrack(1, a, 2000, "One")});
    runAll(*model);
    ASSERT_EQ(fileComment(a), u"Mine");
    const SoundCheckValues values = fileValues(a);

    preferences->setModifyComments(true);
    status(*model, 1)->setAdjustedMarker(false);
    runAll(*model);
    const std::u16string comment = fileComment(a);
    EXPECT_EQ(comment.rfind(u"Adjusted by Sonorix ", 0), 0u) << toUtf8(comment);
    EXPECT_EQ(comment.substr(comment.size() - 6), u"\r\nMine");
    EXPECT_EQ(fileValues(a), values);
    EXPECT_EQ(status(*model, 1)->getState(), kStateDone);
    EXPECT_TRUE(status(*model, 1)->adjustedMarker());

    // Complete now: a further run writes nothing, and knows the file by its identity.
    const std::string bytes = readFile(a);
    runAll(*model);
    EXPECT_EQ(readFile(a), bytes);
    EXPECT_EQ(status(*model, 1)->stampedFile(), fileIdentity(a));

    // Another program takes the stamp out and sets the modification time back: the file is
    // another one all the same, so the next run reads the comment and stamps it again.
    struct stat before {};
    ASSERT_EQ(::stat(a.c_str(), &before), 0);
    ASSERT_TRUE(CommentTag::write(a, u"Mine"));
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, a.c_str(), times, 0), 0);
    runAll(*model);
    const std::u16string again = fileComment(a);
    EXPECT_EQ(again.rfind(u"Adjusted by Sonorix ", 0), 0u) << toUtf8(again);
    EXPECT_EQ(status(*model, 1)->stampedFile(), fileIdentity(a));
}

TEST_F(Adjusting, ARerunOpensOnlyFilesChangedSinceTheyWereLastSeen) {
    const std::string a = copy(audio().a, "a.mp3");
    auto model = load({fileTrack(1, a, 2000, "One")});
    runAll(*model);
    const SoundCheckValues written = fileValues(a);
    auto trackStatus = status(*model, 1);
    ASSERT_EQ(trackStatus->stampedFile(), fileIdentity(a));

    // The status is told values the file does not hold, which the adjustment would keep (a
    // statistics field differs). A run that opened the file would record the file's values.
    SoundCheckValues told = written;
    told[4] += 1;
    ASSERT_EQ(SoundCheck::valuesForAdjustment(told, 0.0)[4], told[4]);
    trackStatus->setTag(told, mv::now(true));
    const std::string bytes = readFile(a);
    runAll(*model);
    SoundCheckValues recorded{};
    ASSERT_TRUE(trackStatus->getTag(recorded));
    EXPECT_EQ(recorded, told);
    EXPECT_EQ(trackStatus->getState(), kStateDone);
    EXPECT_EQ(readFile(a), bytes);

    // Any change to the file, even of its times only, sends the run to the file again.
    const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    ASSERT_EQ(::utimensat(AT_FDCWD, a.c_str(), now, 0), 0);
    runAll(*model);
    ASSERT_TRUE(trackStatus->getTag(recorded));
    EXPECT_EQ(recorded, written);
    EXPECT_EQ(trackStatus->stampedFile(), fileIdentity(a));

    // A new master volume changes the values: that run is not cut short.
    preferences->setPerceivedLoudness(95);
    runAll(*model);
    EXPECT_NE(fileValues(a), written);
    ASSERT_TRUE(trackStatus->getTag(recorded));
    EXPECT_EQ(recorded, fileValues(a));
}

// Another program keeps truncating and rewriting the files while they are adjusted: no run may
// crash (the mapped bytes vanish under the reader), each track ends done or with a file error,
// and once the other program stops a run completes every track.
TEST_F(Adjusting, FilesTruncatedDuringTheRunAreFileErrorsNotCrashes) {
    std::vector<std::string> paths;
    std::vector<LibraryTrack> tracks;
    for (uint64_t id = 1; id <= 4; ++id) {
        paths.push_back(
            copy(id % 2 ? audio().a : audio().single, "t" + std::to_string(id) + ".mp3"));
        tracks.push_back(fileTrack(id, paths.back(), 1000, "A" + std::to_string(id)));
    }
    auto model = load(tracks);
    runAll(*model);
    std::vector<std::string> originals;
    for (const auto& path : paths) {
        originals.push_back(readFile(path));
    }

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (size_t i = 0; !stop; i = (i + 1) % paths.size()) {
            // Same file, new length: the mapping of a reader loses its pages.
            int fd = ::open(paths[i].c_str(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                if (::ftruncate(fd, 2000) == 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(300));
                    ::ftruncate(fd, 0);
                    ssize_t ignored = ::write(fd, originals[i].data(), originals[i].size());
                    (void)ignored;
                }
                ::close(fd);
            }
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    int runs = 0;
    for (double loudness = 90; std::chrono::steady_clock::now() < deadline; loudness += 0.5) {
        preferences->setPerceivedLoudness(loudness);
        runAll(*model);
        ++runs;
        for (uint64_t id = 1; id <= paths.size(); ++id) {
            auto s = status(*model, id);
            EXPECT_TRUE(s->getState() == kStateDone || s->getError() == kErrorFile ||
                        s->getError() == kErrorTag)
                << "track " << id << " error " << s->getError();
        }
    }
    stop = true;
    writer.join();
    EXPECT_GE(runs, 2);

    for (size_t i = 0; i < paths.size(); ++i) {
        writeFile(paths[i], originals[i]);
    }
    preferences->setPerceivedLoudness(92);
    runAll(*model);
    for (uint64_t id = 1; id <= paths.size(); ++id) {
        EXPECT_EQ(status(*model, id)->getState(), kStateDone) << id;
    }
}
