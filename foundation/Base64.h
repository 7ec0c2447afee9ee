#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sonorix {

// Standard alphabet with "=" padding, on one line.
std::string base64Encode(const uint8_t* bytes, size_t length);

// Lenient: characters outside the alphabet (line breaks, blanks) are skipped, decoding stops at
// the first "=", and a trailing group of two or three characters gives one or two bytes.
std::vector<uint8_t> base64Decode(std::string_view text);

} // namespace sonorix
