#include "model/StatusDisplay.h"

#include <algorithm>
#include <cmath>

namespace sonorix {
namespace {

// floor(progress * 20) kept to 0..19, so a finished item still shows the last step.
int progressStep(double progress) {
    double step = std::floor(progress * 20.0);
    return static_cast<int>(std::clamp(step, 0.0, 19.0));
}

} // namespace

double progressFraction(double total, double done) {
    if (!(total > 0.0)) {
        return 0.0;
    }
    return std::clamp(done / total, 0.0, 1.0);
}

const char* errorTextKey(int32_t error, int32_t fileError) {
    switch (error) {
    case kErrorFile:
        switch (fileError) {
        case kFileErrorNotFound:
            return "Error_File_NotFound";
        case kFileErrorOpen:
            return "Error_File_Open";
        case kFileErrorEmpty:
            return "Error_File_Empty";
        case kFileErrorTooLarge:
            return "Error_File_TooLarge";
        case kFileErrorMmap:
            return "Error_File_Mmap";
        case kFileErrorSave:
            return "Error_File_Save";
        case kFileErrorUnsafe:
            return "Error_File_Unsafe";
        case kFileErrorTagUnreadable:
            return "Error_File_TagUnreadable";
        case kFileErrorNotRegular:
            return "Error_File_NotRegular";
        case kFileErrorNoSpace:
            return "Error_File_NoSpace";
        case kFileErrorNameTooLong:
            return "Error_File_NameTooLong";
        case kFileErrorReadOnlyVolume:
            return "Error_File_ReadOnlyVolume";
        case kFileErrorChanged:
            return "Error_File_Changed";
        default:
            return "Error_File_Unknown";
        }
    case kErrorTag:
        return "Error_Tag";
    case kErrorDecode:
        return "Error_Decode";
    case kErrorProtected:
        return "Error_Protected";
    case kErrorSilent:
        return "Error_Silent";
    case kErrorAnalyze:
        return "Error_Analyze";
    case kErrorUnsupported:
        return "Error_Unsupported";
    default:
        return "Error_Unknown";
    }
}

std::string statusIconName(bool processing, double progress, int32_t state, bool white) {
    std::string name;
    if (processing) {
        name = "progress" + std::to_string(progressStep(progress) + 1);
    } else if (state == kStateDone) {
        name = "success";
    } else if (state == kStateFailed) {
        name = "warning";
    } else {
        return name;
    }
    if (white) {
        name += "_white";
    }
    return name;
}

int32_t statusSortRank(bool processing, double progress, int32_t state, int32_t error,
                       int32_t fileError, bool preferAdjusted, bool adjustedMarker) {
    if (processing) {
        return 19 - progressStep(progress);
    }
    switch (state) {
    case kStateNone:
        return 20;
    case kStateFailed:
        // Later file errors rank with the save failure, before the tracks without a value.
        return error == kErrorFile ? 29 + std::clamp<int32_t>(fileError, 0, kFileErrorSave)
                                   : 21 + error;
    case kStateNoTag:
        return 36;
    case kStateDone:
        return preferAdjusted && adjustedMarker ? 37 : 38;
    default:
        return 999;
    }
}

} // namespace sonorix
