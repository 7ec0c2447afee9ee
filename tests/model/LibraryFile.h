#pragma once

// Writes iTunes library files for the model tests: tracks with the fields album formation,
// membership and the tag check look at.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sonorix::test {

struct LibraryTrack {
    uint64_t id = 0; // persistent id; 0 leaves "Persistent ID" out
    std::string name = "Song";
    std::string artist = "Band";
    std::string albumArtist;
    std::string album;
    std::string grouping;
    int disc = 1;
    int trackNumber = 1;
    bool compilation = false;
    bool gapless = false;
    bool video = false;
    std::string trackType = "File";
    int totalTimeMs = 200000;
    std::string location;         // file URL; empty gives a file that does not exist
    bool withoutLocation = false; // leaves "Location" out: a track kept only online
    std::string kind;             // "Kind"; empty leaves it out
    std::string dateModified;     // "2010-03-01T12:00:00Z"; empty leaves it out
    std::string extraXml;         // further <key>/value pairs, written as they are

    LibraryTrack& on(std::string a) {
        album = std::move(a);
        return *this;
    }
    LibraryTrack& by(std::string a) {
        artist = std::move(a);
        return *this;
    }
    LibraryTrack& named(std::string n) {
        name = std::move(n);
        return *this;
    }
    LibraryTrack& number(int n) {
        trackNumber = n;
        return *this;
    }
    LibraryTrack& discNo(int d) {
        disc = d;
        return *this;
    }
    LibraryTrack& comp() {
        compilation = true;
        return *this;
    }
    LibraryTrack& gap() {
        gapless = true;
        return *this;
    }
};

inline LibraryTrack track(uint64_t id) {
    LibraryTrack t;
    t.id = id;
    return t;
}

inline std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

inline std::string libraryXml(const std::vector<LibraryTrack>& tracks,
                              const std::string& version = "10.0.1",
                              const std::string& libraryId = "00A1B2C3D4E5F607") {
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
                    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                    "<plist version=\"1.0\">\n<dict>\n";
    x += "\t<key>Application Version</key><string>" + version + "</string>\n";
    x += "\t<key>Library Persistent ID</key><string>" + libraryId + "</string>\n";
    x += "\t<key>Tracks</key>\n\t<dict>\n";
    int trackId = 100;
    for (const auto& t : tracks) {
        x += "\t\t<key>" + std::to_string(trackId) + "</key>\n\t\t<dict>\n";
        auto str = [&](const char* key, const std::string& value) {
            x += std::string("\t\t\t<key>") + key + "</key><string>" + xmlEscape(value) +
                 "</string>\n";
        };
        auto num = [&](const char* key, long long value) {
            x += std::string("\t\t\t<key>") + key + "</key><integer>" + std::to_string(value) +
                 "</integer>\n";
        };
        auto flag = [&](const char* key, bool value) {
            if (value) {
                x += std::string("\t\t\t<key>") + key + "</key><true/>\n";
            }
        };
        num("Track ID", trackId++);
        if (t.id) {
            char hex[24];
            std::snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(t.id));
            str("Persistent ID", hex);
        }
        str("Name", t.name);
        str("Artist", t.artist);
        if (!t.albumArtist.empty())
            str("Album Artist", t.albumArtist);
        if (!t.album.empty())
            str("Album", t.album);
        if (!t.grouping.empty())
            str("Grouping", t.grouping);
        num("Disc Number", t.disc);
        num("Track Number", t.trackNumber);
        num("Total Time", t.totalTimeMs);
        flag("Compilation", t.compilation);
        flag("Part Of Gapless Album", t.gapless);
        flag("Has Video", t.video);
        str("Track Type", t.trackType);
        if (!t.kind.empty())
            str("Kind", t.kind);
        if (!t.withoutLocation) {
            char file[48];
            std::snprintf(file, sizeof file, "file:///nonexistent/%016llX.mp3",
                          static_cast<unsigned long long>(t.id));
            str("Location", t.location.empty() ? file : t.location);
        }
        if (!t.dateModified.empty()) {
            x += "\t\t\t<key>Date Modified</key><date>" + t.dateModified + "</date>\n";
        }
        x += t.extraXml;
        x += "\t\t</dict>\n";
    }
    x += "\t</dict>\n</dict>\n</plist>\n";
    return x;
}

} // namespace sonorix::test
