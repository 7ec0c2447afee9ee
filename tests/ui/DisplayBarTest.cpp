#include "ui/DisplayBar.h"

#include <QtTest>

#include <cmath>

using sonorix::DisplayBar;

class DisplayBarTest : public QObject {
    Q_OBJECT

private slots:
    void emptyMessageShowsTheLogo() {
        DisplayBar bar;
        QVERIFY(bar.showsLogo());
        bar.showMessage(QStringLiteral("Processing Tracks…"), {});
        QVERIFY(!bar.showsLogo());
        bar.showMessage(QStringLiteral("Analyzing “A”"), QStringLiteral("Artist — Album"));
        QCOMPARE(bar.detail(), QStringLiteral("Artist — Album"));
        bar.showMessage({}, {});
        QVERIFY(bar.showsLogo());
        QVERIFY(bar.text().isEmpty());
    }

    void changesTooSmallToSeeAreNotRedrawn() {
        DisplayBar bar;
        bar.showProgress(0.5);
        const auto before = bar.redrawRequests();
        bar.showProgress(0.500004);
        QCOMPARE(bar.redrawRequests(), before);
        QCOMPARE(*bar.progress(), 0.5);
        // Tiny steps are measured from what is drawn, so they add up to a redraw.
        bar.showProgress(0.500008);
        QCOMPARE(bar.redrawRequests(), before);
        bar.showProgress(0.500012);
        QCOMPARE(bar.redrawRequests(), before + 1);
        QCOMPARE(*bar.progress(), 0.500012);
        bar.showProgress(0.500012 - 0.00002);
        QCOMPARE(bar.redrawRequests(), before + 2);
    }

    void progressFadesInAndHidesAtOnce() {
        DisplayBar bar;
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        QElapsedTimer elapsed;
        elapsed.start();
        bar.showProgress(0.1);
        QVERIFY(bar.progressOpacity() < 0.5);
        QTRY_COMPARE_WITH_TIMEOUT(bar.progressOpacity(), 1.0, 2000);
        QVERIFY(elapsed.elapsed() >= DisplayBar::kFadeInMs - 30);
        // A further fraction does not fade in again.
        bar.showProgress(0.2);
        QCOMPARE(bar.progressOpacity(), 1.0);

        bar.showProgress(std::nullopt);
        QVERIFY(!bar.progress());
        QCOMPARE(bar.progressOpacity(), 0.0);
    }

    void fractionsOutsideTheBarAreHeldToIt() {
        DisplayBar bar;
        bar.showProgress(1.7);
        QCOMPARE(*bar.progress(), 1.0);
        bar.showProgress(std::nan(""));
        QCOMPARE(*bar.progress(), 0.0);
        bar.showProgress(-3);
        QCOMPARE(*bar.progress(), 0.0);
    }
};

QTEST_MAIN(DisplayBarTest)
#include "DisplayBarTest.moc"
