#include "audio/iTunNORMTag.h"

#include "audio/CommentTag.h"
#include "audio/TagFileStream.h"
#include "audio/TaggedFile.h"

#include "audio/ContainerLayout.h"
#include "audio/Id3v2Layout.h"
#include "audio/SafeTagSave.h"
#include "audio/TagLibLock.h"
#include "audio/TagSaveGuard.h"
#include "foundation/Log.h"

#include <taglib/aifffile.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tfilestream.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <tuple>

namespace sonorix {

const char iTunNORMTag::kDefaultText[] =
    " 000003E8 000003E8 000009C4 000009C4 00000000 00000000 00000000 00000000 00000000 00000000";
const char iTunNORMTag::kMP4ItemName[] = "----:com.apple.iTunes:iTunNORM";

namespace SoundCheckText {
namespace {

constexpr char kSignature[9] = {'i', 'T', 'u', 'n', 'N', 'O', 'R', 'M', '\0'};
// After the signature's NUL: the rest of the data atom's size (106), "data", type 1 (UTF-8),
// locale 0, and the text's first space.
constexpr uint8_t kMP4Layout[16] = {0x00, 0x00, 0x6A, 'd',  'a',  't',  'a',  0x00,
                                    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x20};
constexpr size_t kSignatureSpan = 99; // signature and NUL, text: the least a candidate needs
constexpr size_t kHintSpan = 100;

int hexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

bool parseField(const char* field, uint32_t& value) {
    if (field[0] != ' ') {
        return false;
    }
    uint32_t v = 0;
    for (int k = 1; k <= 8; ++k) {
        int d = hexDigit(static_cast<uint8_t>(field[k]));
        if (d < 0) {
            return false;
        }
        v = v * 16 + static_cast<uint32_t>(d);
    }
    value = v;
    return true;
}

namespace {

std::optional<size_t> checkCandidate(const uint8_t* data, size_t size, size_t signature) {
    if (size - signature < kSignatureSpan) {
        return std::nullopt;
    }
    SoundCheckValues ignored;
    size_t text = signature + 9;
    if (parse(reinterpret_cast<const char*>(data + text), size - text, ignored)) {
        return text;
    }
    text = signature + 24;
    if (size - signature >= 25 && std::memcmp(data + signature + 9, kMP4Layout, 16) == 0 &&
        parse(reinterpret_cast<const char*>(data + text), size - text, ignored)) {
        return text;
    }
    return std::nullopt;
}

} // namespace

bool parse(const char* text, size_t length, SoundCheckValues& values) {
    if (length < iTunNORMTag::kTextLength) {
        return false;
    }
    SoundCheckValues v;
    for (int i = 0; i < 10; ++i) {
        if (!parseField(text + 9 * i, v[i])) {
            return false;
        }
    }
    values = v;
    return true;
}

bool parseTolerant(const std::string& text, SoundCheckValues& values) {
    SoundCheckValues v{};
    size_t count = 0;
    size_t at = 0;
    while (count < 10) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
            ++at;
        }
        size_t start = at;
        uint32_t value = 0;
        while (at < text.size() && hexDigit(static_cast<uint8_t>(text[at])) >= 0) {
            value = value * 16 + uint32_t(hexDigit(static_cast<uint8_t>(text[at])));
            ++at;
        }
        size_t digits = at - start;
        bool endsWord = at == text.size() || text[at] == '\0' ||
                        std::isspace(static_cast<unsigned char>(text[at]));
        if (digits == 0 || digits > 8 || !endsWord) {
            return false;
        }
        v[count++] = value;
    }
    values = v;
    return true;
}

bool plausible(const SoundCheckValues& values) {
    for (int i = 0; i < 4; ++i) {
        if (values[i] < 1 || values[i] > 65534) {
            return false;
        }
    }
    return true;
}

std::string format(const SoundCheckValues& values) {
    std::string text(iTunNORMTag::kTextLength, ' ');
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 10; ++i) {
        for (int k = 0; k < 8; ++k) {
            text[9 * i + 1 + k] = digits[(values[i] >> (28 - 4 * k)) & 0xF];
        }
    }
    return text;
}

