#include "audio/Id3v2Layout.h"

#include "foundation/Text.h"

#include <cstring>

namespace sonorix::Id3v2 {
namespace {

constexpr size_t kHeader = 10;
constexpr size_t kNewPadding = 1024;
constexpr uint32_t kSyncsafeLimit = (1u << 28) - 1;

bool syncsafe(const uint8_t* p) {
    return !((p[0] | p[1] | p[2] | p[3]) & 0x80);
}

uint32_t fromSyncsafe(const uint8_t* p) {
    return uint32_t(p[0]) << 21 | uint32_t(p[1]) << 14 | uint32_t(p[2]) << 7 | p[3];
}

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void putSyncsafe(uint8_t* p, uint32_t v) {
    p[0] = (v >> 21) & 0x7F;
    p[1] = (v >> 14) & 0x7F;
    p[2] = (v >> 7) & 0x7F;
    p[3] = v & 0x7F;
}

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

bool validIdChar(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool validId(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (!validIdChar(p[i])) {
            return false;
        }
    }
    return true;
}

// Undoes unsynchronisation: every FF 00 loses its 00.
std::vector<uint8_t> resynchronise(const uint8_t* p, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(p[i]);
        if (p[i] == 0xFF && i + 1 < n && p[i + 1] == 0) {
            ++i;
        }
    }
    return out;
}

std::vector<uint8_t> unsynchronise(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out;
    out.reserve(in.size() + 8);
    for (size_t i = 0; i < in.size(); ++i) {
        out.push_back(in[i]);
        if (in[i] == 0xFF && (i + 1 == in.size() || in[i + 1] == 0 || in[i + 1] >= 0xE0)) {
            out.push_back(0);
        }
    }
    return out;
}

// Flags of version 2.4 frames (format byte) and 2.3 frames.
constexpr uint16_t k24Grouping = 0x0040;
constexpr uint16_t k24Compressed = 0x0008;
constexpr uint16_t k24Encrypted = 0x0004;
constexpr uint16_t k24Unsynchronised = 0x0002;
constexpr uint16_t k24LengthIndicator = 0x0001;
constexpr uint16_t k23Compressed = 0x0080;
constexpr uint16_t k23Encrypted = 0x0040;
constexpr uint16_t k23Grouping = 0x0020;

bool compressedOrEncrypted(const Layout& layout, const Frame& frame) {
    if (layout.version == 4) {
        return frame.flags & (k24Compressed | k24Encrypted);
    }
    return layout.version == 3 && (frame.flags & (k23Compressed | k23Encrypted));
}

std::vector<uint8_t> content(const Layout& layout, const uint8_t* tag, const Frame& frame) {
    if (compressedOrEncrypted(layout, frame)) {
        return {};
    }
    const uint8_t* p = layout.bytes(tag) + frame.body();
    size_t n = frame.size;
    auto skip = [&](size_t k) {
        k = k < n ? k : n;
        p += k;
        n -= k;
    };
    if (layout.version == 4) {
        if (frame.flags & k24Grouping) {
            skip(1);
        }
        if (frame.flags & k24LengthIndicator) {
            skip(4);
        }
        if ((frame.flags & k24Unsynchronised) || (layout.flags & 0x80)) {
            return resynchronise(p, n);
        }
    } else if (layout.version == 3 && (frame.flags & k23Grouping)) {
        skip(1);
    }
    return std::vector<uint8_t>(p, p + n);
}

// A 2.4 frame size is meant to be syncsafe, but some writers stored plain integers. Takes
// whichever reading ends the frame where the next frame or the padding begins.
size_t frameSize24(const uint8_t* base, size_t at, size_t end) {
    const uint8_t* p = base + at + 4;
    auto fits = [&](size_t size) {
        size_t next = at + kHeader + size;
        if (next > end) {
            return false;
        }
        return next == end || end - next < kHeader || base[next] == 0 || validId(base + next, 4);
    };
    if (!syncsafe(p)) {
        return be32(p);
    }
    size_t safe = fromSyncsafe(p);
    if (fits(safe)) {
        return safe;
    }
    size_t plain = be32(p);
    return fits(plain) ? plain : safe;
}

} // namespace

size_t tagSize(const uint8_t* data, size_t size) {
    if (size < kHeader || std::memcmp(data, "ID3", 3) != 0 || data[3] < 2 || data[3] > 4 ||
        data[4] == 0xFF || !syncsafe(data + 6)) {
        return 0;
    }
    size_t total = kHeader + fromSyncsafe(data + 6);
    if (data[3] == 4 && (data[5] & 0x10)) {
        total += kHeader;
    }
    return total;
}

