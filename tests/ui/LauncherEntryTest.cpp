#include "ui/LauncherEntry.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

using sonorix::LauncherEntry;

// Listens on a private session bus of its own, so that no desktop sees the test's progress.
class LauncherEntryTest : public QObject {
    Q_OBJECT

    QProcess daemon;
    QList<QDBusMessage> updates;

public slots:
    void onUpdate(const QDBusMessage& message) { updates << message; }

private:
    static QVariantMap propertiesOf(const QDBusMessage& message) {
        return qdbus_cast<QVariantMap>(message.arguments().at(1));
    }

private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsSet("SONORIX_LAUNCHER_CHILD"))
            return; // the child of silentWithoutABus brings no bus
        const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (program.isEmpty())
            QSKIP("dbus-daemon is not installed");
        daemon.start(program, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                               QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
        QVERIFY(daemon.waitForStarted());
        QVERIFY(daemon.waitForReadyRead(10000));
        const QByteArray address = daemon.readLine().trimmed();
        QVERIFY(!address.isEmpty());
        // Before the first use of the session bus, which reads it once.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        QDBusConnection listener =
            QDBusConnection::connectToBus(QString::fromLatin1(address), QStringLiteral("listener"));
        QVERIFY(listener.isConnected());
        QVERIFY(listener.connect({}, {}, QString::fromLatin1(LauncherEntry::kInterface),
                                 QStringLiteral("Update"), this, SLOT(onUpdate(QDBusMessage))));
    }

    void cleanupTestCase() {
        QDBusConnection::disconnectFromBus(QStringLiteral("listener"));
        if (daemon.state() != QProcess::NotRunning) {
            daemon.terminate();
            daemon.waitForFinished(5000);
        }
    }

    void init() { updates.clear(); }

    void silentWithoutABus() {
        if (qEnvironmentVariableIsSet("SONORIX_LAUNCHER_CHILD")) {
            LauncherEntry entry(QStringLiteral("sonorix"));
            entry.setProgress(0.5);
            entry.setProgress(std::nullopt);
            entry.setProgress(1.0);
            return;
        }
        // A process of its own, since the session bus is chosen once per process.
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("SONORIX_LAUNCHER_CHILD"), QStringLiteral("1"));
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unix:path=/nonexistent/sonorix-test-bus"));
        environment.remove(QStringLiteral("DISPLAY")); // no bus started on the display's behalf
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("silentWithoutABus"), QStringLiteral("-silent")});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitCode(), 0);
        const QString errors = QString::fromLocal8Bit(child.readAllStandardError());
        QVERIFY2(!errors.contains(QStringLiteral("DBus"), Qt::CaseInsensitive) &&
                     !errors.contains(QStringLiteral("D-Bus"), Qt::CaseInsensitive),
                 qPrintable(errors));
    }

    void sendsProgressAndItsVisibility() {
        {
            LauncherEntry entry(QStringLiteral("sonorix"));
            QCOMPARE(entry.applicationUri(), QStringLiteral("application://sonorix.desktop"));
            entry.setProgress(0.25);
            QTRY_COMPARE_WITH_TIMEOUT(updates.size(), 1, 5000);
            const QDBusMessage& first = updates.at(0);
            QCOMPARE(first.type(), QDBusMessage::SignalMessage);
            QCOMPARE(first.member(), QStringLiteral("Update"));
            QCOMPARE(first.arguments().at(0).toString(),
                     QStringLiteral("application://sonorix.desktop"));
            QCOMPARE(propertiesOf(first).value(QStringLiteral("progress")).toDouble(), 0.25);
            QCOMPARE(propertiesOf(first).value(QStringLiteral("progress-visible")).toBool(), true);

            // A step no dock can show is not sent; the next real one is.
            entry.setProgress(0.2504);
            entry.setProgress(0.5);
            QTRY_COMPARE_WITH_TIMEOUT(updates.size(), 2, 5000);
            QCOMPARE(propertiesOf(updates.at(1)).value(QStringLiteral("progress")).toDouble(), 0.5);

            entry.setProgress(std::nullopt);
            QTRY_COMPARE_WITH_TIMEOUT(updates.size(), 3, 5000);
            QCOMPARE(propertiesOf(updates.at(2)).value(QStringLiteral("progress-visible")).toBool(),
                     false);
            entry.setProgress(std::nullopt);

            entry.setProgress(0.9);
            QTRY_COMPARE_WITH_TIMEOUT(updates.size(), 4, 5000);
        }
        // Gone while showing progress, it takes the bar with it.
        QTRY_COMPARE_WITH_TIMEOUT(updates.size(), 5, 5000);
        QCOMPARE(propertiesOf(updates.at(4)).value(QStringLiteral("progress-visible")).toBool(),
                 false);
    }
};

QTEST_MAIN(LauncherEntryTest)
#include "LauncherEntryTest.moc"
