#include "ui/StartButton.h"
#include "foundation/Localization.h"

#include <QSignalSpy>
#include <QtTest>

using sonorix::StartButton;

class StartButtonTest : public QObject {
    Q_OBJECT

    std::unique_ptr<StartButton> button;
    QPoint knob;

private slots:
    void initTestCase() {
        auto& l10n = sonorix::Localization::shared();
        QVERIFY(l10n.setLanguage(l10n.languageNamed("en")));
    }

    void init() {
        button = std::make_unique<StartButton>();
        button->resize(button->sizeHint());
        button->show();
        QVERIFY(QTest::qWaitForWindowExposed(button.get()));
        knob = QPoint(button->width() / 2, 24);
    }

    void cleanup() { button.reset(); }

    void glowFollowsItsCycle() {
        QCOMPARE(StartButton::glowOpacityAtStep(0), 0.0);
        QVERIFY(std::abs(StartButton::glowOpacityAtStep(15) - 1.0) < 1e-12);
        QVERIFY(std::abs(StartButton::glowOpacityAtStep(7) - 0.45) < 0.01);
        QVERIFY(StartButton::glowOpacityAtStep(30) < 1e-12);
        for (int step = 31; step < StartButton::kGlowSteps; ++step)
            QCOMPARE(StartButton::glowOpacityAtStep(step), 0.0);
    }

    void timersFollowTheState() {
        QVERIFY(button->isGlowTimerActive());
        QVERIFY(!button->isGearTimerActive());
        QCOMPARE(button->caption(), QStringLiteral("Start"));
        QTRY_VERIFY_WITH_TIMEOUT(button->glowStep() >= 2, 2000);

        button->setRunning(true);
        QVERIFY(button->isGearTimerActive());
        QVERIFY(!button->isGlowTimerActive());
        QCOMPARE(button->caption(), QStringLiteral("Stop"));
        QCOMPARE(button->accessibleName(), QStringLiteral("Stop"));
        QTRY_VERIFY_WITH_TIMEOUT(button->gearFrame() >= 3, 2000);

        button->setRunning(false);
        QVERIFY(!button->isGearTimerActive());
        QCOMPARE(button->gearFrame(), 0);
        QVERIFY(button->isGlowTimerActive());

        button->setEnabled(false);
        QVERIFY(!button->isGlowTimerActive());
        button->setEnabled(true);
        QVERIFY(button->isGlowTimerActive());
    }

    void plainClickStarts() {
        QSignalSpy start(button.get(), &StartButton::startClicked);
        QSignalSpy menu(button.get(), &StartButton::modeMenuRequested);
        QTest::mouseClick(button.get(), Qt::LeftButton, {}, knob);
        QCOMPARE(start.count(), 1);
        QCOMPARE(menu.count(), 0);
        // The transparent corner and the caption are not the button.
        QTest::mouseClick(button.get(), Qt::LeftButton, {}, QPoint(1, 1));
        QTest::mouseClick(button.get(), Qt::LeftButton, {},
                          QPoint(button->width() / 2, button->height() - 2));
        QCOMPARE(start.count(), 1);
    }

    void rightClickAsksForTheMenu() {
        QSignalSpy start(button.get(), &StartButton::startClicked);
        QSignalSpy menu(button.get(), &StartButton::modeMenuRequested);
        QTest::mouseClick(button.get(), Qt::RightButton, {}, knob);
        QCOMPARE(menu.count(), 1);
        QCOMPARE(start.count(), 0);
    }

    void holdAsksForTheMenuAndDoesNotClick() {
        QSignalSpy start(button.get(), &StartButton::startClicked);
        QSignalSpy menu(button.get(), &StartButton::modeMenuRequested);
        QElapsedTimer held;
        held.start();
        QTest::mousePress(button.get(), Qt::LeftButton, {}, knob);
        QTest::qWait(120);
        if (held.elapsed() < StartButton::kHoldMs - 20) // a loaded machine may oversleep
            QCOMPARE(menu.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(menu.count(), 1, 1000);
        QTest::mouseRelease(button.get(), Qt::LeftButton, {}, knob);
        QCOMPARE(start.count(), 0);
        QVERIFY(!button->isDown());

        // The next plain click is a click again.
        QTest::mouseClick(button.get(), Qt::LeftButton, {}, knob);
        QCOMPARE(start.count(), 1);
        QCOMPARE(menu.count(), 1);
    }

    void shortPressIsAClickOnly() {
        QSignalSpy start(button.get(), &StartButton::startClicked);
        QSignalSpy menu(button.get(), &StartButton::modeMenuRequested);
        QElapsedTimer held;
        held.start();
        QTest::mousePress(button.get(), Qt::LeftButton, {}, knob);
        QTest::qWait(100);
        QTest::mouseRelease(button.get(), Qt::LeftButton, {}, knob);
        if (held.elapsed() >= StartButton::kHoldMs)
            QSKIP("the machine was too busy to release the button in time");
        QTest::qWait(300); // past the hold time: the released press must not open the menu
        QCOMPARE(start.count(), 1);
        QCOMPARE(menu.count(), 0);
    }

    void disabledButtonIgnoresTheMouse() {
        button->setEnabled(false);
        QSignalSpy start(button.get(), &StartButton::startClicked);
        QSignalSpy menu(button.get(), &StartButton::modeMenuRequested);
        QTest::mouseClick(button.get(), Qt::LeftButton, {}, knob);
        QTest::mouseClick(button.get(), Qt::RightButton, {}, knob);
        QCOMPARE(start.count(), 0);
        QCOMPARE(menu.count(), 0);
    }
};

QTEST_MAIN(StartButtonTest)
#include "StartButtonTest.moc"
