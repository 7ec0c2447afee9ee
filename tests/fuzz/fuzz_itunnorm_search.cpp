// The search for a Sound Check text over arbitrary bytes, with an arbitrary hint: it must never
// read outside the buffer, and whatever it reports must be a complete, well-formed text.
#include "audio/iTunNORMTag.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace sonorix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int64_t hint = -1;
    if (size >= 4) {
        int32_t h;
        std::memcpy(&h, data, 4);
        hint = h;
        data += 4;
        size -= 4;
    }
    // An exact-size heap copy, so that AddressSanitizer catches a read one byte past the end.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size ? size : 1]);
    if (size) {
        std::memcpy(bytes.get(), data, size);
    }
    auto found = SoundCheckText::find(bytes.get(), size, hint);
    if (!found) {
        return 0;
    }
    if (found->signature + 99 > size || found->text + iTunNORMTag::kTextLength > size ||
        std::memcmp(bytes.get() + found->signature, "iTunNORM", 9) != 0 ||
        (found->text != found->signature + 9 && found->text != found->signature + 24)) {
        std::abort();
    }
    SoundCheckValues values;
    if (!SoundCheckText::parse(reinterpret_cast<const char*>(bytes.get() + found->text),
                               size - found->text, values) ||
        SoundCheckText::format(values).size() != iTunNORMTag::kTextLength) {
        std::abort();
    }
    return 0;
}
