#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Just enough of the MPEG-4 and AIFF/RIFF containers to know where a byte lies before changing
// it, and to refuse files that would make a tag library recurse without end.
namespace sonorix::ContainerLayout {

// Reads n bytes at offset; false when they are not all there.
using Reader = std::function<bool(uint64_t offset, uint8_t* out, size_t n)>;

struct Atom {
    char type[4] = {};
    uint64_t offset = 0;
    uint64_t header = 0; // 8, or 16 with a 64-bit size
    uint64_t size = 0;   // whole atom

    uint64_t body() const { return offset + header; }
    uint64_t end() const { return offset + size; }
    bool is(const char* t) const { return std::string(type, 4) == t; }
};

// The atoms of the item list moov/udta/meta/ilst, in order; a freeform ("----") item is named by
// its namespace and name ("----:com.apple.iTunes:iTunNORM"), any other by its type. Nothing when
// the file has no item list or the list is damaged.
std::optional<std::vector<std::string>> itemListAtoms(const Reader& read, uint64_t size);

// The deepest nesting of MPEG-4 atoms inside the containers that tag readers descend into
// (moov, trak, mdia, minf, stbl, stsd, udta, meta, ilst, moof, traf), counted without
// recursion; stops counting once past limit. size: the file's length.
int mp4Nesting(const Reader& read, uint64_t size, int limit);

// Whether the bytes start like an MPEG-4 file ("ftyp" or a top-level moov/mdat/free/skip/wide).
bool looksLikeMp4(const uint8_t* head, size_t n);

// The most atoms may nest before a file is refused.
constexpr int kMaxMp4Nesting = 64;

// For a file path: true when the file is not an MPEG-4 file or nests its atoms no deeper than
// kMaxMp4Nesting. Reads only the atom headers.
bool mp4NestingAcceptable(const std::string& path);

// Whether the Sound Check text whose signature ("iTunNORM\0") lies at `signature` is the one a
// player reads, and nothing else: the only comment frame "iTunNORM" of the ID3v2 tag at the start
// of the file (MP3, AAC) or of the first ID3 chunk of an AIFF or WAVE file, stored plainly in
// Latin-1; or the only data atom of the only freeform item "iTunNORM" of the
// "com.apple.iTunes" namespace under moov/udta/meta/ilst. Only such a text may be edited in place.
bool soundCheckTextEditableInPlace(const uint8_t* data, size_t size, size_t signature, size_t text);
// Where the signature of a text that soundCheckTextEditableInPlace accepts can lie: the bytes of
// that ID3v2 tag, ID3 chunk or item list, as [first, second); an empty range where none can.
std::pair<size_t, size_t> inPlaceSignatureRange(const uint8_t* data, size_t size);

} // namespace sonorix::ContainerLayout