std::optional<Location> find(const uint8_t* data, size_t size, int64_t hint, bool inPlaceOnly) {
    if (!data) {
        return std::nullopt;
    }
    auto accept = [&](size_t signature, size_t text) {
        return !inPlaceOnly ||
               ContainerLayout::soundCheckTextEditableInPlace(data, size, signature, text);
    };
    if (hint >= 0 && static_cast<uint64_t>(hint) < size && size - hint >= kHintSpan &&
        std::memcmp(data + hint, kSignature, sizeof kSignature) == 0) {
        auto text = checkCandidate(data, size, static_cast<size_t>(hint));
        if (text && accept(static_cast<size_t>(hint), *text)) {
            return Location{static_cast<size_t>(hint), *text};
        }
    }
    // In-place texts lie only in the tag, chunk or item list a player reads: the audio of a file
    // without a text yet is not searched.
    size_t from = 0;
    size_t to = size;
    if (inPlaceOnly) {
        std::tie(from, to) = ContainerLayout::inPlaceSignatureRange(data, size);
    }
    for (size_t pos = from; pos < to && size - pos >= kHintSpan;) {
        // The signature starts before `to`; its text may run past it.
        const size_t window = std::min(size, to + sizeof kSignature - 1) - pos;
        const void* hit = ::memmem(data + pos, window, kSignature, sizeof kSignature);
        if (!hit) {
            break;
        }
        size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
        auto text = checkCandidate(data, size, at);
        if (text && accept(at, *text)) {
            return Location{at, *text};
        }
        pos = at + 1;
    }
    return std::nullopt;
}

} // namespace SoundCheckText