std::optional<Layout> scan(const uint8_t* data, size_t size) {
    const size_t total = tagSize(data, size);
    if (total == 0 || total > size) {
        return std::nullopt;
    }
    Layout layout;
    layout.version = data[3];
    layout.flags = data[5];
    layout.size = total;
    // Version 2.2 "compression" was never defined; such a tag cannot be read.
    if (layout.version == 2 && (layout.flags & 0x40)) {
        return std::nullopt;
    }
    size_t end = kHeader + fromSyncsafe(data + 6);
    const uint8_t* base = data;
    if (layout.version < 4 && (layout.flags & 0x80)) {
        layout.unsynchronised = true;
        layout.restored.assign(data, data + kHeader);
        auto rest = resynchronise(data + kHeader, end - kHeader);
        layout.restored.insert(layout.restored.end(), rest.begin(), rest.end());
        base = layout.restored.data();
        end = layout.restored.size();
    }
    size_t at = kHeader;
    if (layout.version >= 3 && layout.hasExtendedHeader()) {
        if (end - at < 4) {
            return std::nullopt;
        }
        size_t ext = layout.version == 3 ? 4 + size_t(be32(base + at)) : fromSyncsafe(base + at);
        if ((layout.version == 4 && !syncsafe(base + at)) || ext < 6 || ext > end - at) {
            return std::nullopt;
        }
        at += ext;
    }
    layout.frames = at;
    const size_t header = layout.version == 2 ? 6 : kHeader;
    const size_t idLength = layout.version == 2 ? 3 : 4;
    while (end - at >= header && base[at] != 0) {
        if (!validId(base + at, idLength)) {
            break; // what follows is junk in the padding, as every reader treats it
        }
        Frame frame;
        frame.id.assign(reinterpret_cast<const char*>(base + at), idLength);
        frame.offset = at;
        frame.header = header;
        if (layout.version == 2) {
            frame.size = size_t(base[at + 3]) << 16 | size_t(base[at + 4]) << 8 | base[at + 5];
        } else {
            frame.size = layout.version == 4 ? frameSize24(base, at, end) : be32(base + at + 4);
            frame.flags = uint16_t(base[at + 8] << 8 | base[at + 9]);
        }
        if (frame.size > end - at - header) {
            return std::nullopt; // a frame running past the tag
        }
        layout.list.push_back(frame);
        at = frame.end();
    }
    layout.padding = at;
    return layout;
}

std::vector<uint8_t> frameContent(const Layout& layout, const uint8_t* tag, const Frame& frame) {
    return content(layout, tag, frame);
}

bool storedPlain(const Layout& layout, const Frame& frame) {
    if (layout.unsynchronised) {
        return false;
    }
    if (layout.version == 4) {
        return !(layout.flags & 0x80) &&
               !(frame.flags & (k24Grouping | k24Compressed | k24Encrypted | k24Unsynchronised |
                                k24LengthIndicator));
    }
    return layout.version == 2 || !(frame.flags & (k23Compressed | k23Encrypted | k23Grouping));
}

std::optional<std::u16string> commentDescription(const Layout& layout, const uint8_t* tag,
                                                 const Frame& frame) {
    if (frame.id != (layout.version == 2 ? "COM" : "COMM") ||
        compressedOrEncrypted(layout, frame)) {
        return std::nullopt;
    }
    auto body = content(layout, tag, frame);
    if (body.size() < 4) {
        return std::nullopt;
    }
    const uint8_t encoding = body[0];
    const uint8_t* p = body.data() + 4;
    const size_t n = body.size() - 4;
    std::u16string description;
    if (encoding == 0 || encoding == 3) {
        size_t length = 0;
        while (length < n && p[length] != 0) {
            ++length;
        }
        if (encoding == 0) {
            description.assign(p, p + length);
        } else {
            try {
                description = toUtf16(std::string_view(reinterpret_cast<const char*>(p), length));
            } catch (const TextConversionError&) {
                return std::nullopt;
            }
        }
        return description;
    }
    if (encoding != 1 && encoding != 2) {
        return std::nullopt;
    }
    bool bigEndian = encoding == 2;
    size_t i = 0;
    if (encoding == 1 && n >= 2) {
        if (p[0] == 0xFE && p[1] == 0xFF) {
            bigEndian = true;
            i = 2;
        } else if (p[0] == 0xFF && p[1] == 0xFE) {
            i = 2;
        }
    }
    for (; i + 1 < n; i += 2) {
        char16_t c = bigEndian ? char16_t(p[i] << 8 | p[i + 1]) : char16_t(p[i + 1] << 8 | p[i]);
        if (c == 0) {
            break;
        }
        description.push_back(c);
    }
    return description;
}

