#include "cli/Cli.h"

#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "foundation/Value.h"
#include "itunes/iTunesLibrary.h"

#include <cstdio>

namespace sonorix::cli {

int runInfo(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("info");
        return kExitOk;
    }
    if (!args.empty()) {
        return usageError("info takes no arguments besides --library FILE");
    }
    if (options.library.empty()) {
        return usageError("info needs --library FILE");
    }
    std::shared_ptr<iTunesLibrary> library;
    try {
        library = iTunesLibrary::load(options.library);
    } catch (const iTunesLibrary::CantLoadiTunesXMLException&) {
        std::fprintf(stderr, "sonorix-cli: cannot read the iTunes library file '%s'\n",
                     options.library.c_str());
        return kExitStartupError;
    }
    size_t found = 0;
    for (const auto& [id, track] : library->tracks()) {
        if (fileExists(track->filePath(true, false, false))) {
            ++found;
        }
    }
    std::printf("Library Persistent ID: %s\n", hexIdText(library->libraryPersistentId()).c_str());
    std::printf("Application Version: %s (0x%X)\n",
                toUtf8(library->applicationVersionText()).c_str(), library->applicationVersion());
    std::printf("Tracks: %zu\n", library->tracks().size());
    std::printf("Files found: %zu of %zu\n", found, library->tracks().size());
    return kExitOk;
}

} // namespace sonorix::cli
