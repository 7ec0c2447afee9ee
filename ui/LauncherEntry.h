#pragma once

#include <QObject>
#include <QString>

#include <optional>

namespace sonorix {

// Progress on the program's taskbar or dock entry, told to the desktop by the launcher-entry
// "Update" signal on the session bus, which GNOME and KDE Plasma docks show. Without a session
// bus, or with nobody listening, it does nothing and says nothing.
class LauncherEntry : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kInterface = "com.canonical.Unity.LauncherEntry";
    // Progress steps smaller than this are not sent: a dock cannot show them.
    static constexpr double kSmallestStep = 0.001;

    explicit LauncherEntry(const QString& desktopFileId, QObject* parent = nullptr);
    ~LauncherEntry() override;

    void setProgress(std::optional<double> fraction);

    // "application://" and the desktop file's id, as the docks match it.
    QString applicationUri() const { return m_appUri; }
    QString objectPath() const { return m_path; }

private:
    void send(double progress, bool visible);

    QString m_appUri;
    QString m_path;
    std::optional<double> m_sent; // the progress last shown; nullopt while hidden
};

} // namespace sonorix
