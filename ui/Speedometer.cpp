#include "ui/Speedometer.h"

#include "foundation/Localization.h"
#include "ui/ControlArt.h"

#include <QAccessibleWidget>
#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sonorix {

namespace {

constexpr int kDialSize = 88;
constexpr double kStartAngle = 225.0; // degrees, counter-clockwise from three o'clock
constexpr double kSweep = 270.0;

struct ScaleMark {
    double value;
    const char* label;
};
// Labelled marks, spaced so that their texts keep apart where the scale is crowded.
constexpr ScaleMark kLabels[] = {{0, "0"},     {100, "100"}, {500, "500"},
                                 {1000, "1k"}, {5000, "5k"}, {10000, "10k"}};

// A dial to assistive technology, whose value is the speed the needle shows.
class AccessibleSpeedometer : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit AccessibleSpeedometer(Speedometer* meter)
        : QAccessibleWidget(meter, QAccessible::Dial) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ValueInterface ? static_cast<QAccessibleValueInterface*>(this)
                                                   : QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return QString::fromStdString(
                formatString(Localization::shared().localizedString("SpeedometerValue").c_str(),
                             meter()->displayedValue()));
        if (t == QAccessible::Name)
            return localizedText("Speed");
        if (t == QAccessible::Description && meter()->captionActive())
            return meter()->caption();
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return meter()->displayedValue(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override {
        return Speedometer::valueForPosition(Speedometer::kMaxPosition);
    }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 0.1; }

private:
    Speedometer* meter() const { return static_cast<Speedometer*>(widget()); }
};

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String(Speedometer::staticMetaObject.className()) && object &&
        object->isWidgetType())
        return new AccessibleSpeedometer(static_cast<Speedometer*>(object));
    return nullptr;
}

} // namespace

Speedometer::Speedometer(QWidget* parent) : QWidget(parent) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(accessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_elapsed.start();
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, [this] { tick(now()); });
    m_processors = std::max(1, QThread::idealThreadCount());
    m_caption = localizedText("Speed");
}

double Speedometer::positionForValue(double x) {
    if (x < 10)
        return x;
    if (x < 1000)
        return (x - 10) / 10 + 10;
    const double b = std::floor(std::log10(x));
    return x / std::pow(10.0, b - 1) + 90 * b - 171;
}

double Speedometer::valueForPosition(double p) {
    if (p < 10)
        return p;
    if (p < 109)
        return (p - 10) * 10 + 10;
    const double a = std::floor((p - 19) / 90);
    return std::pow(10.0, a + 1) * (p - 90 * a - 9);
}

double Speedometer::now() const {
    return m_clock ? m_clock() : m_elapsed.nsecsElapsed() / 1e9;
}

void Speedometer::setClock(std::function<double()> clock) {
    m_clock = std::move(clock);
}

void Speedometer::setProcessorCount(int count) {
    m_processors = std::max(1, count);
    if (m_captionActive) {
        m_captionActive = false;
        updateCaption();
    }
}

void Speedometer::setValue(double value) {
    // NaN and infinity would never settle: no speed, and the end of any useful scale.
    if (!(value > 0.0))
        value = 0.0;
    value = std::min(value, 1e7);
    if (value == m_target)
        return;
    m_target = value;
    if (!m_timer.isActive()) {
        m_needleSpeed = 0.0;
        m_lastTick = now();
        m_timer.start();
    }
}

void Speedometer::tick(double time) {
    const double dt = std::max(0.0, time - m_lastTick);
    const double target = positionForValue(m_target);
    const double current = positionForValue(m_displayed);
    double step = (target - current) * (target == 0.0 ? 1.5 * 0.75 : 1.5);
    step = std::clamp(step, -100.0, 100.0);
    m_needleSpeed = 0.75 * m_needleSpeed + 0.25 * step;
    const double position = std::max(0.0, current + m_needleSpeed * dt);
    m_lastTick = time;
    m_displayed = valueForPosition(position);
    // The speed is signed: a needle falling onto its target stops as soon as it is close.
    if (std::abs(target - position) < 0.025 && m_needleSpeed < 0.01) {
        m_displayed = m_target;
        m_timer.stop();
    }
    updateCaption();
    update();
    if (QAccessible::isActive() && !m_timer.isActive()) {
        // Told once the needle rests, not at every tick.
        QAccessibleValueChangeEvent event(this, m_displayed);
        QAccessible::updateAccessibility(&event);
    }
}

