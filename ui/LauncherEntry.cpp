#include "ui/LauncherEntry.h"

namespace sonorix {

LauncherEntry::LauncherEntry(const QString&, QObject* parent) : QObject(parent) {}

void LauncherEntry::setProgress(std::optional<double>) {}

} // namespace sonorix
