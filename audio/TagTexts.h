#pragma once

#include "audio/SoundCheck.h"

#include <optional>
#include <string>
#include <vector>

namespace sonorix {

// Every place of a file's tags that holds a Sound Check text or a ReplayGain figure, as other
// programs wrote them too, and the edits that leave one well-formed text or replace the
// ReplayGain tags. Edits go through saveFileSafely: the copy must read back as meant, keep the
// audio and every other tag, or the file stays as it was.
namespace TagTexts {

struct Place {
    // How a tool names the place: "COMM:iTunNORM", "TXXX:iTunNORM",
    // "----:com.apple.iTunes:ITUNNORM", "REPLAYGAIN_TRACK_GAIN", …
    std::string where;
    std::string text;
    // The usual place: the comment "iTunNORM" of ID3v2 or the MP4 item spelt as iTunes spells
    // it; for ReplayGain the key in the format's usual spelling.
    bool canonical = false;
};

struct Survey {
    // The tags were read; false for a file the tag library does not take.
    bool readable = false;
    std::vector<Place> soundCheck;
    std::vector<Place> replayGain;
};

Survey survey(const std::string& path);

enum class Outcome { Unchanged, Changed, Failed };

// Leaves exactly one Sound Check text, holding values, in the file's usual place (the ID3v2
// comment "iTunNORM" or the MP4 item), or none at all (frames and items removed, not zeroed).
Outcome setSoundCheck(const std::string& path, const std::optional<SoundCheckValues>& values,
                      std::string* error = nullptr);

// The ReplayGain 1 figures of a track: gains in dB, peaks as a fraction of full scale.
struct ReplayGain {
    double trackGain = 0;
    double trackPeak = 0;
    std::optional<double> albumGain;
    std::optional<double> albumPeak;
};

// Writes the figures under REPLAYGAIN_TRACK_GAIN/_PEAK (and the album's when given) in the
// format's usual place: ID3v2 user-text frames, MP4 freeform items
// "----:com.apple.iTunes:replaygain_*", Vorbis comments of FLAC and Ogg files. Any spelling of
// the same keys already there is replaced, never duplicated; album tags are left alone when no
// album figures are given.
Outcome setReplayGain(const std::string& path, const ReplayGain& gain,
                      std::string* error = nullptr);

// Whether the file takes ReplayGain tags here.
bool takesReplayGain(const std::string& path);
// Whether the file's format has no place for a Sound Check text but takes ReplayGain (FLAC, Ogg).
bool replayGainOnly(const std::string& path);

// "-6.54 dB", "0.988553": the spellings players parse.
std::string gainText(double gain);
std::string peakText(double peak);
// The gain of a "-6.54 dB" text; none when it is not one.
std::optional<double> parseGain(const std::string& text);

} // namespace TagTexts
} // namespace sonorix