namespace {

enum class Kind { None, MPEG, AIFF, MP4 };

bool endsWith(const std::string& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

Kind kindForPath(const std::string& path) {
    // Extensions are ASCII; bytes of other UTF-8 characters are left alone.
    std::string upper = path;
    for (auto& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    size_t n = upper.size();
    if (n >= 5 && endsWith(upper, ".MP3")) {
        return Kind::MPEG;
    }
    if (n >= 6 && (endsWith(upper, ".AIF") || endsWith(upper, ".AIFF"))) {
        return Kind::AIFF;
    }
    if (n >= 5 && (upper.compare(n - 4, 3, ".M4") == 0 || endsWith(upper, ".MP4"))) {
        return Kind::MP4;
    }
    return Kind::None;
}

TagLib::ID3v2::Version saveVersion(int majorVersion) {
    // TagLib writes only 2.3 and 2.4: keep either, and take 2.3 (what iTunes itself writes and
    // every player reads) for 2.2 tags and for new ones.
    return majorVersion == 4 ? TagLib::ID3v2::v4 : TagLib::ID3v2::v3;
}

std::string toLatin1(const TagLib::String& s) {
    return s.to8Bit(false);
}

} // namespace

// The TagLib side of a tag: a file with the stream it reads, and the parts found in it.
struct iTunNORMTag::TagLibState {
    Kind kind = Kind::None;
    std::unique_ptr<TagFileStream> stream;
    std::unique_ptr<TagLib::File> file;
    TagLib::ID3v2::Tag* id3 = nullptr;
    bool hadID3 = false;
    TagLib::ID3v2::CommentsFrame* comment = nullptr;
    TagLib::MP4::Tag* mp4 = nullptr;
    bool mp4ItemPresent = false;
    bool unsafe = false; // refused before the tag library saw it

    // Opens path as kind; on return the file is valid or released. Call under tagLibLock().
    bool openFile(const std::string& path, Kind k, bool readOnly) {
        kind = k;
        if (kind == Kind::None) {
            return false;
        }
        // The MPEG-4 reader recurses once per nesting level: a file built to nest deeply would
        // overflow the stack, so it is refused before the reader sees it.
        if (kind == Kind::MP4 && !ContainerLayout::mp4NestingAcceptable(path)) {
            unsafe = true;
            return false;
        }
        stream = std::make_unique<TagFileStream>(path.c_str(), readOnly);
        if (!stream->isOpen() || (!readOnly && stream->readOnly())) {
            release();
            return false;
        }
        switch (kind) {
        case Kind::MPEG:
            file = std::make_unique<TagLib::MPEG::File>(
                stream.get(), TagLib::ID3v2::FrameFactory::instance(), false);
            break;
        case Kind::AIFF:
            file = std::make_unique<TagLib::RIFF::AIFF::File>(stream.get(), false);
            break;
        case Kind::MP4:
            file = std::make_unique<TagLib::MP4::File>(stream.get(), false);
            break;
        case Kind::None:
            break;
        }
        // TagLib accepts any bytes as an MPEG file; without a single audio frame it is none.
        auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file.get());
        if (!file || !file->isValid() || (mpeg && mpeg->firstFrameOffset() < 0)) {
            release();
            return false;
        }
        return true;
    }

    // Finds the tag and the text in an open file. create: a missing MP3 tag is made.
    void findTag(bool create) {
        id3 = nullptr;
        comment = nullptr;
        mp4 = nullptr;
        mp4ItemPresent = false;
        if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file.get())) {
            // TagLib keeps an empty tag in memory for every MPEG file; only a tag in the file
            // counts, unless one may be made.
            hadID3 = mpeg->hasID3v2Tag();
            id3 = hadID3 || create ? mpeg->ID3v2Tag(true) : nullptr;
        } else if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file.get())) {
            // The library keeps an empty tag for every AIFF file; saving it adds an ID3 chunk.
            hadID3 = aiff->hasID3v2Tag();
            id3 = hadID3 || create ? aiff->tag() : nullptr;
        } else if (auto* m4 = dynamic_cast<TagLib::MP4::File*>(file.get())) {
            mp4 = m4->tag();
        }
        if (id3) {
            for (auto* frame : id3->frameList("COMM")) {
                auto* c = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame);
                if (c && c->description() == "iTunNORM") {
                    comment = c;
                    break;
                }
            }
        }
        if (mp4 && mp4->contains(kMP4ItemName)) {
            TagLib::StringList strings = mp4->item(kMP4ItemName).toStringList();
            SoundCheckValues ignored;
            mp4ItemPresent = strings.size() == 1 &&
                             SoundCheckText::parseTolerant(toLatin1(strings.front()), ignored);
        }
    }

    bool hasTag() const { return id3 || mp4; }
    bool present() const { return comment || mp4ItemPresent; }

    // The text found, or empty.
    std::string text() const {
        if (comment) {
            return toLatin1(comment->text());
        }
        if (mp4ItemPresent) {
            return toLatin1(mp4->item(kMP4ItemName).toStringList().front());
        }
        return {};
    }

    // Puts the text into the tag and saves the file.
    bool store(const std::string& text) {
        if (id3) {
            if (!comment) {
                auto frame = std::make_unique<TagLib::ID3v2::CommentsFrame>(TagLib::String::Latin1);
                frame->setLanguage("eng");
                frame->setDescription("iTunNORM");
                comment = frame.get();
                id3->addFrame(frame.release());
            }
            TagLib::String value(text, TagLib::String::Latin1);
            value += '\0';
            comment->setText(value);
            // A second text would leave players a stale value to read.
            const TagLib::ID3v2::FrameList comments = id3->frameList("COMM");
            for (auto* frame : comments) {
                auto* other = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame);
                if (other && other != comment && other->description() == "iTunNORM") {
                    id3->removeFrame(other);
                }
            }
            // The genre is written back as TagLib reads it, which settles numeric references
            // such as "(17)" into names.
            id3->setGenre(id3->genre());
            int version = hadID3 ? static_cast<int>(id3->header()->majorVersion()) : 0;
            if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file.get())) {
                return mpeg->save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone,
                                  saveVersion(version), TagLib::File::DoNotDuplicate);
            }
            if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file.get())) {
                return aiff->save(saveVersion(version));
            }
            return false;
        }
        if (mp4) {
            mp4->setItem(kMP4ItemName,
                         TagLib::StringList(TagLib::String(text, TagLib::String::UTF8)));
            mp4ItemPresent = true;
            return file->save();
        }
        return false;
    }

    void release() {
        id3 = nullptr;
        comment = nullptr;
        mp4 = nullptr;
        mp4ItemPresent = false;
        file.reset();
        stream.reset();
    }
};

