#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace sonorix {

// The processing speed (seconds of audio per second) on a dial that is linear up to 10 and
// compressed above, with a needle that eases towards the value, and a caption below: "Speed"
// while the needle rests near zero, the number of processors at work once it moves.
class Speedometer : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTickMs = 50;
    static constexpr double kMaxPosition = 199.0; // the dial ends at 10,000 × real time

    explicit Speedometer(QWidget* parent = nullptr);

    void setValue(double audioSecondsPerSecond);
    double displayedValue() const { return m_displayed; }
    double targetValue() const { return m_target; }
    QString caption() const { return m_caption; }
    bool captionActive() const { return m_captionActive; }

    static double positionForValue(double value);
    static double valueForPosition(double position);

    bool isAnimating() const { return m_timer.isActive(); }
    double needleSpeed() const { return m_needleSpeed; }
    // One step of the needle at the given clock time (seconds); the timer calls it every 50 ms.
    void tick(double now);
    // The clock the needle runs on; tests drive it by hand.
    void setClock(std::function<double()> clock);
    // The number of processors named by the active caption.
    void setProcessorCount(int count);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void updateCaption();
    double now() const;

    double m_target = 0.0;
    double m_displayed = 0.0;
    double m_needleSpeed = 0.0; // dial positions per second, signed
    double m_lastTick = 0.0;
    int m_processors = 1;
    QString m_caption;
    bool m_captionActive = false;
    QTimer m_timer;
    QElapsedTimer m_elapsed;
    std::function<double()> m_clock;
};

} // namespace sonorix
