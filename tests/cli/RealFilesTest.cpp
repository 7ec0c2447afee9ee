// Files as encoders and other taggers leave them: no tag at all, only ID3v1, every ID3v2 version,
// AIFF with and without an ID3 chunk, MPEG-4 without metadata. Each is measured and adjusted like
// any other, keeps what it had, and gets its Sound Check text and stamp.
#include "support/TestSupport.h"

#include "../model/LibraryFile.h"
#include "TagDump.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>

using namespace sonorix::test;

namespace {

const std::vector<std::string> kFiles = {"untagged.mp3", "id3v1.mp3",  "v22.mp3",     "v23.mp3",
                                         "v24.mp3",      "plain.aiff", "tagged.aiff", "bare.m4a"};

std::string kindOf(const std::string& name) {
    return name.find('.') == name.rfind('.') && name.size() > 4 &&
                   name.compare(name.size() - 4, 4, ".mp3") == 0
               ? name.substr(0, name.size() - 4)
               : name;
}

std::string id3Version(const std::string& path) {
    auto r = runCommand({"/usr/bin/python3", "-c",
                         "import sys, mutagen\nf = mutagen.File(sys.argv[1])\n"
                         "print('%d.%d' % f.tags.version[:2] if hasattr(f.tags, 'version') "
                         "else '', end='')",
                         path});
    return r.out;
}

TEST(RealFiles, UntaggedAndOldTaggedFilesAreAdjustedEndToEnd) {
    TempDir dir;
    ::mkdir(dir.file("music").c_str(), 0755);
    std::vector<std::string> kinds;
    for (const auto& name : kFiles) {
        kinds.push_back(kindOf(name));
    }
    ASSERT_TRUE(makeHostile(dir.file("music"), kinds));
    std::vector<LibraryTrack> tracks;
    std::map<std::string, std::string> tagsBefore, audioBefore;
    uint64_t id = 0x200;
    for (const auto& name : kFiles) {
        std::string file = dir.file("music/" + name);
        tagsBefore[file] = tagsOf(file);
        audioBefore[file] = audioMd5(file);
        auto t = track(id++).named(name).on("Single " + name);
        t.location = "file://localhost" + file;
        t.totalTimeMs = 3000;
        tracks.push_back(t);
    }
    writeFile(dir.file("lib.xml"), libraryXml(tracks, "12.9.5.5"));
    std::string v1Before = readFile(dir.file("music/id3v1.mp3"));
    v1Before = v1Before.substr(v1Before.size() - 128);

    // Before any run, a file without a tag has no value yet; its format is supported.
    auto check = runCliIn(dir, {"list", "--check"});
    EXPECT_FALSE(contains(check.out, "Unsupported Format")) << check.out;

    auto r = runCliIn(dir, {"adjust", "all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, std::to_string(kFiles.size()) + " tracks adjusted")) << r.err;
    for (const auto& name : kFiles) {
        std::string file = dir.file("music/" + name);
        SCOPED_TRACE(file);
        std::string after = tagsOf(file);
        EXPECT_EQ(otherTags(after), otherTags(tagsBefore[file]));
        EXPECT_EQ(audioMd5(file), audioBefore[file]);
        std::string norm = lineOf(after, "NORM");
        EXPECT_EQ(norm.size(), 90u) << norm;
        EXPECT_NE(norm.substr(0, 18), " 000003E8 000003E8") << "no adjustment written";
        EXPECT_TRUE(contains(lineOf(after, "COMMENT"), "Adjusted by Sonorix")) << after;
    }
    // New tags are version 2.3, as iTunes writes them; a 2.2 tag stays 2.2 with every frame.
    EXPECT_EQ(id3Version(dir.file("music/untagged.mp3")), "2.3");
    EXPECT_EQ(id3Version(dir.file("music/plain.aiff")), "2.3");
    EXPECT_EQ(id3Version(dir.file("music/v22.mp3")), "2.2");
    EXPECT_TRUE(contains(lineOf(tagsOf(dir.file("music/v22.mp3")), "COMMENT"), "old comment"));
    std::string v1After = readFile(dir.file("music/id3v1.mp3"));
    EXPECT_EQ(v1After.substr(v1After.size() - 128), v1Before);

    auto again = runCliIn(dir, {"adjust", "all"});
    EXPECT_TRUE(contains(again.err, "0 tracks adjusted")) << again.err;
}

} // namespace
