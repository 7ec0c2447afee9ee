#include "ui/Speedometer.h"

#include "foundation/Localization.h"

#include <QPainter>

namespace sonorix {

Speedometer::Speedometer(QWidget* parent) : QWidget(parent) {}

void Speedometer::setValue(double value) {
    m_value = value < 0 ? 0 : value;
    update();
}

QString Speedometer::caption() const {
    return QString::fromStdString(localizedString("Speed"));
}

void Speedometer::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(palette().text().color());
    p.drawText(rect(), Qt::AlignCenter, QString::number(m_value, 'f', 1) + "\n" + caption());
}

} // namespace sonorix
