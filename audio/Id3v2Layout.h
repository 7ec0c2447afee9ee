#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sonorix::Id3v2 {

// One frame as it lies in the tag's bytes.
struct Frame {
    std::string id;     // 3 characters in version 2.2, else 4
    size_t offset = 0;  // of the frame header, from the start of the tag
    size_t header = 0;  // header length: 6 in version 2.2, else 10
    size_t size = 0;    // body length as stored
    uint16_t flags = 0; // status and format flags (none in 2.2)

    size_t body() const { return offset + header; }
    size_t end() const { return body() + size; }
};

// An ID3v2 tag read by this program's own scan, independent of any tag library: what the tag
// holds, so that a save can be checked against it.
struct Layout {
    int version = 0;    // 2, 3 or 4
    uint8_t flags = 0;  // tag header flags
    size_t size = 0;    // whole tag: header, extended header, frames, padding, footer
    size_t frames = 10; // offset of the first frame (after the extended header)
    size_t padding = 0; // offset at which the frames end
    // Version 2.3 unsynchronises the whole tag: offsets then refer to the restored bytes in
    // `restored`, not to the file.
    bool unsynchronised = false;
    std::vector<uint8_t> restored;
    std::vector<Frame> list;

    bool hasExtendedHeader() const { return flags & 0x40; }
    bool hasFooter() const { return version == 4 && (flags & 0x10); }
    // The bytes the frame offsets refer to.
    const uint8_t* bytes(const uint8_t* tag) const {
        return unsynchronised ? restored.data() : tag;
    }
};

// Size of the tag starting at data (0 when there is none): what a reader skips to reach audio.
size_t tagSize(const uint8_t* data, size_t size);

// Scans the tag at the start of data. Nothing when there is no tag there, or when its frames do
// not tile the space before the padding (a frame running past the tag, an invalid frame id
// followed by more data): such a tag cannot be checked, so it must not be rewritten.
std::optional<Layout> scan(const uint8_t* data, size_t size);

// The frame's body with per-frame unsynchronisation and the data-length indicator undone, as a
// tag library sees it. Empty when the frame is compressed or encrypted (nothing to compare).
std::vector<uint8_t> frameContent(const Layout& layout, const uint8_t* tag, const Frame& frame);

// Whether a frame's body is stored as is: no compression, encryption, unsynchronisation or
// data-length indicator, so that bytes inside it may be changed in place.
bool storedPlain(const Layout& layout, const Frame& frame);

// A comment frame's description, when the frame is a comment ("COMM", or "COM" in 2.2).
std::optional<std::u16string> commentDescription(const Layout& layout, const uint8_t* tag,
                                                 const Frame& frame);

// A comment frame body: encoding byte, language, description, text.
std::vector<uint8_t> commentBody(const std::u16string& description, const std::u16string& text,
                                 const char language[3] = "eng");

// Rewrites a tag keeping every other frame's bytes as they are. The comment frames whose
// description is `description` are replaced by one frame with `body`, in the place of the first
// of them (the others are dropped when removeOthers is set), or `body` is added at the end when
// there is none; an empty body removes them all. The extended header is dropped (it describes
// the old layout, and a CRC in it would no longer hold), and version 2.3 tags are written without
// unsynchronisation. The tag keeps its size where the padding allows, so the audio does not move.
// Nothing when the tag cannot be scanned.
std::optional<std::vector<uint8_t>> rewriteComment(const uint8_t* tag, size_t size,
                                                   const std::u16string& description,
                                                   const std::vector<uint8_t>& body,
                                                   bool removeOthers);

} // namespace sonorix::Id3v2
