#include "audio/CommentTag.h"
#include "audio/SafeTagSave.h"
#include "audio/TagLibLock.h"
#include "audio/iTunNORMTag.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <future>
#include <regex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sonorix;
using sonorix::test::readFile;
using sonorix::test::TempDir;
using sonorix::test::writeFile;
namespace fs = std::filesystem;

namespace {

std::shared_ptr<iTunNORMTag> openTag(const std::string& path, bool writable, bool create) {
    auto tag = std::make_shared<iTunNORMTag>();
    int32_t hint = -1;
    tag->open(path, hint, writable, create);
    return tag;
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// What the independent reader sees of the Sound Check text and the comment.
std::string mutagenText(const std::string& path) {
    auto r = test::runCommand({"/usr/bin/python3", "-c", R"(
import sys, mutagen
f = mutagen.File(sys.argv[1])
found = [c for c in f.tags.getall('COMM') if c.desc == 'iTunNORM'] if f.tags else []
print(found[0].text[0] if found else '', end='')
)",
                               path});
    return r.out;
}

class FileSafety : public ::testing::Test {
protected:
    std::string mp3(const std::string& name) {
        std::string path = m_dir.file(name);
        EXPECT_TRUE(test::makeAudio(path, "sine=frequency=440:duration=1",
                                    {"-ac", "2", "-c:a", "libmp3lame", "-b:a", "96k"}));
        return path;
    }
    TempDir m_dir;
};

} // namespace

TEST_F(FileSafety, FifosDevicesAndFoldersAreRefusedAtOnce) {
    ::mkfifo(m_dir.file("x.mp3").c_str(), 0644);
    ::symlink("/dev/zero", m_dir.file("zero.mp3").c_str());
    ::symlink("/dev/urandom", m_dir.file("random.m4a").c_str());
    fs::create_directory(m_dir.file("folder.mp3"));
    for (const char* name : {"x.mp3", "zero.mp3", "random.m4a", "folder.mp3"}) {
        SCOPED_TRACE(name);
        const std::string path = m_dir.file(name);
        for (bool writable : {false, true}) {
            try {
                openTag(path, writable, writable);
                ADD_FAILURE() << "opened";
            } catch (const MemoryMappable::FileOpenException& e) {
                EXPECT_EQ(e.fault(), FileFault::NotRegular);
            }
        }
        std::u16string comment;
        EXPECT_FALSE(CommentTag::read(path, comment));
        EXPECT_FALSE(CommentTag::write(path, u"text"));
        EXPECT_FALSE(CommentTag::tagsReadable(path));
    }
}

