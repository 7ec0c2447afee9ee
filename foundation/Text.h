#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace sonorix {

// Text is UTF-16 inside the system and UTF-8 in files and paths. Xerces-C's UTF-8 transcoder does
// every conversion between the two; it is created on first use and shared by all threads.

// Raised when UTF-8 input holds an undecodable sequence.
class TextConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws TextConversionError for invalid UTF-8.
std::u16string toUtf16(std::string_view utf8);
// Characters that cannot be encoded (lone surrogates) are replaced, never thrown.
std::string toUtf8(std::u16string_view utf16);

// value with the given decimals, signed ("+1.50", "-0.25") when plusSign is set; a value that
// rounds to zero has no sign ("0.00", never "-0.00").
std::string decimalText(double value, int decimals, bool plusSign = true);

// Lower case by Xerces-C's rules (the same service that compares text elsewhere).
std::u16string toLowerCase(std::u16string_view text);

// Initialises Xerces-C for the process on construction of the first guard and terminates it when
// the last one goes away. The conversions above hold a process-wide guard of their own, so front
// ends need one only to control when Xerces shuts down.
class XercesGuard {
public:
    XercesGuard();
    ~XercesGuard();
    XercesGuard(const XercesGuard&) = delete;
    XercesGuard& operator=(const XercesGuard&) = delete;
};

} // namespace sonorix
