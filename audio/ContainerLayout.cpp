#include "audio/ContainerLayout.h"

#include "audio/Id3v2Layout.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sonorix::ContainerLayout {
namespace {

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// The atom at offset, as a tag reader takes it: size 0 runs to the end of the file, size 1 has a
// 64-bit size behind the type; anything under its own header size ends the reading.
std::optional<Atom> atomAt(const Reader& read, uint64_t offset, uint64_t fileSize) {
    uint8_t h[16];
    if (fileSize < 8 || offset > fileSize - 8 || !read(offset, h, 8)) {
        return std::nullopt;
    }
    Atom atom;
    std::memcpy(atom.type, h + 4, 4);
    atom.offset = offset;
    atom.header = 8;
    uint64_t size = be32(h);
    if (size == 0) {
        size = fileSize - offset;
    } else if (size == 1) {
        if (fileSize < 16 || offset > fileSize - 16 || !read(offset + 8, h + 8, 8)) {
            return std::nullopt;
        }
        size = uint64_t(be32(h + 8)) << 32 | be32(h + 12);
        atom.header = 16;
    }
    if (size < atom.header) {
        return std::nullopt;
    }
    // An atom claiming more than the file holds ends with the file; taken at its word, its end
    // could wrap around and send a walk back to where it came from.
    atom.size = std::min(size, fileSize - offset);
    return atom;
}

// Bytes to skip between a container's header and its first child.
std::optional<uint64_t> containerSkip(const Atom& atom) {
    static const char* const plain[] = {"moov", "udta", "mdia", "ilst", "stbl",
                                        "minf", "moof", "traf", "trak"};
    for (const char* type : plain) {
        if (atom.is(type)) {
            return 0;
        }
    }
    if (atom.is("meta")) {
        return 4; // version and flags
    }
    if (atom.is("stsd")) {
        return 8; // version, flags and entry count
    }
    return std::nullopt;
}

Reader memoryReader(const uint8_t* data, size_t size) {
    return [data, size](uint64_t offset, uint8_t* out, size_t n) {
        if (offset > size || n > size - offset) {
            return false;
        }
        std::memcpy(out, data + offset, n);
        return true;
    };
}

// The first child of the given type inside [from, to).
std::optional<Atom> child(const Reader& read, uint64_t fileSize, uint64_t from, uint64_t to,
                          const char* type) {
    for (uint64_t at = from; at < to;) {
        auto atom = atomAt(read, at, fileSize);
        if (!atom || atom->end() > to) {
            return std::nullopt;
        }
        if (atom->is(type)) {
            return atom;
        }
        at = atom->end();
    }
    return std::nullopt;
}

bool id3FrameHoldsText(const uint8_t* tag, size_t size, size_t signature, size_t text) {
    auto layout = Id3v2::scan(tag, size);
    if (!layout || layout->unsynchronised) {
        return false;
    }
    const Id3v2::Frame* found = nullptr;
    for (const auto& frame : layout->list) {
        auto description = Id3v2::commentDescription(*layout, tag, frame);
        if (description && *description == u"iTunNORM") {
            if (found) {
                return false; // a second text: a rewrite through the tag must settle on one
            }
            found = &frame;
        }
    }
    return found && Id3v2::storedPlain(*layout, *found) && found->size >= 4 &&
           tag[found->body()] == 0 && signature == found->body() + 4 && text == signature + 9 &&
           // The frame holds the text alone (with its closing NUL): anything after it would
           // stay behind an in-place edit.
           (found->end() == text + 90 || (found->end() == text + 91 && tag[text + 90] == 0));
}

// The first ID3 chunk of an AIFF (big-endian sizes) or WAVE (little-endian) file.
std::optional<std::pair<size_t, size_t>> id3Chunk(const uint8_t* data, size_t size,
                                                  bool bigEndian) {
    for (size_t at = 12; size >= 8 && at <= size - 8;) {
        size_t length = bigEndian ? be32(data + at + 4) : le32(data + at + 4);
        if (length > size - at - 8) {
            return std::nullopt;
        }
        if (std::memcmp(data + at, "ID3 ", 4) == 0 || std::memcmp(data + at, "id3 ", 4) == 0) {
            return std::make_pair(at + 8, length);
        }
        at += 8 + length + (length & 1);
    }
    return std::nullopt;
}

// The item list moov/udta/meta/ilst.
std::optional<Atom> itemList(const Reader& read, uint64_t size) {
    auto moov = child(read, size, 0, size, "moov");
    auto udta = moov ? child(read, size, moov->body(), moov->end(), "udta") : std::nullopt;
    auto meta = udta ? child(read, size, udta->body(), udta->end(), "meta") : std::nullopt;
    return meta ? child(read, size, meta->body() + 4, meta->end(), "ilst") : std::nullopt;
}

// The text of a freeform item's "mean" or "name" atom (after its version and flags).
std::optional<std::string> freeformPart(const Reader& read, uint64_t size, const Atom& item,
                                        const char* type) {
    auto part = child(read, size, item.body(), item.end(), type);
    if (!part || part->size < part->header + 4 || part->size - part->header - 4 > 4096) {
        return std::nullopt;
    }
    std::string text(part->size - part->header - 4, '\0');
    if (!text.empty() &&
        !read(part->body() + 4, reinterpret_cast<uint8_t*>(text.data()), text.size())) {
        return std::nullopt;
    }
    return text;
}

// Calls each(item, name) for the atoms of the item list; false when the list is damaged.
template <typename Each>
bool forEachItem(const Reader& read, uint64_t size, const Atom& ilst, Each each) {
    for (uint64_t at = ilst.body(); at < ilst.end();) {
        auto item = atomAt(read, at, size);
        if (!item || item->end() > ilst.end()) {
            return false;
        }
        at = item->end();
        std::string name(item->type, 4);
        if (item->is("----")) {
            auto mean = freeformPart(read, size, *item, "mean");
            auto key = freeformPart(read, size, *item, "name");
            name += ":" + mean.value_or("") + ":" + key.value_or("");
        }
        each(*item, name);
    }
    return true;
}

bool mp4ItemHoldsText(const uint8_t* data, size_t size, size_t signature, size_t text) {
    auto read = memoryReader(data, size);
    auto ilst = itemList(read, size);
    if (!ilst) {
        return false;
    }
    int items = 0;
    bool holds = false;
    bool whole = forEachItem(read, size, *ilst, [&](const Atom& item, const std::string& name) {
        if (name != "----:com.apple.iTunes:iTunNORM") {
            return;
        }
        ++items;
        auto nameAtom = child(read, size, item.body(), item.end(), "name");
        int dataAtoms = 0;
        std::optional<Atom> first;
        for (uint64_t c = item.body(); c < item.end();) {
            auto part = atomAt(read, c, size);
            if (!part || part->end() > item.end()) {
                return;
            }
            if (part->is("data") && dataAtoms++ == 0) {
                first = part;
            }
            c = part->end();
        }
        holds = dataAtoms == 1 && nameAtom && nameAtom->body() + 4 == signature &&
                nameAtom->end() == signature + 8 && first->offset == signature + 8 &&
                first->size == 106 && first->header == 8 && text == first->body() + 8;
    });
    return whole && items == 1 && holds;
}

} // namespace

