#include "ui/OutlineView.h"

#include "app/OutlineSort.h"
#include "model/SonorixGroups.h"
#include "ui/AdjustmentDelegate.h"
#include "ui/OutlineModel.h"

#include <QHeaderView>
#include <QItemSelection>
#include <QMouseEvent>
#include <QStyledItemDelegate>

#include <unordered_set>

namespace sonorix {

namespace {

// Draws the status icon's "_white" variant on selected rows.
class StatusDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (option->state & QStyle::State_Selected) {
            const QVariant white = index.data(OutlineModel::SelectedDecorationRole);
            if (white.isValid()) {
                option->icon = QIcon(white.value<QPixmap>());
            }
        }
    }
};

} // namespace

OutlineView::OutlineView(SonorixController& controller, QWidget* parent)
    : QTreeView(parent), m_controller(controller), m_model(new OutlineModel(controller, this)) {
    // Setting the model reports an empty selection, which is no doing of the user's.
    m_selectingByProgram = true;
    setModel(m_model);
    m_selectingByProgram = false;
    m_adjustment = new AdjustmentDelegate(controller, *m_model, this);
    setItemDelegateForColumn(OutlineModel::AdjustmentColumn, m_adjustment);
    setItemDelegateForColumn(OutlineModel::StatusColumn, new StatusDelegate(this));
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setRootIsDecorated(true);
    setMouseTracking(false);

    // Widths as first created; the status column holds an icon only.
    QHeaderView* head = header();
    head->setSectionsClickable(true);
    head->setSortIndicatorShown(true);
    head->setStretchLastSection(true);
    head->setMinimumSectionSize(20);
    setColumnWidth(OutlineModel::StatusColumn, 20 + indentation());
    for (int column : {OutlineModel::TitleColumn, OutlineModel::ArtistColumn,
                       OutlineModel::AlbumColumn, OutlineModel::AdjustmentColumn}) {
        setColumnWidth(column, 250);
    }
    connect(head, &QHeaderView::sectionClicked, this, &OutlineView::headerClicked);
}

OutlineView::~OutlineView() = default;

int OutlineView::headerColumnOf(int logicalColumn) {
    static constexpr int kHeader[] = {1, 0, 2, 3, 4};
    return logicalColumn >= 0 && logicalColumn < OutlineModel::kColumnCount ? kHeader[logicalColumn]
                                                                            : -1;
}

void OutlineView::headerClicked(int logicalColumn) {
    const int column = headerColumnOf(logicalColumn);
    if (column >= 0) {
        m_controller.sortByHeader(column);
    }
    // The controller's reload put the indicator where the group's sort is; the click moved it.
    showSortIndicator();
}

void OutlineView::showSortIndicator() {
    const auto columns = m_controller.sortColumns();
    const int column = columns.empty() ? kSortAlbum : columns.front();
    QSignalBlocker blocker(header());
    header()->setSortIndicator(column, m_controller.sortDescending() ? Qt::DescendingOrder
                                                                     : Qt::AscendingOrder);
}

std::vector<OutlineItem> OutlineView::selectedItems() const {
    std::vector<OutlineItem> items;
    if (!selectionModel()) {
        return items;
    }
    for (const QModelIndex& index : selectionModel()->selectedRows()) {
        if (auto item = m_model->itemAt(index)) {
            items.push_back(std::move(item));
        }
    }
    return items;
}

void OutlineView::reload() {
    const auto selected = selectedItems();
    std::vector<std::shared_ptr<SonorixAlbum>> open;
    for (int row = 0, rows = m_model->rowCount(); row < rows; ++row) {
        const QModelIndex index = m_model->index(row, 0);
        if (isExpanded(index)) {
            open.push_back(m_model->albumAt(index));
        }
    }
    const QModelIndex current = currentIndex();
    const OutlineItem currentItem = current.isValid() ? m_model->itemAt(current) : nullptr;

    m_selectingByProgram = true;
    m_model->reload();
    for (const auto& album : open) {
        const QModelIndex index = m_model->indexOf(album);
        if (index.isValid() && !index.parent().isValid()) {
            expand(index);
        }
    }
    QItemSelection selection;
    for (const auto& item : selected) {
        const QModelIndex index = m_model->indexOf(item);
        if (index.isValid()) {
            selection.select(index, index.siblingAtColumn(OutlineModel::kColumnCount - 1));
        }
    }
    if (currentItem) {
        const QModelIndex index = m_model->indexOf(currentItem);
        if (index.isValid()) {
            selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
        }
    }
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    m_selectingByProgram = false;
    m_controller.outlineSelectionChanged(selectedItems(), false);
    showSortIndicator();
}

