#include "ui/OutlineModel.h"

#include "app/OutlinePresenter.h"
#include "foundation/Localization.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"

namespace sonorix {

// internalId 0: a top-level row; n > 0: a track of the album at top-level row n - 1.
OutlineModel::OutlineModel(SonorixController& controller, QObject* parent)
    : QAbstractItemModel(parent), m_controller(controller) {}

void OutlineModel::reload() {
    beginResetModel();
    auto group = m_controller.currentGroup();
    m_albums = group ? group->visibleAlbums() : std::vector<std::shared_ptr<SonorixAlbum>>{};
    endResetModel();
}

void OutlineModel::refreshTrack(const std::shared_ptr<iTunesTrack>& track) {
    QModelIndex at = indexOf(track);
    if (at.isValid()) {
        emit dataChanged(at, at.siblingAtColumn(AdjustmentColumn));
    }
}

void OutlineModel::refreshAlbum(const std::shared_ptr<SonorixAlbum>& album) {
    QModelIndex at = indexOf(album);
    if (at.isValid()) {
        emit dataChanged(at, at.siblingAtColumn(AdjustmentColumn));
    }
}

QModelIndex OutlineModel::indexOf(const OutlineItem& item) const {
    for (size_t row = 0; row < m_albums.size(); ++row) {
        const auto& album = m_albums[row];
        if (album == item || (album->isSingleTrack() && album->tracks().front() == item)) {
            return index(static_cast<int>(row), 0);
        }
        if (album->isSingleTrack()) {
            continue;
        }
        const auto& tracks = album->visibleTracks();
        for (size_t t = 0; t < tracks.size(); ++t) {
            if (tracks[t] == item) {
                return createIndex(static_cast<int>(t), 0, static_cast<quintptr>(row + 1));
            }
        }
    }
    return {};
}

OutlineItem OutlineModel::itemAt(const QModelIndex& at) const {
    if (!at.isValid()) {
        return nullptr;
    }
    if (at.internalId() == 0) {
        const auto& album = m_albums.at(at.row());
        return album->isSingleTrack() ? OutlineItem(album->tracks().front()) : OutlineItem(album);
    }
    return m_albums.at(at.internalId() - 1)->visibleTracks().at(at.row());
}

std::vector<std::shared_ptr<iTunesTrack>>
OutlineModel::tracksOf(const QModelIndexList& list) const {
    std::vector<std::shared_ptr<iTunesTrack>> tracks;
    for (const auto& at : list) {
        if (at.column() != 0) {
            continue;
        }
        OutlineItem item = itemAt(at);
        if (auto track = std::dynamic_pointer_cast<iTunesTrack>(item)) {
            tracks.push_back(track);
        } else if (auto album = std::dynamic_pointer_cast<SonorixAlbum>(item)) {
            tracks.insert(tracks.end(), album->visibleTracks().begin(),
                          album->visibleTracks().end());
        }
    }
    return tracks;
}

QModelIndex OutlineModel::index(int row, int column, const QModelIndex& parent) const {
    if (!hasIndex(row, column, parent)) {
        return {};
    }
    if (!parent.isValid()) {
        return createIndex(row, column, quintptr(0));
    }
    return createIndex(row, column, static_cast<quintptr>(parent.row() + 1));
}

QModelIndex OutlineModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || child.internalId() == 0) {
        return {};
    }
    return createIndex(static_cast<int>(child.internalId() - 1), 0, quintptr(0));
}

int OutlineModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) {
        return static_cast<int>(m_albums.size());
    }
    if (parent.internalId() != 0 || parent.column() != 0) {
        return 0;
    }
    const auto& album = m_albums.at(parent.row());
    return album->isSingleTrack() ? 0 : static_cast<int>(album->visibleTracks().size());
}

int OutlineModel::columnCount(const QModelIndex&) const {
    return AdjustmentColumn + 1;
}

QVariant OutlineModel::data(const QModelIndex& at, int role) const {
    if (!at.isValid() || role != Qt::DisplayRole) {
        return {};
    }
    OutlinePresenter presenter(m_controller.model());
    OutlineItem item = itemAt(at);
    OutlineRow row;
    if (auto track = std::dynamic_pointer_cast<iTunesTrack>(item)) {
        row = presenter.trackRow(*track, at.internalId() != 0);
    } else if (auto album = std::dynamic_pointer_cast<SonorixAlbum>(item)) {
        row = presenter.albumRow(*album);
    }
    switch (at.column()) {
    case StatusColumn:
        return QString::fromStdString(row.statusWord);
    case TitleColumn:
        return QString::fromStdU16String(row.title);
    case ArtistColumn:
        return QString::fromStdU16String(row.artist);
    case AlbumColumn:
        return QString::fromStdU16String(row.album);
    case AdjustmentColumn:
        return QString::fromStdString(row.adjustmentText());
    }
    return {};
}

QVariant OutlineModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    static const char* titles[] = {"", "Title", "Artist", "Album", "Adjustment"};
    if (section <= 0 || section > AdjustmentColumn) {
        return {};
    }
    return QString::fromStdString(Localization::shared().windowText(titles[section]));
}

} // namespace sonorix
