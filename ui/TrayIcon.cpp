#include "ui/TrayIcon.h"

#include <QSystemTrayIcon>

namespace sonorix {

TrayIcon::TrayIcon(QObject* parent) : QObject(parent) {}

bool TrayIcon::isAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::setProgress(std::optional<double>, bool) {}

} // namespace sonorix
