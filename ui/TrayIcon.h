#pragma once

#include <QIcon>
#include <QObject>
#include <QTimer>

#include <array>
#include <memory>
#include <optional>

class QMenu;
class QSystemTrayIcon;

namespace sonorix {

// The icon in the desktop's tray, where the desktop has one. Idle it shows the full mark; while
// work is active, the bars fill with the progress and the next bar blinks; a short sweep marks
// the end of a run. Its menu shows the window, starts adjusting all tracks or quits.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    static constexpr int kBlinkMs = 667;
    static constexpr int kAnimationTickMs = 20;
    static constexpr int kIdleImage = 5;
    static constexpr int kEmptyImage = -1; // "Sonorix16x16_empty"

    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    bool isAvailable() const;
    void setProgress(std::optional<double> fraction, bool active);
    void playFinishedAnimation();

    // The level 0 … 5 that a progress fraction has reached.
    static int levelForFraction(std::optional<double> fraction);
    // The image shown now: 0 … 5 for "Sonorix16x16_0" … "_5", kEmptyImage for the bare tile.
    int currentImage() const { return m_image; }
    bool isBlinking() const { return m_blinkTimer.isActive(); }
    bool isAnimating() const { return m_animationTimer.isActive(); }
    // One toggle of the blink bit, as the timer does it.
    void blink();
    QMenu* menu() const { return m_menu.get(); }

signals:
    void showWindowRequested();
    void adjustAllRequested();
    void exitRequested();

private:
    void advanceAnimation();
    void showImage(int image);
    int steadyImage() const;
    QIcon iconFor(int image);

    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<QMenu> m_menu;
    QTimer m_blinkTimer;
    QTimer m_animationTimer;
    std::array<QIcon, 7> m_icons; // images 0 … 5, then the empty tile
    int m_level = 0;
    bool m_active = false;
    bool m_blinkBit = false;
    int m_animationStep = 0;
    int m_image = kIdleImage;
};

} // namespace sonorix
