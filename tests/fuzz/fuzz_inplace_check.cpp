// The structure checks behind in-place edits, over arbitrary bytes taken as a file. They must
// never read outside the buffer, and a text they accept must lie where changing its digits
// changes nothing else: the tag's frames (or the item list's atoms) read the same afterwards, and
// it must lie where the search for such texts looks.
// The tag rewrite that keeps frames is fuzzed on the same input.
#include "audio/ContainerLayout.h"
#include "audio/Id3v2Layout.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace sonorix;

namespace {

struct FrameShape {
    std::string id;
    size_t offset, size;
    bool operator==(const FrameShape& o) const {
        return id == o.id && offset == o.offset && size == o.size;
    }
};

std::vector<FrameShape> shapeOf(const uint8_t* data, size_t size) {
    std::vector<FrameShape> shape;
    if (auto layout = Id3v2::scan(data, size)) {
        for (const auto& f : layout->list) {
            shape.push_back({f.id, f.offset, f.size});
        }
        shape.push_back({"padding", layout->padding, layout->size});
    }
    return shape;
}

std::vector<std::string> itemsOf(const uint8_t* data, size_t size) {
    ContainerLayout::Reader read = [&](uint64_t offset, uint8_t* out, size_t n) {
        if (offset > size || n > size - offset) {
            return false;
        }
        std::memcpy(out, data + offset, n);
        return true;
    };
    return ContainerLayout::itemListAtoms(read, size).value_or(std::vector<std::string>{"none"});
}

bool hex(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    // An exact-size heap copy, so that AddressSanitizer catches a read one byte past the end.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size ? size : 1]);
    if (size) {
        std::memcpy(bytes.get(), input, size);
    }
    uint8_t* data = bytes.get();
    static const char signature[9] = {'i', 'T', 'u', 'n', 'N', 'O', 'R', 'M', '\0'};
    for (size_t at = 0; size >= 99 && at <= size - 99;) {
        const void* hit = ::memmem(data + at, size - at, signature, 9);
        if (!hit) {
            break;
        }
        size_t sig = size_t(static_cast<const uint8_t*>(hit) - data);
        for (size_t text : {sig + 9, sig + 24}) {
            if (text + 90 > size) {
                continue;
            }
            bool digits = true;
            for (int i = 0; i < 10; ++i) {
                digits = digits && data[text + 9 * i] == ' ';
                for (int k = 1; k <= 8; ++k) {
                    digits = digits && hex(data[text + 9 * i + k]);
                }
            }
            if (!digits || !ContainerLayout::soundCheckTextEditableInPlace(data, size, sig, text)) {
                continue;
            }
            // Accepted: where the search for such texts looks.
            auto [from, to] = ContainerLayout::inPlaceSignatureRange(data, size);
            if (sig < from || sig >= to) {
                std::abort();
            }
            // An edit of the digits must leave the structure as it was.
            auto frames = shapeOf(data, size);
            auto items = itemsOf(data, size);
            std::vector<uint8_t> edited(data, data + size);
            for (int i = 0; i < 10; ++i) {
                std::memcpy(edited.data() + text + 9 * i + 1, "0123ABCD", 8);
            }
            if (shapeOf(edited.data(), size) != frames || itemsOf(edited.data(), size) != items ||
                !ContainerLayout::soundCheckTextEditableInPlace(edited.data(), size, sig, text)) {
                std::abort();
            }
        }
        at = sig + 1;
    }

    // The rewrite keeps every other frame byte for byte, and holds exactly one of ours.
    if (auto rewritten = Id3v2::rewriteComment(data, size, u"iTunNORM",
                                               Id3v2::commentBody(u"iTunNORM", u"x"), true)) {
        auto before = Id3v2::scan(data, size);
        auto after = Id3v2::scan(rewritten->data(), rewritten->size());
        if (!before || !after) {
            std::abort();
        }
        std::vector<std::vector<uint8_t>> kept;
        for (const auto& f : before->list) {
            auto d = Id3v2::commentDescription(*before, data, f);
            if (!(d && *d == u"iTunNORM")) {
                const uint8_t* base = before->bytes(data);
                kept.emplace_back(base + f.offset, base + f.end());
            }
        }
        std::vector<std::vector<uint8_t>> found;
        int ours = 0;
        for (const auto& f : after->list) {
            auto d = Id3v2::commentDescription(*after, rewritten->data(), f);
            if (d && *d == u"iTunNORM") {
                ++ours;
            } else {
                found.emplace_back(rewritten->data() + f.offset, rewritten->data() + f.end());
            }
        }
        if (found != kept || ours != 1) {
            std::abort();
        }
    }
    return 0;
}
