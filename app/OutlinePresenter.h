#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonorix {

class iTunesTrack;
class SonorixAlbum;
class SonorixGroup;
class SonorixModel;

// One row of a group's outline as every front end shows it.
struct OutlineRow {
    enum class Kind { Album, Track };

    Kind kind = Kind::Track;
    // A track shown under its album's row (a one-track album shows as its track alone).
    bool inAlbum = false;
    // What the commands take for the row: the track's persistent ID in hex, or the album's key.
    std::string id;
    // What runs now, else what the stored results say: "working 40 %", "adjusted", "value set",
    // "measured", "no value", "failed", "new"; "capped" for an adjustment the clipping guard
    // lowered.
    std::string statusWord;
    // The adjustment written was lowered to what the peak allows without clipping.
    bool limitedByPeak = false;
    // "progress1".."progress20", "success", "warning", or empty.
    std::string iconName;
    // A track's name, artist (the album artist where the track names none) and album; an album's
    // kind ("Compilation", ...), album artist and title.
    std::u16string title;
    std::u16string artist;
    std::u16string album;
    // The playback adjustment in place in dB; none where nothing was written yet or an album's
    // tracks disagree.
    std::optional<double> adjustment;
    // The row's error; when set it is shown instead of the adjustment.
    std::u16string errorText;

    // The adjustment column: the error, "no data", or the adjustment to 0.1 dB ("+1.9 dB").
    std::string adjustmentText() const;
};

// Turns a group into the rows of its outline, albums and tracks in the outline's order. Reads the
// model only: tag checks and saves are the controller's.
class OutlinePresenter {
public:
    explicit OutlinePresenter(std::shared_ptr<SonorixModel> model);

    // The group's visible albums, each followed by its visible tracks.
    std::vector<OutlineRow> rows(SonorixGroup& group) const;
    OutlineRow trackRow(iTunesTrack& track, bool inAlbum) const;
    OutlineRow albumRow(SonorixAlbum& album) const;

private:
    std::shared_ptr<SonorixModel> m_model;
};

} // namespace sonorix
