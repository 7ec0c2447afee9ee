#include "cli/Cli.h"

#include "foundation/Localization.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace sonorix::cli {

std::string tsvField(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

namespace {

std::string fill(const std::string& format, va_list args) {
    va_list again;
    va_copy(again, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int size = std::vsnprintf(nullptr, 0, format.c_str(), args);
    std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0) {
        std::vsnprintf(out.data(), out.size() + 1, format.c_str(), again);
    }
#pragma GCC diagnostic pop
    va_end(again);
    return out;
}

} // namespace

std::string say(const char* english) {
    return Localization::shared().windowText(english);
}

std::string sayIf(bool translate, const char* english) {
    return translate ? say(english) : english;
}

std::string sayf(const char* english, ...) {
    va_list args;
    va_start(args, english);
    std::string out = fill(say(english), args);
    va_end(args);
    return out;
}

std::string sayfIf(bool translate, const char* english, ...) {
    va_list args;
    va_start(args, english);
    std::string out = fill(sayIf(translate, english), args);
    va_end(args);
    return out;
}

} // namespace sonorix::cli
