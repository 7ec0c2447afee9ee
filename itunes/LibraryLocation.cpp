#include "itunes/LibraryLocation.h"

namespace sonorix {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
            int byte = high >= 0 && low >= 0 ? high * 16 + low : -1;
            // "%00" would cut the path short at the first system call; it stays as written, as
            // does a "%" without two hexadecimal digits.
            if (byte > 0) {
                out += static_cast<char>(byte);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

std::string pathFromLocation(std::string_view location, const LocationMap& map) {
    std::string path = percentDecode(location);
    if (startsWith(path, "file://localhost")) {
        path.erase(0, 16);
    } else if (startsWith(path, "file://")) {
        path.erase(0, 7);
    }
    // "/C:/Music/x.mp3" is a Windows drive path: "C:/Music/x.mp3", as the map's prefixes name it.
    if (path.size() >= 3 && path[0] == '/' && isLetter(path[1]) && path[2] == ':') {
        path.erase(0, 1);
    }
    // Collapse "dir/../"; a "/../" without a directory before it stops the collapsing.
    for (;;) {
        size_t p = path.find("/../");
        if (p == std::string::npos || p == 0) {
            break;
        }
        size_t slash = path.rfind('/', p - 1);
        if (slash == std::string::npos) {
            break;
        }
        path.erase(slash, p + 3 - slash);
    }
    for (const auto& prefix : map) {
        if (!prefix.from.empty() && startsWith(path, prefix.from)) {
            path.replace(0, prefix.from.size(), prefix.to);
            break;
        }
    }
    return path;
}

} // namespace sonorix
