#include "model/ModelText.h"

#include "foundation/Localization.h"

namespace sonorix {

std::u16string modelText(const std::string& key) {
    std::u16string wide(key.begin(), key.end()); // keys are ASCII
    return Localization::shared().localizedString(wide);
}

} // namespace sonorix
