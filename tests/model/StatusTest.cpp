#include "ModelFixture.h"

#include "audio/iTunNORMTag.h"
#include "foundation/MemoryMappable.h"
#include "foundation/Text.h"
#include "foundation/Value.h"
#include "itunes/iTunesLibrary.h"
#include "model/ModelText.h"
#include "model/ModelValues.h"
#include "model/SonorixStatus.h"

using namespace sonorix;
using namespace sonorix::test;

namespace {

SoundCheckValues sample(uint32_t first) {
    return {first, 0x3E8, 0x9C4, 0x9C4, 0, 0, 0x7FFF, 0x7FFF, 0, 0};
}

std::string storedBytes(const Value_dict& entry, const char* key) {
    std::string bytes;
    mv::getBytes(entry, key, bytes);
    return bytes;
}

} // namespace

TEST(Status, FreshStatusHasNothing) {
    SonorixTrackStatus status(nullptr, nullptr);
    double gain = 0, peak = 0;
    SoundCheckValues values{};
    int32_t manual = 0;
    EXPECT_FALSE(status.getGainAndPeak(gain, peak));
    EXPECT_FALSE(status.getTag(values));
    EXPECT_FALSE(status.getBackup(values));
    EXPECT_FALSE(status.getManualAdjustment(manual));
    EXPECT_EQ(status.getError(), 0);
    EXPECT_EQ(status.getTagHint(), 0);
    EXPECT_EQ(status.iconName(false), "");
    EXPECT_EQ(status.sortRank(false), 20);
}

