#pragma once

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QTimer>

namespace sonorix {

// The round Start button with its caption below it. Idle and enabled, it glows softly in a 4 s
// cycle; running, its gear turns. A plain click asks to start or stop; holding the button for
// 250 ms or a right click asks for the menu of the four ways to start.
class StartButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int kGlowIntervalMs = 100;
    static constexpr int kGlowSteps = 40;        // steps 0 … 39
    static constexpr int kGlowVisibleSteps = 31; // the glow shows at steps 0 … 30
    static constexpr int kGearIntervalMs = 50;
    static constexpr int kGearFrames = 15;
    static constexpr int kHoldMs = 250;

    explicit StartButton(QWidget* parent = nullptr);

    void setRunning(bool running);
    bool isRunning() const { return m_running; }

    // The glow's opacity at a step of its cycle: (1 − cos(2π step / 30)) / 2 at steps 0 … 30,
    // none after.
    static double glowOpacityAtStep(int step);

    int glowStep() const { return m_glowStep; }
    int gearFrame() const { return m_gearFrame; }
    bool isGlowTimerActive() const { return m_glowTimer.isActive(); }
    bool isGearTimerActive() const { return m_gearTimer.isActive(); }
    QString caption() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    void startClicked();
    void modeMenuRequested(const QPoint& globalPos);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    void updateTimers();
    void advanceGlow();
    void advanceGear();
    void holdElapsed();
    QRect knobRect() const;
    QPoint menuPosition() const;
    void updateAccessibleTexts();

    bool m_running = false;
    bool m_hovered = false;
    bool m_keyboardFocus = false;     // the focus ring shows only for focus reached by keyboard
    bool m_menuShownForPress = false; // the hold opened the menu: the release is no click
    int m_glowStep = 0;
    int m_gearFrame = 0;
    QTimer m_glowTimer;
    QTimer m_gearTimer;
    QTimer m_holdTimer;
};

} // namespace sonorix
