#pragma once

#include <exception>

namespace sonorix {

// iTunes is not connected or names no library file. The model raises it too when it cannot load
// the library, so it lives with the connection, below the model.
class CantLoadiTunesException : public std::exception {
public:
    const char* what() const noexcept override { return "CantLoadiTunesException"; }
};

} // namespace sonorix
