#include "ui/GroupsList.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QTreeView>

namespace sonorix {

GroupsList::GroupsList(QWidget* parent) : QListWidget(parent) {
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::DoubleClicked);
    setUniformItemSizes(true);
    setIconSize(QSize(16, 16));
}

void GroupsList::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void GroupsList::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void GroupsList::dropEvent(QDropEvent* event) {
    if (!event->mimeData()->hasUrls()) {
        event->ignore();
        return;
    }
    QListWidgetItem* under = itemAt(event->position().toPoint());
    const bool fromOutline = qobject_cast<QTreeView*>(event->source()) != nullptr;
    event->acceptProposedAction();
    emit filesDropped(under ? row(under) : -1, event->mimeData()->urls(), fromOutline);
}

void GroupsList::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
    if (hint != QAbstractItemDelegate::EditNextItem &&
        hint != QAbstractItemDelegate::EditPreviousItem) {
        QListWidget::closeEditor(editor, hint);
        return;
    }
    // The data was committed before; finish this edit, then open the next editable title.
    QListWidget::closeEditor(editor, QAbstractItemDelegate::NoHint);
    const int step = hint == QAbstractItemDelegate::EditNextItem ? 1 : -1;
    const int n = count();
    for (int i = 1; i < n; ++i) {
        QListWidgetItem* next = item(((currentRow() + step * i) % n + n) % n);
        if (next && (next->flags() & Qt::ItemIsEditable)) {
            setCurrentItem(next);
            editItem(next);
            return;
        }
    }
}

} // namespace sonorix
