#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sonorix {

// One rewrite of library locations: a path that starts with from gets to in its place. It lets a
// library written on Windows ("C:/Users/ann/Music/") or on a Mac ("/Users/ann/Music/") be used
// with the files mounted elsewhere.
struct LocationPrefix {
    std::string from;
    std::string to;
};
// Tried in order; the first prefix that matches is replaced.
using LocationMap = std::vector<LocationPrefix>;

// The file path of a library "Location" URL: percent-decoded bytes, without a leading
// "file://localhost" or "file://" (and without the "/" before a drive letter), "dir/../" collapsed,
// then the first matching prefix of the map replaced. Case and "/" are kept: paths here are
// compared byte for byte.
std::string pathFromLocation(std::string_view location, const LocationMap& map = {});

// True when path starts with the map prefix from. A "\" in from stands for "/", and a Windows
// drive letter matches in either case; everything else compares byte for byte.
bool locationPrefixMatches(std::string_view path, std::string_view from);

// The same path in the other Unicode normalisation form (NFC or NFD) when that one names an
// existing file and path does not; otherwise empty. Mac libraries keep names decomposed, while
// files copied to Linux usually have them composed.
std::string otherNormalizationThatExists(const std::string& path);

// True when the two UTF-8 paths are the same text up to Unicode normalisation.
bool sameNormalizedPath(const std::string& a, const std::string& b);

} // namespace sonorix