iTunNORMTag::iTunNORMTag() = default;

iTunNORMTag::~iTunNORMTag() {
    close();
}

void iTunNORMTag::close() {
    if (m_tagLib) {
        std::lock_guard<std::mutex> lock(tagLibLock());
        m_tagLib.reset();
    }
    m_mapping.reset();
    m_text = nullptr;
    m_textOffset = -1;
    m_tagLibText.clear();
    m_mode = Mode::None;
}

std::shared_ptr<iTunNORMTag> createITunNORMTag(const std::string& path, int32_t& hint,
                                               bool writable, bool create) {
    auto tag = std::make_shared<iTunNORMTag>();
    tag->open(path, hint, writable, create);
    return tag;
}

void iTunNORMTag::open(const std::string& path, int32_t& hint, bool writable, bool create,
                       Search search) {
    close();
    m_path = path;
    m_writable = writable;
    m_create = create;
    std::unique_ptr<ExceptionBase> mappingError;
    if (search == Search::RawThenTagLib) {
        try {
            auto mapping = createMemoryMappable(path, writable);
            std::optional<SoundCheckText::Location> found;
            {
                MappedAccessGuard guard(*mapping);
                found = SoundCheckText::find(mapping->data(), mapping->size(), hint, true);
                guard.check();
            }
            if (found) {
                m_mapping = mapping;
                m_text = mapping->data() + found->text;
                m_textOffset = static_cast<int64_t>(found->text);
                // Offsets past the signed 32-bit range cannot be kept; the search finds them.
                hint = found->signature <= INT32_MAX ? static_cast<int32_t>(found->signature) : -1;
                m_mode = Mode::Raw;
                return;
            }
        } catch (const MemoryMappable::MemoryMappableException& e) {
            mappingError.reset(e.clone());
        }
    }
    // TagLib would block on a FIFO or read a device for ever. The mapping checks for itself, so
    // a file found in place costs no extra look-up.
    if (FileFault fault = checkRegularFile(m_path); fault != FileFault::None) {
        throw MemoryMappable::FileOpenException(faultText(fault), fault);
    }
    openWithTagLib(std::move(mappingError));
}

void iTunNORMTag::openWithTagLib(std::unique_ptr<ExceptionBase> mappingError) {
    auto state = std::make_unique<TagLibState>();
    bool examined = false;
    bool usable = false;
    {
        std::lock_guard<std::mutex> lock(tagLibLock());
        writeLog("Checking >>%s<<", m_path.c_str());
        try {
            // Read-only: this object never writes the file through TagLib itself; saves go
            // through a verified copy.
            if (state->openFile(m_path, kindForPath(m_path), true)) {
                state->findTag(m_create);
                // An MP3 or AIFF without a tag is readable and can be given one: it has no value
                // yet, which is no reason to call its format unsupported.
                examined =
                    state->hasTag() || state->kind == Kind::MPEG || state->kind == Kind::AIFF;
                usable = examined && (state->present() || m_create);
                if (usable) {
                    m_tagLibText = state->text();
                }
            }
        } catch (const std::exception&) {
            // A tag that TagLib fails on counts as examined: the file has no usable text.
            examined = state->hasTag();
            usable = false;
        }
        if (!usable) {
            state->release();
        }
        if (usable) {
            m_mode = state->id3 ? Mode::ID3v2 : Mode::MP4;
            m_tagLib = std::move(state);
        }
    }
    if (usable) {
        return;
    }
    if (state->unsafe) {
        writeLog("Not reading >>%s<<: its atoms nest too deeply to be read safely", m_path.c_str());
        throw UnsafeFileException("the file's atoms nest too deeply to be read safely");
    }
    if (examined) {
        throw NoTagException("no Sound Check text");
    }
    if (mappingError) {
        mappingError.release()->rethrow();
    }
    throw NoTagSupportedException("no Sound Check text and no tag support for this file");
}

