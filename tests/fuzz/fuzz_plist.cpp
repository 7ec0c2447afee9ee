// Property-list reading over arbitrary bytes: never a crash, a hang or a leak. Every reading
// strategy must give the same values: the whole-document parse, the container-by-container walk,
// and the lazy reading that keeps the dictionaries under "Tracks" in the bytes (each one built,
// and each field read alone). Whatever reads back writes out and reads back again to the same
// document.
#include "foundation/PropertyList.h"
#include "foundation/Text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace sonorix;

namespace {

std::string xmlOf(const ValueRef& value) {
    DictRef holder = makeDict();
    if (value) {
        holder->set("v", value);
    }
    return holder->toXMLDocument();
}

void compareLazy(const uint8_t* data, size_t size, const DictRef& whole) {
    LazyDicts entries;
    DictRef root = readPropertyListLazily(data, size, u"Tracks", entries);
    if (!whole != !root) {
        std::abort();
    }
    if (!whole) {
        return;
    }
    DictRef tracks = asDict(whole->get("Tracks"));
    DictRef rest = makeDict();
    for (const auto& [key, value] : whole->items()) {
        if (key != u"Tracks") {
            rest->items().emplace(key, value);
        }
    }
    if (root->toXMLDocument() != rest->toXMLDocument()) {
        std::abort();
    }
    size_t expected = tracks ? tracks->count() : 0;
    if (entries.size() != expected) {
        std::abort();
    }
    for (const auto& [key, lazy] : entries) {
        DictRef dict = asDict(tracks->get(key));
        if (!dict != !lazy) {
            std::abort();
        }
        if (!dict) {
            continue;
        }
        if (lazy.toDict()->toXMLDocument() != dict->toXMLDocument()) {
            std::abort();
        }
        for (const auto& [field, value] : dict->items()) {
            if (xmlOf(lazy.get(field)) != xmlOf(value)) {
                std::abort();
            }
            // The getters that read a text straight from the bytes.
            const std::u16string text = dict->getString(field);
            if (lazy.getString(field) != text || lazy.hasText(field) != !text.empty() ||
                lazy.getHexId(field) != dict->getHexId(field)) {
                std::abort();
            }
            std::string utf8;
            bool converts = true;
            try {
                utf8 = toUtf8(text);
            } catch (const std::exception&) {
                converts = false;
            }
            try {
                if (!converts || lazy.getUtf8String(field) != utf8) {
                    std::abort();
                }
            } catch (const std::exception&) {
                if (converts) {
                    std::abort();
                }
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DictRef whole = detail::readPropertyListWhole(data, size);
    DictRef segmented = detail::readPropertyListSegmented(data, size);
    if (!whole != !segmented) {
        std::abort();
    }
    compareLazy(data, size, whole);
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
