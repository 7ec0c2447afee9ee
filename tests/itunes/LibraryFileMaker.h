#pragma once

// Writes small iTunes library files with tracks and playlists for the connection tests.

#include "foundation/Value.h"
#include "itunes/DesktopLauncher.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sonorix::test {

struct MadeTrack {
    uint64_t persistentId = 0;
    int32_t trackId = 0;
    std::string name;
    std::string album;
    std::string artist;
    std::string location;         // a file URL; empty leaves it out
    int32_t volumeAdjustment = 0; // 0 leaves it out, as iTunes does
};

struct MadePlaylist {
    std::string name;
    std::vector<int32_t> trackIds;
    bool master = false;
};

inline std::string fileURL(const std::string& path) {
    return DesktopLauncher::fileURI(path);
}

inline bool writeLibraryFile(const std::string& path, const std::vector<MadeTrack>& tracks,
                             const std::vector<MadePlaylist>& playlists = {}) {
    DictRef root = makeDict();
    root->set("Major Version", makeInt32(1));
    root->set("Minor Version", makeInt32(1));
    root->set("Application Version", makeString(std::string("12.9.0.164")));
    root->set("Library Persistent ID", makeString(std::string("0123456789ABCDEF")));
    DictRef entries = makeDict();
    for (const auto& t : tracks) {
        DictRef d = makeDict();
        d->set("Track ID", makeInt32(t.trackId));
        d->set("Name", makeString(t.name));
        if (!t.album.empty()) {
            d->set("Album", makeString(t.album));
        }
        if (!t.artist.empty()) {
            d->set("Artist", makeString(t.artist));
        }
        d->set("Persistent ID", makeString(hexIdText(t.persistentId)));
        d->set("Track Type", makeString(std::string("File")));
        if (!t.location.empty()) {
            d->set("Location", makeString(t.location));
        }
        if (t.volumeAdjustment != 0) {
            d->set("Volume Adjustment", makeInt32(t.volumeAdjustment));
        }
        entries->set(std::to_string(t.trackId), d);
    }
    root->set("Tracks", entries);
    ArrayRef lists = makeArray();
    for (const auto& p : playlists) {
        DictRef d = makeDict();
        d->set("Name", makeString(p.name));
        if (p.master) {
            d->set("Master", makeBool(true));
        }
        ArrayRef items = makeArray();
        for (int32_t id : p.trackIds) {
            DictRef item = makeDict();
            item->set("Track ID", makeInt32(id));
            items->append(item);
        }
        d->set("Playlist Items", items);
        lists->append(d);
    }
    root->set("Playlists", lists);
    return root->writeXMLFile(path);
}

} // namespace sonorix::test
