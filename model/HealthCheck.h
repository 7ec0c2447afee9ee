#pragma once

#include "audio/SoundCheck.h"
#include "audio/TagTexts.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonorix {

class iTunesTrack;
class SonorixModel;

// What a file's tags say about its loudness, against what Sonorix stored for it.
struct HealthReport {
    enum Problem {
        kNoText,             // not a problem by itself; counted
        kSeveralTexts,       // more than one place holds a Sound Check text
        kUnusualPlace,       // a user-text frame, an MP4 item spelt in another case, …
        kZeroValues,         // adjustment fields of 0 (or past 65534): players read no value
        kTruncated,          // fewer than ten fields
        kNotHexadecimal,     // a field that is not hexadecimal
        kLowerCase,          // hexadecimal digits in lower case
        kDisagreesWithStore, // the text's values are not those Sonorix stored
        kReplayGainDisagrees // a ReplayGain track gain more than 1 dB from Sonorix's measurement
    };

    uint64_t trackId = 0;
    std::u16string name;
    std::string path;
    bool readable = false;
    // Why the file was not read ("file not found", "tags not readable"), or why it has no
    // place for a text ("format without tags here"); empty otherwise.
    std::string note;
    std::vector<TagTexts::Place> soundCheck;
    std::vector<TagTexts::Place> replayGain;
    std::vector<Problem> problems;

    bool has(Problem problem) const;
    // Whether a repair changes the file: any problem but a disagreement with the ReplayGain
    // tags, which a repair of the Sound Check text does not touch.
    bool repairable() const;
};

// Problem names as the console prints them ("several texts", "zero values", …).
const char* problemName(HealthReport::Problem problem);

// Checks one file. stored: the Sound Check values Sonorix stored for the track; gain: its
// measured ReplayGain in dB.
HealthReport checkFile(const std::string& path, const std::optional<SoundCheckValues>& stored,
                       const std::optional<double>& gain);

// The same for a track of the model.
HealthReport checkTrack(SonorixModel& model, iTunesTrack& track);

// The values a repair leaves as the file's one text: Sonorix's stored values where it has
// them, else the first well-formed text found (the usual place first), else none.
std::optional<SoundCheckValues> repairValues(const HealthReport& report,
                                             const std::optional<SoundCheckValues>& stored);

// Counts per problem over many reports.
std::map<HealthReport::Problem, size_t> totals(const std::vector<HealthReport>& reports);

} // namespace sonorix
