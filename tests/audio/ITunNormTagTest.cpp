#include "audio/iTunNORMTag.h"
#include "audio/CommentTag.h"
#include "audio/ContainerLayout.h"
#include "audio/SafeTagSave.h"

#include "support/TestSupport.h"

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace sonorix;
using sonorix::test::readFile;
using sonorix::test::runCommand;
using sonorix::test::TempDir;
using sonorix::test::writeFile;
namespace fs = std::filesystem;

namespace {

using Tag = iTunNORMTag;

const SoundCheckValues kDefaults = {1000, 1000, 2500, 2500, 0, 0, 0, 0, 0, 0};
const SoundCheckValues kSample = {0x1F5, 0x1F6,  0x4E5,  0x4E6, 0xABCDEF,
                                  0x12,  0x7FFF, 0x8000, 0x1,   0x2};

std::string text(const SoundCheckValues& v) {
    return SoundCheckText::format(v);
}
std::string id3Layout(const std::string& t) {
    return std::string("iTunNORM\0", 9) + t + '\0';
}
std::string mp4Layout(const std::string& t) {
    return std::string("iTunNORM\0\0\0\x6A"
                       "data\0\0\0\x01\0\0\0\0",
                       24) +
           t;
}
std::string filler(size_t n, char c = 'x') {
    return std::string(n, c);
}

std::string be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string syncsafe(uint32_t v) {
    return {char((v >> 21) & 0x7F), char((v >> 14) & 0x7F), char((v >> 7) & 0x7F), char(v & 0x7F)};
}
// An ID3v2.3 tag whose comment frame "iTunNORM" holds the text, as iTunes writes it.
std::string id3Tag(const std::string& t, const std::string& otherFrames = "") {
    std::string body = std::string("\0eng", 4) + id3Layout(t);
    std::string frames =
        otherFrames + "COMM" + be32(uint32_t(body.size())) + std::string(2, '\0') + body;
    std::string padding(64, '\0');
    return "ID3" + std::string("\3\0\0", 3) + syncsafe(uint32_t(frames.size() + 64)) + frames +
           padding;
}
std::string atom(const std::string& type, const std::string& body) {
    return be32(uint32_t(8 + body.size())) + type + body;
}
// A minimal MPEG-4 file whose item list holds the text as a freeform item.
std::string mp4WithItem(const std::string& t) {
    std::string flags(4, '\0');
    std::string item =
        atom("----", atom("mean", flags + "com.apple.iTunes") + atom("name", flags + "iTunNORM") +
                         atom("data", std::string("\0\0\0\1\0\0\0\0", 8) + t));
    std::string moov = atom("moov", atom("udta", atom("meta", flags + atom("ilst", item))));
    return atom("ftyp", "M4A \0\0\0\0") + atom("mdat", filler(300)) + moov;
}
// An AIFF ("FORM") or WAVE ("RIFF") file with one chunk.
std::string riffWithChunk(const std::string& form, const std::string& kind, const std::string& id,
                          std::string content) {
    bool little = form == "RIFF";
    auto size = [&](uint32_t v) {
        std::string b = be32(v);
        return little ? std::string(b.rbegin(), b.rend()) : b;
    };
    if (content.size() % 2) {
        content += '\0';
    }
    std::string chunk = id + size(uint32_t(content.size())) + content;
    return form + size(uint32_t(4 + chunk.size())) + kind + chunk;
}
std::optional<SoundCheckText::Location> find(const std::string& bytes, int64_t hint) {
    return SoundCheckText::find(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), hint);
}

std::shared_ptr<Tag> openTag(const std::string& path, int32_t& hint, bool writable = false,
                             bool create = false, Tag::Search search = Tag::Search::RawThenTagLib) {
    auto tag = std::make_shared<Tag>();
    tag->open(path, hint, writable, create, search);
    return tag;
}

std::shared_ptr<Tag> openTag(const std::string& path, bool writable = false, bool create = false,
                             Tag::Search search = Tag::Search::RawThenTagLib) {
    int32_t hint = -1;
    return openTag(path, hint, writable, create, search);
}

