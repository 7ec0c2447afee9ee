#include "cli/Cli.h"

#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "foundation/Value.h"
#include "itunes/iTunesLibrary.h"
#include "model/SonorixPreferences.h"

#include <cstdio>

namespace sonorix::cli {

int runInfo(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("info");
        return kExitOk;
    }
    if (!args.empty()) {
        return usageError(say("info takes no arguments besides --library FILE"));
    }
    if (options.library.empty()) {
        return usageError(say("info needs --library FILE"));
    }
    // The files are looked for where the other commands look: through the location map.
    SonorixPreferences preferences;
    preferences.read();
    LocationMap map;
    for (const auto& [from, to] : preferences.locationPrefixMap()) {
        map.push_back(LocationPrefix{from, to});
    }
    std::shared_ptr<iTunesLibrary> library;
    try {
        library = iTunesLibrary::load(options.library, std::move(map));
    } catch (const iTunesLibrary::CantLoadiTunesXMLException&) {
        std::fprintf(
            stderr, "sonorix-cli: %s\n",
            (fileExists(options.library)
                 ? sayf("cannot read the iTunes library file '%s'", options.library.c_str())
                 : sayf("cannot read the iTunes library file '%s': no such file",
                        options.library.c_str()))
                .c_str());
        return kExitStartupError;
    }
    size_t songs = 0;
    size_t found = 0;
    size_t videos = 0;
    size_t streams = 0;
    size_t noId = 0;
    size_t noFile = 0;
    size_t notAudio = 0;
    MissingFolders missing;
    for (const auto& [id, track] : library->tracks()) {
        switch (track->exclusion()) {
        case TrackExclusion::None: {
            ++songs;
            const std::string path = track->filePath(false, false, false);
            if (missing.holdFolderOf(path)) {
                break;
            }
            bool exists = false; // one look, not a second stat of the path found
            track->filePath(true, false, false, &exists);
            if (exists) {
                ++found;
            } else {
                missing.noteMissingFile(path);
            }
            break;
        }
        case TrackExclusion::Video:
            ++videos;
            break;
        case TrackExclusion::Stream:
            ++streams;
            break;
        case TrackExclusion::NoPersistentId:
            ++noId;
            break;
        case TrackExclusion::NoFile:
            ++noFile;
            break;
        case TrackExclusion::NotAudio:
            ++notAudio;
            break;
        }
    }
    std::printf("%s\n",
                sayf("Library Persistent ID: %s", hexIdText(library->libraryPersistentId()).c_str())
                    .c_str());
    std::printf("%s\n", sayf("Application Version: %s (0x%X)",
                             toUtf8(library->applicationVersionText()).c_str(),
                             library->applicationVersion())
                            .c_str());
    std::printf("%s\n", sayf("Tracks: %zu", library->tracks().size()).c_str());
    std::string left;
    auto add = [&left](size_t count, const std::string& what) {
        if (count > 0) {
            left += (left.empty() ? "" : say(", ")) + what;
        }
    };
    add(videos, videos == 1 ? say("1 video") : sayf("%zu videos", videos));
    add(streams, streams == 1 ? say("1 stream") : sayf("%zu streams", streams));
    add(notAudio, sayf("%zu not audio", notAudio));
    add(noFile, sayf("%zu without a file", noFile));
    add(noId, sayf("%zu without a persistent id", noId));
    if (!left.empty()) {
        std::printf("%s\n", sayf("Not in any group: %s", left.c_str()).c_str());
    }
    std::printf("%s\n", sayf("Files found: %zu of %zu", found, songs).c_str());
    // Left to the end of the process: freeing a large library track by track takes a good part
    // of the time it took to read it.
    static auto* kept = new std::shared_ptr<iTunesLibrary>(std::move(library));
    (void)kept;
    return kExitOk;
}

} // namespace sonorix::cli
