#include "cli/TrackChoice.h"

#include "cli/ModelCli.h"
#include "cli/SonorixControllerConsole.h"

#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <set>

namespace sonorix::cli {

int parseTrackChoice(const std::vector<std::string>& words, TrackChoice& choice) {
    if (words.empty()) {
        return kExitOk;
    }
    choice.kind = words[0];
    choice.rest.assign(words.begin() + 1, words.end());
    if (choice.kind == "all") {
        if (!choice.rest.empty()) {
            return usageError("'all' takes no arguments");
        }
    } else if (choice.kind == "group") {
        if (choice.rest.size() != 1) {
            return usageError("'group' takes one group title");
        }
    } else if (choice.kind == "selected" || choice.kind == "files") {
        if (choice.rest.empty()) {
            return usageError(
                "'" + choice.kind + "' needs " +
                (choice.kind == "files" ? "audio file paths" : "track ids or album keys"));
        }
    } else {
        return usageError("unknown selection '" + choice.kind + "' (all, group, selected, files)");
    }
    return kExitOk;
}

int parseSwitchesAndChoice(const std::vector<std::string>& args, const Switches& switches,
                           TrackChoice& choice) {
    std::vector<std::string> words;
    for (const auto& a : args) {
        auto known = std::find_if(switches.begin(), switches.end(),
                                  [&a](const auto& entry) { return entry.first == a; });
        if (known != switches.end()) {
            *known->second = true;
        } else if (!a.empty() && a[0] == '-' && words.empty()) {
            return usageError("unknown option '" + a + "'");
        } else {
            words.push_back(a);
        }
    }
    return parseTrackChoice(words, choice);
}

bool chosenTracks(SonorixControllerConsole& console, const TrackChoice& choice,
                  std::vector<std::shared_ptr<iTunesTrack>>& tracks) {
    auto model = console.model();
    auto groups = model->groups();
    std::set<std::shared_ptr<iTunesTrack>> seen;
    auto take = [&](const std::shared_ptr<SonorixGroup>& group) {
        for (const auto& album : group->albums()) {
            for (const auto& track : album->tracks()) {
                if (seen.insert(track).second) {
                    tracks.push_back(track);
                }
            }
        }
    };
    if (choice.kind == "all") {
        for (size_t i = 0; i < groups->count(); ++i) {
            take(groups->groupAt(i));
        }
    } else if (choice.kind == "group") {
        auto group = findGroup(*model, choice.rest[0]);
        if (!group) {
            return false;
        }
        take(group);
    } else if (choice.kind == "selected") {
        Selection selection;
        if (!resolveSelection(*model, choice.rest, selection)) {
            return false;
        }
        console.setCurrentGroup(selection.group, true);
        console.tracksTable().setSelectedItems(selection.items);
        for (const auto& track : console.selectedTracks()) {
            if (seen.insert(track).second) {
                tracks.push_back(track);
            }
        }
    } else if (auto iTunes = console.iTunes()) {
        try {
            for (const auto& track : iTunes->selectedTracks(*model->library())) {
                if (seen.insert(track).second) {
                    tracks.push_back(track);
                }
            }
        } catch (const SonorixModel::CantLoadiTunesException&) {
        }
        if (tracks.empty()) {
            std::fprintf(stderr, "sonorix-cli: none of these files is a track of the library\n");
            return false;
        }
    }
    return true;
}

bool confirm(const std::string& question) {
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        std::fprintf(stderr, "\n");
        return false;
    }
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

} // namespace sonorix::cli