int mp4Nesting(const Reader& read, uint64_t size, int limit) {
    std::vector<uint64_t> ends; // ends of the containers we are inside
    uint64_t end = size;
    uint64_t at = 0;
    int deepest = 0;
    for (;;) {
        while (at < end) {
            auto atom = atomAt(read, at, size);
            if (!atom) {
                return deepest; // a reader stops here too
            }
            auto skip = containerSkip(*atom);
            if (skip && atom->header + *skip <= atom->size) {
                ends.push_back(end);
                end = atom->end();
                at = atom->body() + *skip;
                deepest = std::max(deepest, int(ends.size()));
                if (deepest > limit) {
                    return deepest;
                }
                continue;
            }
            at = atom->end();
        }
        if (ends.empty()) {
            return deepest;
        }
        // The reader goes on where the container's last child ended, which may lie past the
        // container's own end; going back to that end would read the same atoms again, once per
        // level, and a file built for it would take for ever.
        end = ends.back();
        ends.pop_back();
    }
}

std::optional<std::vector<std::string>> itemListAtoms(const Reader& read, uint64_t size) {
    auto ilst = itemList(read, size);
    if (!ilst) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    if (!forEachItem(read, size, *ilst,
                     [&](const Atom&, const std::string& name) { names.push_back(name); })) {
        return std::nullopt;
    }
    return names;
}