// What an independent reader sees: the text, the ID3v2 version or the genre.
std::string mutagen(const std::string& what, const std::string& path) {
    static const char* script = R"(
import sys, mutagen
what, path = sys.argv[1], sys.argv[2]
f = mutagen.File(path)
tags = f.tags if f is not None else None
out = ''
if tags is not None and hasattr(tags, 'getall'):
    if what == 'text':
        found = [c for c in tags.getall('COMM') if c.desc == 'iTunNORM']
        out = '|'.join(found[0].text) if found else ''
    elif what == 'version':
        out = '%d.%d' % tags.version[:2]
    elif what == 'genre':
        out = '|'.join(tags['TCON'].text) if 'TCON' in tags else ''
    elif what == 'title':
        out = '|'.join(tags['TIT2'].text) if 'TIT2' in tags else ''
elif tags is not None and what == 'text':
    v = tags.get('----:com.apple.iTunes:iTunNORM')
    out = '|'.join(bytes(x).decode('latin-1') for x in v) if v else ''
print(out, end='')
)";
    auto r = runCommand({"/usr/bin/python3", "-c", script, what, path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

void mutagenRun(const std::string& code, const std::string& path) {
    auto r = runCommand({"/usr/bin/python3", "-c", code, path});
    ASSERT_EQ(r.status, 0) << r.err;
}

// The decoded audio, to show that tag writes never touch it.
std::string decode(const std::string& path) {
    auto r = runCommand(
        {"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "s16le", "-ac", "2", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GT(r.out.size(), 10000u);
    return r.out;
}

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Audio files made once for all tests; each test works on its own copy.
class GeneratedAudio : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_dir = new TempDir; }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void TearDown() override { setSafeSaveFaultHook(nullptr); }

    // Each test process (ctest runs one test per process) makes only the files it uses.
    static std::string generated(const std::string& name) {
        static const std::map<std::string, std::vector<std::string>> recipes = {
            {"v23.mp3",
             {"-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "3", "-write_id3v1", "1",
              "-metadata", "title=Song", "-metadata", "genre=Rock"}},
            {"v24.mp3", {"-c:a", "libmp3lame", "-b:a", "128k", "-metadata", "title=Song"}},
            {"aac.m4a", {"-c:a", "aac", "-b:a", "96k"}},
            {"alac.m4a", {"-c:a", "alac"}},
            {"tagged.aiff", {"-write_id3v2", "1", "-metadata", "title=Song"}},
            {"v23.aiff", {"-write_id3v2", "1", "-id3v2_version", "3", "-metadata", "title=Song"}},
            {"plain.aiff", {}},
        };
        std::string path = s_dir->file(name);
        if (!fs::exists(path)) {
            std::vector<std::string> options = recipes.at(name);
            options.insert(options.begin(), {"-ac", "2"});
            EXPECT_TRUE(test::makeAudio(path, "sine=frequency=440:duration=1", options)) << name;
        }
        return path;
    }

    // A private copy of a generated file.
    std::string copy(const std::string& name, std::string as = "") {
        if (as.empty()) {
            as = name;
        }
        std::string path = m_dir.file(as);
        fs::copy_file(generated(name), path);
        return path;
    }

    static TempDir* s_dir;
    TempDir m_dir;
};

TempDir* GeneratedAudio::s_dir = nullptr;

class RawText : public ::testing::Test {
protected:
    std::string write(const std::string& content, const std::string& name = "file.bin") {
        std::string path = m_dir.file(name);
        writeFile(path, content);
        return path;
    }
    TempDir m_dir;
};

} // namespace

TEST(SoundCheckTextFormat, UpperCaseDigitsAndFullRange) {
    SoundCheckValues v = kDefaults;
    v[9] = 4294967295u;
    std::string t = text(v);
    EXPECT_EQ(t, " 000003E8 000003E8 000009C4 000009C4 00000000 00000000 00000000 00000000 "
                 "00000000 FFFFFFFF");
    SoundCheckValues back;
    ASSERT_TRUE(SoundCheckText::parse(t.data(), t.size(), back));
    EXPECT_EQ(back, v);
    EXPECT_EQ(text(kDefaults), Tag::kDefaultText);
}

TEST_F(RawText, FindsBothLayoutsAndReadsLowerCaseDigits) {
    std::string lower = " 000003e8 000003e8 000009c4 000009c4 0000abcd 00000000 00000000 00000000 "
                        "00000000 ffffffff";
    for (bool mp4 : {false, true}) {
        SCOPED_TRACE(mp4);
        std::string bytes = filler(333) + (mp4 ? mp4Layout(lower) : id3Layout(lower)) + filler(50);
        auto found = find(bytes, -1);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->signature, 333u);
        EXPECT_EQ(found->text, 333u + (mp4 ? 24 : 9));

        // In a file, the same text where a player reads it.
        std::string content = mp4 ? mp4WithItem(lower) : id3Tag(lower) + filler(50);
        size_t at = content.find(std::string("iTunNORM\0", 9));
        int32_t hint = -1;
        auto tag = openTag(write(content), hint);
        EXPECT_EQ(tag->mode(), Tag::Mode::Raw);
        EXPECT_TRUE(tag->isPresent());
        EXPECT_EQ(hint, int32_t(at));
        EXPECT_EQ(tag->textOffset(), int64_t(at + (mp4 ? 24 : 9)));
        EXPECT_EQ(tag->value(4), 0xABCDu);
        EXPECT_EQ(tag->value(9), 0xFFFFFFFFu);
        EXPECT_EQ(tag->value(0), 1000u);
    }
}

TEST_F(RawText, InPlaceTextsAreLookedForOnlyInTheTagChunkOrItemListAPlayerReads) {
    auto inPlace = [](const std::string& bytes) {
        return SoundCheckText::find(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                    -1, true);
    };
    const std::string t = text(kSample);
    // A tag without padding whose text (no closing NUL) ends it: the text runs to the tag's end.
    std::string body = std::string("\0eng", 4) + std::string("iTunNORM\0", 9) + t;
    std::string frames = "COMM" + be32(uint32_t(body.size())) + std::string(2, '\0') + body;
    std::string tight =
        "ID3" + std::string("\3\0\0", 3) + syncsafe(uint32_t(frames.size())) + frames + filler(300);
    auto found = inPlace(tight);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->text + 90, 10 + frames.size());

    // A text in the audio after a tag without one, or in a file without a tag, is no text.
    std::string title = "TIT2" + be32(5) + std::string(2, '\0') + std::string("\0Song", 5);
    std::string planted = "ID3" + std::string("\3\0\0", 3) + syncsafe(uint32_t(title.size() + 64)) +
                          title + std::string(64, '\0') + filler(300) + id3Layout(t) + filler(300);
    EXPECT_FALSE(inPlace(planted));
    EXPECT_TRUE(find(planted, -1));
    EXPECT_FALSE(inPlace(filler(50) + id3Layout(t) + filler(50)));

    // The chunk of an AIFF file and the item list of an MPEG-4 file, wherever they lie.
    std::string aiff = riffWithChunk("FORM", "AIFF", "ID3 ", id3Tag(t));
    EXPECT_TRUE(inPlace(aiff));
    std::string mp4 = mp4WithItem(t);
    found = inPlace(mp4);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->signature, mp4.find(std::string("iTunNORM\0", 9)));
    auto [from, to] = ContainerLayout::inPlaceSignatureRange(
        reinterpret_cast<const uint8_t*>(mp4.data()), mp4.size());
    EXPECT_LT(from, found->signature);
    EXPECT_EQ(to, mp4.size());
    EXPECT_GT(from, mp4.find("mdat"));
}

