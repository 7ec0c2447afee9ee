#pragma once

#include <QPersistentModelIndex>
#include <QStyledItemDelegate>
#include <QTimer>

#include <memory>
#include <optional>

namespace sonorix {

class FilterAndSortable;
class OutlineModel;
class SonorixController;

// The Adjustment cell. In a manual group it is a slider drawn in the cell: the knob at the
// adjustment in place (the dragged value while the button is held), a mark at what the analysis
// suggests, the value as text. Dragging asks for a preview run once the knob rested 150 ms and
// for the final run on release. Elsewhere the cell is the plain text.
class AdjustmentDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    AdjustmentDelegate(SonorixController& controller, OutlineModel& model,
                       QObject* parent = nullptr);

    static constexpr double kMinimum = -20.0;
    static constexpr double kMaximum = 20.0;
    static constexpr int kRestMs = 150;

    // The slider's groove inside a cell, and the value at an x position in it (0.1 dB steps).
    static QRect grooveRect(const QRect& cell);
    static double valueAt(const QRect& cell, int x);
    static int positionOf(const QRect& cell, double value);

    bool isDragging() const { return m_dragged.isValid(); }
    std::optional<double> draggedValue() const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    // The view's mouse events on the cells. press: false when the press is not on a control's
    // slider (the view handles it then); move and release act only while dragging.
    bool press(const QModelIndex& index, const QRect& cell, const QPoint& position);
    void move(const QPoint& position);
    void release(const QPoint& position);

private:
    bool isControl(const QModelIndex& index) const;
    void moveTo(const QRect& cell, int x);
    QRect draggedCell() const;
    void adjust(bool final);

    SonorixController& m_controller;
    OutlineModel& m_model;
    QPersistentModelIndex m_dragged;
    std::shared_ptr<FilterAndSortable> m_draggedItem; // across a reload
    double m_value = 0;
    QTimer m_rest;
};

} // namespace sonorix
