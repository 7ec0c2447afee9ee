#pragma once

#include "cli/Cli.h"

#include <memory>
#include <string>

namespace sonorix {
class SonorixModel;
class SonorixPreferences;
class SonorixGroup;
} // namespace sonorix

namespace sonorix::cli {

// Loads the settings and the model of the library named by --library or the
// "iTunesLibraryXMLPath" setting. On failure prints the reason and returns an exit status
// other than kExitOk.
int loadModel(const GlobalOptions& options, SonorixPreferences& preferences,
              std::shared_ptr<SonorixModel>& model);

// The group named by title (case-insensitive), or the default group for an empty title; prints
// an error and returns null when there is no such group.
std::shared_ptr<SonorixGroup> findGroup(SonorixModel& model, const std::string& title);

// UTF-8 of a model text.
std::string utf8(const std::u16string& text);

} // namespace sonorix::cli
