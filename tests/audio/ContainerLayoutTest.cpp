#include "audio/ContainerLayout.h"
#include "audio/Id3v2Layout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

using namespace sonorix;

namespace {

const std::string kText =
    " 000003E8 000003E8 000009C4 000009C4 00000000 00000000 00000000 00000000 00000000 00000000";

std::string be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string syncsafe(uint32_t v) {
    return {char((v >> 21) & 0x7F), char((v >> 14) & 0x7F), char((v >> 7) & 0x7F), char(v & 0x7F)};
}
std::string frame(const std::string& id, const std::string& body, uint16_t flags = 0) {
    return id + be32(uint32_t(body.size())) + char(flags >> 8) + char(flags & 0xFF) + body;
}
std::string norm(const std::string& tail = std::string(1, '\0')) {
    return frame("COMM", std::string("\0eng", 4) + std::string("iTunNORM\0", 9) + kText + tail);
}
std::string tag(const std::string& frames, int version = 3, uint8_t flags = 0) {
    return "ID3" + std::string{char(version), 0, char(flags)} +
           syncsafe(uint32_t(frames.size() + 32)) + frames + std::string(32, '\0');
}
std::string atom(const std::string& type, const std::string& body) {
    return be32(uint32_t(8 + body.size())) + type + body;
}
std::string item(const std::string& text, int dataAtoms = 1) {
    std::string flags(4, '\0');
    std::string data;
    for (int i = 0; i < dataAtoms; ++i) {
        data += atom("data", std::string("\0\0\0\1\0\0\0\0", 8) + text);
    }
    return atom("----",
                atom("mean", flags + "com.apple.iTunes") + atom("name", flags + "iTunNORM") + data);
}
std::string mp4(const std::string& items) {
    std::string flags(4, '\0');
    return atom("ftyp", "M4A \0\0\0\0") +
           atom("moov", atom("udta", atom("meta", flags + atom("ilst", items))));
}

// Whether the text behind the first signature may be edited in place.
bool editable(const std::string& bytes) {
    size_t sig = bytes.find(std::string("iTunNORM\0", 9));
    EXPECT_NE(sig, std::string::npos);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    bool id3 = bytes.compare(sig + 9, 1, " ") == 0;
    return ContainerLayout::soundCheckTextEditableInPlace(data, bytes.size(), sig,
                                                          sig + (id3 ? 9 : 24));
}

int nesting(const std::string& bytes) {
    ContainerLayout::Reader read = [&](uint64_t offset, uint8_t* out, size_t n) {
        if (offset > bytes.size() || n > bytes.size() - offset) {
            return false;
        }
        std::memcpy(out, bytes.data() + offset, n);
        return true;
    };
    return ContainerLayout::mp4Nesting(read, bytes.size(), 64);
}

} // namespace

TEST(InPlaceEdit, OnlyTheOneTextAPlayerReads) {
    EXPECT_TRUE(editable(tag(norm())));
    EXPECT_TRUE(editable(tag(frame("TIT2", std::string("\0Song", 5)) + norm(), 4)));
    EXPECT_TRUE(editable(mp4(item(kText))));
    // Elsewhere in a tag or a file: a user-text frame, a second comment, more after the text.
    EXPECT_FALSE(editable(tag(frame("TXXX", std::string("\0iTunNORM\0", 10) + kText))));
    EXPECT_FALSE(editable(tag(norm() + norm())));
    EXPECT_FALSE(editable(tag(norm(std::string("\0 0000FFFF", 10)))));
    EXPECT_FALSE(editable(tag(norm(), 3, 0x80))); // unsynchronised tag
    EXPECT_FALSE(editable(
        tag(frame("COMM", std::string("\0eng", 4) + std::string("iTunNORM\0", 9) + kText + '\0',
                  0x0080)))); // compressed frame
    EXPECT_FALSE(editable(std::string(4000, 'x') + std::string("iTunNORM\0", 9) + kText + '\0'));
    EXPECT_FALSE(editable(mp4(item(kText) + item(kText))));
    EXPECT_FALSE(editable(mp4(item(kText, 2))));
}

TEST(InPlaceEdit, AnAiffOrWaveFileHoldsItsTagInAChunk) {
    std::string t = tag(norm());
    if (t.size() % 2) {
        t += '\0';
    }
    std::string aiff =
        "FORM" + be32(uint32_t(4 + 8 + t.size())) + "AIFF" + "ID3 " + be32(uint32_t(t.size())) + t;
    EXPECT_TRUE(editable(aiff));
    auto le32 = [](uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    std::string wave =
        "RIFF" + le32(uint32_t(4 + 8 + t.size())) + "WAVE" + "id3 " + le32(uint32_t(t.size())) + t;
    EXPECT_TRUE(editable(wave));
}

TEST(Mp4Nesting, CountedWithoutRecursionAndWithoutWrappingAround) {
    EXPECT_EQ(nesting(mp4(item(kText))), 4); // moov, udta, meta, ilst
    std::string deep;
    const int levels = 100000;
    for (int i = 0; i < levels; ++i) {
        deep += be32(uint32_t(8 * (levels - i))) + "moov";
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_GT(nesting(deep), 64);
    // A 64-bit size that would wrap the end around to the start must not loop.
    std::string wrap = atom("ftyp", "M4A \0\0\0\0") + be32(1) + "moov" +
                       std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xF0", 8) + atom("moov", "");
    EXPECT_LE(nesting(wrap), 2);
    // A small container whose one child runs to the end of the file, and so on: a walk that went
    // back to each small container's end would read everything after it again at every level,
    // twice as often per level.
    std::string overlapping;
    const uint32_t units = 30;
    const uint32_t length = units * 16 + 8;
    for (uint32_t i = 0; i < units; ++i) {
        overlapping += be32(16) + "moov" + be32(length - (16 * i + 8)) + "moov";
    }
    overlapping += atom("free", "");
    EXPECT_EQ(nesting(overlapping), 60);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(Id3v2Rewrite, KeepsEveryOtherFrameAndTheTagSize) {
    std::string other = frame("TIT2", std::string("\0Song", 5)) + frame("XYZW", "keep me", 0x8000) +
                        frame("PRIV", std::string("o\0\xFF", 3));
    for (int version : {3, 4}) {
        std::string original = tag(other + norm() + norm(), version); // two texts
        auto body = Id3v2::commentBody(u"iTunNORM", u"new");
        auto out = Id3v2::rewriteComment(reinterpret_cast<const uint8_t*>(original.data()),
                                         original.size(), u"iTunNORM", body, true);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->size(), original.size());
        std::string text(out->begin(), out->end());
        EXPECT_EQ(text.substr(10, other.size()), other);
        auto layout = Id3v2::scan(out->data(), out->size());
        ASSERT_TRUE(layout);
        ASSERT_EQ(layout->list.size(), 4u);
        EXPECT_EQ(layout->list[3].id, "COMM");
    }
    // An extended header is dropped; the frames stay.
    std::string ext = tag(std::string("\0\0\0\6\0\0\0\0\0\0", 10) + other, 3, 0x40);
    auto out = Id3v2::rewriteComment(reinterpret_cast<const uint8_t*>(ext.data()), ext.size(),
                                     u"iTunNORM", Id3v2::commentBody(u"iTunNORM", u"x"), true);
    ASSERT_TRUE(out);
    EXPECT_EQ((*out)[5] & 0x40, 0);
    EXPECT_EQ(std::string(out->begin() + 10, out->begin() + 10 + long(other.size())), other);
}
