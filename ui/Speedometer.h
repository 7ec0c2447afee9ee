#pragma once

#include <QString>
#include <QWidget>

namespace sonorix {

class Speedometer : public QWidget {
    Q_OBJECT
public:
    explicit Speedometer(QWidget* parent = nullptr);
    void setValue(double audioSecondsPerSecond);
    double displayedValue() const { return m_value; }
    double targetValue() const { return m_value; }
    QString caption() const;
    bool captionActive() const { return m_value >= 0.2; }
    static double positionForValue(double value) { return value; }
    static double valueForPosition(double position) { return position; }
    QSize sizeHint() const override { return {96, 64}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    double m_value = 0;
};

} // namespace sonorix
