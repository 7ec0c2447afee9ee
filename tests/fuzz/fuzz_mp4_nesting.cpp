// The MPEG-4 nesting scan and item-list walk over arbitrary bytes: they must end, never read
// outside the buffer, and agree with a plain recursive count wherever that count stays shallow.
#include "audio/ContainerLayout.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace sonorix;

namespace {

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The recursive reading a tag library does, written the obvious way; depth capped for safety.
int recursive(const uint8_t* d, uint64_t fileSize, uint64_t& at, uint64_t end, int depth,
              bool& stop) {
    int deepest = depth;
    if (depth >= 200) {
        stop = true;
        return deepest;
    }
    while (!stop && at < end) {
        if (fileSize < 8 || at > fileSize - 8) {
            stop = true;
            break;
        }
        uint64_t size = be32(d + at);
        uint64_t header = 8;
        if (size == 0) {
            size = fileSize - at;
        } else if (size == 1) {
            if (fileSize < 16 || at > fileSize - 16) {
                stop = true;
                break;
            }
            size = uint64_t(be32(d + at + 8)) << 32 | be32(d + at + 12);
            header = 16;
        }
        if (size < header) {
            stop = true;
            break;
        }
        size = std::min(size, fileSize - at);
        char type[5] = {};
        std::memcpy(type, d + at + 4, 4);
        std::string t = type;
        int skip = -1;
        for (const char* c :
             {"moov", "udta", "mdia", "ilst", "stbl", "minf", "moof", "traf", "trak"}) {
            if (t == c) {
                skip = 0;
            }
        }
        skip = t == "meta" ? 4 : t == "stsd" ? 8 : skip;
        uint64_t atomEnd = at + size;
        if (skip >= 0 && header + uint64_t(skip) <= size) {
            uint64_t child = at + header + uint64_t(skip);
            deepest = std::max(deepest, recursive(d, fileSize, child, atomEnd, depth + 1, stop));
            at = child; // where the last child ended, as a reader's position would be
            continue;
        }
        at = atomEnd;
    }
    return deepest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size ? size : 1]);
    if (size) {
        std::memcpy(bytes.get(), input, size);
    }
    const uint8_t* data = bytes.get();
    ContainerLayout::Reader read = [&](uint64_t offset, uint8_t* out, size_t n) {
        if (offset > size || n > size - offset) {
            return false;
        }
        std::memcpy(out, data + offset, n);
        return true;
    };
    const int limit = 64;
    int nesting = ContainerLayout::mp4Nesting(read, size, limit);
    if (nesting < 0 || nesting > limit + 1) {
        std::abort();
    }
    uint64_t at = 0;
    bool stop = false;
    int expected = recursive(data, size, at, size, 0, stop);
    if (std::min(expected, limit + 1) != nesting) {
        std::abort();
    }
    ContainerLayout::itemListAtoms(read, size);
    return 0;
}
