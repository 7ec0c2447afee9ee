// Feeds arbitrary bytes to the resource archive reader and to the .strings parser.
#include "foundation/Localization.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if (data[0] & 1) {
        sonorix::parseStringsTable({reinterpret_cast<const char*>(data + 1), size - 1});
        return 0;
    }
    auto archive = sonorix::ResourceArchive::fromBytes({data + 1, size - 1});
    for (const auto& name : archive->names()) {
        archive->entry(name);
    }
    return 0;
}
