#include "ui/Speedometer.h"
#include "foundation/Localization.h"

#include <QAccessible>
#include <QtTest>

#include <cmath>

using sonorix::Speedometer;

class SpeedometerTest : public QObject {
    Q_OBJECT

    // Drives the needle with a hand-held clock until it rests, at most ticks steps of 50 ms.
    static int settle(Speedometer& meter, double& clock, int ticks = 2000) {
        int n = 0;
        while (meter.isAnimating() && n < ticks) {
            clock += 0.05;
            meter.tick(clock);
            ++n;
        }
        return n;
    }

private slots:
    void initTestCase() {
        auto& l10n = sonorix::Localization::shared();
        QVERIFY(l10n.setLanguage(l10n.languageNamed("en")));
    }

    void scaleFormulasAreInverse() {
        double previous = -1;
        // Dense at the low end, where the scale is linear, then ever wider steps up to 10⁶.
        for (double x = 0; x <= 1e6; x += (x < 20 ? 0.01 : x < 2000 ? 0.7 : x / 900)) {
            const double p = Speedometer::positionForValue(x);
            QVERIFY2(p > previous, qPrintable(QStringLiteral("not increasing at %1").arg(x)));
            previous = p;
            const double back = Speedometer::valueForPosition(p);
            QVERIFY2(std::abs(back - x) <= 1e-9 * std::max(1.0, x),
                     qPrintable(QStringLiteral("%1 -> %2 -> %3").arg(x).arg(p).arg(back)));
        }
        for (double p = 0; p <= Speedometer::positionForValue(1e6); p += 0.37) {
            const double x = Speedometer::valueForPosition(p);
            QVERIFY(std::abs(Speedometer::positionForValue(x) - p) <= 1e-9 * std::max(1.0, p));
        }
    }

    void scaleIsContinuousAtItsJoints() {
        QCOMPARE(Speedometer::positionForValue(10), 10.0);
        QCOMPARE(Speedometer::positionForValue(1000), 109.0);
        QCOMPARE(Speedometer::positionForValue(10000), 199.0);
        for (double joint : {10.0, 1000.0, 10000.0, 100000.0}) {
            const double below = Speedometer::positionForValue(std::nextafter(joint, 0.0));
            QVERIFY(std::abs(below - Speedometer::positionForValue(joint)) < 1e-6);
        }
    }

    void needleStopsCloseToAFallingTarget() {
        Speedometer meter;
        double clock = 100.0;
        meter.setClock([&] { return clock; });
        meter.setValue(400);
        QVERIFY(settle(meter, clock) < 2000);
        QCOMPARE(meter.displayedValue(), 400.0);

        meter.setValue(3);
        const double target = Speedometer::positionForValue(3);
        int ticks = 0;
        while (meter.isAnimating() && ticks < 2000) {
            clock += 0.05;
            meter.tick(clock);
            ++ticks;
            // Falling, the needle's speed is negative: it rests at the first tick that brings
            // it within 0.025, and never passes below the target.
            if (meter.isAnimating()) {
                const double position = Speedometer::positionForValue(meter.displayedValue());
                QVERIFY2(position - target >= 0.025,
                         qPrintable(QStringLiteral("still moving at %1").arg(position - target)));
            }
        }
        QVERIFY2(!meter.isAnimating(), "the needle never came to rest");
        QVERIFY(meter.needleSpeed() < 0);
        QCOMPARE(meter.displayedValue(), 3.0);
    }

    void needleRisesAndRestsOnTheTarget() {
        Speedometer meter;
        double clock = 0;
        meter.setClock([&] { return clock; });
        meter.setValue(25);
        clock += 0.05;
        meter.tick(clock);
        QVERIFY(meter.displayedValue() > 0);
        QVERIFY(meter.displayedValue() < 25);
        QVERIFY(settle(meter, clock) < 2000);
        QCOMPARE(meter.displayedValue(), 25.0);
        QCOMPARE(meter.targetValue(), 25.0);
    }

    void unusableValuesCountAsNoSpeed() {
        Speedometer meter;
        double clock = 0;
        meter.setClock([&] { return clock; });
        meter.setValue(-5);
        QCOMPARE(meter.targetValue(), 0.0);
        QVERIFY(!meter.isAnimating());
        meter.setValue(std::nan(""));
        QCOMPARE(meter.targetValue(), 0.0);
        meter.setValue(INFINITY);
        QVERIFY(std::isfinite(meter.targetValue()));
        QVERIFY(settle(meter, clock) < 2000);
        QVERIFY(std::isfinite(meter.displayedValue()));
    }

    void captionSwitchesAtTwoTenthsBothWays() {
        Speedometer meter;
        double clock = 0;
        meter.setClock([&] { return clock; });
        meter.setProcessorCount(4);
        QCOMPARE(meter.caption(), QStringLiteral("Speed"));
        QVERIFY(!meter.captionActive());

        meter.setValue(0.19);
        settle(meter, clock);
        QCOMPARE(meter.displayedValue(), 0.19);
        QVERIFY(!meter.captionActive());

        meter.setValue(0.2);
        settle(meter, clock);
        QCOMPARE(meter.caption(), QStringLiteral("4 Cores"));
        QVERIFY(meter.captionActive());

        meter.setValue(0);
        while (meter.isAnimating() && meter.displayedValue() >= 0.2) {
            QVERIFY(meter.captionActive());
            clock += 0.05;
            meter.tick(clock);
        }
        QCOMPARE(meter.caption(), QStringLiteral("Speed"));
        QVERIFY(!meter.captionActive());

        meter.setProcessorCount(1);
        meter.setValue(8);
        settle(meter, clock);
        QCOMPARE(meter.caption(), QStringLiteral("1 Core"));
    }

    void assistiveTechnologyHearsTheSpeed() {
        Speedometer meter;
        double clock = 0;
        meter.setClock([&] { return clock; });
        meter.setProcessorCount(2);
        meter.setValue(37);
        settle(meter, clock);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&meter);
        QVERIFY(accessible);
        QCOMPARE(accessible->role(), QAccessible::Dial);
        QCOMPARE(accessible->text(QAccessible::Name), QStringLiteral("Speed"));
        QCOMPARE(accessible->text(QAccessible::Value), QStringLiteral("37 times real time"));
        QCOMPARE(accessible->text(QAccessible::Description), QStringLiteral("2 Cores"));
        QVERIFY(accessible->valueInterface());
        QCOMPARE(accessible->valueInterface()->currentValue().toDouble(), 37.0);
    }

    void timerDrivesTheNeedle() {
        Speedometer meter;
        meter.setValue(12);
        QVERIFY(meter.isAnimating());
        QTRY_VERIFY_WITH_TIMEOUT(!meter.isAnimating(), 10000);
        QCOMPARE(meter.displayedValue(), 12.0);
    }
};

QTEST_MAIN(SpeedometerTest)
#include "SpeedometerTest.moc"
