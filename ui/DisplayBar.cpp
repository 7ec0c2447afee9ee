#include "ui/DisplayBar.h"

#include "ui/ControlArt.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace sonorix {

namespace {

constexpr int kLogoSize = 24;
constexpr double kBarHeight = 5.0;

// Text and background far enough apart for a panel that reads as a display, in either theme.
QColor panelColour(const QPalette& palette) {
    const QColor base = palette.color(QPalette::Base);
    const QColor window = palette.color(QPalette::Window);
    return base.lightness() > window.lightness() ? base : base.lighter(115);
}

} // namespace

DisplayBar::DisplayBar(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_fade.setStartValue(0.0);
    m_fade.setEndValue(1.0);
    m_fade.setDuration(kFadeInMs);
    connect(&m_fade, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_opacity = value.toDouble();
        redraw();
    });
    setAccessibleName(QStringLiteral("Sonorix"));
}

void DisplayBar::showMessage(const QString& text, const QString& detail) {
    if (text == m_text && detail == m_detail)
        return;
    m_text = text;
    m_detail = detail;
    updateAccessibleDescription();
    redraw();
}

void DisplayBar::showProgress(std::optional<double> fraction) {
    if (fraction && !std::isfinite(*fraction))
        fraction = 0.0;
    if (fraction)
        fraction = std::clamp(*fraction, 0.0, 1.0);
    if (!fraction) {
        if (!m_fraction)
            return;
        m_fade.stop();
        m_opacity = 0.0;
        m_fraction.reset();
        redraw();
        return;
    }
    if (!m_fraction) {
        m_fraction = fraction;
        m_opacity = 0.0;
        m_fade.start();
        redraw();
        return;
    }
    // Too small to see: neither stored nor drawn, so that many tiny steps still add up.
    if (std::abs(*fraction - *m_fraction) < kSmallestVisibleChange)
        return;
    m_fraction = fraction;
    redraw();
}

void DisplayBar::updateAccessibleDescription() {
    QString description = m_detail.isEmpty() ? m_text : m_text + QLatin1Char('\n') + m_detail;
    m_spokenPercent = m_fraction ? static_cast<int>(std::lround(*m_fraction * 100)) : -1;
    if (m_fraction)
        description += QStringLiteral("\n%1 %2 %")
                           .arg(localizedText("DisplayBarProgress"))
                           .arg(m_spokenPercent);
    setAccessibleDescription(description.trimmed());
}

void DisplayBar::redraw() {
    // Screen readers hear whole percents only.
    const int percent = m_fraction ? static_cast<int>(std::lround(*m_fraction * 100)) : -1;
    if (percent != m_spokenPercent)
        updateAccessibleDescription();
    ++m_redrawRequests;
    update();
}

QSize DisplayBar::sizeHint() const {
    const QFontMetrics metrics(font());
    return {360, std::max(kLogoSize + 16, 2 * metrics.height() + 16 + int(kBarHeight))};
}

QSize DisplayBar::minimumSizeHint() const {
    return {160, sizeHint().height()};
}

void DisplayBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    const QRectF panel = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);

    // A recessed panel: the base colour, a darker rim and an inner shadow along the top.
    const QColor fill = panelColour(pal);
    QColor rim = pal.color(QPalette::WindowText);
    rim.setAlphaF(0.22f);
    painter.setPen(QPen(rim, 1.0));
    painter.setBrush(fill);
    painter.drawRoundedRect(panel, 6, 6);
    QLinearGradient shade(panel.topLeft(), panel.topLeft() + QPointF(0, 6));
    shade.setColorAt(0, QColor(0, 0, 0, 28));
    shade.setColorAt(1, QColor(0, 0, 0, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(shade);
    painter.drawRoundedRect(panel.adjusted(1, 1, -1, -1), 5, 5);

    const QRectF content = panel.adjusted(10, 5, -10, -5);
    if (showsLogo()) {
        const QPixmap logo = resourcePixmap(QStringLiteral("SonorixLogo"), devicePixelRatioF());
        QFont nameFont = font();
        nameFont.setPointSizeF(font().pointSizeF() * 1.35);
        nameFont.setWeight(QFont::Light);
        const QFontMetricsF metrics(nameFont);
        const QString name = QStringLiteral("Sonorix");
        const double total = kLogoSize + 6 + metrics.horizontalAdvance(name);
        const double left = content.center().x() - total / 2;
        painter.drawPixmap(QPointF(left, content.center().y() - kLogoSize / 2.0), logo);
        painter.setFont(nameFont);
        QColor ink = pal.color(QPalette::Text);
        ink.setAlphaF(0.6f);
        painter.setPen(ink);
        painter.drawText(QRectF(left + kLogoSize + 6, content.top(), total, content.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, name);
        return;
    }

    const QFontMetricsF metrics(font());
    const bool twoLines = !m_detail.isEmpty();
    const double barSpace = m_fraction ? kBarHeight + 4 : 0.0;
    const double textHeight = metrics.height() * (twoLines ? 2 : 1);
    double top = content.top() + std::max(0.0, (content.height() - barSpace - textHeight) / 2);
    painter.setPen(pal.color(QPalette::Text));
    painter.drawText(QRectF(content.left(), top, content.width(), metrics.height()),
                     Qt::AlignHCenter | Qt::AlignVCenter,
                     metrics.elidedText(m_text, Qt::ElideMiddle, content.width()));
    if (twoLines) {
        QColor soft = pal.color(QPalette::Text);
        soft.setAlphaF(0.68f);
        painter.setPen(soft);
        top += metrics.height();
        painter.drawText(QRectF(content.left(), top, content.width(), metrics.height()),
                         Qt::AlignHCenter | Qt::AlignVCenter,
                         metrics.elidedText(m_detail, Qt::ElideMiddle, content.width()));
    }

    if (m_fraction && m_opacity > 0.0) {
        painter.setOpacity(m_opacity);
        const double width = std::min(content.width(), 280.0);
        const QRectF track(content.center().x() - width / 2, content.bottom() - kBarHeight, width,
                           kBarHeight);
        QColor groove = pal.color(QPalette::Text);
        groove.setAlphaF(0.13f);
        painter.setBrush(groove);
        painter.drawRoundedRect(track, kBarHeight / 2, kBarHeight / 2);
        if (*m_fraction > 0.0) {
            QRectF filled = track;
            filled.setWidth(std::max(kBarHeight, track.width() * *m_fraction));
            QLinearGradient sheen(filled.topLeft(), filled.bottomLeft());
            const QColor accent = pal.color(QPalette::Highlight);
            sheen.setColorAt(0, accent.lighter(125));
            sheen.setColorAt(1, accent);
            painter.setBrush(sheen);
            painter.drawRoundedRect(filled, kBarHeight / 2, kBarHeight / 2);
        }
    }
}

} // namespace sonorix