TEST(Status, SoundCheckValuesAreStoredBigEndianAndNeedFortyBytes) {
    SonorixTrackStatus status(nullptr, nullptr);
    status.setTag(sample(0x12345678), mv::now(false));
    std::string bytes = storedBytes(*status.entry(), "iTunNORMTag");
    ASSERT_EQ(bytes.size(), 40u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x12\x34\x56\x78", 4));
    SoundCheckValues back{};
    ASSERT_TRUE(status.getTag(back));
    EXPECT_EQ(back, sample(0x12345678));
    // A value of another length is no value.
    uint8_t short39[39] = {};
    status.entry()->set("iTunNORMBackup", makeData(short39, sizeof short39));
    EXPECT_FALSE(status.getBackup(back));
    status.entry()->set("iTunNORMTag", makeString(u"not data"));
    EXPECT_FALSE(status.getTag(back));
}

TEST(Status, ClearAnalysisKeepsBackupAndHint) {
    auto date = mv::now(false);
    SonorixTrackStatus track(nullptr, nullptr);
    track.setGainAndPeak(-7.5, 12000, date);
    track.setTag(sample(1), date);
    track.setBackup(sample(2));
    track.setTagHint(4242);
    track.setManualAdjustment(-20, date);
    track.clearAnalysis();
    const Value_dict& e = *track.entry();
    for (const char* gone : {"gain", "peak", "analyzeDate", "iTunNORMTag", "iTunNORMTagDate",
                             "ManualAdjustment", "ManualAdjustmentDate"}) {
        EXPECT_FALSE(mv::has(e, gone)) << gone;
    }
    EXPECT_TRUE(mv::has(e, "iTunNORMBackup"));
    EXPECT_EQ(track.getTagHint(), 4242);

    SonorixStatus album(nullptr, nullptr);
    album.setGainAndPeak(-7.5, 12000, date);
    album.setError(3);
    album.clearAnalysis();
    double gain = 0, peak = 0;
    EXPECT_FALSE(album.getGainAndPeak(gain, peak));
    EXPECT_EQ(album.getError(), 3);
}

TEST(Status, ManualAdjustmentDateFollowsTheValue) {
    SonorixTrackStatus status(nullptr, nullptr);
    auto date = mv::now(true);
    status.touchManualAdjustmentDate(date);
    EXPECT_FALSE(mv::has(*status.entry(), "ManualAdjustmentDate"));
    status.setManualAdjustment(-30, date);
    int32_t value = 0;
    std::shared_ptr<DateTimePoint> stored;
    ASSERT_TRUE(status.getManualAdjustment(value, &stored));
    EXPECT_EQ(value, -30);
    EXPECT_EQ(*stored, *date);
    status.setManualAdjustment(5, nullptr);
    EXPECT_FALSE(status.getManualAdjustment(value));
    EXPECT_FALSE(mv::has(*status.entry(), "ManualAdjustmentDate"));
}

TEST(Status, ProgressIconsRanksAndErrorTexts) {
    SonorixTrackStatus status(nullptr, nullptr);
    status.addProcessing(1);
    status.addProgressTotal(30);
    status.addProgressDone(15);
    EXPECT_EQ(status.iconName(false), "progress11");
    EXPECT_EQ(status.sortRank(false), 9);
    status.setAdjustedMarker(true);
    status.resetRuntime();
    EXPECT_TRUE(status.isProcessing()); // the running job still counts
    EXPECT_EQ(status.progress(), 0.0);
    EXPECT_FALSE(status.adjustedMarker());
    status.addProcessing(-1);

    status.setState(kStateFailed);
    status.setError(1);
    status.setFileError(4);
    EXPECT_EQ(toUtf8(status.errorText()), "File Too Large");
    EXPECT_EQ(status.sortRank(false), 33);
    EXPECT_EQ(status.iconName(true), "warning_white");
    status.setError(9);
    EXPECT_EQ(toUtf8(status.errorText()), "Error");
}

namespace {

// Tracks whose files lie in the fixture's folder.
class TagCheck : public ModelFixture {
protected:
    std::shared_ptr<SonorixModel> loadWith(const std::string& file,
                                           const std::string& modified = "2010-03-01T12:00:00Z") {
        LibraryTrack t = track(1);
        t.location = "file://" + m_dir.file(file);
        t.dateModified = modified;
        LibraryTrack missing = track(2);
        missing.location = "file://" + m_dir.file("missing.mp3");
        return load({t, missing});
    }
    std::shared_ptr<iTunesTrack> trackOf(SonorixModel& model, uint64_t id) {
        return model.library()->track(id);
    }
};

// A reader that counts its calls and gives fixed values.
struct CountingReader {
    int calls = 0;
    SoundCheckValues values = sample(0x100);
    SoundCheckReader reader() {
        return [this](const std::string&, int64_t& hint, bool) {
            ++calls;
            hint = 77;
            return values;
        };
    }
};

} // namespace

TEST_F(TagCheck, MissingFileIsFileNotFound) {
    auto model = loadWith("a.mp3");
    auto status = model->statusLibrary()->trackStatus(2, true);
    CountingReader reader;
    EXPECT_TRUE(status->checkTag(*trackOf(*model, 2), false, reader.reader()));
    EXPECT_EQ(reader.calls, 0);
    EXPECT_EQ(status->getError(), kErrorFile);
    EXPECT_EQ(status->getFileError(), kFileErrorNotFound);
    EXPECT_EQ(status->getState(), kStateFailed);
    EXPECT_TRUE(status->tagCheckDone());
}

TEST_F(TagCheck, FirstReadStoresBackupLaterReadsOnlyWhenTheFileChanged) {
    writeFile(m_dir.file("a.mp3"), "audio");
    auto model = loadWith("a.mp3");
    auto track1 = trackOf(*model, 1);
    auto status = model->statusLibrary()->trackStatus(1, true);
    CountingReader reader;

    EXPECT_TRUE(status->checkTag(*track1, false, reader.reader()));
    EXPECT_EQ(reader.calls, 1);
    SoundCheckValues values{};
    ASSERT_TRUE(status->getTag(values));
    EXPECT_EQ(values, sample(0x100));
    ASSERT_TRUE(status->getBackup(values));
    EXPECT_EQ(values, sample(0x100));
    EXPECT_EQ(status->getTagHint(), 77);

    // Done since the last reset: nothing is looked at.
    EXPECT_FALSE(status->checkTag(*track1, false, reader.reader()));
    EXPECT_EQ(reader.calls, 1);
    // After a reset the stored tag is newer than the track's modification: still no read.
    status->resetRuntime();
    EXPECT_FALSE(status->checkTag(*track1, false, reader.reader()));
    EXPECT_EQ(reader.calls, 1);

    // Forced: the file is read again; the backup keeps the first values.
    reader.values = sample(0x200);
    EXPECT_TRUE(status->checkTag(*track1, true, reader.reader()));
    EXPECT_EQ(reader.calls, 2);
    ASSERT_TRUE(status->getTag(values));
    EXPECT_EQ(values[0], 0x200u);
    ASSERT_TRUE(status->getBackup(values));
    EXPECT_EQ(values[0], 0x100u);
}

TEST_F(TagCheck, ModifiedTrackIsReadAgain) {
    writeFile(m_dir.file("a.mp3"), "audio");
    auto model = loadWith("a.mp3", "2999-01-01T00:00:00Z");
    auto status = model->statusLibrary()->trackStatus(1, true);
    CountingReader reader;
    status->checkTag(*trackOf(*model, 1), false, reader.reader());
    status->resetRuntime();
    status->checkTag(*trackOf(*model, 1), false, reader.reader());
    EXPECT_EQ(reader.calls, 2);
}

TEST_F(TagCheck, FailuresMapToErrorCodes) {
    writeFile(m_dir.file("a.mp3"), "audio");
    auto model = loadWith("a.mp3");
    auto track1 = trackOf(*model, 1);
    struct Case {
        std::function<void()> raise;
        int error, fileError, state;
        bool tagDateStored;
    };
    std::vector<Case> cases = {
        {[] { throw iTunNORMTag::NoTagSupportedException(); }, 7, 0, 3, true},
        {[] { throw iTunNORMTag::NoTagException(); }, 2, 0, 2, true},
        {[] { throw iTunNORMTag::SaveErrorException(); }, 1, 6, 3, false},
        // What happened, where it is known; "write protected" only when it is.
        {[] { throw iTunNORMTag::SaveErrorException("", FileFault::NoSpace); }, 1, 8, 3, false},
        {[] { throw iTunNORMTag::SaveErrorException("", FileFault::NameTooLong); }, 1, 9, 3, false},
        {[] { throw iTunNORMTag::SaveErrorException("", FileFault::ReadOnlyVolume); }, 1, 10, 3,
         false},
        {[] { throw iTunNORMTag::SaveErrorException("", FileFault::WriteProtected); }, 1, 2, 3,
         false},
        {[] { throw iTunNORMTag::SaveErrorException("", FileFault::Changed); }, 1, 11, 3, false},
        {[] { throw MemoryMappable::FileOpenException(); }, 1, 0, 3, false},
        {[] { throw MemoryMappable::FileOpenException("", FileFault::WriteProtected); }, 1, 2, 3,
         false},
        {[] { throw MemoryMappable::FileOpenException("", FileFault::NotRegular); }, 1, 7, 3,
         false},
        {[] { throw MemoryMappable::FileChangedException(); }, 1, 11, 3, false},
        {[] { throw MemoryMappable::FileEmptyException(); }, 1, 3, 3, false},
        {[] { throw MemoryMappable::FileTooLargeException(); }, 1, 4, 3, false},
        {[] { throw MemoryMappable::MMapException(); }, 1, 5, 3, false},
        {[] { throw MemoryMappable::MemoryMappableException(); }, 1, 0, 3, false},
        {[] { throw iTunNORMTag::iTunNORMTagException(); }, 1, 0, 3, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        auto status = std::make_shared<SonorixTrackStatus>(mv::newDict(), model->modelLock());
        auto raise = cases[i].raise;
        status->checkTag(*track1, true,
                         [&](const std::string&, int64_t&, bool) -> SoundCheckValues {
                             raise();
                             return {};
                         });
        EXPECT_EQ(status->getError(), cases[i].error) << i;
        EXPECT_EQ(status->getFileError(), cases[i].fileError) << i;
        EXPECT_EQ(status->getState(), cases[i].state) << i;
        EXPECT_EQ(mv::has(*status->entry(), "iTunNORMTagDate"), cases[i].tagDateStored) << i;
        EXPECT_FALSE(mv::has(*status->entry(), "iTunNORMTag")) << i;
    }
}

TEST_F(TagCheck, RealFilesWithAndWithoutSoundCheckText) {
    writeFile(m_dir.file("notes.txt"), std::string(200, 'x'));
    if (!makeAudio(m_dir.file("a.mp3"), "sine=frequency=440:duration=0.3",
                   {"-c:a", "libmp3lame"})) {
        GTEST_SKIP() << "ffmpeg cannot make an MP3";
    }
    auto model = loadWith("a.mp3");
    auto track1 = trackOf(*model, 1);
    auto status = model->statusLibrary()->trackStatus(1, true);

    // No text yet: error 2 "No value yet", no tag stored, the check time kept.
    EXPECT_TRUE(status->checkTag(*track1, false));
    EXPECT_EQ(status->getError(), kErrorTag);
    EXPECT_EQ(status->getState(), kStateNoTag);
    EXPECT_FALSE(mv::has(*status->entry(), "iTunNORMTag"));
    EXPECT_TRUE(mv::has(*status->entry(), "iTunNORMTagDate"));
    EXPECT_EQ(toUtf8(status->errorText()), "No value yet");

    // With a text in the file the values arrive, and become the backup.
    {
        int32_t hint = -1;
        auto tag = createITunNORMTag(m_dir.file("a.mp3"), hint, true, true);
        ASSERT_TRUE(tag->write(sample(0xABC)));
    }
    EXPECT_TRUE(status->checkTag(*track1, true));
    SoundCheckValues values{};
    ASSERT_TRUE(status->getTag(values));
    EXPECT_EQ(values, sample(0xABC));
    ASSERT_TRUE(status->getBackup(values));
    EXPECT_EQ(values, sample(0xABC));
    // "No value yet" no longer holds once the value was read.
    EXPECT_EQ(status->getError(), kErrorNone);
    EXPECT_EQ(status->getState(), kStateNone);
}

TEST_F(TagCheck, ReappearingFileClearsNotFoundButNotAnalysisErrors) {
    auto model = loadWith("a.mp3");
    auto track1 = trackOf(*model, 1);
    auto status = model->statusLibrary()->trackStatus(1, true);
    CountingReader reader;
    status->checkTag(*track1, true, reader.reader());
    EXPECT_EQ(status->getFileError(), kFileErrorNotFound);
    writeFile(m_dir.file("a.mp3"), "audio");
    EXPECT_TRUE(status->checkTag(*track1, true, reader.reader()));
    EXPECT_EQ(status->getError(), kErrorNone);
    EXPECT_EQ(status->getFileError(), kFileErrorNone);
    EXPECT_EQ(status->getState(), kStateNone);

    status->setError(kErrorDecode);
    status->setState(kStateFailed);
    status->checkTag(*track1, true, reader.reader());
    EXPECT_EQ(status->getError(), kErrorDecode);
    EXPECT_EQ(status->getState(), kStateFailed);
}

TEST_F(TagCheck, ManualAdjustmentComesFromStoreWhileNewerThanTheTrack) {
    auto model = loadWith("a.mp3");
    auto track1 = trackOf(*model, 1);
    auto status = model->statusLibrary()->trackStatus(1, true);
    int32_t value = 0;
    bool changed = true;
    // Nothing stored and iTunes cannot be asked here: missing.
    EXPECT_FALSE(status->refreshManualAdjustment(*track1, value, changed));
    EXPECT_FALSE(changed);
    status->setManualAdjustment(-12, mv::now(true));
    EXPECT_TRUE(status->refreshManualAdjustment(*track1, value, changed));
    EXPECT_EQ(value, -12);
    EXPECT_FALSE(changed);
    // Stored before the track was modified: the store is stale.
    auto old = std::make_shared<DateTimePoint>(DateTimePoint{1000, 0});
    status->setManualAdjustment(-12, old);
    EXPECT_FALSE(status->refreshManualAdjustment(*track1, value, changed));
}
