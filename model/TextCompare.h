#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sonorix {

// Text comparisons of album formation. Both give <0, 0 or >0 and ignore case the way
// Xerces-C's case-insensitive comparison does.

// Case-insensitive comparison of the whole texts; an empty text sorts after every other one.
int comparePlain(std::u16string_view a, std::u16string_view b);
// The same for whole strings, without copying them.
int comparePlainStrings(const std::u16string& a, const std::u16string& b);

// Compares the letters of two texts ("A"-"Z", "a"-"z" and everything above U+007F), so that
// "Best Of" and "best-of!" sort together. A text without letters sorts after one with letters,
// an empty text after both. Equal letters fall back to the plain comparison of the full texts.
int compareLettersOnly(const std::u16string& a, const std::u16string& b);

// The letters of a text. Forms are kept for the life of the process, shared by all threads:
// album order compares the same few thousand texts hundreds of thousands of times.
const std::u16string& lettersOnly(const std::u16string& text);

// compareLettersOnly over texts whose letter forms the caller already has.
int compareLettersOnly(const std::u16string& a, const std::u16string& lettersA,
                       const std::u16string& b, const std::u16string& lettersB);

// A text prepared for many comparisons: case-folded once, code point by code point, as the
// case-insensitive comparison folds it at every call.
struct FoldedText {
    std::u32string folded;
    std::u32string foldedLetters;
    bool empty = true;
    bool noLetters = true;
    // The order's first few letters in one number: texts whose keys differ compare as their
    // keys do, so most comparisons of a sort read no string.
    uint64_t key = UINT64_MAX;
};
FoldedText foldedText(const std::u16string& text);
// compareLettersOnly of two prepared texts: the same order without folding again.
int compareLettersOnly(const FoldedText& a, const FoldedText& b);

} // namespace sonorix
