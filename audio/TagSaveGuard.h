#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace TagLib {
namespace ID3v2 {
class Tag;
}
namespace MP4 {
class Tag;
}
} // namespace TagLib

// What keeps a tag save from losing anything the file held: the file's own ID3v2 tag or MP4 item
// list, read by this program's scan, is compared with what the tag library read before the save
// and with what the saved copy holds after it. Where the tag library did not read a tag whole,
// an MP3's comment is changed by rewriting the tag with every other frame kept byte for byte.
namespace sonorix::TagSaveGuard {

// Where a file's ID3v2 tag lies: at the start of an MP3, in the ID3 chunk of an AIFF file.
enum class Container { MPEG, AIFF };

// The bytes of a file's ID3v2 tag; empty when the file has none. Nothing when the file cannot be
// read or the tag's frames cannot be told apart (it must then not be rewritten).
struct TagBytes {
    bool present = false;
    std::vector<uint8_t> bytes;
};
std::optional<TagBytes> readTag(const std::string& path, Container container);

// The descriptions of the comment frames a save rewrites; every other frame must come through.
using Descriptions = std::vector<std::u16string>;
// How many comment frames of a description the saved copy must hold.
struct ExpectedComments {
    std::u16string description;
    size_t count;
};

// Whether the tag library read every frame of the tag and would write each back: what it renders
// holds the same frames as the file, comments with the given descriptions aside. Never for a
// version 2.2 tag, which the library converts. Call under tagLibLock().
bool readWhole(const TagBytes& tag, TagLib::ID3v2::Tag& parsed, const Descriptions& descriptions);

// The number of comment frames with the given description.
size_t comments(const TagBytes& tag, const std::u16string& description);

// Whether a saved copy kept every frame of the original: the same frame ids, each as often, apart
// from the comment frames of the expected descriptions, of which there must now be as many as
// expected. Identical frame bytes are demanded where `exact` is set (a rewrite that copies
// frames), the same ids otherwise (a tag library renders frames anew).
bool framesKept(const TagBytes& before, const TagBytes& after,
                const std::vector<ExpectedComments>& expected, bool exact);

// Whether every frame the tag library read in the original reads the same in the copy, apart
// from the comment frames with the given descriptions and the genre, which the save rewrites.
// Call under tagLibLock().
bool sameFrames(TagLib::ID3v2::Tag& before, TagLib::ID3v2::Tag& after,
                const Descriptions& descriptions);

// The same for MPEG-4 items: every item but those in `skip` present after with the same content.
// Call under tagLibLock().
bool sameItems(TagLib::MP4::Tag& before, TagLib::MP4::Tag& after,
               const std::vector<std::string>& skip);
// The number of atoms in the file's item list other than the items named in `skip`.
std::optional<size_t> itemAtoms(const std::string& path, const std::vector<std::string>& skip);

// Rewrites the ID3v2 tag of the MP3 `original` into `copy` (a copy the caller made), with the
// comment frames of `description` replaced as Id3v2::rewriteComment does. Every other frame
// keeps its bytes and the audio follows unchanged. False when the tag cannot be rewritten so.
bool rewriteMp3Comment(const std::string& original, const std::string& copy,
                       const std::u16string& description, const std::vector<uint8_t>& body,
                       bool removeOthers);

} // namespace sonorix::TagSaveGuard