void Speedometer::updateCaption() {
    const bool moving = m_displayed >= 0.2;
    if (moving == m_captionActive)
        return;
    m_captionActive = moving;
    if (!moving)
        m_caption = localizedText("Speed");
    else if (m_processors == 1)
        m_caption = localizedText("1Core");
    else
        m_caption = QString::fromStdString(
            formatString(Localization::shared().localizedString("xCores").c_str(), m_processors));
}

void Speedometer::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange)
        updateGeometry();
    QWidget::changeEvent(event);
}

QSize Speedometer::sizeHint() const {
    const QFontMetrics metrics(font());
    const int captionWidth = std::max({metrics.horizontalAdvance(m_caption),
                                       metrics.horizontalAdvance(localizedText("Speed")),
                                       metrics.horizontalAdvance(QStringLiteral("88 Cores"))});
    return {std::max(kDialSize, captionWidth + 6), kDialSize + 1 + metrics.height()};
}

void Speedometer::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QPalette& pal = palette();
    const QRectF dial((width() - kDialSize) / 2.0, 0, kDialSize, kDialSize);
    const QPointF centre = dial.center();
    const double faceRadius = 39.5;

    // The face takes the palette's base colour, so the scale reads in light and dark themes.
    QRadialGradient face(centre + QPointF(0, -12), faceRadius * 1.3);
    const QColor base = pal.color(QPalette::Base);
    face.setColorAt(0.0, base.lighter(104));
    face.setColorAt(1.0, base.darker(112));
    painter.setPen(Qt::NoPen);
    painter.setBrush(face);
    painter.drawEllipse(centre, faceRadius, faceRadius);

    auto pointAt = [&](double position, double radius) {
        const double fraction = std::clamp(position / kMaxPosition, 0.0, 1.0);
        const double angle = (kStartAngle - fraction * kSweep) * std::numbers::pi / 180.0;
        return centre + QPointF(std::cos(angle) * radius, -std::sin(angle) * radius);
    };

    // Minor marks every 10 positions, major marks where a label is.
    const QColor ink = pal.color(QPalette::Text);
    QColor faint = ink;
    faint.setAlphaF(0.45f);
    painter.setPen(QPen(faint, 1.0));
    for (double p = 0; p <= kMaxPosition + 0.5; p += 10)
        painter.drawLine(pointAt(p, faceRadius - 3), pointAt(p, faceRadius - 6));
    QFont small = font();
    small.setPointSizeF(std::max(5.5, font().pointSizeF() * 0.62));
    painter.setFont(small);
    const QFontMetricsF labelMetrics(small);
    for (const auto& mark : kLabels) {
        const double p = positionForValue(mark.value);
        painter.setPen(QPen(ink, 1.4));
        painter.drawLine(pointAt(p, faceRadius - 3), pointAt(p, faceRadius - 8.5));
        const QPointF at = pointAt(p, faceRadius - 15.5);
        const QString label = QString::fromLatin1(mark.label);
        const QRectF box(at.x() - 12, at.y() - labelMetrics.height() / 2, 24,
                         labelMetrics.height());
        painter.drawText(box, Qt::AlignCenter, label);
    }

    // The needle in the palette's accent, over a hub.
    const double needle = positionForValue(m_displayed);
    const QPointF tip = pointAt(needle, faceRadius - 5);
    const QPointF tail = centre + (centre - pointAt(needle, 7));
    QColor needleColour(220, 60, 45);
    painter.setPen(QPen(needleColour, 2.0, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(tail, tip);
    painter.setPen(Qt::NoPen);
    painter.setBrush(pal.color(QPalette::WindowText));
    painter.drawEllipse(centre, 4.0, 4.0);
    painter.setBrush(needleColour);
    painter.drawEllipse(centre, 1.8, 1.8);

    painter.drawPixmap(dial.toRect(),
                       resourcePixmap(QStringLiteral("SpeedometerDial"), devicePixelRatioF()));

    painter.setFont(font());
    painter.setPen(
        pal.color(m_captionActive ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(QRect(0, kDialSize + 1, width(), height() - kDialSize - 1),
                     Qt::AlignHCenter | Qt::AlignTop, m_caption);
}

} // namespace sonorix