bool looksLikeMp4(const uint8_t* head, size_t n) {
    if (n < 8) {
        return false;
    }
    static const char* const types[] = {"ftyp", "moov", "mdat", "free", "skip", "wide"};
    for (const char* type : types) {
        if (std::memcmp(head + 4, type, 4) == 0) {
            return true;
        }
    }
    return false;
}

bool mp4NestingAcceptable(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return true; // nothing a reader could open either
    }
    struct stat st {};
    bool acceptable = true;
    uint8_t head[8];
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        ::pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) &&
        looksLikeMp4(head, sizeof head)) {
        Reader read = [fd](uint64_t offset, uint8_t* out, size_t n) {
            return ::pread(fd, out, n, off_t(offset)) == ssize_t(n);
        };
        acceptable = mp4Nesting(read, uint64_t(st.st_size), kMaxMp4Nesting) <= kMaxMp4Nesting;
    }
    ::close(fd);
    return acceptable;
}

namespace {

// Where a file keeps the text a player reads, told by its first bytes.
enum class Holder { None, Id3Tag, RiffChunk, Mp4Items };

Holder holderOf(const uint8_t* data, size_t size) {
    if (size >= 3 && std::memcmp(data, "ID3", 3) == 0) {
        return Holder::Id3Tag;
    }
    if (size >= 12 &&
        ((std::memcmp(data, "FORM", 4) == 0 &&
          (std::memcmp(data + 8, "AIFF", 4) == 0 || std::memcmp(data + 8, "AIFC", 4) == 0)) ||
         (std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WAVE", 4) == 0))) {
        return Holder::RiffChunk;
    }
    return looksLikeMp4(data, size) ? Holder::Mp4Items : Holder::None;
}

} // namespace

bool soundCheckTextEditableInPlace(const uint8_t* data, size_t size, size_t signature,
                                   size_t text) {
    switch (holderOf(data, size)) {
    case Holder::Id3Tag:
        return id3FrameHoldsText(data, size, signature, text);
    case Holder::RiffChunk: {
        auto chunk = id3Chunk(data, size, data[0] == 'F');
        return chunk && signature >= chunk->first &&
               id3FrameHoldsText(data + chunk->first, chunk->second, signature - chunk->first,
                                 text - chunk->first);
    }
    case Holder::Mp4Items:
        return mp4ItemHoldsText(data, size, signature, text);
    case Holder::None:
        break;
    }
    return false;
}

std::pair<size_t, size_t> inPlaceSignatureRange(const uint8_t* data, size_t size) {
    switch (holderOf(data, size)) {
    case Holder::Id3Tag:
        return {0, std::min(size, Id3v2::tagSize(data, size))};
    case Holder::RiffChunk:
        if (auto chunk = id3Chunk(data, size, data[0] == 'F')) {
            return {chunk->first, chunk->first + chunk->second};
        }
        break;
    case Holder::Mp4Items:
        if (auto ilst = itemList(memoryReader(data, size), size); ilst && ilst->offset < size) {
            return {size_t(ilst->offset), size_t(std::min<uint64_t>(size, ilst->end()))};
        }
        break;
    case Holder::None:
        break;
    }
    return {0, 0};
}

} // namespace sonorix::ContainerLayout
