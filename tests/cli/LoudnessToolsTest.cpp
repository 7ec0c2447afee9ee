// Preview, restore, health check, ReplayGain tags and the clipping guard, through the console
// program, with mutagen and ffprobe as independent readers.
#include "support/TestSupport.h"

#include "../model/LibraryFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <map>
#include <regex>
#include <sstream>

using namespace sonorix::test;

namespace {

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Plants and reads the texts in question with mutagen.
const char* kTagTool = R"(
import sys, mutagen, mutagen.id3, mutagen.mp4, mutagen.flac
cmd, path = sys.argv[1], sys.argv[2]
f = mutagen.File(path)
if cmd == 'plant':
    kind, text = sys.argv[3], sys.argv[4]
    if f.tags is None:
        f.add_tags()
    if kind == 'comm':
        f.tags.add(mutagen.id3.COMM(encoding=0, lang='eng', desc='iTunNORM', text=[text]))
    elif kind == 'comm-other-lang':
        f.tags.add(mutagen.id3.COMM(encoding=0, lang='deu', desc='iTunNORM', text=[text]))
    elif kind == 'txxx':
        f.tags.add(mutagen.id3.TXXX(encoding=0, desc='iTunNORM', text=[text]))
    elif kind == 'mp4':
        f.tags['----:com.apple.iTunes:iTunNORM'] = [text.encode('latin-1')]
    elif kind == 'mp4-upper':
        f.tags['----:com.apple.iTunes:ITUNNORM'] = [text.encode('latin-1')]
    elif kind == 'rg':
        f.tags.add(mutagen.id3.TXXX(encoding=0, desc='REPLAYGAIN_TRACK_GAIN', text=[text]))
    f.save()
elif cmd == 'norm':
    out = []
    if isinstance(f.tags, mutagen.id3.ID3):
        for frame in f.tags.getall('COMM') + f.tags.getall('TXXX'):
            if frame.desc.lower() == 'itunnorm':
                texts = [t.rstrip('\x00') for t in frame.text if t.rstrip('\x00')]
                out.append('%s:%s=%s' % (frame.FrameID, frame.desc, '|'.join(texts)))
    elif isinstance(f.tags, mutagen.mp4.MP4Tags):
        for key in f.tags.keys():
            if key.lower() == '----:com.apple.itunes:itunnorm':
                out.append('%s=%s' % (key, '|'.join(bytes(v).decode('latin-1').rstrip('\x00')
                                                   for v in f.tags[key])))
    print('\n'.join(sorted(out)))
elif cmd == 'rg':
    out = []
    tags = f.tags or {}
    if isinstance(tags, mutagen.id3.ID3):
        for frame in tags.getall('TXXX'):
            if frame.desc.lower().startswith('replaygain_'):
                out.append('%s=%s' % (frame.desc.lower(), '|'.join(frame.text)))
    elif isinstance(tags, mutagen.mp4.MP4Tags):
        for key in tags.keys():
            if 'replaygain_' in key.lower():
                out.append('%s=%s' % (key.split(':')[-1].lower(),
                                      '|'.join(bytes(v).decode() for v in tags[key])))
    else:
        for key, value in tags.items():
            if key.lower().startswith('replaygain_'):
                out.append('%s=%s' % (key.lower(), value))
    print('\n'.join(sorted(out)))
)";

std::string tagTool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/python3", "-c", kTagTool};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = runCommand(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::string normOf(const std::string& path) {
    return tagTool({"norm", path});
}

struct FileState {
    std::string bytes;
    int64_t mtimeSeconds = 0;
    int64_t mtimeNanoseconds = 0;
    bool operator==(const FileState&) const = default;
};

