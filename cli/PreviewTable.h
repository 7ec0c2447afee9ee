#pragma once

namespace sonorix {
class AdjustmentPreview;
}

namespace sonorix::cli {

// One line per track (id, stored, would write, difference, name) and a closing count of the
// files that would change, on standard output.
void printPreview(const AdjustmentPreview& preview);

} // namespace sonorix::cli
