// Property-list reading over arbitrary bytes: never a crash, a hang or a leak; whatever reads back
// writes out and reads back again to the same document.
#include "foundation/PropertyList.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sonorix::DictRef root = sonorix::readPropertyList(data, size);
    if (!root) {
        return 0;
    }
    std::string text = root->toXMLDocument();
    sonorix::DictRef again = sonorix::readPropertyList(text.data(), text.size());
    if (!again) {
        std::abort(); // what we write must always read back
    }
    if (again->toXMLDocument() != text) {
        std::abort();
    }
    return 0;
}
