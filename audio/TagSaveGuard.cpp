#include "audio/TagSaveGuard.h"

#include "audio/ContainerLayout.h"
#include "audio/Id3v2Layout.h"

#include <taglib/commentsframe.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4tag.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace sonorix::TagSaveGuard {
namespace {

// A file opened for reading that closes itself.
class Input {
public:
    explicit Input(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) {
        struct stat st {};
        if (m_fd >= 0 && (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(m_fd);
            m_fd = -1;
        }
        m_size = m_fd >= 0 ? uint64_t(st.st_size) : 0;
    }
    ~Input() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    bool ok() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    uint64_t size() const { return m_size; }
    bool read(uint64_t offset, uint8_t* out, size_t n) const {
        while (n > 0) {
            ssize_t got = ::pread(m_fd, out, n, off_t(offset));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false;
            }
            out += got;
            offset += uint64_t(got);
            n -= size_t(got);
        }
        return true;
    }
    ContainerLayout::Reader reader() const {
        return [this](uint64_t offset, uint8_t* out, size_t n) { return read(offset, out, n); };
    }

private:
    int m_fd;
    uint64_t m_size = 0;
};

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Where the ID3 chunk of an AIFF file lies: offset and length of its content.
std::optional<std::pair<uint64_t, uint64_t>> aiffChunk(const Input& in, bool& found) {
    found = false;
    uint8_t head[12];
    if (!in.read(0, head, 12) || std::memcmp(head, "FORM", 4) != 0) {
        return std::nullopt;
    }
    for (uint64_t at = 12; in.size() >= 8 && at <= in.size() - 8;) {
        uint8_t chunk[8];
        if (!in.read(at, chunk, 8)) {
            return std::nullopt;
        }
        uint64_t length = be32(chunk + 4);
        if (length > in.size() - at - 8) {
            break; // a truncated last chunk: readers stop here as well
        }
        if (std::memcmp(chunk, "ID3 ", 4) == 0 || std::memcmp(chunk, "id3 ", 4) == 0) {
            found = true;
            return std::make_pair(at + 8, length);
        }
        at += 8 + length + (length & 1);
    }
    return std::make_pair(uint64_t(0), uint64_t(0));
}

bool among(const std::u16string& description, const Descriptions& descriptions) {
    return std::find(descriptions.begin(), descriptions.end(), description) != descriptions.end();
}

std::u16string fromTagLib(const TagLib::String& s) {
    std::u16string out;
    for (wchar_t c : s) {
        out.push_back(char16_t(c));
    }
    return out;
}

// What a frame holds as the tag library renders it, keyed so that equal frames sort together.
std::multiset<std::string> renderedFrames(TagLib::ID3v2::Tag& tag,
                                          const Descriptions& descriptions) {
    std::multiset<std::string> frames;
    for (auto* frame : tag.frameList()) {
        if (frame->frameID() == "TCON") {
            continue;
        }
        auto* comment = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame);
        if (comment && among(fromTagLib(comment->description()), descriptions)) {
            continue;
        }
        TagLib::ByteVector data = frame->render();
        frames.insert(std::string(data.data(), data.size()));
    }
    return frames;
}

// An item's texts, data and pictures. Numbers are left out: the library keeps them in a union
// whose other members are never set, so reading one as another kind reads garbage.
std::string itemContent(const TagLib::MP4::Item& item) {
    std::string out = std::to_string(int(item.atomDataType())) + "|";
    for (const auto& s : item.toStringList()) {
        out += s.to8Bit(true) + '\x1F';
    }
    out += "|";
    for (const auto& art : item.toCoverArtList()) {
        out += std::to_string(int(art.format())) + ":" +
               std::string(art.data().data(), art.data().size()) + '\x1F';
    }
    for (const auto& bytes : item.toByteVectorList()) {
        out += std::string(bytes.data(), bytes.size()) + '\x1F';
    }
    return out;
}

} // namespace

std::optional<TagBytes> readTag(const std::string& path, Container container) {
    Input in(path);
    if (!in.ok()) {
        return std::nullopt;
    }
    TagBytes tag;
    uint64_t offset = 0;
    uint64_t length = 0;
    if (container == Container::MPEG) {
        uint8_t head[10];
        if (in.size() < 10 || !in.read(0, head, 10)) {
            return tag;
        }
        length = Id3v2::tagSize(head, 10);
        if (length == 0) {
            return tag;
        }
        if (length > in.size()) {
            return std::nullopt;
        }
    } else {
        bool found = false;
        auto chunk = aiffChunk(in, found);
        if (!chunk) {
            return std::nullopt;
        }
        if (!found) {
            return tag;
        }
        std::tie(offset, length) = *chunk;
    }
    tag.present = true;
    tag.bytes.resize(length);
    if (length > 0 && !in.read(offset, tag.bytes.data(), length)) {
        return std::nullopt;
    }
    if (!Id3v2::scan(tag.bytes.data(), tag.bytes.size())) {
        return std::nullopt;
    }
    return tag;
}

