#include "ui/StartButton.h"

#include "foundation/Localization.h"

#include <QMouseEvent>
#include <QPainter>

namespace sonorix {

StartButton::StartButton(QWidget* parent) : QAbstractButton(parent) {
    connect(this, &QAbstractButton::clicked, this, &StartButton::startClicked);
}

void StartButton::setRunning(bool running) {
    m_running = running;
    update();
}

void StartButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        emit modeMenuRequested(event->globalPosition().toPoint());
        return;
    }
    QAbstractButton::mousePressEvent(event);
}

void StartButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF r = QRectF(rect()).adjusted(4, 4, -4, -4);
    p.setBrush(isEnabled() ? palette().highlight() : palette().button());
    p.setPen(palette().mid().color());
    p.drawEllipse(r);
    p.setPen(palette().highlightedText().color());
    p.drawText(r, Qt::AlignCenter,
               QString::fromStdString(
                   localizedString(m_running ? "StartStopButton_Stop" : "StartStopButton_Start")));
}

} // namespace sonorix
