#include "model/Diagnostics.h"

#include "audio/SoundCheck.h"
#include "foundation/DateTimePoint.h"
#include "foundation/Log.h"
#include "foundation/Text.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

namespace sonorix::diagnostics {

namespace {

constexpr const char* kArrows = " <<<<<<<<<<<<<<<";

class Lines {
public:
    void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        int n = std::vsnprintf(nullptr, 0, format, args);
        va_end(args);
        std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0) {
            std::vsnprintf(text.data(), text.size() + 1, format, again);
        }
        va_end(again);
        m_lines.push_back(std::move(text));
    }
    void text(const char* label, const std::u16string& value) {
        add("  %s: >>%s<<", label, toUtf8(value).c_str());
    }
    void date(const char* label, const std::shared_ptr<DateTimePoint>& value) {
        add("  %s: >>%s<<", label, value ? value->format(kIsoDatePattern).c_str() : "");
    }
    std::vector<std::string> take() { return std::move(m_lines); }

private:
    std::vector<std::string> m_lines;
};

// -10 log10(1) is -0, which "%+lf" would show as "-0.000000".
double unsignedZero(double value) {
    return value + 0.0;
}

int32_t signedValue(uint32_t v) {
    return static_cast<int32_t>(v);
}

double dB(uint32_t value, int base) {
    return unsignedZero(SoundCheck::adjustmentFromValue(signedValue(value), base, 0.0));
}

double adjustment(double gain, double perceivedLoudness) {
    return unsignedZero(SoundCheck::neededAdjustment(gain, perceivedLoudness, 0.0));
}

