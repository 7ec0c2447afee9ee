#pragma once

#include <string>

namespace sonorix {

// A random (version 4) UUID as 36 upper-case characters, 8-4-4-4-12, without braces.
std::string newUuidText();

} // namespace sonorix
