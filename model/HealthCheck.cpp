#include "model/HealthCheck.h"

#include "audio/iTunNORMTag.h"
#include "foundation/CrashJournal.h"
#include "foundation/Paths.h"
#include "foundation/Value.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace sonorix {

namespace {

constexpr double kReplayGainTolerance = 1.0;

void add(HealthReport& report, HealthReport::Problem problem) {
    if (!report.has(problem)) {
        report.problems.push_back(problem);
    }
}

// The problems of one text's form; values set when it reads as ten fields.
void checkForm(HealthReport& report, const std::string& raw, std::optional<SoundCheckValues>& out) {
    const std::string text = raw.substr(0, raw.find('\0'));
    std::istringstream words(text);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) {
        fields.push_back(word);
    }
    bool hex = true;
    bool lowerCase = false;
    for (const auto& field : fields) {
        for (unsigned char c : field) {
            if (!std::isxdigit(c)) {
                hex = false;
            } else if (std::islower(c)) {
                lowerCase = true;
            }
        }
    }
    if (!hex) {
        add(report, HealthReport::kNotHexadecimal);
    }
    if (fields.size() < 10 || text.size() < iTunNORMTag::kTextLength) {
        add(report, HealthReport::kTruncated);
    }
    if (lowerCase) {
        add(report, HealthReport::kLowerCase);
    }
    SoundCheckValues values{};
    if (SoundCheckText::parseTolerant(text, values)) {
        if (!SoundCheckText::plausible(values)) {
            add(report, HealthReport::kZeroValues);
        } else if (!out) {
            out = values;
        }
    }
}

} // namespace

bool HealthReport::has(Problem problem) const {
    return std::find(problems.begin(), problems.end(), problem) != problems.end();
}

bool HealthReport::repairable() const {
    return std::any_of(problems.begin(), problems.end(),
                       [](Problem p) { return p != kNoText && p != kReplayGainDisagrees; });
}

const char* problemName(HealthReport::Problem problem) {
    switch (problem) {
    case HealthReport::kNoText:
        return "no Sound Check text";
    case HealthReport::kSeveralTexts:
        return "several texts";
    case HealthReport::kUnusualPlace:
        return "text in an unusual place";
    case HealthReport::kZeroValues:
        return "zero values";
    case HealthReport::kTruncated:
        return "truncated text";
    case HealthReport::kNotHexadecimal:
        return "not hexadecimal";
    case HealthReport::kLowerCase:
        return "lower-case digits";
    case HealthReport::kDisagreesWithStore:
        return "differs from Sonorix's result";
    case HealthReport::kReplayGainDisagrees:
        return "ReplayGain differs by more than 1 dB";
    }
    return "";
}

HealthReport checkFile(const std::string& path, const std::optional<SoundCheckValues>& stored,
                       const std::optional<double>& gain) {
    HealthReport report;
    report.path = path;
    if (path.empty() || !fileExists(path)) {
        report.note = "file not found";
        return report;
    }
    if (!TagTexts::takesReplayGain(path)) {
        report.readable = true;
        report.note = "format without tags here";
        return report;
    }
    const TagTexts::Survey survey = TagTexts::survey(path);
    report.readable = survey.readable;
    report.soundCheck = survey.soundCheck;
    report.replayGain = survey.replayGain;
    if (!survey.readable) {
        report.note = "tags not readable";
        return report;
    }
    if (survey.soundCheck.empty() && !TagTexts::replayGainOnly(path)) {
        add(report, HealthReport::kNoText);
    }
    if (survey.soundCheck.size() > 1) {
        add(report, HealthReport::kSeveralTexts);
    }
    std::optional<SoundCheckValues> usual;
    std::optional<SoundCheckValues> any;
    for (const auto& place : survey.soundCheck) {
        if (!place.canonical) {
            add(report, HealthReport::kUnusualPlace);
        }
        checkForm(report, place.text, place.canonical ? usual : any);
    }
    const auto found = usual ? usual : any;
    if (stored && found && *found != *stored) {
        add(report, HealthReport::kDisagreesWithStore);
    }
    if (gain) {
        for (const auto& place : survey.replayGain) {
            const auto colon = place.where.rfind(':');
            std::string key =
                colon == std::string::npos ? place.where : place.where.substr(colon + 1);
            std::transform(key.begin(), key.end(), key.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            if (key != "REPLAYGAIN_TRACK_GAIN") {
                continue;
            }
            const auto tagged = TagTexts::parseGain(place.text);
            if (!tagged || std::fabs(*tagged - *gain) > kReplayGainTolerance) {
                add(report, HealthReport::kReplayGainDisagrees);
            }
        }
    }
    return report;
}

HealthReport checkTrack(SonorixModel& model, iTunesTrack& track) {
    const uint64_t id = ta::persistentId(track);
    const std::string path = ta::filePath(track);
    auto status = model.statusLibrary()->trackStatus(id, false);
    std::optional<SoundCheckValues> stored;
    std::optional<double> gain;
    if (status) {
        SoundCheckValues values{};
        if (status->getTag(values)) {
            stored = values;
        }
        double g = 0;
        double peak = 0;
        if (status->getGainAndPeak(g, peak)) {
            gain = g;
        }
        if (!path.empty() && status->knownUnsafe(path)) {
            HealthReport report;
            report.trackId = id;
            report.name = ta::name(track);
            report.path = path;
            return report;
        }
    }
    HealthReport report;
    {
        CrashJournal::Scope reading(hexIdText(id), path);
        report = checkFile(path, stored, gain);
    }
    report.trackId = id;
    report.name = ta::name(track);
    return report;
}

std::optional<SoundCheckValues> repairValues(const HealthReport& report,
                                             const std::optional<SoundCheckValues>& stored) {
    if (stored && SoundCheckText::plausible(*stored)) {
        return stored;
    }
    std::vector<const TagTexts::Place*> ordered;
    for (const auto& place : report.soundCheck) {
        if (place.canonical) {
            ordered.push_back(&place);
        }
    }
    for (const auto& place : report.soundCheck) {
        if (!place.canonical) {
            ordered.push_back(&place);
        }
    }
    for (const auto* place : ordered) {
        SoundCheckValues values{};
        const std::string text = place->text.substr(0, place->text.find('\0'));
        if (SoundCheckText::parseTolerant(text, values) && SoundCheckText::plausible(values)) {
            return values;
        }
    }
    return std::nullopt;
}

std::map<HealthReport::Problem, size_t> totals(const std::vector<HealthReport>& reports) {
    std::map<HealthReport::Problem, size_t> counts;
    for (const auto& report : reports) {
        for (auto problem : report.problems) {
            ++counts[problem];
        }
    }
    return counts;
}

} // namespace sonorix
