#include "audio/iTunNORMTag.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace sonorix;
using namespace sonorix::test;

namespace {

// The version of the file's ID3v2 tag and its Sound Check text, as mutagen reads them.
std::string mutagenTag(const std::string& path) {
    static const char* script = R"(
import sys
from mutagen.id3 import ID3
tag = ID3(sys.argv[1])
texts = [c.text[0] for c in tag.getall('COMM') if c.desc == 'iTunNORM']
print('%d.%d %s' % (tag.version[0], tag.version[1], '|'.join(texts)), end='')
)";
    auto r = runCommand({"/usr/bin/python3", "-c", script, path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

} // namespace

// iTunes writes ID3v2.3 and many players and devices read nothing newer, so a tag Sonorix has to
// create is 2.3, never TagLib's own default of 2.4.
TEST(NewTag, IsWrittenAsID3v23) {
    TempDir dir;
    struct Source {
        const char* name;
        std::vector<std::string> options;
    };
    const Source sources[] = {
        {"bare.mp3", {"-id3v2_version", "0", "-write_id3v1", "0"}},
        {"only-v1.mp3", {"-id3v2_version", "0", "-write_id3v1", "1", "-metadata", "title=Old"}},
    };
    for (const auto& source : sources) {
        std::string path = dir.file(source.name);
        std::vector<std::string> options = {"-ac", "2", "-c:a", "libmp3lame"};
        options.insert(options.end(), source.options.begin(), source.options.end());
        ASSERT_TRUE(makeAudio(path, "sine=frequency=440:duration=1", options));
        ASSERT_NE(readFile(path).substr(0, 3), "ID3") << source.name;

        int32_t hint = -1;
        iTunNORMTag tag;
        tag.open(path, hint, true, true);
        EXPECT_FALSE(tag.isPresent());
        ASSERT_TRUE(tag.setAdjustment(-3.0));

        EXPECT_EQ(readFile(path).substr(0, 4), std::string("ID3\x03", 4)) << source.name;
        EXPECT_EQ(mutagenTag(path), "2.3 " + SoundCheckText::format(tag.values())) << source.name;
    }
}