bool iTunNORMTag::isPresent() const {
    return m_mode == Mode::Raw || (m_tagLib && m_tagLib->present());
}

bool iTunNORMTag::isValid() const {
    if (!isPresent()) {
        return false;
    }
    SoundCheckValues v;
    if (m_mode == Mode::Raw) {
        return SoundCheckText::parse(reinterpret_cast<const char*>(m_text), kTextLength, v) &&
               SoundCheckText::plausible(v);
    }
    return SoundCheckText::parseTolerant(m_tagLibText, v) && SoundCheckText::plausible(v);
}

std::string iTunNORMTag::text() const {
    if (m_mode == Mode::Raw) {
        MappedAccessGuard guard(m_text, kTextLength);
        std::string text(reinterpret_cast<const char*>(m_text), kTextLength);
        guard.check();
        return text;
    }
    if (m_tagLib && m_tagLib->present()) {
        // Up to the NUL that ends the comment: the canonical 90 characters where they are, else
        // the text as another tool wrote it, else the first 90 characters of a damaged one.
        std::string text = m_tagLibText.substr(0, m_tagLibText.find('\0'));
        SoundCheckValues ignored;
        if (SoundCheckText::parse(text.data(), text.size(), ignored)) {
            return text.substr(0, kTextLength);
        }
        if (SoundCheckText::parseTolerant(text, ignored)) {
            return text;
        }
        if (text.size() >= kTextLength) {
            return text.substr(0, kTextLength);
        }
    }
    return kDefaultText;
}

SoundCheckValues iTunNORMTag::values() const {
    SoundCheckValues defaults;
    SoundCheckText::parse(kDefaultText, kTextLength, defaults);
    std::string t = text();
    SoundCheckValues v;
    if (SoundCheckText::parse(t.data(), t.size(), v) || SoundCheckText::parseTolerant(t, v)) {
        return v;
    }
    // A damaged text read through a tag: its readable fields count, the rest read as no
    // adjustment. The raw search never accepts such a text.
    for (int i = 0; i < 10; ++i) {
        if (t.size() < 9 * size_t(i) + 9 || !SoundCheckText::parseField(t.data() + 9 * i, v[i])) {
            v[i] = defaults[i];
        }
    }
    return v;
}

uint32_t iTunNORMTag::value(int index) const {
    if (index < 0 || index > 9) {
        return 0;
    }
    return values()[index];
}

