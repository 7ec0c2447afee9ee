#include "ui/LauncherEntry.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include <algorithm>
#include <cmath>

namespace sonorix {

LauncherEntry::LauncherEntry(const QString& desktopFileId, QObject* parent) : QObject(parent) {
    QString id = desktopFileId;
    if (!id.endsWith(QStringLiteral(".desktop")))
        id += QStringLiteral(".desktop");
    m_appUri = QStringLiteral("application://") + id;
    // Any path of our own will do; listeners match the interface and the URI.
    m_path = QStringLiteral("/com/canonical/unity/launcherentry/%1").arg(qHash(m_appUri));
}

LauncherEntry::~LauncherEntry() {
    // A dock keeps the last state it heard of: do not leave a bar behind.
    if (m_sent)
        send(0.0, false);
}

void LauncherEntry::setProgress(std::optional<double> fraction) {
    if (!fraction) {
        if (m_sent)
            send(0.0, false);
        m_sent.reset();
        return;
    }
    const double progress = std::isfinite(*fraction) ? std::clamp(*fraction, 0.0, 1.0) : 0.0;
    if (m_sent && std::abs(progress - *m_sent) < kSmallestStep && progress != 1.0)
        return;
    if (m_sent && progress == *m_sent)
        return;
    m_sent = progress;
    send(progress, true);
}

void LauncherEntry::send(double progress, bool visible) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(m_path, QString::fromLatin1(kInterface),
                                                     QStringLiteral("Update"));
    QVariantMap properties;
    properties.insert(QStringLiteral("progress"), progress);
    properties.insert(QStringLiteral("progress-visible"), visible);
    signal << m_appUri << properties;
    bus.send(signal);
}

} // namespace sonorix
