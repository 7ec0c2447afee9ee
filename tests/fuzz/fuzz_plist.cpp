// Property-list reading over arbitrary bytes: never a crash, a hang or a leak. Both reading
// strategies must give the same values, and whatever reads back writes out and reads back again
// to the same document.
#include "foundation/PropertyList.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace sonorix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DictRef whole = detail::readPropertyListWhole(data, size);
    DictRef segmented = detail::readPropertyListSegmented(data, size);
    if (!whole != !segmented) {
        std::abort();
    }
    if (!whole) {
        return 0;
    }
    std::string text = whole->toXMLDocument();
    if (segmented->toXMLDocument() != text) {
        std::abort();
    }
    DictRef again = readPropertyList(text.data(), text.size());
    if (!again || again->toXMLDocument() != text) {
        std::abort(); // what we write must always read back
    }
    return 0;
}
