#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
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

// Folders found missing, in every normalisation form, during one pass over many tracks: a library
// whose files are not where it says (copied from another computer, a drive not mounted) would
// otherwise have each of its files looked for in both forms. Only for one pass: a folder may
// appear later.
class MissingFolders {
public:
    // True when the folder of path was found missing before.
    bool holdFolderOf(std::string_view path) const;
    // Looks for the folder of path, which was itself not found, once for each folder.
    void noteMissingFile(std::string_view path);

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>()(text);
        }
    };
    using Folders = std::unordered_set<std::string, Hash, std::equal_to<>>;
    Folders m_missing;
    Folders m_present;
};

// True when the two UTF-8 paths are the same text up to Unicode normalisation.
bool sameNormalizedPath(const std::string& a, const std::string& b);

} // namespace sonorix
