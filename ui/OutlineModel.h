#pragma once

#include "app/OutlinePresenter.h"
#include "app/SonorixController.h"
#include "processing/AdjustmentPlan.h"
#include "ui/TextPreparation.h"

#include <QAbstractItemModel>
#include <QElapsedTimer>
#include <QHash>
#include <QPixmap>
#include <QTimer>

#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sonorix {

// The current group's outline for a QTreeView: its visible albums at the top level with their
// visible tracks as children; an album of one track is its track's row and has no children.
// Cell values come from OutlinePresenter, so the window shows what `list` prints.
class OutlineModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit OutlineModel(SonorixController& controller, QObject* parent = nullptr);
    ~OutlineModel() override;

    // Logical columns; their numbers are the sort column ids.
    enum Column { StatusColumn = 0, TitleColumn, ArtistColumn, AlbumColumn, AdjustmentColumn };
    static constexpr int kColumnCount = 5;

    enum Role {
        // The status icon of a selected row.
        SelectedDecorationRole = Qt::UserRole + 1,
        // The status icon's resource name ("progress3", "success"), empty without one.
        IconNameRole,
        // The adjustment in place in dB (double), invalid without one.
        AdjustmentValueRole,
        // What the analysis says the row needs in dB (double), invalid without an analysis.
        SuggestionRole,
        // The row's error text, empty without one.
        ErrorTextRole,
        // True for an album row of several tracks.
        IsAlbumRole,
        // True where the clipping guard lowered the value written, or a preview's value.
        LimitedByPeakRole,
    };

    // The group, its search or its sort changed: rebuild the rows.
    void reload();
    // A row's state changed. Repaints are coalesced: at most 30 a second however many report.
    void refreshTrack(const std::shared_ptr<iTunesTrack>& track);
    void refreshAlbum(const std::shared_ptr<SonorixAlbum>& album);

    QModelIndex indexOf(const OutlineItem& item) const;
    OutlineItem itemAt(const QModelIndex& index) const;
    // Tracks of the rows; an album row stands for all its tracks. In row order, without repeats.
    std::vector<std::shared_ptr<iTunesTrack>> tracksOf(const QModelIndexList& indexes) const;
    // The row's album (album rows) or track (track rows, one-track albums included); exactly one
    // is set for a valid index.
    std::shared_ptr<SonorixAlbum> albumAt(const QModelIndex& index) const;
    std::shared_ptr<iTunesTrack> trackAt(const QModelIndex& index) const;
    // The preview whose figures the Adjustment cells of its tracks show, in place of what the
    // files hold; none shows the files again.
    void setPreview(std::shared_ptr<AdjustmentPreview> preview);
    std::shared_ptr<AdjustmentPreview> preview() const { return m_preview; }
    // Takes in the rows the preview gathered so far and repaints the Adjustment cells.
    void refreshPreview();

    // The current group adjusts manually: the Adjustment cells are controls.
    bool isManualGroup() const { return m_manual; }

    // Repaints made so far (each covers every row that reported since the one before).
    uint64_t repaintCount() const { return m_repaints; }
    // The library's sort and search texts are all made (see TextPreparation).
    bool textsPrepared() const { return m_preparation.isDone(); }
    // The shortest time between two repaints.
    static constexpr int kRepaintIntervalMs = 34;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override;

private:
    struct Entry {
        std::shared_ptr<SonorixAlbum> album;
        // Set for an album of one track, shown as that track.
        std::shared_ptr<iTunesTrack> single;
        std::vector<std::shared_ptr<iTunesTrack>> tracks;
        // Rows as last prepared; dropped when the row reports a change.
        std::optional<OutlineRow> row;
        std::vector<std::optional<OutlineRow>> trackRows;
        // The status refresh was asked for these rows since the last reload.
        bool refreshAsked = false;
        std::vector<bool> trackRefreshAsked;
    };
    struct Position {
        int top = -1;
        int child = -1; // -1: the top-level row
    };

    const OutlineRow& rowAt(const QModelIndex& index) const;
    std::optional<Position> positionOf(const void* item) const;
    void buildLookup() const;
    void scheduleRepaint(OutlineItem item);
    void repaint();
    QVariant statusIcon(const OutlineRow& row, bool white) const;
    const PreviewRow* previewRowAt(const QModelIndex& index) const;
    void takePreviewRows();
    void repaintAdjustmentColumn();

    SonorixController& m_controller;
    std::unique_ptr<OutlinePresenter> m_presenter;
    std::vector<Entry> m_entries;
    bool m_manual = false;
    mutable std::unordered_map<const void*, Position> m_lookup;
    mutable bool m_lookupValid = false;

    std::vector<OutlineItem> m_pending;
    std::unordered_set<const void*> m_pendingSet;
    QTimer m_repaintTimer;
    QElapsedTimer m_sinceRepaint;
    uint64_t m_repaints = 0;
    mutable QHash<QString, QPixmap> m_icons;
    std::shared_ptr<AdjustmentPreview> m_preview;
    std::unordered_map<uint64_t, PreviewRow> m_previewRows; // by persistent ID
    std::weak_ptr<const iTunesLibrary> m_preparedLibrary;
    TextPreparation m_preparation; // last: its thread ends before the rest goes
};

} // namespace sonorix
