#include "ui/AdjustmentDelegate.h"

#include "app/SonorixController.h"
#include "foundation/Text.h"
#include "ui/OutlineModel.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>
#include <cmath>

namespace sonorix {

namespace {

constexpr int kSteps =
    static_cast<int>((AdjustmentDelegate::kMaximum - AdjustmentDelegate::kMinimum) * 10);

double roundedValue(double value) {
    return std::clamp(std::round(value * 10.0) / 10.0, AdjustmentDelegate::kMinimum,
                      AdjustmentDelegate::kMaximum);
}

} // namespace

AdjustmentDelegate::AdjustmentDelegate(SonorixController& controller, OutlineModel& model,
                                       QObject* parent)
    : QStyledItemDelegate(parent), m_controller(controller), m_model(model) {
    m_rest.setSingleShot(true);
    // A coarse timer may fire up to 5 % early, before the knob has really rested.
    m_rest.setTimerType(Qt::PreciseTimer);
    m_rest.setInterval(kRestMs);
    connect(&m_rest, &QTimer::timeout, this, [this] { adjust(false); });
    // Each run reloads the outline; the drag goes on on the same row, or ends with the row.
    connect(&m_model, &QAbstractItemModel::modelAboutToBeReset, this,
            [this] { m_draggedItem = m_dragged.isValid() ? m_model.itemAt(m_dragged) : nullptr; });
    connect(&m_model, &QAbstractItemModel::modelReset, this, [this] {
        if (!m_draggedItem) {
            return;
        }
        const QModelIndex row = m_model.indexOf(m_draggedItem);
        m_draggedItem.reset();
        m_dragged =
            row.isValid() ? row.siblingAtColumn(OutlineModel::AdjustmentColumn) : QModelIndex();
        if (!m_dragged.isValid()) {
            m_rest.stop();
        }
    });
}

QRect AdjustmentDelegate::grooveRect(const QRect& cell) {
    // The left part holds the slider, the right part the text.
    const int width = std::max(40, cell.width() * 3 / 5);
    return QRect(cell.left() + 4, cell.top(), width - 8, cell.height());
}

double AdjustmentDelegate::valueAt(const QRect& cell, int x) {
    const QRect groove = grooveRect(cell);
    const double fraction =
        std::clamp((x - groove.left()) / double(std::max(1, groove.width() - 1)), 0.0, 1.0);
    return roundedValue(kMinimum + fraction * (kMaximum - kMinimum));
}

int AdjustmentDelegate::positionOf(const QRect& cell, double value) {
    const QRect groove = grooveRect(cell);
    const double fraction =
        (std::clamp(value, kMinimum, kMaximum) - kMinimum) / (kMaximum - kMinimum);
    return groove.left() + static_cast<int>(std::lround(fraction * (groove.width() - 1)));
}

std::optional<double> AdjustmentDelegate::draggedValue() const {
    return m_dragged.isValid() ? std::optional<double>(m_value) : std::nullopt;
}

bool AdjustmentDelegate::isControl(const QModelIndex& index) const {
    return index.isValid() && index.column() == OutlineModel::AdjustmentColumn &&
           m_model.isManualGroup() && index.data(OutlineModel::ErrorTextRole).toString().isEmpty();
}

void AdjustmentDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    if (!isControl(index)) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

    const bool dragged = m_dragged.isValid() && m_dragged == index;
    const QVariant stored = index.data(OutlineModel::AdjustmentValueRole);
    const double value = dragged ? m_value : stored.isValid() ? stored.toDouble() : 0.0;
    const QRect groove = grooveRect(option.rect);

    QStyleOptionSlider slider;
    if (widget) {
        slider.initFrom(widget);
    }
    slider.rect = groove;
    slider.orientation = Qt::Horizontal;
    slider.minimum = 0;
    slider.maximum = kSteps;
    slider.sliderPosition = slider.sliderValue =
        static_cast<int>(std::lround((value - kMinimum) * 10.0));
    slider.state = option.state & ~QStyle::State_HasFocus;
    if (!stored.isValid() && !dragged) {
        // Nothing written yet: the knob stands at 0 without claiming a value.
        slider.state &= ~QStyle::State_Enabled;
    }
    painter->save();
    // The suggestion: a short tick under the groove where the analysis would put the knob.
    const QVariant suggestion = index.data(OutlineModel::SuggestionRole);
    if (suggestion.isValid()) {
        const int x = positionOf(option.rect, suggestion.toDouble());
        QPen pen(option.palette.color(option.state & QStyle::State_Selected
                                          ? QPalette::HighlightedText
                                          : QPalette::Highlight));
        pen.setWidth(2);
        painter->setPen(pen);
        painter->drawLine(x, groove.top() + 1, x, groove.bottom() - 1);
    }
    style->drawComplexControl(QStyle::CC_Slider, &slider, painter, widget);

    const QRect textRect(groove.right() + 6, option.rect.top(),
                         option.rect.right() - groove.right() - 6, option.rect.height());
    const QString text = dragged ? QString::fromStdString(decimalText(m_value, 1) + " dB")
                                 : index.data(Qt::DisplayRole).toString();
    painter->setPen(option.palette.color(
        option.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, text);
    painter->restore();
}

bool AdjustmentDelegate::press(const QModelIndex& index, const QRect& cell,
                               const QPoint& position) {
    if (!isControl(index) || !grooveRect(cell).adjusted(-4, 0, 4, 0).contains(position)) {
        return false;
    }
    m_dragged = index;
    moveTo(cell, position.x());
    return true;
}

QRect AdjustmentDelegate::draggedCell() const {
    auto* view = qobject_cast<QAbstractItemView*>(parent());
    return view ? view->visualRect(m_dragged) : QRect();
}

void AdjustmentDelegate::move(const QPoint& position) {
    if (m_dragged.isValid()) {
        moveTo(draggedCell(), position.x());
    }
}

void AdjustmentDelegate::release(const QPoint& position) {
    if (!m_dragged.isValid()) {
        return;
    }
    m_value = valueAt(draggedCell(), position.x());
    m_rest.stop();
    adjust(true);
    const QModelIndex released = m_dragged;
    m_dragged = QPersistentModelIndex();
    if (auto* view = qobject_cast<QAbstractItemView*>(parent())) {
        view->viewport()->update(view->visualRect(released));
    }
}

void AdjustmentDelegate::moveTo(const QRect& cell, int x) {
    // Every movement restarts the wait: a preview runs once the knob rests.
    m_value = valueAt(cell, x);
    m_rest.start();
    if (auto* view = qobject_cast<QAbstractItemView*>(parent())) {
        view->viewport()->update(view->visualRect(m_dragged));
    }
}

void AdjustmentDelegate::adjust(bool final) {
    if (!m_dragged.isValid()) {
        return;
    }
    const QModelIndex index = m_dragged;
    m_controller.adjustManually(m_model.albumAt(index), m_model.trackAt(index), m_value, final);
}

} // namespace sonorix
