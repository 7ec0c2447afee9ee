#include "model/TextCompare.h"

#include "foundation/Text.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <xercesc/util/XMLString.hpp>

#include <algorithm>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace sonorix {
namespace {

// compareIString goes through the transcoding service, so Xerces must be up for the whole
// process lifetime of these comparisons.
void ensureXerces() {
    static XercesGuard guard;
}

bool isLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c > 0x7F;
}

struct LettersCache {
    std::shared_mutex mutex;
    // Nodes of an unordered_map never move, so references to values stay valid while the
    // map grows; entries are never erased.
    std::unordered_map<std::u16string, std::u16string> forms;
};

LettersCache& lettersCache() {
    static auto* cache = new LettersCache; // never destroyed: used up to process exit
    return *cache;
}

} // namespace

namespace {

int compareTerminated(const char16_t* a, const char16_t* b) {
    ensureXerces();
    return xercesc::XMLString::compareIString(reinterpret_cast<const XMLCh*>(a),
                                              reinterpret_cast<const XMLCh*>(b));
}

} // namespace

int comparePlain(std::u16string_view a, std::u16string_view b) {
    if (a.empty() || b.empty()) {
        return a.empty() == b.empty() ? 0 : (a.empty() ? 1 : -1);
    }
    // compareIString needs terminated strings; texts from the library have no NUL inside.
    std::u16string ta(a), tb(b);
    return compareTerminated(ta.c_str(), tb.c_str());
}

int comparePlainStrings(const std::u16string& a, const std::u16string& b) {
    if (a.empty() || b.empty()) {
        return a.empty() == b.empty() ? 0 : (a.empty() ? 1 : -1);
    }
    return compareTerminated(a.c_str(), b.c_str());
}

const std::u16string& lettersOnly(const std::u16string& text) {
    LettersCache& cache = lettersCache();
    {
        std::shared_lock lock(cache.mutex);
        auto it = cache.forms.find(text);
        if (it != cache.forms.end()) {
            return it->second;
        }
    }
    std::u16string letters;
    letters.reserve(text.size());
    for (char16_t c : text) {
        if (isLetter(c)) {
            letters.push_back(c);
        }
    }
    std::unique_lock lock(cache.mutex);
    return cache.forms.try_emplace(text, std::move(letters)).first->second;
}

int compareLettersOnly(const std::u16string& a, const std::u16string& lettersA,
                       const std::u16string& b, const std::u16string& lettersB) {
    if (a.empty() || b.empty()) {
        return a.empty() == b.empty() ? 0 : (a.empty() ? 1 : -1);
    }
    if (lettersA.empty() != lettersB.empty()) {
        return lettersA.empty() ? 1 : -1;
    }
    int result = comparePlainStrings(lettersA, lettersB);
    if (result == 0) {
        result = comparePlainStrings(a, b);
    }
    return result;
}

int compareLettersOnly(const std::u16string& a, const std::u16string& b) {
    if (a.empty() || b.empty()) {
        return a.empty() == b.empty() ? 0 : (a.empty() ? 1 : -1);
    }
    return compareLettersOnly(a, lettersOnly(a), b, lettersOnly(b));
}

namespace {

std::u32string foldedCodePoints(const std::u16string& text) {
    std::u32string folded;
    folded.reserve(text.size());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U16_NEXT(text.data(), i, length, c);
        folded.push_back(static_cast<char32_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT)));
    }
    return folded;
}

int compareFolded(const std::u32string& a, const std::u32string& b) {
    const int r = a.compare(b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

FoldedText foldedForms(const std::u16string& text) {
    FoldedText prepared;
    prepared.empty = text.empty();
    if (std::any_of(text.begin(), text.end(), [](char16_t c) { return U16_IS_SURROGATE(c); })) {
        // Dropping punctuation can pair surrogates that were apart: fold the letters as a text
        // of their own, as the comparison does.
        prepared.folded = foldedCodePoints(text);
        const std::u16string& letters = lettersOnly(text);
        prepared.noLetters = letters.empty();
        prepared.foldedLetters = foldedCodePoints(letters);
        return prepared;
    }
    // One pass without the shared letters cache: folding a code point never depends on its
    // neighbours, so the letters' fold is the fold of the letters.
    prepared.folded.reserve(text.size());
    prepared.foldedLetters.reserve(text.size());
    for (char16_t c : text) {
        // ASCII folds to its lower case; the table lookup is for the rest.
        const auto f = c < 0x80 ? static_cast<char32_t>(c >= u'A' && c <= u'Z' ? c + 32 : c)
                                : static_cast<char32_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT));
        prepared.folded.push_back(f);
        if (isLetter(c)) {
            prepared.foldedLetters.push_back(f);
        }
    }
    prepared.noLetters = prepared.foldedLetters.empty();
    return prepared;
}

// Empty texts last, then texts without letters, then the first three folded letters (21 bits
// each, none after the end): the order compareLettersOnly gives wherever two keys differ.
uint64_t orderKey(const FoldedText& text) {
    if (text.empty) {
        return UINT64_MAX;
    }
    if (text.noLetters) {
        return UINT64_MAX - 1;
    }
    uint64_t key = 0;
    for (size_t i = 0; i < 3; ++i) {
        const char32_t c = i < text.foldedLetters.size() ? text.foldedLetters[i] : 0;
        key = (key << 21) | (c & 0x1FFFFF);
    }
    return key;
}

} // namespace

FoldedText foldedText(const std::u16string& text) {
    FoldedText prepared = foldedForms(text);
    prepared.key = orderKey(prepared);
    return prepared;
}

int compareLettersOnly(const FoldedText& a, const FoldedText& b) {
    if (a.key != b.key) {
        return a.key < b.key ? -1 : 1;
    }
    if (a.empty || b.empty) {
        return a.empty == b.empty ? 0 : (a.empty ? 1 : -1);
    }
    if (a.noLetters != b.noLetters) {
        return a.noLetters ? 1 : -1;
    }
    if (int r = compareFolded(a.foldedLetters, b.foldedLetters)) {
        return r;
    }
    return compareFolded(a.folded, b.folded);
}

} // namespace sonorix