TEST_F(RawText, HintIsTriedFirstAndAStaleHintIsCorrected) {
    std::string first = text(kDefaults);
    std::string second = text(kSample);
    std::string content =
        filler(100) + id3Layout(first) + filler(100) + id3Layout(second) + filler(200);
    size_t secondAt = 100 + 100 + 100;

    EXPECT_EQ(find(content, int32_t(secondAt))->signature, secondAt);
    for (int32_t stale :
         {-1, 0, 5, 250, int32_t(content.size()) - 50, int32_t(content.size()) + 7, INT32_MAX}) {
        SCOPED_TRACE(stale);
        EXPECT_EQ(find(content, stale)->signature, 100u);
    }

    // Through a file: a stale hint is replaced by where the text is.
    std::string tagged = id3Tag(second) + filler(100);
    size_t at = tagged.find(std::string("iTunNORM\0", 9));
    std::string path = write(tagged);
    for (int32_t stale : {-1, 3, int32_t(at) + 1, INT32_MAX}) {
        int32_t hint = stale;
        EXPECT_EQ(openTag(path, hint)->values(), kSample);
        EXPECT_EQ(hint, int32_t(at));
    }
}

TEST_F(RawText, NeedsNinetyNineBytesFromTheSignatureAndTheHintNeedsAHundred) {
    std::string early = id3Layout(text(kDefaults));
    std::string late = id3Layout(text(kSample)); // exactly 100 bytes with its closing NUL
    ASSERT_EQ(late.size(), 100u);
    size_t lateAt = 20 + early.size() + 20;

    // 99 bytes from the signature: found by the search, but the hint does not reach it.
    std::string bytes = filler(20) + filler(20) + late.substr(0, 99);
    EXPECT_EQ(find(bytes, 40)->signature, 40u);
    bytes = filler(20) + early + filler(20) + late.substr(0, 99);
    EXPECT_EQ(find(bytes, int32_t(lateAt))->signature, 20u);
    // 100 bytes: the hint reaches it.
    bytes = filler(20) + early + filler(20) + late;
    EXPECT_EQ(find(bytes, int32_t(lateAt))->signature, lateAt);
    // 98 bytes: never a candidate.
    EXPECT_FALSE(find(filler(20) + late.substr(0, 98), -1));
}

TEST_F(RawText, CandidateWithANonHexFieldIsSkipped) {
    std::string good = text(kSample);
    for (size_t pos : {0u, 1u, 8u, 44u, 81u, 89u}) {
        SCOPED_TRACE(pos);
        std::string bad = text(kDefaults);
        bad[pos] = pos % 9 == 0 ? '0' : 'g'; // a field without its space, or a non-digit
        auto found = find(filler(10) + id3Layout(bad) + id3Layout(good) + filler(20), 10);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->signature, 10u + 100);
    }
    // A file ending right after the signature, and one with only bad candidates.
    EXPECT_FALSE(find(filler(200) + "iTunNORM", -1));
    EXPECT_FALSE(find(filler(200) + std::string("iTunNORM\0", 9), -1));
    std::string bad = text(kDefaults);
    bad[50] = 'Z';
    EXPECT_FALSE(find(filler(5) + id3Layout(bad) + filler(100), -1));
    EXPECT_THROW(openTag(write(id3Tag(bad) + filler(100), "bad.bin")),
                 Tag::NoTagSupportedException);
}

TEST_F(RawText, WriteRewritesOnlyTheChangedDigitsInUpperCase) {
    std::string lower = " 000003e8 000003e8 000009c4 000009c4 0000abcd 00000000 00000000 00000000 "
                        "00000000 00000000";
    std::string before = mp4WithItem(lower);
    size_t text = before.find(std::string("iTunNORM\0", 9)) + 24;
    std::string path = write(before);
    SoundCheckValues v = kDefaults;
    v[4] = 0xABCD;
    {
        auto tag = openTag(path, true, false);
        ASSERT_EQ(tag->mode(), Tag::Mode::Raw);
        EXPECT_FALSE(tag->write(v)); // same values, though written in lower case
        v[1] = 4294967295u;
        v[7] = 0x2A;
        EXPECT_TRUE(tag->write(v));
        EXPECT_EQ(tag->values(), v);
    }
    std::string expected = before;
    expected.replace(text + 10, 8, "FFFFFFFF");
    expected.replace(text + 64, 8, "0000002A");
    EXPECT_EQ(readFile(path), expected);
    // Writing the same values again changes nothing.
    EXPECT_FALSE(openTag(path, true, false)->write(v));
    EXPECT_EQ(readFile(path), expected);
}

TEST_F(RawText, SetAdjustmentKeepsStatisticsAndZeroesPeaks) {
    std::string path = write(id3Tag(text(kSample)) + filler(64));
    EXPECT_TRUE(openTag(path, true, false)->setAdjustment(3));
    SoundCheckValues expected = {501, 501, 1253, 1253, 0xABCDEF, 0x12, 0, 0, 1, 2};
    EXPECT_EQ(openTag(path)->values(), expected);
    EXPECT_FALSE(openTag(path, true, false)->setAdjustment(3));
}

TEST_F(RawText, ReadOnlyOpenNeverReportsAWriteThatDidNotHappen) {
    std::string content = id3Tag(text(kDefaults)) + filler(64);
    std::string path = write(content);
    auto tag = openTag(path, false, false);
    EXPECT_FALSE(tag->write(kDefaults));
    EXPECT_THROW(tag->write(kSample), Tag::SaveErrorException);
    EXPECT_EQ(readFile(path), content);
}

