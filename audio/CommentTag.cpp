#include "audio/CommentTag.h"
#include "audio/TaggedFile.h"

#include "audio/ContainerLayout.h"
#include "audio/Id3v2Layout.h"
#include "audio/SafeTagSave.h"
#include "audio/TagLibLock.h"
#include "audio/TagSaveGuard.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "foundation/Text.h"

#include <taglib/aifffile.h>
#include <taglib/commentsframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

namespace sonorix::CommentTag {
namespace {

using Kind = TagFileKind;

const char kXiphComment[] = "COMMENT";

// Opus files have no comment we write.
Kind kindOf(const std::string& path) {
    const Kind kind = tagFileKindOf(path);
    return kind == Kind::Opus ? Kind::None : kind;
}

TagLib::String toTagLib(const std::u16string& text) {
    return TagLib::String(toUtf8(text), TagLib::String::UTF8);
}

std::u16string fromTagLib(const TagLib::String& text) {
    return toUtf16(text.to8Bit(true));
}

bool isLatin1(const TagLib::String& text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 256; });
}

std::vector<TagLib::ID3v2::CommentsFrame*> plainComments(const TagLib::ID3v2::Tag& tag) {
    std::vector<TagLib::ID3v2::CommentsFrame*> frames;
    for (auto* frame : tag.frameList("COMM")) {
        auto* c = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame);
        if (c && c->description().isEmpty()) {
            frames.push_back(c);
        }
    }
    return frames;
}

// A file opened as its kind, and its comment.
struct OpenFile : TaggedFile {
    std::u16string comment() const {
        if (id3) {
            return of(*id3);
        }
        if (mp4) {
            return of(*mp4);
        }
        if (xiph && xiph->contains(kXiphComment)) {
            const auto& fields = xiph->fieldListMap()[kXiphComment];
            return fields.isEmpty() ? std::u16string() : fromTagLib(fields.front());
        }
        return {};
    }

    bool setComment(const std::u16string& comment) {
        if (kind == Kind::MPEG || kind == Kind::AIFF) {
            if (!id3) {
                return false;
            }
            put(*id3, comment);
            // TagLib writes 2.3 and 2.4 only: keep 2.4, otherwise write what iTunes writes.
            auto version = hadID3 && id3->header()->majorVersion() == 4 ? TagLib::ID3v2::v4
                                                                        : TagLib::ID3v2::v3;
            if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file.get())) {
                return mpeg->save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, version,
                                  TagLib::File::DoNotDuplicate);
            }
            if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file.get())) {
                return aiff->save(version);
            }
            return false;
        }
        if (mp4) {
            put(*mp4, comment);
            return file->save();
        }
        if (xiph) {
            if (comment.empty()) {
                xiph->removeFields(kXiphComment);
            } else {
                xiph->addField(kXiphComment, toTagLib(comment), true);
            }
            return file->save();
        }
        return false;
    }
};

} // namespace

const char kMP4Item[] = "\251cmt";

std::u16string of(const TagLib::ID3v2::Tag& tag) {
    auto frames = plainComments(tag);
    return frames.empty() ? std::u16string() : fromTagLib(frames.front()->text());
}

std::u16string of(const TagLib::MP4::Tag& tag) {
    if (!tag.contains(kMP4Item)) {
        return {};
    }
    auto strings = tag.item(kMP4Item).toStringList();
    return strings.isEmpty() ? std::u16string() : fromTagLib(strings.front());
}

void put(TagLib::ID3v2::Tag& tag, const std::u16string& comment) {
    const TagLib::String text = toTagLib(comment);
    auto frames = plainComments(tag);
    if (text.isEmpty()) {
        for (auto* frame : frames) {
            tag.removeFrame(frame);
        }
    } else if (frames.empty()) {
        auto frame = std::make_unique<TagLib::ID3v2::CommentsFrame>(
            isLatin1(text) ? TagLib::String::Latin1 : TagLib::String::UTF16);
        frame->setLanguage("eng");
        frame->setText(text);
        tag.addFrame(frame.release());
    } else {
        if (!isLatin1(text) && frames.front()->textEncoding() == TagLib::String::Latin1) {
            frames.front()->setTextEncoding(TagLib::String::UTF16);
        }
        frames.front()->setText(text);
    }
}

void put(TagLib::MP4::Tag& tag, const std::u16string& comment) {
    if (comment.empty()) {
        tag.removeItem(kMP4Item);
    } else {
        tag.setItem(kMP4Item, TagLib::StringList(toTagLib(comment)));
    }
}

std::u16string stored(const std::u16string& comment) {
    return fromTagLib(toTagLib(comment));
}

size_t framesAfterPut(const TagSaveGuard::TagBytes& before, const std::u16string& comment) {
    // The first comment replaced or one added; an empty comment removes them all.
    return comment.empty() ? 0 : std::max<size_t>(1, TagSaveGuard::comments(before, u""));
}

bool supported(const std::string& path) {
    return kindOf(path) != Kind::None;
}