int64_t fileSize(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) {
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

// The gain lines; an album's peak line leaves out what its peak allows.
void addGain(Lines& out, const SonorixStatus& status, double perceivedLoudness, bool album) {
    double gain = 0;
    double peak = 0;
    if (!status.getGainAndPeak(gain, peak)) {
        out.add("  no gain analysis result");
        return;
    }
    double needed = adjustment(gain, perceivedLoudness);
    out.add("  gain analysis result: %lf", gain);
    out.add("  playback adjustment needed for Master Volume %lf dB: %+lf dB (%d / %d)%s",
            perceivedLoudness, needed, SoundCheck::soundCheckValue(needed, SoundCheck::kBase1000),
            SoundCheck::soundCheckValue(needed, SoundCheck::kBase2500), kArrows);
    if (album) {
        out.add("  peak: %lf", peak);
        return;
    }
    double unclipped = unsignedZero(SoundCheck::maximumUnclippedAdjustment(peak));
    out.add("  peak: %lf - maximum unclipped adjustment: %+lf dB (%d / %d)", peak, unclipped,
            SoundCheck::soundCheckValue(unclipped, SoundCheck::kBase1000),
            SoundCheck::soundCheckValue(unclipped, SoundCheck::kBase2500));
}

void addState(Lines& out, const SonorixStatus& status) {
    std::shared_ptr<DateTimePoint> analyzed;
    double gain = 0;
    double peak = 0;
    status.getGainAndPeak(gain, peak, &analyzed);
    out.date("last analyze check", analyzed);
    out.add("  error: %d", status.getError());
    out.add("  processing: %d", status.isProcessing() ? 1 : 0);
    out.add("  state: %d", status.getState());
}

const char* const kValueNames[10] = {"left adjustment 1 (factor 1000)",
                                     "right adjustment 1 (factor 1000)",
                                     "left adjustment 2 (factor 2500)",
                                     "right adjustment 2 (factor 2500)",
                                     "left some statistical information",
                                     "right some statistical information",
                                     "left peak",
                                     "right peak",
                                     "left some statistical information",
                                     "right some statistical information"};

int baseOf(size_t i) {
    return i < 2 ? SoundCheck::kBase1000 : SoundCheck::kBase2500;
}

void addTag(Lines& out, const SoundCheckValues& v) {
    out.add("%s", "");
    out.add("  iTunNORM tag:");
    for (size_t i = 0; i < v.size(); ++i) {
        const int n = static_cast<int>(i);
        std::string suffix;
        if (i == 6 || i == 7) {
            double unclipped = SoundCheck::maximumUnclippedAdjustment(signedValue(v[i]));
            char buffer[128];
            std::snprintf(buffer, sizeof buffer,
                          " - maximum unclipped adjustment: %+lf dB (%d / %d)", unclipped,
                          SoundCheck::soundCheckValue(unclipped, SoundCheck::kBase1000),
                          SoundCheck::soundCheckValue(unclipped, SoundCheck::kBase2500));
            suffix = buffer;
        }
        if (i < 4) {
            out.add("  %d: %d / 0x%x (%+lf dB) %s%s", n, signedValue(v[i]), v[i],
                    dB(v[i], baseOf(i)), kValueNames[i], suffix.c_str());
        } else {
            out.add("  %d: %d / 0x%x %s%s", n, signedValue(v[i]), v[i], kValueNames[i],
                    suffix.c_str());
        }
    }
    auto r = SoundCheck::readings(v);
    out.add("  adjustment currently used for playback: %+lf dB (iTunes 8.0: %+lf dB, iTunes 8.0.1: "
            "%+lf dB)%s",
            unsignedZero(r.currentlyUsed), unsignedZero(r.iTunes80), unsignedZero(r.iTunes801),
            kArrows);
}

void addBackup(Lines& out, const SoundCheckValues& v) {
    out.add("%s", "");
    out.add("  backup iTunNORM tag:");
    for (size_t i = 0; i < v.size(); ++i) {
        const int n = static_cast<int>(i);
        if (i < 4) {
            out.add("  backup %d: %d / 0x%x (%+lf dB)", n, signedValue(v[i]), v[i],
                    dB(v[i], baseOf(i)));
        } else {
            out.add("  backup %d: %d / 0x%x", n, signedValue(v[i]), v[i]);
        }
    }
    auto r = SoundCheck::readings(v);
    out.add("  backup adjustment used for playback: %+lf dB (iTunes 8: %+lf dB, iTunes 8.0.1: %+lf "
            "dB)",
            unsignedZero(r.currentlyUsed), unsignedZero(r.iTunes80), unsignedZero(r.iTunes801));
}

std::shared_ptr<SonorixAlbum> asAlbum(const Row& row) {
    return std::dynamic_pointer_cast<SonorixAlbum>(row);
}

// The track a row stands for: a track row, or an album of one track.
std::shared_ptr<iTunesTrack> asTrack(const Row& row) {
    if (auto track = std::dynamic_pointer_cast<iTunesTrack>(row)) {
        return track;
    }
    auto album = asAlbum(row);
    if (album && album->isSingleTrack()) {
        return album->tracks().front();
    }
    return nullptr;
}

constexpr const char* kLineEnd = "\r\n";

std::string fixed(double value) {
    char buffer[512]; // "%lf" of the largest double has over 300 digits
    std::snprintf(buffer, sizeof buffer, "%lf", value);
    return buffer;
}

// The four loudness fields, each followed by its separator; all empty without a result.
std::string loudnessFields(const SonorixStatus* status, double perceivedLoudness) {
    double gain = 0;
    double peak = 0;
    if (!status || !status->getGainAndPeak(gain, peak)) {
        return ",,,,";
    }
    return csvNumber(gain) + "," + csvNumber(peak) + "," +
           csvNumber(adjustment(gain, perceivedLoudness)) + "," +
           csvNumber(SoundCheck::maximumUnclippedAdjustment(peak)) + ",";
}

std::string trackLine(SonorixModel& model, iTunesTrack& track, double perceivedLoudness) {
    char id[24];
    std::snprintf(id, sizeof id, "%llX", static_cast<unsigned long long>(ta::persistentId(track)));
    auto status = model.statusLibrary()->trackStatus(ta::persistentId(track), false);
    return std::string(id) + "," + loudnessFields(status.get(), perceivedLoudness) +
           csvText(toUtf8(ta::name(track))) + "," + csvText(toUtf8(ta::artist(track))) + "," +
           csvText(toUtf8(ta::album(track))) + "," + csvText(track.filePath(true, false, false)) +
           kLineEnd;
}

std::string albumLine(SonorixModel& model, const SonorixAlbum& album, double perceivedLoudness) {
    auto status = model.statusLibrary()->albumStatus(album, false, true);
    return toUtf8(album.albumKey()) + "," + loudnessFields(status.get(), perceivedLoudness) +
           "<<<Album>>>," + csvText(toUtf8(album.albumArtist())) + "," +
           csvText(toUtf8(album.albumTitle())) + "," + kLineEnd;
}

} // namespace