namespace {

// The frames of a tag other than the comments with the given descriptions: ids, or whole frames.
// comments counts the frames left out, for each description.
std::multiset<std::string> framesOf(const TagBytes& tag, const Descriptions& descriptions,
                                    bool exact, std::vector<size_t>& comments) {
    std::multiset<std::string> frames;
    comments.assign(descriptions.size(), 0);
    if (!tag.present) {
        return frames;
    }
    auto layout = Id3v2::scan(tag.bytes.data(), tag.bytes.size());
    if (!layout) {
        frames.insert("\x01unreadable");
        return frames;
    }
    const uint8_t* base = layout->bytes(tag.bytes.data());
    for (const auto& frame : layout->list) {
        if (auto d = Id3v2::commentDescription(*layout, tag.bytes.data(), frame)) {
            auto found = std::find(descriptions.begin(), descriptions.end(), *d);
            if (found != descriptions.end()) {
                ++comments[size_t(found - descriptions.begin())];
                continue;
            }
        }
        frames.insert(exact ? std::string(reinterpret_cast<const char*>(base) + frame.offset,
                                          frame.header + frame.size)
                            : frame.id);
    }
    return frames;
}

bool sameFrameIds(const TagBytes& a, const TagBytes& b, const Descriptions& descriptions) {
    std::vector<size_t> ignored;
    return framesOf(a, descriptions, false, ignored) == framesOf(b, descriptions, false, ignored);
}

} // namespace

bool readWhole(const TagBytes& tag, TagLib::ID3v2::Tag& parsed, const Descriptions& descriptions) {
    if (!tag.present) {
        return true;
    }
    auto layout = Id3v2::scan(tag.bytes.data(), tag.bytes.size());
    if (!layout || layout->version == 2) {
        return false;
    }
    // What the library would write, scanned like the file: the same frames, or it lost some.
    TagBytes rendered;
    rendered.present = true;
    TagLib::ByteVector data =
        parsed.render(layout->version == 4 ? TagLib::ID3v2::v4 : TagLib::ID3v2::v3);
    rendered.bytes.assign(data.begin(), data.end());
    return sameFrameIds(tag, rendered, descriptions);
}

size_t comments(const TagBytes& tag, const std::u16string& description) {
    std::vector<size_t> count;
    framesOf(tag, {description}, false, count);
    return count.front();
}

bool framesKept(const TagBytes& before, const TagBytes& after,
                const std::vector<ExpectedComments>& expected, bool exact) {
    Descriptions descriptions;
    std::vector<size_t> counts;
    for (const auto& e : expected) {
        descriptions.push_back(e.description);
        counts.push_back(e.count);
    }
    std::vector<size_t> commentsBefore;
    std::vector<size_t> commentsAfter;
    auto framesBefore = framesOf(before, descriptions, exact, commentsBefore);
    auto framesAfter = framesOf(after, descriptions, exact, commentsAfter);
    return after.present && framesBefore == framesAfter && commentsAfter == counts;
}

bool sameFrames(TagLib::ID3v2::Tag& before, TagLib::ID3v2::Tag& after,
                const Descriptions& descriptions) {
    return renderedFrames(before, descriptions) == renderedFrames(after, descriptions);
}

bool sameItems(TagLib::MP4::Tag& before, TagLib::MP4::Tag& after,
               const std::vector<std::string>& skip) {
    // Item names are bytes, as the tag library reads them: Latin-1.
    auto skipped = [&](const TagLib::String& key) {
        return std::any_of(skip.begin(), skip.end(), [&](const std::string& name) {
            return key == TagLib::String(name, TagLib::String::Latin1);
        });
    };
    size_t counted = 0;
    for (const auto& [key, item] : before.itemMap()) {
        if (skipped(key)) {
            continue;
        }
        ++counted;
        if (!after.contains(key) || itemContent(item) != itemContent(after.item(key))) {
            return false;
        }
    }
    size_t others = 0;
    for (const auto& [key, item] : after.itemMap()) {
        others += skipped(key) ? 0 : 1;
    }
    return others == counted;
}

std::optional<size_t> itemAtoms(const std::string& path, const std::vector<std::string>& skip) {
    Input in(path);
    if (!in.ok()) {
        return std::nullopt;
    }
    auto names = ContainerLayout::itemListAtoms(in.reader(), in.size());
    if (!names) {
        return size_t(0);
    }
    return size_t(std::count_if(names->begin(), names->end(), [&](const std::string& n) {
        return std::find(skip.begin(), skip.end(), n) == skip.end();
    }));
}

bool rewriteMp3Comment(const std::string& original, const std::string& copy,
                       const std::u16string& description, const std::vector<uint8_t>& body,
                       bool removeOthers) {
    auto tag = readTag(original, Container::MPEG);
    if (!tag || !tag->present) {
        return false;
    }
    auto rewritten = Id3v2::rewriteComment(tag->bytes.data(), tag->bytes.size(), description, body,
                                           removeOthers);
    if (!rewritten) {
        return false;
    }
    Input in(original);
    int out = ::open(copy.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (!in.ok() || out < 0) {
        if (out >= 0) {
            ::close(out);
        }
        return false;
    }
    auto writeAll = [out](const uint8_t* p, size_t n, uint64_t at) {
        while (n > 0) {
            ssize_t done = ::pwrite(out, p, n, off_t(at));
            if (done < 0 && errno == EINTR) {
                continue;
            }
            if (done <= 0) {
                return false;
            }
            p += done;
            at += uint64_t(done);
            n -= size_t(done);
        }
        return true;
    };
    bool ok = writeAll(rewritten->data(), rewritten->size(), 0);
    if (ok && rewritten->size() != tag->bytes.size()) {
        // The tag grew: everything after it moves.
        std::vector<uint8_t> buffer(1 << 20);
        uint64_t from = tag->bytes.size();
        uint64_t to = rewritten->size();
        while (ok && from < in.size()) {
            size_t n = size_t(std::min<uint64_t>(buffer.size(), in.size() - from));
            ok = in.read(from, buffer.data(), n) && writeAll(buffer.data(), n, to);
            from += n;
            to += n;
        }
        ok = ok && ::ftruncate(out, off_t(to)) == 0;
    }
    ::close(out);
    return ok;
}

} // namespace sonorix::TagSaveGuard