FileState stateOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {readFile(path), st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

std::string fileUrl(const std::string& path) {
    return "file://localhost" + path;
}

const std::string kText = " 00000A2C 00000A2C 00003F1E 00003F1E 00000000 00000000 00007FFF "
                          "00007FFF 00000000 00000000";
const std::string kOtherText = " 000001F4 000001F4 00000C35 00000C35 00024CA8 00024CA8 "
                               "00007FFF 00007FFF 00024CA8 00024CA8";

// Per track of a preview: (stored, would write, change).
std::map<std::string, std::string> previewRows(const std::string& out) {
    std::map<std::string, std::string> rows;
    std::istringstream lines(out);
    std::regex row("^([0-9A-F]+)\\s+(\\S+(?: dB)?)\\s+(\\S+(?: dB)?)\\s+\\S+(?: dB)?\\s+(yes|no)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, row)) {
            rows[m[1]] = m[3];
        }
    }
    return rows;
}

// A library of an album of two MP3s (one with a Sound Check text), an MP3 single without a
// text, an AAC single with one and one without.
class LoudnessTools : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(m_dir.file("music").c_str(), 0755);
        ASSERT_TRUE(makeStereoMp3(music("a1.mp3"), "sine=frequency=440:duration=2"));
        ASSERT_TRUE(makeStereoMp3(music("a2.mp3"), "sine=frequency=660:duration=2,volume=-9dB"));
        ASSERT_TRUE(makeStereoMp3(music("s1.mp3"), "anoisesrc=color=pink:duration=2"));
        ASSERT_TRUE(makeAudio(music("m1.m4a"), "sine=frequency=330:duration=2,volume=-20dB",
                              {"-c:a", "aac", "-b:a", "96k"}));
        ASSERT_TRUE(makeAudio(music("m2.m4a"), "sine=frequency=550:duration=2",
                              {"-c:a", "aac", "-b:a", "96k"}));
        tagTool({"plant", music("a1.mp3"), "comm", kText});
        tagTool({"plant", music("m1.m4a"), "mp4", kOtherText});
        std::vector<LibraryTrack> tracks;
        const char* names[] = {"a1.mp3", "a2.mp3", "s1.mp3", "m1.m4a", "m2.m4a"};
        for (int i = 0; i < 5; ++i) {
            auto t = track(0x21 + i).named(names[i]);
            t.album = i < 2 ? "Album" : std::string("Single ") + names[i];
            t.trackNumber = i < 2 ? i + 1 : 1;
            t.gapless = i < 2;
            t.location = fileUrl(music(names[i]));
            t.totalTimeMs = 2000;
            tracks.push_back(t);
        }
        writeFile(m_dir.file("lib.xml"), libraryXml(tracks, "12.9.5.5"));
    }

    std::string music(const std::string& name) const { return m_dir.file("music/" + name); }
    std::vector<std::string> files() const {
        return {music("a1.mp3"), music("a2.mp3"), music("s1.mp3"), music("m1.m4a"),
                music("m2.m4a")};
    }
    CommandResult cli(const std::vector<std::string>& args) { return runCliIn(m_dir, args); }

    TempDir m_dir;
};

