#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sonorix {
class iTunesTrack;
}

namespace sonorix::cli {

class SonorixControllerConsole;

// The tracks a command works on: all, group TITLE, selected ID…, files PATH….
struct TrackChoice {
    std::string kind = "all";
    std::vector<std::string> rest;
};

// Parses the words after the options; prints a usage error and returns its status otherwise 0.
int parseTrackChoice(const std::vector<std::string>& words, TrackChoice& choice);

// The switches a command takes before its choice, each with the flag it sets.
using Switches = std::vector<std::pair<std::string_view, bool*>>;

// Parses the switches, then the choice of tracks; prints a usage error and returns its status,
// otherwise 0.
int parseSwitchesAndChoice(const std::vector<std::string>& args, const Switches& switches,
                           TrackChoice& choice);

// The library tracks chosen; false (after printing why) when the choice names nothing.
bool chosenTracks(SonorixControllerConsole& console, const TrackChoice& choice,
                  std::vector<std::shared_ptr<iTunesTrack>>& tracks);

// Asks question on standard error and reads the answer from standard input; only "y" or "yes"
// agrees, and an input that ended answers no.
bool confirm(const std::string& question);

} // namespace sonorix::cli
