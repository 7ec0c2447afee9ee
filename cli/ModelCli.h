#pragma once

#include "cli/Cli.h"

#include <cstdint>

#include <memory>
#include <string>
#include <vector>

namespace sonorix {
class FilterAndSortable;
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
// Rows of the outline named on the command line, all from one group.
struct Selection {
    std::vector<std::shared_ptr<FilterAndSortable>> items;
    std::shared_ptr<SonorixGroup> group; // the group of the first item
};

// A persistent id in the library's spelling: up to 16 hex digits.
bool parsePersistentId(const std::string& text, uint64_t& id);

// Track ids and album keys as `list --ids` prints them; false (after printing which) when one
// names nothing or the rows are not all of one group.
bool resolveSelection(SonorixModel& model, const std::vector<std::string>& ids,
                      Selection& selection);

// UTF-8 of a model text.
std::string utf8(const std::u16string& text);

} // namespace sonorix::cli