bool read(const std::string& path, std::u16string& comment) {
    // TagLib would block on a FIFO or read a device for ever.
    if (FileFault fault = checkRegularFile(path); fault != FileFault::None) {
        writeLog("Reading the comment of >>%s<< failed: %s", path.c_str(), faultText(fault));
        return false;
    }
    std::lock_guard<std::mutex> lock(tagLibLock());
    try {
        OpenFile f;
        if (!f.open(path, kindOf(path), false)) {
            return false;
        }
        comment = f.comment();
        return true;
    } catch (const std::exception& e) {
        writeLog("Reading the comment of >>%s<< failed: %s", path.c_str(), e.what());
        return false;
    }
}

bool write(const std::string& path, const std::u16string& comment) {
    if (FileFault fault = checkRegularFile(path); fault != FileFault::None) {
        writeLog("Writing the comment of >>%s<< failed: %s", path.c_str(), faultText(fault));
        return false;
    }
    const Kind kind = kindOf(path);
    std::unique_lock<std::mutex> lock(tagLibLock());
    // The file as it is: what it holds now, and what the save is checked against.
    OpenFile original;
    try {
        if (!original.open(path, kind, false)) {
            return false;
        }
        if (original.comment() == comment) {
            return true;
        }
    } catch (const std::exception& e) {
        writeLog("Reading the comment of >>%s<< failed: %s", path.c_str(), e.what());
        return false;
    }
    // What the file's own tag holds, to check the tag library's reading and the save.
    const bool id3 = kind == Kind::MPEG || kind == Kind::AIFF;
    const auto container =
        kind == Kind::MPEG ? TagSaveGuard::Container::MPEG : TagSaveGuard::Container::AIFF;
    std::optional<TagSaveGuard::TagBytes> before;
    size_t expected = 0;
    bool rewriteFrames = false;
    if (id3) {
        before = TagSaveGuard::readTag(path, container);
        if (!before) {
            writeLog("Not saving >>%s<<: its ID3v2 tag's frames cannot be told apart",
                     path.c_str());
            return false;
        }
        expected = framesAfterPut(*before, comment);
        rewriteFrames = original.id3 && !TagSaveGuard::readWhole(*before, *original.id3, {u""});
        if (rewriteFrames && kind != Kind::MPEG) {
            writeLog("Not saving >>%s<<: the tag library does not read its ID3v2 tag whole",
                     path.c_str());
            return false;
        }
    }
    // What the copy reads back: the comment through the tag library's text conversion.
    const std::u16string stored = CommentTag::stored(comment);
    auto edit = [&](const std::string& copy) {
        OpenFile f;
        return f.open(copy, kind, true) && f.setComment(comment);
    };
    bool lostFrames = false;
    auto verify = [&](const std::string& original_, const std::string& copy) {
        OpenFile f;
        if (!f.open(copy, kind, false) || f.comment() != stored ||
            !sameAudioPayload(original_, copy)) {
            return false;
        }
        bool kept = true;
        if (before) {
            auto after = TagSaveGuard::readTag(copy, container);
            kept = after && TagSaveGuard::framesKept(*before, *after, {{u"", expected}}, false) &&
                   (!original.id3 ||
                    (f.id3 && TagSaveGuard::sameFrames(*original.id3, *f.id3, {u""})));
        } else if (kind == Kind::MP4) {
            kept = original.mp4 && f.mp4 &&
                   TagSaveGuard::sameItems(*original.mp4, *f.mp4, {kMP4Item}) &&
                   TagSaveGuard::itemAtoms(original_, {kMP4Item}) ==
                       TagSaveGuard::itemAtoms(copy, {kMP4Item});
        }
        if (!kept) {
            lostFrames = true;
            writeLog("Saving the comment of >>%s<< through the tag library would change other tags",
                     path.c_str());
        }
        return kept;
    };
    auto rewrite = [&](const std::string& copy) {
        std::vector<uint8_t> body;
        if (!comment.empty()) {
            body = Id3v2::commentBody(u"", comment);
        }
        return TagSaveGuard::rewriteMp3Comment(path, copy, u"", body, false);
    };
    auto verifyRewrite = [&](const std::string& original_, const std::string& copy) {
        OpenFile f;
        auto after = TagSaveGuard::readTag(copy, container);
        return after && TagSaveGuard::framesKept(*before, *after, {{u"", expected}}, true) &&
               f.open(copy, kind, false) && f.comment() == stored &&
               sameAudioPayload(original_, copy);
    };
    if (!rewriteFrames) {
        if (saveFileSafely(path, edit, verify, nullptr, nullptr, &lock)) {
            return true;
        }
        rewriteFrames = lostFrames && kind == Kind::MPEG && before->present;
        if (!rewriteFrames) {
            return false;
        }
    }
    writeLog("Saving the comment of >>%s<< with every other ID3v2 frame kept as it is",
             path.c_str());
    return saveFileSafely(path, rewrite, verifyRewrite, nullptr, nullptr, &lock);
}

bool tagsReadable(const std::string& path) {
    if (checkRegularFile(path) != FileFault::None || !ContainerLayout::mp4NestingAcceptable(path)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(tagLibLock());
    try {
        TagLib::FileRef ref(path.c_str(), false);
        return !ref.isNull() && ref.tag() != nullptr;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace sonorix::CommentTag
