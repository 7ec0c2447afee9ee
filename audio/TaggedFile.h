#pragma once

#include <taglib/id3v2tag.h>
#include <taglib/mp4tag.h>
#include <taglib/tfile.h>
#include <taglib/xiphcomment.h>

#include <memory>
#include <string>

namespace sonorix {

// The kinds of file whose tags we edit, told by the file name's extension.
enum class TagFileKind { None, MPEG, AIFF, MP4, FLAC, Vorbis, Opus };

TagFileKind tagFileKindOf(const std::string& path);

// A file opened as its kind, with the tag that carries our texts. Use under tagLibLock().
struct TaggedFile {
    TagFileKind kind = TagFileKind::None;
    std::unique_ptr<TagLib::IOStream> stream; // outlives file, which reads it
    std::unique_ptr<TagLib::File> file;
    TagLib::ID3v2::Tag* id3 = nullptr;
    bool hadID3 = false;
    TagLib::MP4::Tag* mp4 = nullptr;
    TagLib::Ogg::XiphComment* xiph = nullptr;

    // k: the kind of the user's file (a temporary copy's name says nothing about it). For
    // writing, an MP3 without an ID3v2 tag gets one, and a read-only file is not opened.
    bool open(const std::string& path, TagFileKind k, bool forWriting);
};

} // namespace sonorix