bool iTunNORMTag::write(const SoundCheckValues& values, const std::u16string* comment,
                        bool* commentSaved) {
    if (commentSaved) {
        *commentSaved = false;
    }
    // A comment the file holds already needs no save.
    if (std::u16string current; comment && this->comment(current) && current == *comment) {
        comment = nullptr;
        if (commentSaved) {
            *commentSaved = true;
        }
    }
    SoundCheckValues current = this->values();
    bool differs = current != values;
    if (m_mode == Mode::Raw) {
        if (!differs) {
            return false;
        }
        if (!m_writable) {
            throw SaveErrorException("the file was opened read-only");
        }
        if (!m_mapping->stillMaps(m_path)) {
            throw SaveErrorException("the file was removed, replaced or truncated",
                                     FileFault::Changed);
        }
        std::string digits = SoundCheckText::format(values);
        MappedAccessGuard guard(m_text, kTextLength);
        for (int i = 0; i < 10; ++i) {
            if (current[i] != values[i]) {
                std::memcpy(m_text + 9 * i + 1, digits.data() + 9 * i + 1, 8);
            }
        }
        if (guard.faulted()) {
            throw SaveErrorException("the file shrank while it was written", FileFault::Changed);
        }
        m_mapping->synchronize();
        return true;
    }
    if (!m_tagLib) {
        throw SaveErrorException("no tag open");
    }
    SoundCheckValues parsed;
    bool wellFormed = m_tagLib->present() &&
                      SoundCheckText::parse(m_tagLibText.data(), m_tagLibText.size(), parsed);
    if (!differs && wellFormed) {
        return false;
    }
    if (!m_writable) {
        throw SaveErrorException("the file was opened read-only");
    }
    std::string text = SoundCheckText::format(values);
    Kind kind = m_tagLib->kind;
    bool create = m_create;
    // The comment goes into the same save where a comment write would edit this very tag.
    const bool withComment = comment && sharesComment();
    const std::u16string storedComment = withComment ? CommentTag::stored(*comment) : u"";
    std::string reason;
    {
        std::unique_lock<std::mutex> lock(tagLibLock());
        // What the file's own tag holds, to check the tag library's reading and the save.
        const auto container =
            kind == Kind::MPEG ? TagSaveGuard::Container::MPEG : TagSaveGuard::Container::AIFF;
        std::optional<TagSaveGuard::TagBytes> before;
        bool rewriteFrames = false;
        if (kind == Kind::MPEG || kind == Kind::AIFF) {
            before = TagSaveGuard::readTag(m_path, container);
            if (!before) {
                throw UnreadableTagException("the ID3v2 tag's frames cannot be told apart");
            }
            rewriteFrames = !TagSaveGuard::readWhole(*before, *m_tagLib->id3, {u"iTunNORM"});
            if (rewriteFrames && kind != Kind::MPEG) {
                writeLog("Not saving >>%s<<: the tag library does not read its ID3v2 tag whole",
                         m_path.c_str());
                throw UnreadableTagException("the ID3v2 tag holds frames the tag library cannot "
                                             "read");
            }
        }
        // The copy must hold the text, read back as a player reads it, and the same audio.
        auto textAndAudio = [&](const std::string& original, const std::string& copy,
                                TagLibState& s) {
            if (!s.openFile(copy, kind, true)) {
                return false;
            }
            s.findTag(false);
            std::string back = s.text();
            return s.present() && back.size() >= kTextLength &&
                   back.compare(0, kTextLength, text) == 0 && sameAudioPayload(original, copy);
        };
        bool lostFrames = false;
        bool commentDiffers = false;
        FileFault fault = FileFault::Other;
        // The text, and with alsoComment the comment, saved through the tag library.
        auto tagLibSave = [&](bool alsoComment) {
            TagSaveGuard::Descriptions descriptions{u"iTunNORM"};
            std::vector<TagSaveGuard::ExpectedComments> expected{{u"iTunNORM", 1}};
            std::vector<std::string> items{kMP4ItemName};
            if (alsoComment) {
                descriptions.push_back(u"");
                if (before) {
                    expected.push_back({u"", CommentTag::framesAfterPut(*before, *comment)});
                }
                items.push_back(CommentTag::kMP4Item);
            }
            auto edit = [&](const std::string& copy) {
                TagLibState s;
                if (!s.openFile(copy, kind, false)) {
                    return false;
                }
                s.findTag(create);
                if (alsoComment && s.id3) {
                    CommentTag::put(*s.id3, *comment);
                } else if (alsoComment && s.mp4) {
                    CommentTag::put(*s.mp4, *comment);
                }
                return s.hasTag() && s.store(text);
            };
            auto verify = [&](const std::string& original, const std::string& copy) {
                TagLibState s;
                if (!textAndAudio(original, copy, s)) {
                    return false;
                }
                if (alsoComment && (s.id3   ? CommentTag::of(*s.id3)
                                    : s.mp4 ? CommentTag::of(*s.mp4)
                                            : u"") != storedComment) {
                    commentDiffers = true;
                    return false;
                }
                bool kept = false;
                if (before) {
                    auto after = TagSaveGuard::readTag(copy, container);
                    kept = after && TagSaveGuard::framesKept(*before, *after, expected, false) &&
                           s.id3 && TagSaveGuard::sameFrames(*m_tagLib->id3, *s.id3, descriptions);
                } else {
                    kept = s.mp4 && TagSaveGuard::sameItems(*m_tagLib->mp4, *s.mp4, items) &&
                           TagSaveGuard::itemAtoms(original, items) ==
                               TagSaveGuard::itemAtoms(copy, items);
                }
                if (!kept) {
                    lostFrames = true;
                    writeLog("Saving >>%s<< through the tag library would change other tags",
                             m_path.c_str());
                }
                return kept;
            };
            lostFrames = false;
            return saveFileSafely(m_path, edit, verify, &reason, &fault, &lock);
        };
        // Every frame but ours is copied as it is: nothing the tag library cannot read is lost.
        const std::u16string body16 =
            std::u16string(text.begin(), text.end()) + std::u16string(1, u'\0');
        auto rewrite = [&](const std::string& copy) {
            return TagSaveGuard::rewriteMp3Comment(m_path, copy, u"iTunNORM",
                                                   Id3v2::commentBody(u"iTunNORM", body16), true);
        };
        auto verifyRewrite = [&](const std::string& original, const std::string& copy) {
            TagLibState s;
            auto after = TagSaveGuard::readTag(copy, container);
            return after && TagSaveGuard::framesKept(*before, *after, {{u"iTunNORM", 1}}, true) &&
                   textAndAudio(original, copy, s);
        };
        bool saved = false;
        try {
            if (!rewriteFrames) {
                if (withComment) {
                    saved = tagLibSave(true);
                    if (saved && commentSaved) {
                        *commentSaved = true;
                    }
                }
                // What the comment's change lost or could not store may come through a save of
                // the text alone; the comment then gets its own save.
                if (!withComment || (!saved && (lostFrames || commentDiffers))) {
                    saved = tagLibSave(false);
                }
                // A save that lost a frame the tag library dropped on writing is not installed;
                // an MP3 then gets the rewrite that keeps every frame.
                rewriteFrames = !saved && lostFrames && kind == Kind::MPEG && before->present;
            }
            if (rewriteFrames) {
                writeLog("Saving >>%s<< with every other ID3v2 frame kept as it is",
                         m_path.c_str());
                saved = saveFileSafely(m_path, rewrite, verifyRewrite, &reason, &fault, &lock);
            }
        } catch (const std::exception& e) {
            reason = e.what();
        }
        if (!saved) {
            throw SaveErrorException(reason, fault);
        }
        // Follow the file that now holds the text.
        auto fresh = std::make_unique<TagLibState>();
        try {
            if (fresh->openFile(m_path, kind, true)) {
                fresh->findTag(false);
            }
        } catch (const std::exception&) {
            fresh->release();
        }
        if (fresh->present()) {
            m_tagLibText = fresh->text();
            m_tagLib = std::move(fresh);
        } else {
            m_tagLibText = text;
        }
    }
    return true;
}

bool iTunNORMTag::sharesComment() const {
    if (!m_tagLib || !m_tagLib->hasTag()) {
        return false;
    }
    switch (tagFileKindOf(m_path)) {
    case TagFileKind::MPEG:
        return m_tagLib->kind == Kind::MPEG;
    case TagFileKind::AIFF:
        return m_tagLib->kind == Kind::AIFF;
    case TagFileKind::MP4:
        return m_tagLib->kind == Kind::MP4;
    default:
        return false;
    }
}

bool iTunNORMTag::comment(std::u16string& comment) const {
    if (!sharesComment()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(tagLibLock());
    comment = m_tagLib->id3 ? CommentTag::of(*m_tagLib->id3) : CommentTag::of(*m_tagLib->mp4);
    return true;
}

bool iTunNORMTag::setAdjustment(double adjustment, const std::u16string* comment,
                                bool* commentSaved) {
    return write(SoundCheck::valuesForAdjustment(values(), adjustment), comment, commentSaved);
}

} // namespace sonorix