TEST_F(RawText, FileRemovedOrReplacedBeforeTheWriteIsReported) {
    std::string content = id3Tag(text(kDefaults)) + filler(64);
    std::string path = write(content);
    auto tag = openTag(path, true, false);
    ::unlink(path.c_str());
    EXPECT_THROW(tag->write(kSample), Tag::SaveErrorException);
    EXPECT_FALSE(fs::exists(path));

    path = write(content);
    tag = openTag(path, true, false);
    write(content, "other.bin");
    ASSERT_EQ(std::rename(m_dir.file("other.bin").c_str(), path.c_str()), 0);
    EXPECT_THROW(tag->write(kSample), Tag::SaveErrorException);
    EXPECT_EQ(readFile(path), content);
}

TEST_F(RawText, FilesWithoutTextOrTagSupportFailWithTheirException) {
    EXPECT_THROW(openTag(m_dir.file("missing.mp3")), MemoryMappable::FileOpenException);
    EXPECT_THROW(openTag(write("", "empty.mp3")), MemoryMappable::FileEmptyException);
    fs::create_directory(m_dir.file("folder.mp3"));
    EXPECT_THROW(openTag(m_dir.file("folder.mp3"), true, true), MemoryMappable::FileOpenException);
    EXPECT_THROW(openTag(write(filler(5000), "song.wav")), Tag::NoTagSupportedException);
    EXPECT_THROW(openTag(write(filler(5000), "song.mp3"), true, true),
                 Tag::NoTagSupportedException);
    // Types without a TagLib path work when their ID3v2 tag holds a text.
    std::string tag = id3Tag(text(kSample));
    for (auto [name, content] : std::map<std::string, std::string>{
             {"song.wav", riffWithChunk("RIFF", "WAVE", "id3 ", tag)},
             {"song.aac", tag + filler(400)},
             {"x.aif", riffWithChunk("FORM", "AIFF", "ID3 ", tag)}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(openTag(write(content, name), true, true)->values(), kSample);
    }
}

TEST_F(GeneratedAudio, CreatesTheTextThenRewritesItInPlace) {
    for (std::string name : {"v23.mp3", "v24.mp3", "aac.m4a", "alac.m4a", "tagged.aiff"}) {
        SCOPED_TRACE(name);
        std::string path = copy(name);
        std::string audio = decode(path);
        EXPECT_THROW(openTag(path, true, false), Tag::NoTagException);
        {
            auto tag = openTag(path, true, true);
            EXPECT_NE(tag->mode(), Tag::Mode::Raw);
            EXPECT_FALSE(tag->isPresent());
            EXPECT_EQ(tag->values(), kDefaults);
            EXPECT_TRUE(tag->setAdjustment(-3));
            EXPECT_TRUE(tag->isPresent());
            EXPECT_FALSE(tag->setAdjustment(-3));
        }
        std::string written = " 000007CB 000007CB 0000137C 0000137C 00000000 00000000 00000000 "
                              "00000000 00000000 00000000";
        EXPECT_EQ(mutagen("text", path), written);
        EXPECT_EQ(decode(path), audio);

        int32_t hint = -1;
        auto raw = openTag(path, hint, true, false);
        EXPECT_EQ(raw->mode(), Tag::Mode::Raw);
        EXPECT_GE(hint, 0);
        EXPECT_EQ(raw->text(), written);
        EXPECT_TRUE(raw->setAdjustment(2));
        raw.reset();
        EXPECT_EQ(mutagen("text", path), text({631, 631, 1577, 1577, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(decode(path), audio);
    }
}

TEST_F(GeneratedAudio, CreateWritesTheFrameEvenWhenTheValuesAreTheDefaults) {
    for (std::string name : {"v23.mp3", "aac.m4a"}) {
        std::string path = copy(name);
        EXPECT_TRUE(openTag(path, true, true)->write(kDefaults));
        EXPECT_EQ(mutagen("text", path), Tag::kDefaultText);
        EXPECT_FALSE(openTag(path, true, true, Tag::Search::TagLibOnly)->write(kDefaults));
    }
}

TEST_F(GeneratedAudio, TheFileNameChoosesTheTagLibPath) {
    for (const char* name : {"A.M4P", "b.mp4", "c.m4b", "D.MP3"}) {
        SCOPED_TRACE(name);
        std::string path =
            copy(name[2] == 'M' && name[3] == 'P' && name[4] == '3' ? "v23.mp3" : "aac.m4a", name);
        auto tag = openTag(path, true, true);
        EXPECT_EQ(tag->mode(), std::string(name) == "D.MP3" ? Tag::Mode::ID3v2 : Tag::Mode::MP4);
    }
    // Five characters are too short for an AIFF name; six are not.
    std::string old = fs::current_path();
    fs::current_path(m_dir.path());
    copy("tagged.aiff", "x.aif");
    copy("tagged.aiff", "xy.aif");
    EXPECT_THROW(openTag("x.aif", true, true), Tag::NoTagSupportedException);
    EXPECT_EQ(openTag("xy.aif", true, true)->mode(), Tag::Mode::ID3v2);
    fs::current_path(old);
}

TEST_F(GeneratedAudio, MP3SavesKeepTheTagVersionAndEverythingElse) {
    std::string v23 = copy("v23.mp3");
    std::string v24 = copy("v24.mp3");
    std::string id3v1 = readFile(v23).substr(readFile(v23).size() - 128);
    ASSERT_EQ(id3v1.substr(0, 3), "TAG");
    openTag(v23, true, true)->setAdjustment(1);
    openTag(v24, true, true)->setAdjustment(1);
    EXPECT_EQ(mutagen("version", v23), "2.3");
    EXPECT_EQ(mutagen("version", v24), "2.4");
    EXPECT_EQ(mutagen("title", v23), "Song");
    EXPECT_EQ(mutagen("title", v24), "Song");
    std::string after = readFile(v23);
    EXPECT_EQ(after.substr(after.size() - 128), id3v1);

    std::string aiff = copy("v23.aiff");
    ASSERT_EQ(mutagen("version", aiff), "2.3");
    openTag(aiff, true, true)->setAdjustment(1);
    EXPECT_EQ(mutagen("version", aiff), "2.3");
    EXPECT_EQ(mutagen("title", aiff), "Song");
}

TEST_F(GeneratedAudio, PathsAreUTF8) {
    for (std::string name : {"Bjørk – Jóga ♫.mp3", "日本語の曲.m4a"}) {
        std::string path = copy(name.back() == '3' ? "v24.mp3" : "alac.m4a", name);
        EXPECT_TRUE(openTag(path, true, true)->setAdjustment(-6));
        EXPECT_EQ(mutagen("text", path), text({3981, 3981, 9953, 9953, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(openTag(path)->mode(), Tag::Mode::Raw);
    }
}

TEST_F(GeneratedAudio, MP3SaveRewritesTheGenreAsTagLibReadsIt) {
    std::string path = copy("v23.mp3");
    // A numeric genre reference, patched into the frame ffmpeg wrote (same length).
    std::string bytes = readFile(path);
    size_t genre = bytes.find("Rock", bytes.find("TCON"));
    ASSERT_NE(genre, std::string::npos);
    bytes.replace(genre, 4, "(17)");
    writeFile(path, bytes);
    // Readers normalise such references, so the frame's own bytes are compared.
    auto genreFrame = [](const std::string& file) {
        size_t at = file.find("TCON");
        if (at == std::string::npos || at + 11 > file.size()) {
            return std::string();
        }
        size_t size = size_t(uint8_t(file[at + 4])) << 24 | size_t(uint8_t(file[at + 5])) << 16 |
                      size_t(uint8_t(file[at + 6])) << 8 | uint8_t(file[at + 7]);
        std::string body = file.substr(at + 11, size - 1); // after the encoding byte
        return body.substr(0, body.find('\0'));
    };
    ASSERT_EQ(genreFrame(readFile(path)), "(17)");
    openTag(path, true, true)->setAdjustment(1);
    EXPECT_EQ(genreFrame(readFile(path)), "Rock");
    EXPECT_EQ(mutagen("version", path), "2.3");
}

TEST_F(GeneratedAudio, UTF16CommentIsFoundOnlyThroughTagLib) {
    std::string path = copy("v23.mp3");
    mutagenRun("import sys\nfrom mutagen.id3 import ID3, COMM\nt = ID3(sys.argv[1])\n"
               "t.add(COMM(encoding=1, lang='eng', desc='iTunNORM', text='" +
                   text(kSample) +
                   "'))\n"
                   "t.save(v2_version=3)\n",
               path);
    std::string before = readFile(path);
    std::string audio = decode(path);
    auto tag = openTag(path, true, false);
    EXPECT_EQ(tag->mode(), Tag::Mode::ID3v2);
    EXPECT_TRUE(tag->isPresent());
    EXPECT_EQ(tag->values(), kSample);
    EXPECT_FALSE(tag->write(kSample));
    EXPECT_EQ(readFile(path), before);
    EXPECT_TRUE(tag->setAdjustment(-6));
    EXPECT_EQ(tag->value(0), 3981u);
    EXPECT_EQ(mutagen("text", path), text({3981, 3981, 9953, 9953, 0xABCDEF, 0x12, 0, 0, 1, 2}));
    EXPECT_EQ(decode(path), audio);
}

TEST_F(GeneratedAudio, DamagedTextThroughTagLibIsRepairedOnWrite) {
    std::string path = copy("v23.mp3");
    std::string damaged = text(kSample);
    damaged[3] = 'G';
    mutagenRun("import sys\nfrom mutagen.id3 import ID3, COMM\nt = ID3(sys.argv[1])\n"
               "t.add(COMM(encoding=1, lang='eng', desc='iTunNORM', text='" +
                   damaged +
                   "'))\n"
                   "t.save(v2_version=3)\n",
               path);
    auto tag = openTag(path, true, false);
    SoundCheckValues expected = kSample;
    expected[0] = 1000; // the unreadable field reads as no adjustment
    EXPECT_EQ(tag->values(), expected);
    EXPECT_TRUE(tag->write(expected));
    EXPECT_EQ(mutagen("text", path), text(expected));
}

TEST_F(GeneratedAudio, MP4ItemWithTwoStringsOrAShortStringCountsAsAbsent) {
    std::string two = copy("aac.m4a", "two.m4a");
    mutagenRun("import sys\nfrom mutagen.mp4 import MP4, MP4FreeForm\nf = MP4(sys.argv[1])\n"
               "f.tags['----:com.apple.iTunes:iTunNORM'] = [MP4FreeForm(b'" +
                   text(kSample) + "', 1), MP4FreeForm(b'" + text(kSample) + "', 1)]\nf.save()\n",
               two);
    std::string shortText = copy("alac.m4a", "short.m4a");
    mutagenRun(
        "import sys\nfrom mutagen.mp4 import MP4, MP4FreeForm\nf = MP4(sys.argv[1])\n"
        "f.tags['----:com.apple.iTunes:iTunNORM'] = [MP4FreeForm(b' 000003E8 000003E8', 1)]\n"
        "f.save()\n",
        shortText);
    EXPECT_THROW(openTag(two, true, false, Tag::Search::TagLibOnly), Tag::NoTagException);
    EXPECT_THROW(openTag(shortText, true, false), Tag::NoTagException);
    for (const auto& path : {two, shortText}) {
        auto tag = openTag(path, true, true, Tag::Search::TagLibOnly);
        EXPECT_FALSE(tag->isPresent());
        EXPECT_EQ(tag->values(), kDefaults);
        EXPECT_TRUE(tag->setAdjustment(10));
        EXPECT_EQ(mutagen("text", path), text({100, 100, 250, 250, 0, 0, 0, 0, 0, 0}));
    }
}

TEST_F(GeneratedAudio, ASaveFailingHalfWayLeavesTheOriginalByteIdentical) {
    for (auto stage : {SafeSaveStage::Copied, SafeSaveStage::Edited, SafeSaveStage::Synced,
                       SafeSaveStage::Verified}) {
        for (std::string name : {"v23.mp3", "alac.m4a"}) {
            SCOPED_TRACE(name + " at stage " + std::to_string(int(stage)));
            std::string path = copy(name, "s" + std::to_string(int(stage)) + name);
            std::string before = readFile(path);
            auto entries = folderEntries(m_dir.path());
            setSafeSaveFaultHook([stage](SafeSaveStage now, const std::string&) {
                if (now == stage) {
                    throw std::runtime_error("injected failure");
                }
            });
            auto tag = openTag(path, true, true);
            EXPECT_THROW(tag->setAdjustment(4), Tag::SaveErrorException);
            setSafeSaveFaultHook(nullptr);
            EXPECT_EQ(readFile(path), before);
            EXPECT_EQ(folderEntries(m_dir.path()), entries);
        }
    }
}

TEST_F(GeneratedAudio, ACopyCutShortByAFullDiskIsNeverInstalled) {
    for (std::string name : {"v23.mp3", "aac.m4a", "tagged.aiff"}) {
        SCOPED_TRACE(name);
        std::string path = copy(name);
        std::string before = readFile(path);
        // TagLib ignores failed writes; the copy then lacks the end of the audio.
        setSafeSaveFaultHook([](SafeSaveStage now, const std::string& copy) {
            if (now == SafeSaveStage::Edited) {
                ASSERT_EQ(::truncate(copy.c_str(), fs::file_size(copy) - 1000), 0);
            }
        });
        EXPECT_THROW(openTag(path, true, true)->setAdjustment(4), Tag::SaveErrorException);
        setSafeSaveFaultHook(nullptr);
        EXPECT_EQ(readFile(path), before);
    }
}

TEST_F(GeneratedAudio, SavesFollowSymbolicLinksAndKeepPermissions) {
    std::string real = copy("v23.mp3");
    ::chmod(real.c_str(), 0640);
    std::string link = m_dir.file("link.mp3");
    fs::create_symlink(real, link);
    EXPECT_TRUE(openTag(link, true, true)->setAdjustment(-2.5));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(mutagen("text", real), text({1778, 1778, 4446, 4446, 0, 0, 0, 0, 0, 0}));
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(folderEntries(m_dir.path()), (std::vector<std::string>{"link.mp3", "v23.mp3"}));
}

TEST_F(GeneratedAudio, SavesKeepExtendedAttributes) {
    std::string path = copy("aac.m4a");
    if (::setxattr(path.c_str(), "user.rating", "5", 1, 0) != 0) {
        GTEST_SKIP() << "no user attributes on this file system";
    }
    EXPECT_TRUE(openTag(path, true, true)->setAdjustment(1));
    char value[8] = {};
    EXPECT_EQ(::getxattr(path.c_str(), "user.rating", value, sizeof value), 1);
    EXPECT_STREQ(value, "5");
}

TEST_F(GeneratedAudio, FileRemovedBetweenOpenAndTagLibSaveIsReported) {
    std::string path = copy("aac.m4a");
    auto tag = openTag(path, true, true);
    ::unlink(path.c_str());
    EXPECT_THROW(tag->setAdjustment(1), Tag::SaveErrorException);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(folderEntries(m_dir.path()).size(), 0u);
}

TEST_F(GeneratedAudio, DamagedFilesRaiseTheirExceptionAndStayUnchanged) {
    std::string mp3 = readFile(generated("v23.mp3"));
    std::string m4a = readFile(generated("aac.m4a"));
    // An MP3 whose text ends the file right after the signature.
    std::string withText = copy("v23.mp3", "text.mp3");
    openTag(withText, true, true)->setAdjustment(0);
    std::string tagged = readFile(withText);
    size_t signature = tagged.find("iTunNORM");
    ASSERT_NE(signature, std::string::npos);

    std::string sizePastEnd = mp3;
    sizePastEnd.replace(6, 4, "\x7F\x7F\x7F\x7F", 4);
    std::string impossibleAtom = m4a;
    size_t moov = impossibleAtom.find("moov");
    ASSERT_NE(moov, std::string::npos);
    impossibleAtom.replace(moov - 4, 4, "\xFF\xFF\xFF\xF0", 4);
    std::string hugeAtom = m4a;
    hugeAtom.replace(0, 4, "\x00\x00\x00\x01", 4); // 64-bit size that does not follow

    struct Case {
        const char* name;
        std::string content;
    };
    for (const auto& c :
         {Case{"cut-in-tag.mp3", mp3.substr(0, 40)}, Case{"size-past-end.mp3", sizePastEnd},
          Case{"ends-after-signature.mp3", tagged.substr(0, signature + 8)},
          Case{"ends-after-signature-nul.mp3", tagged.substr(0, signature + 9)},
          Case{"impossible-atom.m4a", impossibleAtom}, Case{"huge-atom.m4a", hugeAtom},
          Case{"cut.m4a", m4a.substr(0, m4a.size() / 3)}}) {
        SCOPED_TRACE(c.name);
        std::string path = m_dir.file(c.name);
        writeFile(path, c.content);
        EXPECT_THROW(openTag(path), Tag::NoTagException);
        try {
            auto tag = openTag(path, true, true);
            tag->setAdjustment(5);
            ADD_FAILURE() << "a damaged file was written";
        } catch (const Tag::iTunNORMTagException&) {
        }
        EXPECT_EQ(readFile(path), c.content);
    }
}

TEST_F(GeneratedAudio, TextsAsOtherToolsWroteThemAreReadLikeAnyReaderReadsThem) {
    struct Case {
        std::string stored;
        bool valid;
        SoundCheckValues values;
    };
    const SoundCheckValues a2c = {0xA2C, 0xA2C, 0x1969, 0x1969, 0x12, 0x34, 0x7FFF, 0x7FFF, 0, 0};
    const std::vector<Case> cases = {
        // No leading space, lower case, an eleventh word, short words, tabs.
        {"00000A2C 00000A2C 00001969 00001969 00000012 00000034 00007FFF 00007FFF 00000000 "
         "00000000",
         true, a2c},
        {" 00000a2c 00000a2c 00001969 00001969 00000012 00000034 00007fff 00007fff 00000000 "
         "00000000 0000FFFF",
         true, a2c},
        {"A2C A2C 1969 1969 12 34 7FFF 7FFF 0 0", true, a2c},
        {"A2C\tA2C  1969 1969 12 34 7FFF 7FFF 0 0", true, a2c},
        // Values iTunes never writes: the sign bit, zero adjustments. Nine words: no value.
        {" 80000000 80000000 00001969 00001969 00000012 00000034 00007FFF 00007FFF 00000000 "
         "00000000",
         false,
         {0x80000000, 0x80000000, 0x1969, 0x1969, 0x12, 0x34, 0x7FFF, 0x7FFF, 0, 0}},
        {" 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 "
         "00000000",
         false,
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (bool mp4 : {false, true}) {
        for (size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE(std::to_string(mp4) + ": " + cases[i].stored);
            std::string path = mp4 ? copy("aac.m4a", "c" + std::to_string(i) + ".m4a")
                                   : copy("v23.mp3", "c" + std::to_string(i) + ".mp3");
            mutagenRun(mp4 ? "import sys\nfrom mutagen.mp4 import MP4, MP4FreeForm\n"
                             "f = MP4(sys.argv[1])\nf.tags['----:com.apple.iTunes:iTunNORM'] = "
                             "[MP4FreeForm(b'" +
                                 cases[i].stored + "', 1)]\nf.save()\n"
                           : "import sys\nfrom mutagen.id3 import ID3, COMM\nt = ID3(sys.argv[1])\n"
                             "t.add(COMM(encoding=0, lang='eng', desc='iTunNORM', text='" +
                                 cases[i].stored + "'))\nt.save(v2_version=3)\n",
                       path);
            auto tag = openTag(path, true, false);
            EXPECT_TRUE(tag->isPresent());
            EXPECT_EQ(tag->isValid(), cases[i].valid);
            EXPECT_EQ(tag->values(), cases[i].values);
            // Writing replaces it with the canonical text.
            EXPECT_TRUE(tag->setAdjustment(-1));
            EXPECT_EQ(mutagen("text", path),
                      text(SoundCheck::valuesForAdjustment(cases[i].values, -1)));
        }
    }
    // Nine words are no text at all.
    std::string nine = copy("aac.m4a", "nine.m4a");
    mutagenRun("import sys\nfrom mutagen.mp4 import MP4, MP4FreeForm\nf = MP4(sys.argv[1])\n"
               "f.tags['----:com.apple.iTunes:iTunNORM'] = [MP4FreeForm(b'1 2 3 4 5 6 7 8 9', 1)]\n"
               "f.save()\n",
               nine);
    EXPECT_THROW(openTag(nine, false, false), Tag::NoTagException);
}

TEST_F(GeneratedAudio, MP3AndAIFFWithoutATagHaveNoValueYetAndGetOneOnWriting) {
    for (std::string name : {"plain.aiff"}) {
        std::string path = copy(name);
        std::string before = readFile(path);
        EXPECT_THROW(openTag(path, true, false), Tag::NoTagException);
        EXPECT_EQ(readFile(path), before);
        auto tag = openTag(path, true, true);
        EXPECT_FALSE(tag->isPresent());
        EXPECT_TRUE(tag->setAdjustment(-3));
        EXPECT_EQ(mutagen("version", path), "2.3");
        EXPECT_EQ(openTag(path)->value(0), 1995u);
    }
}

// An MP3's bytes without the ID3v2 tag at their start.
std::string withoutId3v2(const std::string& mp3) {
    size_t tagSize = 10 + ((size_t(mp3[6]) << 21) | (size_t(mp3[7]) << 14) | (size_t(mp3[8]) << 7) |
                           size_t(mp3[9]));
    return mp3.substr(tagSize);
}

// Every comment frame an independent reader sees: description, language and text.
std::string comments(const std::string& path) {
    static const char* script = R"(
import sys, mutagen
f = mutagen.File(sys.argv[1])
tags = f.tags
if hasattr(tags, 'getall'):
    lines = ['%s|%s|%s' % (c.desc, c.lang, '/'.join(c.text)) for c in tags.getall('COMM')]
    if 'TIT2' in tags:
        lines.append('title|' + str(tags['TIT2']))
else:
    lines = ['cmt|' + '/'.join(tags.get('\xa9cmt', []))]
print('\n'.join(sorted(lines)), end='')
)";
    auto r = runCommand({"/usr/bin/python3", "-c", script, path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST_F(GeneratedAudio, TheCommentSharesTheSaveThatAddsTheText) {
    std::atomic<int> saves{0};
    setSafeSaveFaultHook([&](SafeSaveStage stage, const std::string&) {
        saves += stage == SafeSaveStage::Verified ? 1 : 0;
    });
    const std::string written = " 000007CB 000007CB 0000137C 0000137C 00000000 00000000 00000000 "
                                "00000000 00000000 00000000";
    const std::u16string mine = u"Stamp \u2713\r\nnotes";
    // plain.aiff has no tag yet: the save adds one holding both.
    for (std::string name : {"v23.mp3", "v24.mp3", "aac.m4a", "tagged.aiff", "plain.aiff"}) {
        SCOPED_TRACE(name);
        std::string path = copy(name);
        std::string audio = decode(path);
        const std::string version = name.back() == '3' ? mutagen("version", path) : "";
        saves = 0;
        auto tag = openTag(path, true, true);
        std::u16string comment = u"x";
        ASSERT_TRUE(tag->comment(comment));
        EXPECT_EQ(comment, u"");
        bool saved = false;
        EXPECT_TRUE(tag->setAdjustment(-3, &mine, &saved));
        EXPECT_TRUE(saved);
        EXPECT_EQ(saves, 1);
        ASSERT_TRUE(tag->comment(comment));
        EXPECT_EQ(comment, mine);
        tag.reset();
        EXPECT_EQ(mutagen("text", path), written);
        ASSERT_TRUE(CommentTag::read(path, comment));
        EXPECT_EQ(comment, mine);
        EXPECT_EQ(decode(path), audio);
        if (!version.empty()) {
            EXPECT_EQ(mutagen("version", path), version);
        }
        if (name != "aac.m4a" && name != "plain.aiff") {
            EXPECT_EQ(mutagen("title", path), "Song");
        }

        // A text changed in place leaves the comment to its own save.
        saves = 0;
        auto raw = openTag(path, true, true);
        ASSERT_EQ(raw->mode(), Tag::Mode::Raw);
        EXPECT_FALSE(raw->comment(comment));
        const std::u16string other = u"other";
        saved = true;
        EXPECT_TRUE(raw->setAdjustment(2, &other, &saved));
        EXPECT_FALSE(saved);
        EXPECT_EQ(saves, 0);
        raw.reset();
        ASSERT_TRUE(CommentTag::read(path, comment));
        EXPECT_EQ(comment, mine);
    }

    // An MP3 without a tag gets one holding both.
    std::string tagless = m_dir.file("tagless.mp3");
    writeFile(tagless, withoutId3v2(readFile(copy("v24.mp3", "tagged.mp3"))));
    {
        auto tag = openTag(tagless, true, true);
        bool saved = false;
        EXPECT_TRUE(tag->setAdjustment(-3, &mine, &saved));
        EXPECT_TRUE(saved);
    }
    EXPECT_EQ(mutagen("text", tagless), written);
    EXPECT_EQ(mutagen("version", tagless), "2.3");
    std::u16string back;
    ASSERT_TRUE(CommentTag::read(tagless, back));
    EXPECT_EQ(back, mine);

    // Where the comment is not kept in the tag that holds the text, it is not touched.
    std::string ringtone = copy("aac.m4a", "tone.m4r");
    auto tag = openTag(ringtone, true, true);
    std::u16string comment;
    EXPECT_FALSE(tag->comment(comment));
    bool saved = true;
    EXPECT_TRUE(tag->setAdjustment(-3, &mine, &saved));
    EXPECT_FALSE(saved);
    tag.reset();
    EXPECT_EQ(comments(ringtone), "cmt|");
}

TEST_F(GeneratedAudio, ASharedSaveReplacesOnlyTheFirstPlainCommentAndKeepsTheOthers) {
    std::string path = copy("v23.mp3");
    mutagenRun("import sys\nfrom mutagen.id3 import ID3, COMM\nt = ID3(sys.argv[1])\n"
               "t.add(COMM(encoding=0, lang='eng', desc='', text='first'))\n"
               "t.add(COMM(encoding=1, lang='deu', desc='', text='zweite'))\n"
               "t.add(COMM(encoding=0, lang='eng', desc='Other', text='theirs'))\n"
               "t.save(v2_version=3)\n",
               path);
    auto tag = openTag(path, true, true);
    std::u16string comment;
    ASSERT_TRUE(tag->comment(comment));
    EXPECT_EQ(comment, u"first");
    const std::u16string stamped = u"Stamped \u00e9\u4e00 first";
    bool saved = false;
    EXPECT_TRUE(tag->setAdjustment(-3, &stamped, &saved));
    EXPECT_TRUE(saved);
    tag.reset();
    const std::string expected = "Other|eng|theirs\n"
                                 "iTunNORM|eng| 000007CB 000007CB 0000137C 0000137C 00000000 "
                                 "00000000 00000000 00000000 00000000 00000000\n"
                                 "title|Song\n"
                                 "|deu|zweite\n"
                                 "|eng|Stamped \u00e9\u4e00 first";
    EXPECT_EQ(comments(path), expected);
}

TEST_F(GeneratedAudio, AFrameTheTagLibraryWouldDropKeepsTheCommentOutOfTheTextsSave) {
    // A version 2.3 tag with a title and a frame flagged to be discarded when the tag changes,
    // before the audio of a generated MP3.
    auto frame = [](const std::string& id, const std::string& body, const std::string& flags) {
        return id + be32(uint32_t(body.size())) + flags + body;
    };
    std::string frames = frame("TIT2", std::string("\0Song", 5), std::string(2, '\0')) +
                         frame("XYZW", "keep me", std::string("\x80\0", 2));
    std::string tagBytes = "ID3" + std::string("\3\0\0", 3) +
                           syncsafe(uint32_t(frames.size() + 64)) + frames + std::string(64, '\0');
    std::string path = m_dir.file("flagged.mp3");
    writeFile(path, tagBytes + withoutId3v2(readFile(copy("v24.mp3", "source.mp3"))));
    std::string audio = decode(path);

    auto tag = openTag(path, true, true);
    ASSERT_EQ(tag->mode(), Tag::Mode::ID3v2);
    const std::u16string mine = u"mine";
    bool saved = false;
    EXPECT_TRUE(tag->setAdjustment(-3, &mine, &saved));
    tag.reset();
    std::string after = readFile(path);
    EXPECT_NE(after.find(frame("XYZW", "keep me", std::string("\x80\0", 2))), std::string::npos);
    EXPECT_EQ(decode(path), audio);
    EXPECT_EQ(openTag(path)->value(0), 1995u);
    std::u16string comment;
    ASSERT_TRUE(CommentTag::read(path, comment));
    EXPECT_EQ(comment, saved ? mine : u"");
    EXPECT_FALSE(saved);
}
