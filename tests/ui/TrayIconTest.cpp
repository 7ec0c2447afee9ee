#include "ui/TrayIcon.h"
#include "foundation/Localization.h"

#include <QMenu>
#include <QSignalSpy>
#include <QtTest>

using sonorix::TrayIcon;

class TrayIconTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        auto& l10n = sonorix::Localization::shared();
        QVERIFY(l10n.setLanguage(l10n.languageNamed("en")));
    }

    void levelsFollowTheProgress() {
        QCOMPARE(TrayIcon::levelForFraction(std::nullopt), 0);
        QCOMPARE(TrayIcon::levelForFraction(0.0), 0);
        QCOMPARE(TrayIcon::levelForFraction(0.199), 0);
        QCOMPARE(TrayIcon::levelForFraction(0.2), 1);
        QCOMPARE(TrayIcon::levelForFraction(0.6), 3);
        QCOMPARE(TrayIcon::levelForFraction(0.999), 4);
        QCOMPARE(TrayIcon::levelForFraction(1.0), 5);
        QCOMPARE(TrayIcon::levelForFraction(1.5), 5);
        QCOMPARE(TrayIcon::levelForFraction(-1.0), 0);
    }

    void blinksTheNextLevelWhileActive() {
        TrayIcon tray;
        QCOMPARE(tray.currentImage(), TrayIcon::kIdleImage);
        QVERIFY(!tray.isBlinking());

        tray.setProgress(0.45, true);
        QVERIFY(tray.isBlinking());
        QCOMPARE(tray.currentImage(), 2);
        tray.blink();
        QCOMPARE(tray.currentImage(), 3);
        tray.blink();
        QCOMPARE(tray.currentImage(), 2);

        // The level moves on between blinks without restarting the blink.
        tray.blink();
        tray.setProgress(0.65, true);
        QCOMPARE(tray.currentImage(), 4);

        // At the top level there is nothing further to blink to.
        tray.setProgress(1.0, true);
        QCOMPARE(tray.currentImage(), 5);
        tray.blink();
        QCOMPARE(tray.currentImage(), 5);

        tray.setProgress(0.3, false);
        QVERIFY(!tray.isBlinking());
        QCOMPARE(tray.currentImage(), TrayIcon::kIdleImage);
    }

    void blinkTimerToggles() {
        TrayIcon tray;
        tray.setProgress(0.0, true);
        QCOMPARE(tray.currentImage(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(tray.currentImage(), 1, 2000);
        QTRY_COMPARE_WITH_TIMEOUT(tray.currentImage(), 0, 2000);
    }

    void menuOffersItsThreeCommands() {
        TrayIcon tray;
        const auto actions = tray.menu()->actions();
        QStringList texts;
        for (QAction* action : actions)
            if (!action->isSeparator())
                texts << action->text();
        QCOMPARE(texts, (QStringList{QStringLiteral("Show Sonorix"),
                                     QStringLiteral("Adjust All Tracks"), QStringLiteral("Exit")}));
        QSignalSpy show(&tray, &TrayIcon::showWindowRequested);
        QSignalSpy adjust(&tray, &TrayIcon::adjustAllRequested);
        QSignalSpy exit(&tray, &TrayIcon::exitRequested);
        for (QAction* action : actions)
            action->trigger();
        QCOMPARE(show.count(), 1);
        QCOMPARE(adjust.count(), 1);
        QCOMPARE(exit.count(), 1);
    }
};

QTEST_MAIN(TrayIconTest)
#include "TrayIconTest.moc"
