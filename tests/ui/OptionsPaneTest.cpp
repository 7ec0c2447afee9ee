#include "ui/GroupOptionsPane.h"

#include <QtTest>

#include <cmath>

using namespace sonorix;

class OptionsPaneTest : public QObject {
    Q_OBJECT
private slots:
    // Every combination of adjustment mode, album mode and the three boxes, idle and while
    // processing, against the rules written out here once more.
    void enableAndTickRules() {
        for (int op = 0; op <= 2; ++op) {
            for (int albumMode = 0; albumMode <= 3; ++albumMode) {
                for (int bits = 0; bits < 8; ++bits) {
                    for (bool processing : {false, true}) {
                        OptionQueries q;
                        q.operationMode = op;
                        q.rules.albumMode = albumMode;
                        q.rules.gaplessAlwaysAlbums = bits & 1;
                        q.rules.compilationsNotAlbums = bits & 2;
                        q.rules.multipleCDAlbums = bits & 4;
                        q.additionalLoudness = 1.5;
                        const GroupOptionsView v = GroupOptionsView::of(q, processing);
                        const QString where = QStringLiteral("op %1 album %2 bits %3 busy %4")
                                                  .arg(op)
                                                  .arg(albumMode)
                                                  .arg(bits)
                                                  .arg(processing);
                        const bool gapless = bits & 1;
                        const bool separate = albumMode <= 1;
                        const bool mayCombine =
                            albumMode == 0 ? gapless : (albumMode == 1 || albumMode == 2);
                        const bool multiApplies = albumMode == 2 || (separate && gapless);

                        QVERIFY2(v.operationIndex == op, qPrintable(where));
                        QVERIFY2(v.albumIndex == std::max(albumMode - 1, 0), qPrintable(where));
                        QVERIFY2(v.gaplessChecked == (separate ? gapless : albumMode == 2),
                                 qPrintable(where));
                        QVERIFY2(v.gaplessEnabled == (separate && !processing), qPrintable(where));
                        QVERIFY2(v.compilationsChecked == (mayCombine && (bits & 2)),
                                 qPrintable(where));
                        QVERIFY2(v.compilationsEnabled == (mayCombine && !processing),
                                 qPrintable(where));
                        QVERIFY2(v.multiCDChecked == (multiApplies && (bits & 4)),
                                 qPrintable(where));
                        QVERIFY2(v.multiCDEnabled == (multiApplies && !processing),
                                 qPrintable(where));
                        QVERIFY2(v.multiCDGapless == (separate && gapless), qPrintable(where));
                        QVERIFY2(v.sliderPosition == 15, qPrintable(where));
                        QVERIFY2(v.sliderEnabled == (op == 0 && !processing), qPrintable(where));
                        QVERIFY2(v.valueText == (op == 0 ? QStringLiteral("+1.5 dB") : QString()),
                                 qPrintable(where));
                        QVERIFY2(v.albumEnabled == !processing, qPrintable(where));
                    }
                }
            }
        }
    }

    void sliderValueText() {
        OptionQueries q;
        q.additionalLoudness = -0.3;
        QCOMPARE(GroupOptionsView::of(q, false).valueText, QStringLiteral("-0.3 dB"));
        QCOMPARE(GroupOptionsView::of(q, false).sliderPosition, -3);
        q.additionalLoudness = 0;
        QCOMPARE(GroupOptionsView::of(q, false).valueText, QStringLiteral("+0.0 dB"));
    }

    void sliderRounding() {
        QCOMPARE(additionalAdjustmentForPosition(12), 1.2);
        QCOMPARE(additionalAdjustmentForPosition(-60), -6.0);
        QCOMPARE(additionalAdjustmentForPosition(60), 6.0);
        QCOMPARE(additionalAdjustmentForPosition(0.6), 0.1);
        // Near zero is zero without a sign, so the text never reads "-0.0 dB".
        for (double position : {-0.4, -0.05, 0.0, 0.05, 0.4}) {
            const double value = additionalAdjustmentForPosition(position);
            QCOMPARE(value, 0.0);
            QVERIFY(!std::signbit(value));
        }
    }
};

QTEST_MAIN(OptionsPaneTest)
#include "OptionsPaneTest.moc"
