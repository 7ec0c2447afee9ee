#include "ui/TrayIcon.h"

#include "foundation/Localization.h"
#include "ui/ControlArt.h"

#include <QMenu>
#include <QSystemTrayIcon>

#include <algorithm>
#include <cmath>

namespace sonorix {

namespace {

// The end animation: the bars fill from none to all, twice, then rest on the full mark.
constexpr int kTicksPerImage = 5;
constexpr int kSweeps = 2;
constexpr int kAnimationTicks = kSweeps * 6 * kTicksPerImage;

} // namespace

TrayIcon::TrayIcon(QObject* parent) : QObject(parent) {
    m_blinkTimer.setInterval(kBlinkMs);
    m_animationTimer.setInterval(kAnimationTickMs);
    connect(&m_blinkTimer, &QTimer::timeout, this, &TrayIcon::blink);
    connect(&m_animationTimer, &QTimer::timeout, this, &TrayIcon::advanceAnimation);

    m_menu = std::make_unique<QMenu>();
    connect(m_menu->addAction(menuItemText("Show Sonorix")), &QAction::triggered, this,
            &TrayIcon::showWindowRequested);
    connect(m_menu->addAction(menuItemText("Adjust All Tracks")), &QAction::triggered, this,
            &TrayIcon::adjustAllRequested);
    m_menu->addSeparator();
    connect(m_menu->addAction(menuItemText("Exit")), &QAction::triggered, this,
            &TrayIcon::exitRequested);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = std::make_unique<QSystemTrayIcon>();
        m_tray->setToolTip(QString::fromStdString(Localization::shared().windowText("Sonorix")));
        m_tray->setContextMenu(m_menu.get());
        m_tray->setIcon(iconFor(m_image));
        connect(m_tray.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger ||
                        reason == QSystemTrayIcon::DoubleClick)
                        emit showWindowRequested();
                });
        m_tray->show();
    }
}

TrayIcon::~TrayIcon() {
    // The tray holds the menu: let go of it before the menu goes.
    if (m_tray)
        m_tray->setContextMenu(nullptr);
}

bool TrayIcon::isAvailable() const {
    return m_tray != nullptr;
}

int TrayIcon::levelForFraction(std::optional<double> fraction) {
    if (!fraction || !(*fraction > 0.0))
        return 0;
    return std::clamp(static_cast<int>(std::floor(*fraction * 5.0 + 1e-9)), 0, 5);
}

void TrayIcon::setProgress(std::optional<double> fraction, bool active) {
    m_level = levelForFraction(fraction);
    m_active = active;
    if (active) {
        m_animationTimer.stop();
        if (!m_blinkTimer.isActive()) {
            m_blinkBit = false;
            m_blinkTimer.start();
        }
    } else {
        m_blinkTimer.stop();
        m_blinkBit = false;
    }
    if (!m_animationTimer.isActive())
        showImage(steadyImage());
}

int TrayIcon::steadyImage() const {
    if (!m_active)
        return kIdleImage;
    return m_level < 5 && m_blinkBit ? m_level + 1 : m_level;
}

void TrayIcon::blink() {
    m_blinkBit = !m_blinkBit;
    if (!m_animationTimer.isActive())
        showImage(steadyImage());
}

void TrayIcon::playFinishedAnimation() {
    // Where there is no icon on screen there is nothing to animate.
    if (!m_tray || !m_tray->isVisible())
        return;
    m_blinkTimer.stop();
    m_active = false;
    m_animationStep = 0;
    m_animationTimer.start();
    showImage(kEmptyImage);
}

void TrayIcon::advanceAnimation() {
    ++m_animationStep;
    if (m_animationStep >= kAnimationTicks) {
        m_animationTimer.stop();
        showImage(steadyImage());
        return;
    }
    const int image = (m_animationStep / kTicksPerImage) % 6;
    showImage(image == 0 ? kEmptyImage : image);
}

QIcon TrayIcon::iconFor(int image) {
    const std::size_t slot = image == kEmptyImage ? 6 : static_cast<std::size_t>(image);
    QIcon& icon = m_icons[slot];
    if (icon.isNull()) {
        const QString name = image == kEmptyImage ? QStringLiteral("Sonorix16x16_empty")
                                                  : QStringLiteral("Sonorix16x16_%1").arg(image);
        icon.addPixmap(resourcePixmap(name, 1.0));
        icon.addPixmap(resourcePixmap(name, 2.0));
    }
    return icon;
}

void TrayIcon::showImage(int image) {
    if (image == m_image)
        return;
    m_image = image;
    if (m_tray)
        m_tray->setIcon(iconFor(image));
}

} // namespace sonorix
