#include "cli/Cli.h"

#include <cmath>
#include <cstdio>

namespace sonorix::cli {

std::string decimalText(double value, int decimals, bool plusSign) {
    if (!std::isfinite(value)) {
        return std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
    }
    const char* format = plusSign ? "%+.*f" : "%.*f";
    int length = std::snprintf(nullptr, 0, format, decimals, value);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, decimals, value);
    text.resize(static_cast<size_t>(length));
    // A small negative value prints as "-0.00", which reads as a change where there is none.
    if (text.find_first_of("123456789") == std::string::npos &&
        (text[0] == '-' || text[0] == '+')) {
        text.erase(0, 1);
    }
    return text;
}

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

} // namespace sonorix::cli
