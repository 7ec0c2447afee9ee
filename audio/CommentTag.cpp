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

const char kMP4Comment[] = "\251cmt";
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

// A file opened as its kind, and its comment.
struct OpenFile : TaggedFile {
    std::vector<TagLib::ID3v2::CommentsFrame*> plainComments() const {
        std::vector<TagLib::ID3v2::CommentsFrame*> frames;
        if (!id3) {
            return frames;
        }
        for (auto* frame : id3->frameList("COMM")) {
            auto* c = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame);
            if (c && c->description().isEmpty()) {
                frames.push_back(c);
            }
        }
        return frames;
    }

    TagLib::String comment() const {
        if (id3) {
            auto frames = plainComments();
            return frames.empty() ? TagLib::String() : frames.front()->text();
        }
        if (mp4 && mp4->contains(kMP4Comment)) {
            auto strings = mp4->item(kMP4Comment).toStringList();
            return strings.isEmpty() ? TagLib::String() : strings.front();
        }
        if (xiph && xiph->contains(kXiphComment)) {
            const auto& fields = xiph->fieldListMap()[kXiphComment];
            return fields.isEmpty() ? TagLib::String() : fields.front();
        }
        return {};
    }

    bool setComment(const TagLib::String& text) {
        if (kind == Kind::MPEG || kind == Kind::AIFF) {
            if (!id3) {
                return false;
            }
            auto frames = plainComments();
            if (text.isEmpty()) {
                for (auto* frame : frames) {
                    id3->removeFrame(frame);
                }
            } else if (frames.empty()) {
                auto frame = std::make_unique<TagLib::ID3v2::CommentsFrame>(
                    isLatin1(text) ? TagLib::String::Latin1 : TagLib::String::UTF16);
                frame->setLanguage("eng");
                frame->setText(text);
                id3->addFrame(frame.release());
            } else {
                if (!isLatin1(text) && frames.front()->textEncoding() == TagLib::String::Latin1) {
                    frames.front()->setTextEncoding(TagLib::String::UTF16);
                }
                frames.front()->setText(text);
            }
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
            if (text.isEmpty()) {
                mp4->removeItem(kMP4Comment);
            } else {
                mp4->setItem(kMP4Comment, TagLib::StringList(text));
            }
            return file->save();
        }
        if (xiph) {
            if (text.isEmpty()) {
                xiph->removeFields(kXiphComment);
            } else {
                xiph->addField(kXiphComment, text, true);
            }
            return file->save();
        }
        return false;
    }
};

} // namespace

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
        comment = fromTagLib(f.comment());
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
    const TagLib::String text = toTagLib(comment);
    const Kind kind = kindOf(path);
    std::unique_lock<std::mutex> lock(tagLibLock());
    // The file as it is: what it holds now, and what the save is checked against.
    OpenFile original;
    try {
        if (!original.open(path, kind, false)) {
            return false;
        }
        if (fromTagLib(original.comment()) == comment) {
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
        // As the tag library does it: the first plain comment replaced or one added; an empty
        // comment removes them all.
        expected = comment.empty() ? 0 : std::max<size_t>(1, TagSaveGuard::comments(*before, u""));
        rewriteFrames = original.id3 && !TagSaveGuard::readWhole(*before, *original.id3, u"");
        if (rewriteFrames && kind != Kind::MPEG) {
            writeLog("Not saving >>%s<<: the tag library does not read its ID3v2 tag whole",
                     path.c_str());
            return false;
        }
    }
    auto edit = [&](const std::string& copy) {
        OpenFile f;
        return f.open(copy, kind, true) && f.setComment(text);
    };
    bool lostFrames = false;
    auto verify = [&](const std::string& original_, const std::string& copy) {
        OpenFile f;
        if (!f.open(copy, kind, false) || f.comment() != text ||
            !sameAudioPayload(original_, copy)) {
            return false;
        }
        bool kept = true;
        if (before) {
            auto after = TagSaveGuard::readTag(copy, container);
            kept =
                after && TagSaveGuard::framesKept(*before, *after, u"", expected, false) &&
                (!original.id3 || (f.id3 && TagSaveGuard::sameFrames(*original.id3, *f.id3, u"")));
        } else if (kind == Kind::MP4) {
            kept = original.mp4 && f.mp4 &&
                   TagSaveGuard::sameItems(*original.mp4, *f.mp4, kMP4Comment) &&
                   TagSaveGuard::itemAtoms(original_, kMP4Comment) ==
                       TagSaveGuard::itemAtoms(copy, kMP4Comment);
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
        return after && TagSaveGuard::framesKept(*before, *after, u"", expected, true) &&
               f.open(copy, kind, false) && f.comment() == text &&
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
