#include "itunes/LibraryLocation.h"

#include "foundation/Paths.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

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
    size_t i = 0;
    while (i < text.size()) {
        size_t percent = text.find('%', i);
        if (percent == std::string_view::npos) {
            out.append(text, i);
            break;
        }
        out.append(text, i, percent - i);
        i = percent;
        int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
        int byte = high >= 0 && low >= 0 ? high * 16 + low : -1;
        // "%00" would cut the path short at the first system call; it stays as written, as does
        // a "%" without two hexadecimal digits.
        if (byte > 0) {
            out += static_cast<char>(byte);
            i += 3;
        } else {
            out += '%';
            ++i;
        }
    }
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool startsWithDrive(std::string_view text) {
    return text.size() >= 2 && isLetter(text[0]) && text[1] == ':';
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

// The text in NFC (composed) or NFD; empty when it is not valid UTF-8, so that no made-up name
// with replacement characters is ever looked for.
std::string normalized(const std::string& text, bool composed) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = composed ? icu::Normalizer2::getNFCInstance(status)
                                                  : icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) {
        return {};
    }
    icu::UnicodeString source = icu::UnicodeString::fromUTF8(text);
    std::string check;
    source.toUTF8String(check);
    if (check != text) {
        return {};
    }
    icu::UnicodeString result = normalizer->normalize(source, status);
    if (U_FAILURE(status)) {
        return {};
    }
    std::string out;
    result.toUTF8String(out);
    return out;
}

// True when the text is already in that form (or is no valid UTF-8): then normalized() gives
// nothing other than the text. A check on the UTF-8 itself, without converting.
bool alreadyNormalized(const std::string& text, bool composed) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = composed ? icu::Normalizer2::getNFCInstance(status)
                                                  : icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) {
        return false;
    }
    const bool same = normalizer->isNormalizedUTF8(icu::StringPiece(text), status);
    return U_SUCCESS(status) && same;
}

} // namespace

bool locationPrefixMatches(std::string_view path, std::string_view from) {
    if (from.empty() || path.size() < from.size()) {
        return false;
    }
    // Windows names the drive in either case; iTunes writes upper case, people type both.
    const bool drive = startsWithDrive(from) && startsWithDrive(path);
    for (size_t i = 0; i < from.size(); ++i) {
        char f = from[i] == '\\' ? '/' : from[i];
        char p = path[i];
        if (drive && i == 0) {
            f = lowerAscii(f);
            p = lowerAscii(p);
        }
        if (f != p) {
            return false;
        }
    }
    return true;
}

std::string otherNormalizationThatExists(const std::string& path) {
    if (isAscii(path)) {
        return {};
    }
    for (bool composed : {true, false}) {
        if (alreadyNormalized(path, composed)) {
            continue; // the same name: nothing else to look for
        }
        std::string other = normalized(path, composed);
        if (!other.empty() && other != path && fileExists(other)) {
            return other;
        }
    }
    return {};
}

namespace {

// The folder part of an absolute path; empty for a relative path or "/" itself.
std::string_view folderOf(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos || slash == 0 ? std::string_view()
                                                         : path.substr(0, slash);
}

} // namespace

bool MissingFolders::holdFolderOf(std::string_view path) const {
    std::string_view folder = folderOf(path);
    return !folder.empty() && m_missing.find(folder) != m_missing.end();
}

void MissingFolders::noteMissingFile(std::string_view path) {
    std::string_view view = folderOf(path);
    if (view.empty() || m_present.find(view) != m_present.end() ||
        m_missing.find(view) != m_missing.end()) {
        return;
    }
    std::string folder(view);
    // A file's other form is its folder's other form plus its name's, "/" being left alone by
    // normalisation: with the folder missing in every form, so is every file in it.
    if (fileExists(folder) || !otherNormalizationThatExists(folder).empty()) {
        m_present.insert(std::move(folder));
    } else {
        m_missing.insert(std::move(folder));
    }
}

bool sameNormalizedPath(const std::string& a, const std::string& b) {
    if (a == b) {
        return true;
    }
    if (isAscii(a) && isAscii(b)) {
        return false;
    }
    std::string na = normalized(a, true);
    return !na.empty() && na == normalized(b, true);
}

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
        if (locationPrefixMatches(path, prefix.from)) {
            path.replace(0, prefix.from.size(), prefix.to);
            break;
        }
    }
    return path;
}

} // namespace sonorix
