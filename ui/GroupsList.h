#pragma once

#include <QList>
#include <QListWidget>
#include <QUrl>

namespace sonorix {

// The groups list: drops of files (from the outline or a file manager) and in-place title
// editing that moves on to the next or previous editable row with Tab and Shift+Tab.
class GroupsList : public QListWidget {
    Q_OBJECT
public:
    explicit GroupsList(QWidget* parent = nullptr);

signals:
    // row: the group under the pointer, -1 below the last row; fromOutline: dragged out of
    // the outline of this window.
    void filesDropped(int row, const QList<QUrl>& urls, bool fromOutline);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;
};

} // namespace sonorix
