#pragma once

#include <QObject>
#include <QString>

#include <optional>

namespace sonorix {

class LauncherEntry : public QObject {
    Q_OBJECT
public:
    explicit LauncherEntry(const QString& desktopFileId, QObject* parent = nullptr);
    void setProgress(std::optional<double> fraction);
};

} // namespace sonorix
