#include "ui/StartButton.h"

#include "ui/ControlArt.h"

#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>
#include <numbers>

namespace sonorix {

namespace {

constexpr int kKnobSize = 48; // the images' edge in device-independent pixels
constexpr int kCaptionGap = 1;

} // namespace

StartButton::StartButton(QWidget* parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);

    m_glowTimer.setInterval(kGlowIntervalMs);
    m_gearTimer.setInterval(kGearIntervalMs);
    m_holdTimer.setInterval(kHoldMs);
    m_holdTimer.setSingleShot(true);
    connect(&m_glowTimer, &QTimer::timeout, this, &StartButton::advanceGlow);
    connect(&m_gearTimer, &QTimer::timeout, this, &StartButton::advanceGear);
    connect(&m_holdTimer, &QTimer::timeout, this, &StartButton::holdElapsed);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (!m_menuShownForPress)
            emit startClicked();
    });

    setText(caption());
    updateAccessibleTexts();
    updateTimers();
}

double StartButton::glowOpacityAtStep(int step) {
    if (step < 0 || step >= kGlowVisibleSteps)
        return 0.0;
    return (1.0 - std::cos(2.0 * std::numbers::pi * step / 30.0)) / 2.0;
}

QString StartButton::caption() const {
    return localizedText(m_running ? "StartStopButton_Stop" : "StartStopButton_Start");
}

void StartButton::setRunning(bool running) {
    if (running == m_running)
        return;
    m_running = running;
    m_gearFrame = 0;
    setText(caption());
    updateAccessibleTexts();
    updateTimers();
    updateGeometry();
    update();
}

void StartButton::updateTimers() {
    if (m_running) {
        if (!m_gearTimer.isActive())
            m_gearTimer.start();
    } else {
        m_gearTimer.stop();
    }
    // The glow invites a start: it shows while the button is enabled and idle.
    if (isEnabled() && !m_running) {
        if (!m_glowTimer.isActive()) {
            m_glowStep = 0;
            m_glowTimer.start();
        }
    } else {
        m_glowTimer.stop();
    }
}

void StartButton::advanceGlow() {
    m_glowStep = (m_glowStep + 1) % kGlowSteps;
    // Steps without glow look alike: no repaint among them.
    if (glowOpacityAtStep(m_glowStep) > 0.0 || m_glowStep == kGlowVisibleSteps)
        update();
}

void StartButton::advanceGear() {
    m_gearFrame = (m_gearFrame + 1) % kGearFrames;
    update();
}

void StartButton::holdElapsed() {
    if (!isDown())
        return;
    m_menuShownForPress = true;
    // Released now, the button must not click when the mouse comes up after the menu.
    setDown(false);
    emit modeMenuRequested(menuPosition());
}

QPoint StartButton::menuPosition() const {
    return mapToGlobal(QPoint(knobRect().left(), knobRect().bottom()));
}

void StartButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        if (isEnabled())
            emit modeMenuRequested(event->globalPosition().toPoint());
        event->accept();
        return;
    }
    m_menuShownForPress = false;
    QAbstractButton::mousePressEvent(event);
    if (event->button() == Qt::LeftButton && isDown())
        m_holdTimer.start();
}

void StartButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        m_holdTimer.stop();
    QAbstractButton::mouseReleaseEvent(event);
    m_menuShownForPress = false;
}

void StartButton::contextMenuEvent(QContextMenuEvent* event) {
    // A right press already asked for the menu; this serves the menu key.
    if (event->reason() != QContextMenuEvent::Mouse && isEnabled())
        emit modeMenuRequested(menuPosition());
    event->accept();
}

void StartButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) {
        if (!isEnabled())
            m_holdTimer.stop();
        updateTimers();
    } else if (event->type() == QEvent::FontChange) {
        updateGeometry();
    }
    QAbstractButton::changeEvent(event);
}

void StartButton::enterEvent(QEnterEvent* event) {
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void StartButton::leaveEvent(QEvent* event) {
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void StartButton::focusInEvent(QFocusEvent* event) {
    const auto reason = event->reason();
    m_keyboardFocus = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                      reason == Qt::ShortcutFocusReason;
    QAbstractButton::focusInEvent(event);
}

void StartButton::focusOutEvent(QFocusEvent* event) {
    m_keyboardFocus = false;
    QAbstractButton::focusOutEvent(event);
}

QRect StartButton::knobRect() const {
    return QRect((width() - kKnobSize) / 2, 0, kKnobSize, kKnobSize);
}

bool StartButton::hitButton(const QPoint& pos) const {
    // The round knob, not the transparent corners or the caption.
    const QRect knob = knobRect();
    const QPointF centre = QRectF(knob).center();
    const double dx = pos.x() - centre.x();
    const double dy = pos.y() - centre.y();
    return dx * dx + dy * dy <= 19.0 * 19.0;
}

QSize StartButton::sizeHint() const {
    const QFontMetrics metrics(font());
    // Room for the wider of the two captions, so the layout keeps still when the caption changes.
    const int captionWidth =
        std::max(metrics.horizontalAdvance(localizedText("StartStopButton_Start")),
                 metrics.horizontalAdvance(localizedText("StartStopButton_Stop")));
    return {std::max(kKnobSize, captionWidth + 6), kKnobSize + kCaptionGap + metrics.height()};
}

void StartButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const qreal ratio = devicePixelRatioF();
    const QRect knob = knobRect();
    const bool enabled = isEnabled();
    if (!enabled)
        painter.setOpacity(0.45);

    painter.drawPixmap(knob,
                       resourcePixmap(isDown() ? QStringLiteral("StartButtonBackgroundClicked")
                                               : QStringLiteral("StartButtonBackground"),
                                      ratio));
    const double glow =
        isDown() ? 1.0 : (m_glowTimer.isActive() ? glowOpacityAtStep(m_glowStep) : 0.0);
    if (enabled && glow > 0.0) {
        painter.setOpacity(glow);
        painter.drawPixmap(knob, resourcePixmap(QStringLiteral("StartButtonGlowing"), ratio));
        painter.setOpacity(1.0);
    }
    // The gear lights up under the pointer, inviting the click.
    const bool glowingGear = enabled && m_hovered;
    const QString gear = QStringLiteral("StartButton%1Gear%2")
                             .arg(glowingGear ? QStringLiteral("Glowing") : QString())
                             .arg(m_gearFrame);
    painter.drawPixmap(knob.translated(0, isDown() ? 1 : 0), resourcePixmap(gear, ratio));

    if (hasFocus() && m_keyboardFocus) {
        painter.setRenderHint(QPainter::Antialiasing);
        QPen pen(palette().color(QPalette::Highlight), 2.0);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QRectF(knob).adjusted(4.5, 4.5, -4.5, -4.5));
    }

    painter.setOpacity(1.0);
    painter.setPen(
        palette().color(enabled ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    const QRect captionRect(0, kKnobSize + kCaptionGap, width(),
                            height() - kKnobSize - kCaptionGap);
    painter.drawText(captionRect, Qt::AlignHCenter | Qt::AlignTop, text());
}

void StartButton::updateAccessibleTexts() {
    setAccessibleName(caption());
    setAccessibleDescription(localizedText("StartButtonDescription"));
}

} // namespace sonorix
