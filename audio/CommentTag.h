#pragma once

#include "audio/TagSaveGuard.h"

#include <string>

namespace sonorix {

// The comment an audio file carries for players and iTunes' "update info from file": the ID3v2
// "COMM" frame without description in MP3 and AIFF files (frames with a description, such as
// the Sound Check text "iTunNORM", belong to other programs), the MP4 item "©cmt", the
// Vorbis comment field "COMMENT" in FLAC and Ogg Vorbis files.
namespace CommentTag {

// Whether the file's kind (by its name's ending) carries a comment here.
bool supported(const std::string& path);

// The comment, empty when the file has none; false when the file cannot be read.
bool read(const std::string& path, std::u16string& comment);

// Replaces the comment (an empty one removes it). The file is rewritten crash-safely and
// verified, so a failure leaves it unchanged; false (logged) then. Writing the comment the
// file already has touches nothing.
bool write(const std::string& path, const std::u16string& comment);

// Whether the file's tags can be read now (after it changed outside).
bool tagsReadable(const std::string& path);

// For a save that changes the comment along with other tags (the Sound Check text's), in the
// tags of MP3, AIFF and MPEG-4 files. Call under tagLibLock().
extern const char kMP4Item[];
// The comment the tag holds; empty when none.
std::u16string of(const TagLib::ID3v2::Tag& tag);
std::u16string of(const TagLib::MP4::Tag& tag);
// Replaces the comment in the tag as write() does; the caller saves the file.
void put(TagLib::ID3v2::Tag& tag, const std::u16string& comment);
void put(TagLib::MP4::Tag& tag, const std::u16string& comment);
// The comment as the tag reads it back after put(), through the tag library's text conversion.
std::u16string stored(const std::u16string& comment);
// How many comment frames (without description) the ID3v2 tag `before` holds after put().
size_t framesAfterPut(const TagSaveGuard::TagBytes& before, const std::u16string& comment);

} // namespace CommentTag
} // namespace sonorix
