#pragma once

#include "cli/Cli.h"

#include <memory>
#include <string>

namespace sonorix {
class iTunesBackendLibraryFile;
class iTunesController;
class SonorixPreferences;
} // namespace sonorix

namespace sonorix::cli {

// The iTunes connection of a console run: the library file named by --library, the
// "iTunesLibraryXMLPath" setting or found in the usual places. Alerts go to standard error and
// take their only button.
struct ITunesConnection {
    std::shared_ptr<iTunesBackendLibraryFile> backend;
    std::shared_ptr<iTunesController> controller;
};

// Connects with the settings in preferences (already loaded). On a start-up error prints its
// message and returns kExitStartupError; kExitOk otherwise.
int connectITunes(const GlobalOptions& options, const SonorixPreferences& preferences,
                  ITunesConnection& connection);

// Prints the alert of a start-up error (code 1–4, or the connection's own) and returns
// kExitStartupError. context names the library file when there is one.
int reportStartupError(ITunesConnection& connection, int code, const std::string& context = {});

} // namespace sonorix::cli
