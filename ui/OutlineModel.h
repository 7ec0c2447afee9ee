#pragma once

#include "app/SonorixController.h"

#include <QAbstractItemModel>

#include <memory>
#include <vector>

namespace sonorix {

class iTunesTrack;
class SonorixAlbum;

// The current group's visible albums; an album of one track shows as that track.
class OutlineModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit OutlineModel(SonorixController& controller, QObject* parent = nullptr);
    enum Column { StatusColumn = 0, TitleColumn, ArtistColumn, AlbumColumn, AdjustmentColumn };

    void reload();
    void refreshTrack(const std::shared_ptr<iTunesTrack>&);
    void refreshAlbum(const std::shared_ptr<SonorixAlbum>&);
    QModelIndex indexOf(const OutlineItem& item) const;
    OutlineItem itemAt(const QModelIndex&) const;
    std::vector<std::shared_ptr<iTunesTrack>> tracksOf(const QModelIndexList&) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    SonorixController& m_controller;
    std::vector<std::shared_ptr<SonorixAlbum>> m_albums;
};

} // namespace sonorix