void OutlineView::refreshItem(const OutlineItem& item) {
    if (auto track = std::dynamic_pointer_cast<iTunesTrack>(item)) {
        m_model->refreshTrack(track);
    } else if (auto album = std::dynamic_pointer_cast<SonorixAlbum>(item)) {
        m_model->refreshAlbum(album);
    }
}

void OutlineView::reveal(const OutlineItem& item) {
    const QModelIndex index = m_model->indexOf(item);
    if (index.isValid()) {
        scrollTo(index, QAbstractItemView::EnsureVisible);
    }
}

int64_t OutlineView::rowOfItem(const OutlineItem& item) const {
    // Asked for every progress report of a run: the view's own layout answers, since walking
    // 40,000 rows for each report would take the main thread.
    const QModelIndex index = m_model->indexOf(item);
    if (!index.isValid()) {
        return -1;
    }
    const QModelIndex album = index.parent().isValid() ? index.parent() : index;
    const bool shown = album == index || isExpanded(album);
    const QRect rect = visualRect(shown ? index : album);
    if (rect.height() > 0) {
        const int64_t row = (rect.y() + verticalOffset()) / rect.height();
        // A track of a closed album counts where it stands once the album opens.
        return shown ? row : row + 1 + index.row();
    }
    // Not laid out yet: count the open albums above.
    int64_t row = album.row();
    for (int above = 0; above < album.row(); ++above) {
        const QModelIndex other = m_model->index(above, 0);
        if (isExpanded(other)) {
            row += m_model->rowCount(other);
        }
    }
    return index.parent().isValid() ? row + 1 + index.row() : row;
}

void OutlineView::selectionChanged(const QItemSelection& selected,
                                   const QItemSelection& deselected) {
    QTreeView::selectionChanged(selected, deselected);
    if (m_selectingByProgram || model() != m_model) {
        return;
    }
    m_controller.outlineSelectionChanged(selectedItems(), true);
    emit selectionChangedByUser();
}

void OutlineView::startDrag(Qt::DropActions supportedActions) {
    // A drag holds the views still like any other handling of the rows.
    m_controller.userInteracted();
    m_draggedTracks = m_model->tracksOf(selectionModel()->selectedRows());
    if (m_draggedTracks.empty()) {
        return;
    }
    QTreeView::startDrag(supportedActions);
}

// The adjustment control takes the mouse from the press to the release, so that dragging its
// knob neither selects rows nor starts a drag of files.
void OutlineView::mousePressEvent(QMouseEvent* event) {
    const QPoint position = event->position().toPoint();
    const QModelIndex index = indexAt(position);
    if (event->button() == Qt::LeftButton && index.isValid() &&
        index.column() == OutlineModel::AdjustmentColumn &&
        m_adjustment->press(index, visualRect(index), position)) {
        event->accept();
        return;
    }
    QTreeView::mousePressEvent(event);
}

void OutlineView::mouseMoveEvent(QMouseEvent* event) {
    if (m_adjustment->isDragging()) {
        m_adjustment->move(event->position().toPoint());
        event->accept();
        return;
    }
    QTreeView::mouseMoveEvent(event);
}

void OutlineView::mouseReleaseEvent(QMouseEvent* event) {
    if (m_adjustment->isDragging() && event->button() == Qt::LeftButton) {
        m_adjustment->release(event->position().toPoint());
        event->accept();
        return;
    }
    QTreeView::mouseReleaseEvent(event);
}

} // namespace sonorix
