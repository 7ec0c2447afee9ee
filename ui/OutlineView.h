#pragma once

#include "app/SonorixController.h"

#include <QTreeView>

#include <memory>
#include <vector>

namespace sonorix {

class AdjustmentDelegate;
class OutlineModel;

// The track outline: the current group's albums and tracks, status column first. Header clicks
// sort through the controller; selected rows drag out as the tracks' files.
class OutlineView : public QTreeView {
    Q_OBJECT
public:
    explicit OutlineView(SonorixController& controller, QWidget* parent = nullptr);
    ~OutlineView() override;

    OutlineModel& outlineModel() const { return *m_model; }
    AdjustmentDelegate& adjustmentDelegate() const { return *m_adjustment; }

    // The controller's tracksChanged without an item: rebuilds the rows and keeps the selected
    // rows and the open albums that are still there.
    void reload();
    // tracksChanged with an item.
    void refreshItem(const OutlineItem& item);
    // Scrolls the item's row into view, opening its album.
    void reveal(const OutlineItem& item);
    // The row of the item counted as shown, its album open; -1 without one.
    int64_t rowOfItem(const OutlineItem& item) const;
    // Marks the header with the current group's first sort column and direction.
    void showSortIndicator();
    // The tracks of the last drag out of the outline (albums stand for their tracks).
    const std::vector<std::shared_ptr<iTunesTrack>>& draggedTracks() const {
        return m_draggedTracks;
    }
    // The creation order of the header's columns (Title, status, Artist, Album, Adjustment)
    // for a logical column.
    static int headerColumnOf(int logicalColumn);

signals:
    void selectionChangedByUser();

protected:
    void selectionChanged(const QItemSelection& selected,
                          const QItemSelection& deselected) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void headerClicked(int logicalColumn);
    std::vector<OutlineItem> selectedItems() const;

    SonorixController& m_controller;
    OutlineModel* m_model;
    AdjustmentDelegate* m_adjustment;
    std::vector<std::shared_ptr<iTunesTrack>> m_draggedTracks;
    bool m_selectingByProgram = false;
};

} // namespace sonorix
