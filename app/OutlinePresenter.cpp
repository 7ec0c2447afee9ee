#include "app/OutlinePresenter.h"

#include "app/OutlineSort.h"
#include "foundation/Text.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"

#include <cmath>
#include <cstdio>

namespace sonorix {

namespace {

std::string statusWord(const SonorixStatus* status, bool hasValue) {
    if (!status) {
        return "new";
    }
    if (status->isProcessing()) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "working %d %%",
                      static_cast<int>(std::floor(status->progress() * 100.0)));
        return buffer;
    }
    switch (status->getState()) {
    case kStateDone:
        // The user asked for more than the peak allows: say why the value is lower.
        return status->limitedByPeak() ? "capped" : "adjusted";
    case kStateNoTag:
        return "no value";
    case kStateFailed:
        return "failed";
    default:
        break;
    }
    // After a restart the state is unknown until the tag is checked; the stored error still says.
    if (status->getError() == kErrorTag) {
        return "no value";
    }
    if (status->getError() != 0) {
        return "failed";
    }
    double gain = 0;
    double peak = 0;
    const bool measured = status->getGainAndPeak(gain, peak);
    if (hasValue) {
        return measured ? (status->limitedByPeak() ? "capped" : "adjusted") : "value set";
    }
    return measured ? "measured" : "new";
}

void fillStatus(OutlineRow& row, const SonorixStatus* status) {
    row.statusWord = statusWord(status, row.adjustment.has_value());
    row.limitedByPeak = status && status->limitedByPeak();
    if (status) {
        row.iconName = status->iconName(false);
        if (status->getError() != 0) {
            row.errorText = status->errorText();
        }
    }
}

} // namespace

std::string OutlineRow::adjustmentText() const {
    if (!errorText.empty()) {
        return toUtf8(errorText);
    }
    if (!adjustment) {
        return "no data";
    }
    return decimalText(std::round(*adjustment * 10.0) / 10.0, 1) + " dB";
}

OutlinePresenter::OutlinePresenter(std::shared_ptr<SonorixModel> model)
    : m_model(std::move(model)) {}

std::vector<OutlineRow> OutlinePresenter::rows(SonorixGroup& group) const {
    std::vector<OutlineRow> rows;
    for (const auto& album : group.visibleAlbums()) {
        if (album->isSingleTrack()) {
            rows.push_back(trackRow(*album->tracks().front(), false));
            continue;
        }
        rows.push_back(albumRow(*album));
        for (const auto& track : album->visibleTracks()) {
            rows.push_back(trackRow(*track, true));
        }
    }
    return rows;
}

OutlineRow OutlinePresenter::trackRow(iTunesTrack& track, bool inAlbum) const {
    OutlineRow row;
    row.kind = OutlineRow::Kind::Track;
    row.inAlbum = inAlbum;
    char id[24];
    std::snprintf(id, sizeof id, "%016llX",
                  static_cast<unsigned long long>(ta::persistentId(track)));
    row.id = id;
    auto status = m_model->statusLibrary()->trackStatus(ta::persistentId(track), false);
    row.adjustment = trackAdjustment(*m_model, track);
    fillStatus(row, status.get());
    row.title = ta::name(track);
    row.artist = ta::artist(track);
    if (row.artist.empty()) {
        row.artist = ta::albumArtist(track);
    }
    row.album = ta::album(track);
    return row;
}

OutlineRow OutlinePresenter::albumRow(SonorixAlbum& album) const {
    OutlineRow row;
    row.kind = OutlineRow::Kind::Album;
    row.id = toUtf8(album.albumKey());
    auto status = m_model->statusLibrary()->albumStatus(album, false, true);
    row.adjustment = albumAdjustment(*m_model, album);
    fillStatus(row, status.get());
    row.title = album.displayName();
    row.artist = album.albumArtist();
    row.album = album.albumTitle();
    return row;
}

} // namespace sonorix
