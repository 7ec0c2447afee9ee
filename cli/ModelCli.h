#pragma once

#include "cli/Cli.h"

#include <memory>
#include <string>

namespace sonorix {
class SonorixModel;
class SonorixPreferences;
class SonorixGroup;
class FilterAndSortable;
} // namespace sonorix

namespace sonorix::cli {

struct ITunesConnection;

// Loads the settings, connects to iTunes (the library file named by --library, the
// "iTunesLibraryXMLPath" setting or found in the usual places) and loads the model of its
// library. On failure prints the reason and returns an exit status other than kExitOk.
int loadModel(const GlobalOptions& options, SonorixPreferences& preferences,
              std::shared_ptr<SonorixModel>& model);
// The same, keeping the connection for the caller.
int loadModel(const GlobalOptions& options, SonorixPreferences& preferences,
              std::shared_ptr<SonorixModel>& model, ITunesConnection& connection);

// The group named by title (case-insensitive), or the default group for an empty title; prints
// an error and returns null when there is no such group.
std::shared_ptr<SonorixGroup> findGroup(SonorixModel& model, const std::string& title);

// The track (its id as 'list --ids' shows it) or the album (its key) that text names, with the
// group that holds it; false when it names nothing.
bool findRow(SonorixModel& model, const std::string& text, std::shared_ptr<FilterAndSortable>& row,
             std::shared_ptr<SonorixGroup>& group);

// UTF-8 of a model text.
std::string utf8(const std::u16string& text);

} // namespace sonorix::cli