std::vector<uint8_t> commentBody(const std::u16string& description, const std::u16string& text,
                                 const char language[3]) {
    bool latin1 = true;
    for (char16_t c : description + text) {
        latin1 = latin1 && c < 256;
    }
    std::vector<uint8_t> body;
    body.push_back(latin1 ? 0 : 1);
    body.insert(body.end(), language, language + 3);
    auto put = [&](const std::u16string& s) {
        if (latin1) {
            body.insert(body.end(), s.begin(), s.end());
            return;
        }
        body.push_back(0xFF); // little-endian byte-order mark
        body.push_back(0xFE);
        for (char16_t c : s) {
            body.push_back(uint8_t(c & 0xFF));
            body.push_back(uint8_t(c >> 8));
        }
    };
    put(description);
    body.push_back(0);
    if (!latin1) {
        body.push_back(0);
    }
    put(text);
    return body;
}

std::optional<std::vector<uint8_t>> rewriteComment(const uint8_t* tag, size_t size,
                                                   const std::u16string& description,
                                                   const std::vector<uint8_t>& body,
                                                   bool removeOthers) {
    auto layout = scan(tag, size);
    if (!layout) {
        return std::nullopt;
    }
    const uint8_t* base = layout->bytes(tag);
    const bool v2 = layout->version == 2;
    const bool unsyncFrames = layout->version == 4 && (layout->flags & 0x80);

    std::vector<uint8_t> ours;
    if (!body.empty()) {
        std::vector<uint8_t> stored = unsyncFrames ? unsynchronise(body) : body;
        if (stored.size() > (v2 ? 0xFFFFFFu : kSyncsafeLimit)) {
            return std::nullopt;
        }
        const char* id = v2 ? "COM" : "COMM";
        ours.insert(ours.end(), id, id + (v2 ? 3 : 4));
        if (v2) {
            ours.push_back(uint8_t(stored.size() >> 16));
            ours.push_back(uint8_t(stored.size() >> 8));
            ours.push_back(uint8_t(stored.size()));
        } else {
            uint8_t sizeBytes[4];
            if (layout->version == 4) {
                putSyncsafe(sizeBytes, uint32_t(stored.size()));
            } else {
                putBe32(sizeBytes, uint32_t(stored.size()));
            }
            ours.insert(ours.end(), sizeBytes, sizeBytes + 4);
            ours.push_back(0);
            ours.push_back(unsyncFrames ? uint8_t(k24Unsynchronised) : 0);
        }
        ours.insert(ours.end(), stored.begin(), stored.end());
    }

    std::vector<uint8_t> frames;
    bool placed = false;
    for (const Frame& frame : layout->list) {
        auto d = commentDescription(*layout, tag, frame);
        if (d && *d == description) {
            if (!placed) {
                frames.insert(frames.end(), ours.begin(), ours.end());
                placed = true;
                continue;
            }
            if (removeOthers || body.empty()) {
                continue;
            }
        }
        frames.insert(frames.end(), base + frame.offset, base + frame.end());
    }
    if (!placed) {
        frames.insert(frames.end(), ours.begin(), ours.end());
    }

    // Keep the tag's size where the frames fit, so that nothing after it moves.
    size_t room = layout->size - kHeader;
    size_t space = frames.size() <= room ? room : frames.size() + kNewPadding;
    if (space > kSyncsafeLimit) {
        return std::nullopt;
    }
    std::vector<uint8_t> out(kHeader + space, 0);
    std::memcpy(out.data(), "ID3", 3);
    out[3] = uint8_t(layout->version);
    out[4] = tag[4];
    uint8_t flags = layout->flags & ~0x40 & ~0x10; // no extended header, no footer
    if (layout->unsynchronised) {
        flags &= ~0x80;
    }
    out[5] = flags;
    putSyncsafe(out.data() + 6, uint32_t(space));
    std::memcpy(out.data() + kHeader, frames.data(), frames.size());
    return out;
}

} // namespace sonorix::Id3v2
