#include "ui/DisplayBar.h"

#include <QPainter>

namespace sonorix {

DisplayBar::DisplayBar(QWidget* parent) : QWidget(parent) {}

void DisplayBar::showMessage(const QString& text, const QString& detail) {
    m_text = text;
    m_detail = detail;
    update();
}

void DisplayBar::showProgress(std::optional<double> fraction) {
    m_fraction = fraction;
    update();
}

void DisplayBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(palette().base());
    p.setPen(palette().mid().color());
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    p.setPen(palette().text().color());
    QString shown = m_text.isEmpty() && m_detail.isEmpty() ? QStringLiteral("Sonorix")
                                                           : m_text + "\n" + m_detail;
    p.drawText(rect().adjusted(8, 4, -8, -14), Qt::AlignCenter, shown);
    if (m_fraction) {
        QRectF bar(12, height() - 12, (width() - 24) * std::clamp(*m_fraction, 0.0, 1.0), 5);
        p.fillRect(bar, palette().highlight());
    }
}

} // namespace sonorix
