#include "ui/PreferencesDialog.h"
#include "foundation/Localization.h"
#include "model/SonorixPreferences.h"
#include "support/TestSupport.h"
#include "ui/PreferencesController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QTest>

#include <memory>

using namespace sonorix;

class PreferencesDialogTest : public QObject {
    Q_OBJECT

    struct Setup {
        test::TempDir dir;
        std::shared_ptr<SonorixPreferences> preferences = std::make_shared<SonorixPreferences>();
        int reloads = 0;
        int saves = 0;
        int questions = 0;
        int answer = 0;
        std::unique_ptr<PreferenceRules> rules;

        Setup() {
            preferences->load(dir.file("prefs.plist"));
            PreferenceRules::Hooks hooks;
            hooks.reloadOutline = [this] { ++reloads; };
            hooks.ask = [this](const std::string&, const std::string&,
                               const std::vector<std::string>& buttons) {
                ++questions;
                return buttons.size() == 2 ? answer : -1;
            };
            hooks.save = [this] { ++saves; };
            rules = std::make_unique<PreferenceRules>(preferences, hooks);
        }
    };

private slots:
    void fillsFromTheSettings() {
        Setup setup;
        setup.preferences->setPerceivedLoudness(89);
        setup.preferences->setModifyComments(false);
        setup.preferences->setPreventSleep(true);
        setup.preferences->setResetManualAdjustments(false);
        setup.preferences->setUserInterfaceLanguage(u"dEuTsCh");
        PreferencesDialog dialog(*setup.rules);
        QCOMPARE(dialog.masterVolumeSlider()->value(), 890);
        QCOMPARE(dialog.masterVolumeLabel()->text(), QStringLiteral("89 dB"));
        QVERIFY(!dialog.modifyCommentsBox()->isChecked());
        QVERIFY(dialog.preventSleepBox()->isChecked());
        QVERIFY(!dialog.resetManualAdjustmentsBox()->isChecked());
        QCOMPARE(dialog.languageList()->currentText().toLower(), QStringLiteral("deutsch"));
        // Filling is not a change.
        QCOMPARE(setup.rules->saveTimerStarts(), 0);
        QCOMPARE(setup.reloads, 0);
    }

    void volumeWithinOneWholeDbNeitherSavesNorReloads() {
        Setup setup;
        setup.preferences->setPerceivedLoudness(92);
        PreferencesDialog dialog(*setup.rules);
        auto* slider = dialog.masterVolumeSlider();
        slider->setValue(922); // 92.2 dB
        slider->setValue(918); // 91.8 dB
        QCOMPARE(setup.rules->saveTimerStarts(), 0);
        QCOMPARE(setup.reloads, 0);
        QVERIFY(!setup.rules->savePending());
        QCOMPARE(setup.preferences->perceivedLoudness(), 92.0);
        QCOMPARE(dialog.masterVolumeLabel()->text(), QStringLiteral("92 dB"));

        // The next whole dB saves (later) and reloads; so does every further one, but a burst of
        // changes ends in a single save.
        slider->setValue(926);
        slider->setValue(941);
        QCOMPARE(setup.preferences->perceivedLoudness(), 94.0);
        QCOMPARE(dialog.masterVolumeLabel()->text(), QStringLiteral("94 dB"));
        QCOMPARE(setup.reloads, 2);
        QCOMPARE(setup.saves, 0);
        QVERIFY(setup.rules->savePending());
        QTRY_COMPARE_WITH_TIMEOUT(setup.saves, 1, 3000);
        QTest::qWait(1200);
        QCOMPARE(setup.saves, 1);
    }

    void modifyCommentsOffAsksAndCancelKeepsIt() {
        Setup setup;
        setup.preferences->setModifyComments(true);
        PreferencesDialog dialog(*setup.rules);
        setup.answer = 1; // Cancel
        dialog.modifyCommentsBox()->click();
        QCOMPARE(setup.questions, 1);
        QVERIFY(dialog.modifyCommentsBox()->isChecked());
        QVERIFY(setup.preferences->modifyComments());
        QCOMPARE(setup.rules->saveTimerStarts(), 0);
        QCOMPARE(setup.reloads, 0);

        setup.answer = 0; // OK
        dialog.modifyCommentsBox()->click();
        QCOMPARE(setup.questions, 2);
        QVERIFY(!dialog.modifyCommentsBox()->isChecked());
        QVERIFY(!setup.preferences->modifyComments());
        QCOMPARE(setup.reloads, 1);

        // Switching it on asks nothing.
        dialog.modifyCommentsBox()->click();
        QCOMPARE(setup.questions, 2);
        QVERIFY(setup.preferences->modifyComments());
    }

    void startButtonShowsAllTracksWithoutStoringIt() {
        Setup setup;
        PreferencesDialog dialog(*setup.rules);
        QCOMPARE(setup.preferences->startButtonMode(), int16_t(-1));
        QCOMPARE(dialog.startButtonList()->currentIndex(), 0);
        QCOMPARE(dialog.startButtonList()->currentText(),
                 QString::fromStdString(Localization::shared().windowText("All Tracks")));
        dialog.reject();
        QCOMPARE(setup.preferences->startButtonMode(), int16_t(-1));
        QCOMPARE(setup.saves, 1); // closing saves at once

        PreferencesDialog again(*setup.rules);
        again.startButtonList()->setCurrentIndex(2);
        emit again.startButtonList()->activated(2);
        QCOMPARE(setup.preferences->startButtonMode(), int16_t(2));
        QCOMPARE(setup.rules->saveTimerStarts(), 0); // saved with the close
    }

    void languageIsStoredForTheNextStart() {
        Setup setup;
        PreferencesDialog dialog(*setup.rules);
        const QString before = dialog.windowTitle();
        auto* list = dialog.languageList();
        const int dutch = list->findText(QStringLiteral("Nederlands"));
        QVERIFY(dutch >= 0);
        list->setCurrentIndex(dutch);
        emit list->activated(dutch);
        QVERIFY(setup.preferences->userInterfaceLanguage() == u"Nederlands");
        QVERIFY(setup.rules->savePending());
        QCOMPARE(dialog.windowTitle(), before);
    }

    void checkBoxesWriteAndSaveLater() {
        Setup setup;
        setup.preferences->setPreventSleep(true);
        setup.preferences->setResetManualAdjustments(true);
        PreferencesDialog dialog(*setup.rules);
        dialog.preventSleepBox()->click();
        QVERIFY(!setup.preferences->preventSleep());
        QCOMPARE(setup.reloads, 0); // read when processing starts
        dialog.resetManualAdjustmentsBox()->click();
        QVERIFY(!setup.preferences->resetManualAdjustments());
        QCOMPARE(setup.reloads, 1);
        QCOMPARE(setup.rules->saveTimerStarts(), 2);
        dialog.accept();
        QCOMPARE(setup.saves, 1);
        QVERIFY(!setup.rules->savePending());
    }
};

QTEST_MAIN(PreferencesDialogTest)
#include "PreferencesDialogTest.moc"
