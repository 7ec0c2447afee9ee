#pragma once

#include <QAbstractButton>

namespace sonorix {

class StartButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit StartButton(QWidget* parent = nullptr);
    void setRunning(bool running);
    bool isRunning() const { return m_running; }
    QSize sizeHint() const override { return {64, 64}; }

signals:
    void startClicked();
    void modeMenuRequested(const QPoint& globalPos);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    bool m_running = false;
};

} // namespace sonorix