std::vector<std::string> trackDebugLines(SonorixModel& model, iTunesTrack& track,
                                         double perceivedLoudness) {
    Lines out;
    out.add("####### Track Debug Output #######");
    out.add("%s", "");
    out.add("iTunes information:");
    const uint64_t id = track.persistentId();
    out.add("  persistentID: %lld / 0x%llX", static_cast<long long>(id),
            static_cast<unsigned long long>(id));
    out.add("  database ID: %d / 0x%x", track.trackId(), static_cast<unsigned>(track.trackId()));
    out.text("name", track.name());
    out.text("artist", track.artist());
    out.text("album artist", track.albumArtist());
    out.text("album", track.album());
    out.text("grouping", track.grouping());
    out.text("composer", track.composer());
    out.text("genre", track.genre());
    out.add("  year: %d", track.year());
    out.text("location", track.location());
    const std::string path = track.filePath(true, false, false);
    out.add("  filePath: >>%s<<", path.c_str());
    out.add("  compilation: %d", track.compilation() ? 1 : 0);
    out.add("  part of gapless album: %d", track.gapless() ? 1 : 0);
    out.add("  disabled: %d", track.disabled() ? 1 : 0);
    out.add("  disc %d of %d", track.discNumber(), track.discCount());
    out.add("  track %d of %d", track.trackNumber(), track.trackCount());
    out.add("  play count: %d", track.playCount());
    out.add("  skip count: %d", track.skipCount());
    out.add("  rating: %d", track.rating());
    out.text("comments", track.comments());
    out.add("  totalTime: %d ms", track.totalTime());
    out.add("  seconds: %lf s", track.totalTime() / 1000.0);
    out.add("  sample rate: %d", track.sampleRate());
    out.add("  bit rate: %d", track.bitRate());
    out.add("  size: %lld", static_cast<long long>(fileSize(path)));
    out.text("track type", track.trackType());
    out.add("  podcast: %d", track.podcast() ? 1 : 0);
    out.add("  movie %d", track.movie() ? 1 : 0);
    out.add("  hasVideo: %d", track.hasVideo() ? 1 : 0);
    out.add("  isProtected: %d", track.isProtected() ? 1 : 0);
    out.add("  unplayed: %d", track.unplayed() ? 1 : 0);
    out.add("  isExplicit: %d", track.isExplicit() ? 1 : 0);
    out.date("date modified", track.dateModified());
    out.date("date added", track.dateAdded());
    out.date("date played", track.playDateUTC());

    out.add("%s", "");
    out.add("Sonorix information:");
    auto status = model.statusLibrary()->trackStatus(id, false);
    if (!status) {
        out.add("  none");
        return out.take();
    }
    addGain(out, *status, perceivedLoudness, false);
    addState(out, *status);

    SoundCheckValues values{};
    std::shared_ptr<DateTimePoint> tagDate;
    if (status->getTag(values, &tagDate)) {
        addTag(out, values);
    } else {
        out.add("  no iTunNORM tag information");
    }
    out.date("last iTunNORM tag check", tagDate);

    if (status->getBackup(values)) {
        addBackup(out, values);
    } else {
        out.add("  no backup iTunNORM tag information");
    }

    int32_t manual = 0;
    std::shared_ptr<DateTimePoint> manualDate;
    if (status->getManualAdjustment(manual, &manualDate)) {
        out.add("  cached manual adjustment: %d%%", manual);
        out.date("last manual adjustment check", manualDate);
    } else {
        out.add("  no cached manual adjustment information");
    }
    return out.take();
}

std::vector<std::string> albumDebugLines(SonorixModel& model, const SonorixAlbum& album,
                                         double perceivedLoudness) {
    Lines out;
    out.add("####### Album Debug Output #######");
    out.add("%s", "");
    out.add("Sonorix information:");
    auto status = model.statusLibrary()->albumStatus(album, false, true);
    if (!status) {
        out.add("  none");
        return out.take();
    }
    addGain(out, *status, perceivedLoudness, true);
    addState(out, *status);
    return out.take();
}

std::vector<std::string> debugLines(SonorixModel& model, const std::vector<Row>& rows,
                                    double perceivedLoudness) {
    std::vector<std::string> lines;
    for (const auto& row : rows) {
        std::vector<std::string> section;
        if (auto track = asTrack(row)) {
            section = trackDebugLines(model, *track, perceivedLoudness);
        } else if (auto album = asAlbum(row)) {
            section = albumDebugLines(model, *album, perceivedLoudness);
        }
        lines.insert(lines.end(), std::make_move_iterator(section.begin()),
                     std::make_move_iterator(section.end()));
    }
    return lines;
}

void logDebugLines(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        writeLog("%s", line.c_str());
    }
}

std::vector<Row> exportRows(const std::vector<std::shared_ptr<SonorixGroup>>& groups) {
    std::vector<Row> rows;
    for (const auto& group : groups) {
        for (const auto& album : group->albums()) {
            if (album->tracks().size() > 1) {
                rows.push_back(album);
            }
            rows.insert(rows.end(), album->tracks().begin(), album->tracks().end());
        }
    }
    return rows;
}

std::string csvNumber(double value) {
    std::string text = fixed(unsignedZero(value));
    if (auto dot = text.find('.'); dot != std::string::npos) {
        text[dot] = ',';
    }
    return "\"" + text + "\"";
}

std::string csvText(std::string_view utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    out += '"';
    return out;
}

std::string csvExport(SonorixModel& model, const std::vector<Row>& rows, double perceivedLoudness) {
    std::string out = "\xEF\xBB\xBF"
                      "persistentID,gainAnalysisResult,peak,adjustment[" +
                      fixed(perceivedLoudness) + "],unclippedMax,name,artist,album,filePath" +
                      kLineEnd;
    for (const auto& row : rows) {
        if (auto track = asTrack(row)) {
            out += trackLine(model, *track, perceivedLoudness);
        } else if (auto album = asAlbum(row)) {
            out += albumLine(model, *album, perceivedLoudness);
        }
    }
    return out;
}

} // namespace sonorix::diagnostics
