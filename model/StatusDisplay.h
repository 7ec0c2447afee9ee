#pragma once

#include <cstdint>
#include <string>

namespace sonorix {

// Display states of a track or album status.
enum StatusState : int32_t {
    kStateNone = 0,   // nothing to report
    kStateDone = 1,   // the Sound Check value is in place
    kStateNoTag = 2,  // the file has no Sound Check value yet
    kStateFailed = 3, // "error" and "fileError" say what went wrong
};

// Error codes stored under "error".
enum StatusError : int16_t {
    kErrorNone = 0,
    kErrorFile = 1,
    kErrorTag = 2,
    kErrorDecode = 3,
    kErrorProtected = 4,
    kErrorSilent = 5,
    kErrorAnalyze = 6,
    kErrorUnsupported = 7,
};

// File error codes stored under "fileError" (meaningful with kErrorFile).
enum StatusFileError : int16_t {
    kFileErrorNone = 0,
    kFileErrorNotFound = 1,
    kFileErrorOpen = 2,
    kFileErrorEmpty = 3,
    kFileErrorTooLarge = 4,
    kFileErrorMmap = 5,
    kFileErrorSave = 6,
    kFileErrorNotRegular = 7,
    kFileErrorNoSpace = 8,
    kFileErrorNameTooLong = 9,
    kFileErrorReadOnlyVolume = 10,
    kFileErrorChanged = 11,
    // Kept apart from the codes above so that new everyday reasons can follow them.
    kFileErrorUnsafe = 40,        // the file crashed a reader, or is built to
    kFileErrorTagUnreadable = 41, // its tag holds frames that cannot be kept on saving
};

// progressDone / progressTotal within 0..1; 0 while nothing was announced.
double progressFraction(double total, double done);

// The text key of an error ("Error_File_NotFound", "Error_Unknown", ...).
const char* errorTextKey(int32_t error, int32_t fileError);

// Icon of a row: "progress1".."progress20" while processing, "success"/"warning" by state,
// empty otherwise; white variants for selected rows.
std::string statusIconName(bool processing, double progress, int32_t state, bool white);

// Rank for ordering rows by status, lower first.
int32_t statusSortRank(bool processing, double progress, int32_t state, int32_t error,
                       int32_t fileError, bool preferAdjusted, bool adjustedMarker);

} // namespace sonorix
