#pragma once

#include <string>

namespace sonorix {

// The interface-language text of a key (the key itself when no table has it).
std::u16string modelText(const std::string& key);

} // namespace sonorix
