#pragma once

#include "app/SonorixController.h"

#include <QTreeView>

namespace sonorix {

class OutlineView : public QTreeView {
    Q_OBJECT
public:
    explicit OutlineView(SonorixController& controller, QWidget* parent = nullptr);
    void reveal(const OutlineItem& item);

signals:
    void selectionChangedByUser();

protected:
    void selectionChanged(const QItemSelection& selected,
                          const QItemSelection& deselected) override;

private:
    SonorixController& m_controller;
};

} // namespace sonorix
