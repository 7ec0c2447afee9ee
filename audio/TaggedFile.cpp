#include "audio/TaggedFile.h"

#include "audio/ContainerLayout.h"
#include "audio/TagFileStream.h"
#include "foundation/Log.h"

#include <taglib/aifffile.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>

#include <algorithm>
#include <cctype>

namespace sonorix {

TagFileKind tagFileKindOf(const std::string& path) {
    auto dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) {
        return TagFileKind::None;
    }
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == "mp3") {
        return TagFileKind::MPEG;
    }
    if (ext == "aif" || ext == "aiff" || ext == "aifc") {
        return TagFileKind::AIFF;
    }
    if (ext == "m4a" || ext == "m4b" || ext == "m4p" || ext == "m4v" || ext == "mp4") {
        return TagFileKind::MP4;
    }
    if (ext == "flac") {
        return TagFileKind::FLAC;
    }
    if (ext == "ogg" || ext == "oga") {
        return TagFileKind::Vorbis;
    }
    if (ext == "opus") {
        return TagFileKind::Opus;
    }
    return TagFileKind::None;
}

bool TaggedFile::open(const std::string& path, TagFileKind k, bool forWriting) {
    kind = k;
    file.reset();
    stream = std::make_unique<TagFileStream>(path.c_str(), !forWriting);
    if (!stream->isOpen()) {
        stream.reset();
        return false;
    }
    TagLib::IOStream* io = stream.get();
    switch (kind) {
    case TagFileKind::MPEG: {
        auto f = std::make_unique<TagLib::MPEG::File>(io, TagLib::ID3v2::FrameFactory::instance(),
                                                      false);
        // TagLib takes any bytes for MPEG; without an audio frame it is not one.
        if (f->isValid() && f->firstFrameOffset() >= 0) {
            hadID3 = f->hasID3v2Tag();
            id3 = hadID3 || forWriting ? f->ID3v2Tag(true) : nullptr;
            file = std::move(f);
        }
        break;
    }
    case TagFileKind::AIFF: {
        auto f = std::make_unique<TagLib::RIFF::AIFF::File>(io, false);
        if (f->isValid()) {
            hadID3 = f->hasID3v2Tag();
            id3 = f->tag();
            file = std::move(f);
        }
        break;
    }
    case TagFileKind::MP4: {
        // Deep nesting would make the reader recurse until the stack runs out.
        if (!ContainerLayout::mp4NestingAcceptable(path)) {
            writeLog("Not reading >>%s<<: its atoms nest too deeply", path.c_str());
            break;
        }
        auto f = std::make_unique<TagLib::MP4::File>(io, false);
        if (f->isValid()) {
            mp4 = f->tag();
            file = std::move(f);
        }
        break;
    }
    case TagFileKind::FLAC: {
        auto f = std::make_unique<TagLib::FLAC::File>(io, TagLib::ID3v2::FrameFactory::instance(),
                                                      false);
        if (f->isValid()) {
            xiph = f->xiphComment(forWriting);
            file = std::move(f);
        }
        break;
    }
    case TagFileKind::Vorbis: {
        auto f = std::make_unique<TagLib::Ogg::Vorbis::File>(io, false);
        if (f->isValid()) {
            xiph = f->tag();
            file = std::move(f);
        }
        break;
    }
    case TagFileKind::Opus: {
        auto f = std::make_unique<TagLib::Ogg::Opus::File>(io, false);
        if (f->isValid()) {
            xiph = f->tag();
            file = std::move(f);
        }
        break;
    }
    case TagFileKind::None:
        break;
    }
    if (file && forWriting && file->readOnly()) {
        file.reset();
    }
    if (!file) {
        stream.reset();
    }
    return file != nullptr;
}

} // namespace sonorix
