#include "ui/OutlineView.h"

#include "ui/OutlineModel.h"

#include <QHeaderView>

namespace sonorix {

OutlineView::OutlineView(SonorixController& controller, QWidget* parent)
    : QTreeView(parent), m_controller(controller) {
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setUniformRowHeights(true);
    setAlternatingRowColors(true);
    setDragEnabled(true);
}

void OutlineView::reveal(const OutlineItem& item) {
    if (auto* outline = qobject_cast<OutlineModel*>(model())) {
        QModelIndex at = outline->indexOf(item);
        if (at.isValid()) {
            scrollTo(at);
        }
    }
}

void OutlineView::selectionChanged(const QItemSelection& selected,
                                   const QItemSelection& deselected) {
    QTreeView::selectionChanged(selected, deselected);
    emit selectionChangedByUser();
}

} // namespace sonorix
