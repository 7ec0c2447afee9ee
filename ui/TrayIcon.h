#pragma once

#include <QObject>

#include <optional>

class QSystemTrayIcon;

namespace sonorix {

class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(QObject* parent = nullptr);
    bool isAvailable() const;
    void setProgress(std::optional<double> fraction, bool active);
    void playFinishedAnimation() {}

signals:
    void showWindowRequested();
    void adjustAllRequested();
    void exitRequested();
};

} // namespace sonorix
