#include "cli/PreviewTable.h"

#include "foundation/Text.h"
#include "foundation/Value.h"
#include "processing/AdjustmentPlan.h"

#include <cstdio>
#include <optional>
#include <string>

namespace sonorix::cli {

namespace {

std::string figure(const std::optional<double>& value) {
    return value ? decimalText(*value, 1) + " dB" : std::string("-");
}

} // namespace

void printPreview(const AdjustmentPreview& preview) {
    const auto rows = preview.rows();
    std::printf("%-16s  %10s  %10s  %10s  %-7s  %s\n", "TRACK", "STORED", "WOULD WRITE",
                "DIFFERENCE", "CHANGE", "NAME");
    for (const auto& row : rows) {
        std::string change = row.changes ? "yes" : "no";
        std::string name = toUtf8(row.name);
        if (row.limitedByPeak) {
            name += " (capped at peak)";
        }
        if (!row.note.empty()) {
            name += " (" + row.note + ")";
        }
        std::printf("%-16s  %10s  %10s  %10s  %-7s  %s\n", hexIdText(row.trackId).c_str(),
                    figure(row.stored).c_str(), figure(row.planned).c_str(),
                    figure(row.difference()).c_str(), change.c_str(), name.c_str());
    }
    std::printf("%zu of %zu files would change; nothing was written.\n", preview.changeCount(),
                rows.size());
}

} // namespace sonorix::cli
