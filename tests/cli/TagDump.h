#pragma once

// What an independent reader (mutagen) and decoder (ffmpeg) see in a file, for the tests that
// check that Sonorix changes nothing but its own text and stamp.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sonorix::test {

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Everything an independent reader sees in a file's tags, but the Sound Check text and the plain
// comment, which Sonorix changes; then those two on their own lines.
inline std::string tagsOf(const std::string& path) {
    static const char* script = R"(
import sys, mutagen, mutagen.id3, mutagen.mp4
path = sys.argv[1]
f = mutagen.File(path)
out, norm, comment = [], '', ''
if isinstance(f.tags, mutagen.id3.ID3):
    for key in sorted(f.tags.keys()):
        frame = f.tags[key]
        if key.startswith('COMM:iTunNORM'):
            norm += '|'.join(frame.text)
        elif key.startswith('COMM::'):
            comment += repr('|'.join(frame.text))
        else:
            out.append('%s=%r' % (key, frame))
    out += ['unknown=%r' % (u,) for u in sorted(f.tags.unknown_frames)]
elif isinstance(f.tags, mutagen.mp4.MP4Tags):
    for key in sorted(f.tags.keys()):
        if key == '----:com.apple.iTunes:iTunNORM':
            norm += '|'.join(bytes(v).decode('latin-1') for v in f.tags[key])
        elif key == '\xa9cmt':
            comment += repr('|'.join(f.tags[key]))
        else:
            out.append('%s=%r' % (key, f.tags[key]))
print('\n'.join(out))
print('NORM=' + norm)
print('COMMENT=' + comment)
)";
    auto r = runCommand({"/usr/bin/python3", "-c", script, path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

inline std::string otherTags(const std::string& dump) {
    return dump.substr(0, ("\n" + dump).find("\nNORM="));
}

inline std::string lineOf(const std::string& dump, const std::string& key) {
    size_t at = ("\n" + dump).find("\n" + key + "=");
    if (at == std::string::npos) {
        return {};
    }
    size_t start = at + key.size() + 1;
    return dump.substr(start, dump.find('\n', start) - start);
}

inline std::string audioMd5(const std::string& path) {
    auto r = runCommand(
        {"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

inline bool makeHostile(const std::string& folder, const std::vector<std::string>& kinds) {
    std::vector<std::string> argv = {
        "/usr/bin/python3", SONORIX_SOURCE_DIR "/tests/support/make_hostile_audio.py", folder};
    argv.insert(argv.end(), kinds.begin(), kinds.end());
    auto r = runCommand(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0;
}

} // namespace sonorix::test