TEST_F(LoudnessTools, PreviewWritesNothingAndTheRealRunWritesWhatItShowed) {
    std::map<std::string, FileState> before;
    for (const auto& f : files()) {
        before[f] = stateOf(f);
    }
    auto preview = cli({"adjust", "--dry-run", "all"});
    ASSERT_EQ(preview.status, 0) << preview.err;
    for (const auto& f : files()) {
        EXPECT_TRUE(stateOf(f) == before[f]) << f << " changed in a preview";
    }
    auto planned = previewRows(preview.out);
    ASSERT_EQ(planned.size(), 5u) << preview.out;
    EXPECT_TRUE(has(preview.out, "5 of 5 files would change")) << preview.out;

    // The real run reuses the analysis and writes the figures shown.
    auto run = cli({"adjust", "all"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(has(run.err, "Analyzing")) << run.err;
    auto again = cli({"adjust", "--dry-run", "all"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(has(again.out, "0 of 5 files would change")) << again.out;
    std::istringstream lines(again.out);
    std::regex row("^([0-9A-F]+)\\s+(\\S+ dB)\\s+(\\S+ dB)");
    size_t compared = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, row)) {
            // What the file now holds is what the first preview said would be written.
            EXPECT_EQ(m[2].str(), planned[m[1]]) << line;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 5u) << again.out;
}

TEST_F(LoudnessTools, RestoreReturnsEveryFileToItsOriginalText) {
    std::map<std::string, std::string> original;
    for (const auto& f : files()) {
        original[f] = normOf(f);
    }
    EXPECT_TRUE(has(original[music("a1.mp3")], kText));
    EXPECT_EQ(original[music("s1.mp3")], "\n");

    ASSERT_EQ(cli({"adjust", "all"}).status, 0);
    for (const auto& f : files()) {
        EXPECT_NE(normOf(f), original[f]) << f << " was not adjusted";
    }
    // Without --yes and without an answer nothing happens.
    auto refused = cli({"restore", "all"});
    EXPECT_EQ(refused.status, 0) << refused.err;
    EXPECT_TRUE(has(refused.err, "Nothing was changed")) << refused.err;
    EXPECT_NE(normOf(music("s1.mp3")), original[music("s1.mp3")]);

    auto restore = cli({"restore", "--yes", "all"});
    ASSERT_EQ(restore.status, 0) << restore.err;
    EXPECT_TRUE(has(restore.err, "2 get their first Sound Check values back, 3 lose the text"))
        << restore.err;
    for (const auto& f : files()) {
        // Absent stays absent: the frame or item is gone, not zeroed.
        EXPECT_EQ(normOf(f), original[f]) << f;
        EXPECT_FALSE(has(readFile(f), "Adjusted by Sonorix")) << f;
    }
    // A second restore finds nothing to change.
    std::map<std::string, FileState> before;
    for (const auto& f : files()) {
        before[f] = stateOf(f);
    }
    ASSERT_EQ(cli({"restore", "--yes", "all"}).status, 0);
    for (const auto& f : files()) {
        EXPECT_TRUE(stateOf(f) == before[f]) << f;
    }
}

TEST_F(LoudnessTools, HealthCheckFindsEachPlantedDefectAndFixLeavesOneGoodText) {
    std::string lower = kText;
    for (auto& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::string zero = " 00000000 00000000 00000000 00000000 00000000 00000000 00000000 "
                             "00000000 00000000 00000000";
    tagTool({"plant", music("a1.mp3"), "comm-other-lang", kOtherText}); // duplicate texts
    tagTool({"plant", music("a2.mp3"), "comm", lower});                 // lower-case hex
    tagTool({"plant", music("s1.mp3"), "txxx", kText});                 // a TXXX copy
    tagTool({"plant", music("m2.m4a"), "mp4", zero});                   // a zero value
    tagTool({"plant", music("m1.m4a"), "mp4-upper", kText});            // "ITUNNORM"

    auto check = cli({"check", "all"});
    EXPECT_EQ(check.status, 1) << check.err;
    const std::string& out = check.out;
    EXPECT_TRUE(has(out, "5 files checked, 5 with problems, 5 repairable")) << out;
    auto section = [&](const std::string& name) {
        size_t at = out.find(music(name));
        return at == std::string::npos ? std::string()
                                       : out.substr(at, out.find("problems:", at) + 80 - at);
    };
    EXPECT_TRUE(has(section("a1.mp3"), "several texts")) << out;
    EXPECT_TRUE(has(section("a2.mp3"), "lower-case digits")) << out;
    EXPECT_TRUE(has(section("s1.mp3"), "TXXX:iTunNORM")) << out;
    EXPECT_TRUE(has(section("s1.mp3"), "unusual place")) << out;
    EXPECT_TRUE(has(section("m2.m4a"), "zero values")) << out;
    EXPECT_TRUE(has(section("m1.m4a"), "----:com.apple.iTunes:ITUNNORM")) << out;
    EXPECT_TRUE(has(section("m1.m4a"), "several texts")) << out;

    auto fix = cli({"check", "--fix", "--yes", "all"});
    ASSERT_EQ(fix.status, 0) << fix.err << fix.out;
    for (const auto& f : {music("a1.mp3"), music("a2.mp3"), music("s1.mp3"), music("m1.m4a")}) {
        const std::string norm = normOf(f);
        EXPECT_EQ(std::count(norm.begin(), norm.end(), '\n'), 1) << f << ": " << norm;
        EXPECT_TRUE(std::regex_search(
            norm,
            std::regex("^(COMM:iTunNORM|----:com.apple.iTunes:iTunNORM)=( [0-9A-F]{8}){10}\n$")))
            << f << ": " << norm;
    }
    // The TXXX copy was the only value: it moved to the comment.
    EXPECT_TRUE(has(normOf(music("s1.mp3")), "COMM:iTunNORM=" + kText));
    // A zero text is no value: it goes, rather than be kept or guessed.
    EXPECT_EQ(normOf(music("m2.m4a")), "\n");
    auto after = cli({"check", "all"});
    EXPECT_EQ(after.status, 0) << after.out;
}

TEST_F(LoudnessTools, ReplayGainTagsReadBackByMutagenAndFfprobe) {
    ASSERT_TRUE(
        makeAudio(music("f1.flac"), "sine=frequency=440:duration=2,volume=-6dB", {"-c:a", "flac"}));
    // Another tool's tag in another case: replaced, not kept beside ours.
    tagTool({"plant", music("s1.mp3"), "rg", "+3.00 dB"});
    auto lib = readFile(m_dir.file("lib.xml"));
    auto t = track(0x30).named("Flac").on("Flac single");
    t.location = fileUrl(music("f1.flac"));
    t.totalTimeMs = 2000;
    std::vector<LibraryTrack> tracks = {t};
    writeFile(m_dir.file("lib.xml"), libraryXml(tracks, "12.9.5.5"));
    auto one = cli({"adjust", "--replaygain", "all"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_FALSE(has(one.err, "Unsupported")) << one.err;

    // The whole library: the album tracks carry the album's figures too.
    writeFile(m_dir.file("lib.xml"), lib);
    ASSERT_EQ(
        runCli({"--data-dir", m_dir.file("data"), "config", "WriteReplayGainTags", "true"}).status,
        0);
    ASSERT_EQ(cli({"group-options", "--album-mode", "2"}).status, 0);
    auto run = cli({"adjust", "all"});
    ASSERT_EQ(run.status, 0) << run.err;

    const std::string s1 = tagTool({"rg", music("s1.mp3")});
    EXPECT_EQ(std::count(s1.begin(), s1.end(), '\n'), 2) << s1;
    EXPECT_TRUE(std::regex_search(s1, std::regex("replaygain_track_gain=[+-]\\d+\\.\\d\\d dB\n")))
        << s1;
    const std::string a1 = tagTool({"rg", music("a1.mp3")});
    EXPECT_TRUE(has(a1, "replaygain_album_gain=")) << a1;
    EXPECT_TRUE(has(a1, "replaygain_album_peak=")) << a1;
    const std::string m1 = tagTool({"rg", music("m1.m4a")});
    EXPECT_TRUE(has(m1, "replaygain_track_gain=")) << m1;
    const std::string f1 = tagTool({"rg", music("f1.flac")});
    EXPECT_TRUE(
        std::regex_search(f1, std::regex("replaygain_track_gain=\\['[+-]\\d+\\.\\d\\d dB'\\]")))
        << f1;

    // FFmpeg reads the figures Sonorix measures, before any master volume.
    auto analysis = runCli({"analyze", "--format", "tsv", music("f1.flac")});
    std::smatch a;
    ASSERT_TRUE(std::regex_search(analysis.out, a, std::regex("\\t(-?\\d+\\.\\d+)\\t")))
        << analysis.out;
    if (!haveProgram("ffprobe")) {
        GTEST_SKIP() << "no ffprobe";
    }
    auto probe = runCommand({"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of",
                             "default=nw=1", music("f1.flac")});
    ASSERT_EQ(probe.status, 0) << probe.err;
    std::smatch g;
    ASSERT_TRUE(std::regex_search(
        probe.out, g,
        std::regex("REPLAYGAIN_TRACK_GAIN=([+-]\\d+\\.\\d\\d) dB", std::regex::icase)))
        << probe.out;
    const double gain = std::stod(g[1]);
    EXPECT_NEAR(gain, std::stod(a[1]), 0.006) << probe.out << analysis.out;
    std::smatch p;
    ASSERT_TRUE(std::regex_search(
        probe.out, p, std::regex("REPLAYGAIN_TRACK_PEAK=(\\d\\.\\d+)", std::regex::icase)))
        << probe.out;
    // The sine source's amplitude is 1/8; 6 dB less halves it.
    EXPECT_NEAR(std::stod(p[1]), 0.125 * 0.501, 0.002);
    auto probeMp3 = runCommand({"ffprobe", "-v", "error", "-show_entries", "format_tags", "-of",
                                "default=nw=1", music("a1.mp3")});
    EXPECT_TRUE(
        std::regex_search(probeMp3.out, std::regex("replaygain_album_gain=", std::regex::icase)))
        << probeMp3.out;
    EXPECT_FALSE(has(probeMp3.out, "+3.00 dB")) << probeMp3.out;
}

TEST_F(LoudnessTools, ClippingGuardCapsOnlyBoostsThePeakForbids) {
    // Quiet, with one loud click: a large boost would clip the click.
    ASSERT_TRUE(makeAudio(music("click.mp3"),
                          "aevalsrc=exprs=if(lt(t\\,0.02)\\,0.9\\,0.01)*sin(2*PI*440*t):d=2",
                          {"-ac", "2", "-c:a", "libmp3lame", "-b:a", "96k"}));
    // Loud throughout: it is cut.
    ASSERT_TRUE(makeAudio(music("loud.mp3"), "aevalsrc=exprs=0.9*sin(2*PI*1000*t):d=2",
                          {"-ac", "2", "-c:a", "libmp3lame", "-b:a", "96k"}));
    auto click = track(0x40).named("Click").on("Click single");
    click.location = fileUrl(music("click.mp3"));
    auto loud = track(0x41).named("Loud").on("Loud single");
    loud.location = fileUrl(music("loud.mp3"));
    writeFile(m_dir.file("lib.xml"), libraryXml({click, loud}, "12.9.5.5"));

    // (would write, capped) of a track's preview row.
    auto rowOf = [](const std::string& out, const std::string& id) {
        std::smatch m;
        EXPECT_TRUE(std::regex_search(
            out, m,
            std::regex("(^|\\n)" + id + "\\s+-\\s+(\\S+) dB[^\\n]*?( \\(capped at peak\\))?\\n")))
            << out;
        return std::make_pair(m.size() > 2 ? std::stod(m[2]) : NAN, m.size() > 3 && m[3].matched);
    };
    auto unguarded = cli({"adjust", "--dry-run", "all"});
    ASSERT_EQ(unguarded.status, 0) << unguarded.err;
    EXPECT_FALSE(has(unguarded.out, "capped")) << unguarded.out;
    const auto freeClick = rowOf(unguarded.out, "40");
    const auto freeLoud = rowOf(unguarded.out, "41");
    ASSERT_GT(freeClick.first, 3.0) << unguarded.out;
    ASSERT_LT(freeLoud.first, 0.0) << unguarded.out;

    ASSERT_EQ(runCli({"--data-dir", m_dir.file("data"), "config", "LimitToPeak", "true"}).status,
              0);
    auto guarded = cli({"adjust", "--dry-run", "all"});
    ASSERT_EQ(guarded.status, 0) << guarded.err;
    const auto cappedClick = rowOf(guarded.out, "40");
    EXPECT_TRUE(cappedClick.second) << guarded.out;
    EXPECT_GE(cappedClick.first, 0.0);
    EXPECT_LT(cappedClick.first, freeClick.first - 1.0) << guarded.out;
    // A cut is never capped, however close to full scale the track peaks.
    const auto cutLoud = rowOf(guarded.out, "41");
    EXPECT_FALSE(cutLoud.second) << guarded.out;
    EXPECT_EQ(cutLoud.first, freeLoud.first);

    ASSERT_EQ(cli({"adjust", "all"}).status, 0);
    auto list = cli({"list", "--all"});
    EXPECT_TRUE(std::regex_search(list.out, std::regex("capped[^\\n]*Click"))) << list.out;
    EXPECT_TRUE(std::regex_search(list.out, std::regex("adjusted[^\\n]*Loud"))) << list.out;
}

} // namespace
