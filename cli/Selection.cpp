#include "cli/ModelCli.h"

#include "foundation/Text.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"

#include <cstdio>
#include <cstdlib>

namespace sonorix::cli {

bool parsePersistentId(const std::string& text, uint64_t& id) {
    if (text.empty() || text.size() > 16) {
        return false;
    }
    char* end = nullptr;
    id = std::strtoull(text.c_str(), &end, 16);
    return end && *end == '\0';
}

bool findRow(SonorixModel& model, const std::string& text, std::shared_ptr<FilterAndSortable>& row,
             std::shared_ptr<SonorixGroup>& group) {
    auto groups = model.groups();
    uint64_t id = 0;
    if (parsePersistentId(text, id)) {
        if (auto track = model.library()->track(id)) {
            group = groups->groupOfTrack(id);
            row = track;
            return group != nullptr;
        }
    }
    std::u16string key = toUtf16(text);
    for (size_t i = 0; i < groups->count(); ++i) {
        for (const auto& album : groups->groupAt(i)->albums()) {
            if (album->albumKey() == key) {
                group = groups->groupAt(i);
                row = album;
                return true;
            }
        }
    }
    return false;
}

bool resolveSelection(SonorixModel& model, const std::vector<std::string>& ids,
                      Selection& selection) {
    for (const auto& text : ids) {
        std::shared_ptr<FilterAndSortable> item;
        std::shared_ptr<SonorixGroup> group;
        findRow(model, text, item, group);
        if (!item || !group) {
            std::fprintf(stderr,
                         "sonorix-cli: no track or album '%s' (see 'sonorix-cli list --ids')\n",
                         text.c_str());
            return false;
        }
        if (!selection.group) {
            selection.group = group;
        } else if (group != selection.group) {
            std::fprintf(stderr,
                         "sonorix-cli: '%s' is in the group '%s'; a selection is taken from one "
                         "group only ('%s')\n",
                         text.c_str(), utf8(group->title()).c_str(),
                         utf8(selection.group->title()).c_str());
            return false;
        }
        selection.items.push_back(item);
    }
    return true;
}

} // namespace sonorix::cli
