#include "cli/ModelCli.h"

#include "app/OutlineSort.h"
#include "audio/SoundCheck.h"
#include "foundation/Text.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <optional>

namespace sonorix::cli {

namespace {

// The adjustment column as the window draws it.
std::string adjustmentText(const SonorixStatus* status, std::optional<double> value) {
    if (status && status->getError() != 0) {
        return utf8(status->errorText());
    }
    if (!value) {
        return "no data";
    }
    return decimalText(std::round(*value * 10.0) / 10.0, 1) + " dB";
}

// The status column in words: what runs now, else what the stored results say.
std::string statusWord(const SonorixStatus* status, bool hasValue) {
    if (!status) {
        return "new";
    }
    if (status->isProcessing()) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "working %d %%",
                      static_cast<int>(std::floor(status->progress() * 100.0)));
        return buffer;
    }
    switch (status->getState()) {
    case kStateDone:
        return "adjusted";
    case kStateNoTag:
        return "no value";
    case kStateFailed:
        return "failed";
    default:
        break;
    }
    // After a restart the state is unknown until the tag is checked; the stored error still says.
    if (status->getError() == kErrorTag) {
        return "no value";
    }
    if (status->getError() != 0) {
        return "failed";
    }
    double gain = 0;
    double peak = 0;
    const bool measured = status->getGainAndPeak(gain, peak);
    if (hasValue) {
        return measured ? "adjusted" : "value set";
    }
    return measured ? "measured" : "new";
}

std::optional<SoundCheckValues> storedValues(const SonorixStatus* status) {
    SoundCheckValues values{};
    if (status && status->getTag(values)) {
        return values;
    }
    return std::nullopt;
}

// The id that 'adjust selected' and 'forget' take for a row.
std::string rowId(const iTunesTrack& track) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%016llX",
                  static_cast<unsigned long long>(ta::persistentId(track)));
    return buffer;
}

void printTrack(SonorixModel& model, iTunesTrack& track, uint32_t version, const char* indent,
                bool ids) {
    if (ids) {
        std::printf("%-18s ", rowId(track).c_str());
    }
    auto status = model.statusLibrary()->trackStatus(ta::persistentId(track), false);
    std::optional<double> value;
    if (auto values = storedValues(status.get())) {
        value = SoundCheck::playbackAdjustment(*values, version);
    }
    std::u16string artist = ta::artist(track);
    if (artist.empty()) {
        artist = ta::albumArtist(track);
    }
    std::printf("%s%-12s %-22s %s | %s | %s\n", indent,
                statusWord(status.get(), value.has_value()).c_str(),
                adjustmentText(status.get(), value).c_str(), utf8(ta::name(track)).c_str(),
                utf8(artist).c_str(), utf8(ta::album(track)).c_str());
}

// One group's albums and tracks, with its status line above them.
void printGroup(SonorixModel& model, const std::shared_ptr<SonorixGroup>& group,
                const std::string& search, const std::shared_ptr<const TrackSortOptions>& sort,
                bool check, bool ids) {
    group->setSearchText(toUtf16(search));
    group->setSortOptions(sort);
    const uint32_t version = ta::applicationVersion(*model.library());
    auto albums = group->visibleAlbums();
    if (check) {
        bool changed = false;
        for (const auto& album : albums) {
            for (const auto& track : album->visibleTracks()) {
                auto status = model.statusLibrary()->trackStatus(ta::persistentId(*track), true);
                changed |= status->checkTag(*track, false);
            }
        }
        if (changed) {
            model.save();
        }
    }
    std::printf("Group: %s\n%s\n\n", utf8(group->title()).c_str(),
                utf8(statusLine(group.get())).c_str());
    for (const auto& album : albums) {
        if (album->isSingleTrack()) {
            printTrack(model, *album->tracks().front(), version, "", ids);
            continue;
        }
        auto status = model.statusLibrary()->albumStatus(*album, false, true);
        std::vector<std::optional<SoundCheckValues>> texts;
        for (const auto& track : album->tracks()) {
            texts.push_back(storedValues(
                model.statusLibrary()->trackStatus(ta::persistentId(*track), false).get()));
        }
        auto present = SoundCheck::albumPresentAdjustment(texts, version);
        bool anyText = false;
        for (const auto& t : texts) {
            anyText |= t.has_value();
        }
        std::optional<double> value;
        if (anyText && present.uniform) {
            value = present.mean;
        }
        if (ids) {
            std::printf("%-18s ", utf8(album->albumKey()).c_str());
        }
        std::printf("%-12s %-22s [%s] %s | %s\n",
                    statusWord(status.get(), value.has_value()).c_str(),
                    adjustmentText(status.get(), value).c_str(), utf8(album->displayName()).c_str(),
                    utf8(album->albumArtist()).c_str(), utf8(album->albumTitle()).c_str());
        for (const auto& track : album->visibleTracks()) {
            printTrack(model, *track, version, "    ", ids);
        }
    }
}

// "artist,title": the first column decides first.
bool parseColumns(const std::string& text, std::vector<int32_t>& columns) {
    static const char* const kNames[] = {"status", "title", "artist", "album", "adjustment"};
    columns.clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string name = text.substr(start, end - start);
        for (auto& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        int32_t column = -1;
        for (int32_t i = 0; i < 5; ++i) {
            if (name == kNames[i]) {
                column = i;
            }
        }
        if (column < 0) {
            return false;
        }
        if (std::find(columns.begin(), columns.end(), column) == columns.end()) {
            columns.push_back(column);
        }
        start = end + 1;
    }
    return !columns.empty();
}

} // namespace

int runList(const GlobalOptions& options, const std::vector<std::string>& args) {
    if (wantsHelp(args)) {
        printCommandHelp("list");
        return kExitOk;
    }
    std::string title;
    std::string search;
    bool check = false;
    bool ids = false;
    bool all = false;
    bool descending = false;
    std::vector<int32_t> columns;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--descending") {
            descending = true;
        } else if (args[i] == "--sort" && i + 1 < args.size()) {
            if (!parseColumns(args[++i], columns)) {
                return usageError("--sort takes columns from status, title, artist, album, "
                                  "adjustment, separated by commas, not '" +
                                  args[i] + "'");
            }
        } else if (args[i] == "--check") {
            check = true;
        } else if (args[i] == "--ids") {
            ids = true;
        } else if (args[i] == "--all") {
            all = true;
        } else if ((args[i] == "--group" || args[i] == "--search") && i + 1 < args.size()) {
            (args[i] == "--group" ? title : search) = args[i + 1];
            ++i;
        } else {
            return usageError("unexpected argument '" + args[i] + "'");
        }
    }
    SonorixPreferences preferences;
    std::shared_ptr<SonorixModel> model;
    if (int status = loadModel(options, preferences, model)) {
        return status;
    }
    std::shared_ptr<const TrackSortOptions> sort;
    if (!columns.empty() || descending) {
        sort = std::make_shared<OutlineSortOptions>(model, columns, descending);
    }
    std::vector<std::shared_ptr<SonorixGroup>> groups;
    if (all) {
        for (size_t i = 0; i < model->groups()->count(); ++i) {
            groups.push_back(model->groups()->groupAt(i));
        }
    } else if (auto group = findGroup(*model, title)) {
        groups.push_back(group);
    } else {
        return kExitUsage;
    }
    for (size_t i = 0; i < groups.size(); ++i) {
        if (i > 0) {
            std::printf("\n");
        }
        printGroup(*model, groups[i], search, sort, check, ids);
    }
    return kExitOk;
}

} // namespace sonorix::cli