// The file shrinks after the text was found (another program rewrote it): reading or writing
// the mapped text is a file error for this track, and nothing is written past the new end.
TEST_F(FileSafety, ATextWhoseFileShrankIsAFileErrorNotACrash) {
    const std::string text = SoundCheckText::format({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    // An ID3v2.3 tag: a large private frame, then the comment frame holding the text.
    auto be32 = [](size_t v) {
        return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    };
    auto frame = [&](const std::string& id, const std::string& body) {
        return id + be32(body.size()) + std::string(2, '\0') + body;
    };
    std::string frames = frame("PRIV", "x" + std::string(1, '\0') + std::string(70000, 'x')) +
                         frame("COMM", std::string("\0eng", 4) + std::string("iTunNORM\0", 9) +
                                           text + std::string(1, '\0'));
    size_t size = frames.size() + 1000;
    std::string header = "ID3" + std::string("\3\0\0", 3) +
                         std::string{char((size >> 21) & 0x7F), char((size >> 14) & 0x7F),
                                     char((size >> 7) & 0x7F), char(size & 0x7F)};
    std::string content = header + frames + std::string(1000, '\0') + std::string(8000, 'x');
    const std::string path = m_dir.file("file.bin");
    writeFile(path, content);

    auto reader = openTag(path, false, false);
    auto writer = openTag(path, true, false);
    ASSERT_EQ(writer->mode(), iTunNORMTag::Mode::Raw);
    ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
    EXPECT_THROW(reader->values(), MemoryMappable::FileChangedException);
    EXPECT_THROW(writer->setAdjustment(3), ExceptionBase);
    EXPECT_EQ(readFile(path), content.substr(0, 1000));
}

TEST_F(FileSafety, CopiesHaveShortLockedNamesSoLongNamesSave) {
    // 80 CJK characters: 240 bytes of UTF-8, 244 with the extension; the file system allows 255.
    std::string name;
    for (int i = 0; i < 80; ++i) {
        name += "曲";
    }
    name += ".mp3";
    const std::string path = m_dir.file(name);
    fs::rename(mp3("long.mp3"), path);
    std::string seen;
    bool locked = false;
    setSafeSaveFaultHook([&](SafeSaveStage stage, const std::string& copy) {
        if (stage == SafeSaveStage::Copied) {
            seen = copy;
            int fd = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
            locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
            ::close(fd);
        }
    });
    EXPECT_TRUE(openTag(path, true, true)->setAdjustment(-2));
    setSafeSaveFaultHook(nullptr);
    EXPECT_TRUE(std::regex_match(seen, std::regex(".*/\\.sonorix-[A-Za-z0-9]{6}\\.tmp"))) << seen;
    EXPECT_EQ(fs::path(seen).parent_path(), fs::path(m_dir.path()));
    EXPECT_TRUE(locked) << "the copy is not held while in use";
    EXPECT_EQ(mutagenText(path).size(), iTunNORMTag::kTextLength);
    EXPECT_EQ(entries(m_dir.path()), std::vector<std::string>{name});
}

TEST_F(FileSafety, StaleCopiesGoOnlyWhenNobodyHoldsThem) {
    const std::string folder = m_dir.path();
    for (const char* name :
         {".sonorix-abc123.tmp", ".song.mp3.sonorix-Q1w2E3", ".sonorix-held01.tmp",
          ".sonorix-notes.txt", "sonorix-abc123.tmp", ".sonorix-ab.tmp", "song.mp3"}) {
        writeFile(m_dir.file(name), "data");
    }
    EXPECT_TRUE(isSafeSaveCopyName(".sonorix-abc123.tmp"));
    EXPECT_FALSE(isSafeSaveCopyName(".sonorix-abc12!.tmp"));
    EXPECT_FALSE(isSafeSaveCopyName(".sonorix-.tmp"));
    // Another process saving right now holds its copy.
    int held = ::open(m_dir.file(".sonorix-held01.tmp").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    EXPECT_EQ(removeStaleCopies(folder), 2);
    EXPECT_EQ(entries(folder),
              (std::vector<std::string>{".sonorix-ab.tmp", ".sonorix-held01.tmp",
                                        ".sonorix-notes.txt", "song.mp3", "sonorix-abc123.tmp"}));
    ::close(held);
    // Once per folder and process: the run that made a copy is the one that cleans up after it.
    EXPECT_EQ(removeStaleCopies(folder), 0);
    EXPECT_TRUE(fs::exists(m_dir.file(".sonorix-held01.tmp")));
}

TEST_F(FileSafety, SaveFailuresSayWhatHappened) {
    const std::string path = mp3("song.mp3");
    const std::string before = readFile(path);
    // A failure with no known cause is neither "full" nor "protected".
    setSafeSaveFaultHook([](SafeSaveStage stage, const std::string&) {
        if (stage == SafeSaveStage::Verified) {
            throw std::runtime_error("injected");
        }
    });
    try {
        openTag(path, true, true)->setAdjustment(1);
        ADD_FAILURE();
    } catch (const iTunNORMTag::SaveErrorException& e) {
        EXPECT_EQ(e.fault(), FileFault::Other);
    }
    setSafeSaveFaultHook(nullptr);
    EXPECT_EQ(readFile(path), before);

    if (::geteuid() != 0) { // root writes anything
        ::chmod(path.c_str(), 0444);
        try {
            openTag(path, true, true)->setAdjustment(1);
            ADD_FAILURE();
        } catch (const MemoryMappable::FileOpenException& e) {
            EXPECT_EQ(e.fault(), FileFault::WriteProtected);
        } catch (const iTunNORMTag::SaveErrorException& e) {
            EXPECT_EQ(e.fault(), FileFault::WriteProtected);
        }
    }
    std::string error;
    FileFault fault = FileFault::None;
    EXPECT_FALSE(saveFileSafely(
        m_dir.file("missing.mp3"), [](const std::string&) { return true; },
        [](const std::string&, const std::string&) { return true; }, &error, &fault));
    EXPECT_EQ(fault, FileFault::NotFound);
}

TEST_F(FileSafety, StaleCopiesBesideAFileAreFoundThroughLinks) {
    const std::string music = m_dir.file("music");
    const std::string elsewhere = m_dir.file("elsewhere");
    fs::create_directories(music);
    fs::create_directories(elsewhere);
    writeFile(music + "/a.mp3", "data");
    writeFile(music + "/.sonorix-aaaaaa.tmp", "stale");
    writeFile(elsewhere + "/b.mp3", "data");
    writeFile(elsewhere + "/.sonorix-bbbbbb.tmp", "stale");
    fs::create_symlink(elsewhere + "/b.mp3", music + "/b.mp3");

    EXPECT_EQ(removeStaleCopiesBeside(music + "/a.mp3"), 1);
    // The music folder is done; a file in it that is a link leads to a folder still to clean.
    EXPECT_EQ(removeStaleCopiesBeside(music + "/b.mp3"), 1);
    EXPECT_FALSE(fs::exists(elsewhere + "/.sonorix-bbbbbb.tmp"));
    writeFile(music + "/.sonorix-cccccc.tmp", "stale");
    EXPECT_EQ(removeStaleCopiesBeside(music + "/a.mp3"), 0);
    EXPECT_TRUE(fs::exists(music + "/.sonorix-cccccc.tmp"));
}

// The caller's hold on the tag library's lock is let go for the copy, the sync and the rename,
// so that other threads' tags do not wait on the disk, and held for the callbacks and on return,
// whether the save worked, failed or threw.
TEST_F(FileSafety, TheTagLibraryLockIsFreeOnlyWhileTheDiskWorks) {
    const std::string path = m_dir.file("song.mp3");
    writeFile(path, "content");
    auto takenElsewhere = [] {
        return std::async(std::launch::async,
                          [] {
                              if (!tagLibLock().try_lock()) {
                                  return false;
                              }
                              tagLibLock().unlock();
                              return true;
                          })
            .get();
    };
    std::vector<std::pair<SafeSaveStage, bool>> free;
    setSafeSaveFaultHook([&](SafeSaveStage stage, const std::string&) {
        free.emplace_back(stage, takenElsewhere());
    });
    std::unique_lock<std::mutex> lock(tagLibLock());
    bool heldInEdit = false, heldInVerify = false;
    EXPECT_TRUE(saveFileSafely(
        path,
        [&](const std::string& copy) {
            heldInEdit = lock.owns_lock() && !takenElsewhere();
            writeFile(copy, "edited");
            return true;
        },
        [&](const std::string&, const std::string&) {
            heldInVerify = lock.owns_lock() && !takenElsewhere();
            return true;
        },
        nullptr, nullptr, &lock));
    EXPECT_TRUE(heldInEdit);
    EXPECT_TRUE(heldInVerify);
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_EQ(readFile(path), "edited");
    ASSERT_EQ(free.size(), 4u);
    for (const auto& [stage, wasFree] : free) {
        EXPECT_TRUE(wasFree) << static_cast<int>(stage);
    }
    // A failed and a throwing edit hand the lock back all the same.
    EXPECT_FALSE(saveFileSafely(
        path, [](const std::string&) { return false; },
        [](const std::string&, const std::string&) { return true; }, nullptr, nullptr, &lock));
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_FALSE(saveFileSafely(
        path, [](const std::string&) -> bool { throw std::runtime_error("no"); },
        [](const std::string&, const std::string&) { return true; }, nullptr, nullptr, &lock));
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_EQ(readFile(path), "edited");
    setSafeSaveFaultHook(nullptr);
}
