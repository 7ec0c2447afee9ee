#include "support/WindowFixture.h"

#include "model/SonorixPreferences.h"
#include "ui/OutlineModel.h"
#include "ui/OutlineView.h"

#include <QMenu>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <filesystem>

using namespace sonorix;
using namespace sonorix::test;

namespace {

// Every Sound Check text of an MP3 as an independent reader sees it, joined by "|".
std::string soundCheckOf(const std::string& path) {
    static const char* script = R"(
import sys, mutagen.id3
try:
    tags = mutagen.id3.ID3(sys.argv[1])
except mutagen.id3.ID3NoHeaderError:
    sys.exit(0)
print('|'.join(''.join(f.text) for f in tags.getall('COMM') if f.desc.lower() == 'itunnorm'))
)";
    auto r = runCommand({"/usr/bin/python3", "-c", script, path});
    if (r.status != 0) {
        return "unreadable: " + r.err;
    }
    while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) {
        r.out.pop_back();
    }
    return r.out;
}

bool setSoundCheck(const std::string& path, const std::string& text) {
    static const char* script = R"(
import sys, mutagen.id3
try:
    tags = mutagen.id3.ID3(sys.argv[1])
except mutagen.id3.ID3NoHeaderError:
    tags = mutagen.id3.ID3()
tags.add(mutagen.id3.COMM(encoding=0, lang='eng', desc='iTunNORM', text=[sys.argv[2]]))
tags.save(sys.argv[1])
)";
    return runCommand({"/usr/bin/python3", "-c", script, path, text}).status == 0;
}

QString cellText(OutlineModel* model, int row) {
    return model->index(row, OutlineModel::AdjustmentColumn).data().toString();
}

const char* const kOriginal =
    " 00000123 00000123 00001234 00001234 00000000 00000000 00007FFF 00007FFF 00000000 00000000";

} // namespace

class PreviewRestoreTest : public QObject {
    Q_OBJECT

    WindowFixture* fixture = nullptr;
    MainWindow* window() { return fixture->window.get(); }
    SonorixController& controller() { return window()->controller(); }

    void openLibrary(bool originalText) {
        QVERIFY(fixture->makeLibrary({{"Loud", "anoisesrc=d=2:c=pink:a=0.8:r=44100"},
                                      {"Soft", "sine=f=440:d=2:r=44100,volume=-25dB"}}));
        if (originalText) {
            QVERIFY(setSoundCheck(fixture->file(1), kOriginal));
        }
        QVERIFY(fixture->open());
    }
    void runToEnd() {
        QVERIFY(waitUntil([&] { return !controller().anyProcessorRunning(); }, 120000));
    }
    void showTracksMenu() { emit window()->tracksMenu()->aboutToShow(); }

private slots:
    void init() { fixture = new WindowFixture(); }
    void cleanup() {
        delete fixture;
        fixture = nullptr;
    }

    // The preview writes nothing, shows per row what a run would write, and the real run that
    // follows writes exactly that and takes the preview's figures away.
    void previewWritesNothingAndShowsWhatARunWouldWrite() {
        openLibrary(true);
        std::vector<std::string> before;
        std::vector<std::filesystem::file_time_type> times;
        for (const auto& file : fixture->files) {
            before.push_back(readFile(file));
            times.push_back(std::filesystem::last_write_time(file));
        }
        window()->previewAction(SonorixController::kModeAll)->trigger();
        QVERIFY(controller().isAdjusting());
        runToEnd();
        QVERIFY(fixture->alerts.isEmpty());
        for (size_t i = 0; i < fixture->files.size(); ++i) {
            QVERIFY(readFile(fixture->file(i)) == before[i]);
            QVERIFY(std::filesystem::last_write_time(fixture->file(i)) == times[i]);
        }

        OutlineModel* model = window()->outlineModel();
        QVERIFY(model->preview());
        QCOMPARE(model->preview()->rows().size(), size_t(2));
        const QRegularExpression shown(
            QStringLiteral("^(no data|[+-]\\d+\\.\\d dB) \u2192 ([+-]\\d+\\.\\d) dB "
                           "\\(([+-]\\d+\\.\\d) dB\\)$"));
        std::map<QString, QString> planned; // title -> value shown as would-write
        for (int row = 0; row < model->rowCount(); ++row) {
            const auto match = shown.match(cellText(model, row));
            QVERIFY2(match.hasMatch(), qPrintable(cellText(model, row)));
            const QString title = model->index(row, OutlineModel::TitleColumn).data().toString();
            planned[title] = match.captured(2);
            // The file without a text shows it has none; the difference is then the whole value.
            if (title == "Loud") {
                QCOMPARE(match.captured(1), QStringLiteral("no data"));
                QCOMPARE(match.captured(3), match.captured(2));
            } else {
                QVERIFY(match.captured(1) != QStringLiteral("no data"));
            }
        }

        window()->adjustAllAction()->trigger();
        QVERIFY(!model->preview());
        runToEnd();
        for (int row = 0; row < model->rowCount(); ++row) {
            const QString title = model->index(row, OutlineModel::TitleColumn).data().toString();
            QCOMPARE(cellText(model, row), planned[title] + QStringLiteral(" dB"));
        }
        QVERIFY(readFile(fixture->file(0)) != before[0]);
    }

    // A value the clipping guard lowered is marked, in the preview and after the run, and its
    // tooltip says why.
    void cappedRowsAreMarked() {
        QVERIFY(fixture->makeLibrary(
            {{"Spiky", "aevalsrc='if(lt(t,0.0005),0.95,0.003*sin(2*PI*440*t))':d=2:s=44100"},
             {"Plain", "anoisesrc=d=2:c=pink:a=0.8:r=44100"}}));
        QVERIFY(fixture->open());
        controller().preferences()->setLimitToPeak(true);
        OutlineModel* model = window()->outlineModel();
        auto rowOf = [&](const QString& title) {
            for (int row = 0; row < model->rowCount(); ++row) {
                if (model->index(row, OutlineModel::TitleColumn).data().toString() == title) {
                    return model->index(row, OutlineModel::AdjustmentColumn);
                }
            }
            return QModelIndex();
        };
        window()->previewAction(SonorixController::kModeAll)->trigger();
        runToEnd();
        for (bool preview : {true, false}) {
            const QModelIndex spiky = rowOf("Spiky");
            const QModelIndex plain = rowOf("Plain");
            QVERIFY2(spiky.data(OutlineModel::LimitedByPeakRole).toBool(),
                     qPrintable(spiky.data().toString()));
            QVERIFY(spiky.data().toString().endsWith(QStringLiteral(" \u26A0")));
            QVERIFY(spiky.data(Qt::ToolTipRole).toString().contains("peak"));
            QVERIFY(!plain.data(OutlineModel::LimitedByPeakRole).toBool());
            QVERIFY(!plain.data().toString().contains(QStringLiteral("\u26A0")));
            QVERIFY(!plain.data(Qt::ToolTipRole).isValid());
            if (preview) {
                window()->adjustAllAction()->trigger();
                runToEnd();
            }
        }
    }

    // Restore asks first; refused, nothing changes; answered, the file with a text gets its
    // original back and the file without one loses Sonorix's.
    void restoreFromTheMenuReturnsTheOriginalState() {
        openLibrary(true);
        QCOMPARE(soundCheckOf(fixture->file(0)), std::string());
        QCOMPARE(soundCheckOf(fixture->file(1)), std::string(kOriginal));
        window()->adjustAllAction()->trigger();
        runToEnd();
        const std::string adjusted0 = soundCheckOf(fixture->file(0));
        const std::string adjusted1 = soundCheckOf(fixture->file(1));
        QVERIFY2(adjusted0.size() > 40, adjusted0.c_str());
        QVERIFY(adjusted1 != kOriginal);

        window()->outlineView()->selectAll();
        fixture->answer = 1;
        window()->restoreAction()->trigger();
        QCOMPARE(fixture->alerts.size(), 1);
        QVERIFY(!controller().anyProcessorRunning());
        QCOMPARE(soundCheckOf(fixture->file(0)), adjusted0);

        fixture->answer = 0;
        window()->restoreAction()->trigger();
        QCOMPARE(fixture->alerts.size(), 2);
        QVERIFY(controller().isRunningTrackTask());
        runToEnd();
        QCOMPARE(soundCheckOf(fixture->file(0)), std::string());
        QCOMPARE(soundCheckOf(fixture->file(1)), std::string(kOriginal));
    }

    // Repair leaves one text where the file held two.
    void repairFromTheMenuLeavesOneText() {
        QVERIFY(fixture->makeLibrary({{"Soft", "sine=f=440:d=2:r=44100,volume=-25dB"}}));
        QVERIFY(setSoundCheck(fixture->file(0), kOriginal));
        static const char* duplicate = R"(
import sys, mutagen.id3
tags = mutagen.id3.ID3(sys.argv[1])
tags.add(mutagen.id3.COMM(encoding=0, lang='XXX', desc='ITUNNORM', text=[sys.argv[2]]))
tags.save(sys.argv[1])
)";
        QCOMPARE(
            runCommand({"/usr/bin/python3", "-c", duplicate, fixture->file(0), kOriginal}).status,
            0);
        QCOMPARE(soundCheckOf(fixture->file(0)), std::string(kOriginal) + "|" + kOriginal);
        QVERIFY(fixture->open());
        window()->outlineView()->selectAll();
        window()->repairAction()->trigger();
        QCOMPARE(fixture->alerts.size(), 1);
        runToEnd();
        QCOMPARE(soundCheckOf(fixture->file(0)), std::string(kOriginal));
    }

    void menuFollowsSelectionAndProcessing() {
        openLibrary(false);
        auto enabled = [&] {
            showTracksMenu();
            QString flags;
            for (QAction* action :
                 {window()->previewAction(SonorixController::kModeAll),
                  window()->previewAction(SonorixController::kModeSelectedInSonorix),
                  window()->restoreAction(), window()->repairAction()}) {
                flags += action->isEnabled() ? '1' : '0';
            }
            return flags;
        };
        window()->outlineView()->clearSelection();
        QCOMPARE(enabled(), QStringLiteral("1000"));
        window()->outlineView()->selectAll();
        QCOMPARE(enabled(), QStringLiteral("1111"));

        window()->adjustAllAction()->trigger();
        QVERIFY(controller().isAdjusting());
        QCOMPARE(enabled(), QStringLiteral("0000"));
        // Triggered anyway (a menu left open), the preview neither stops nor replaces the run.
        window()->previewAction(SonorixController::kModeAll)->setEnabled(true);
        window()->previewAction(SonorixController::kModeAll)->trigger();
        QVERIFY(controller().isAdjusting());
        QVERIFY(!window()->outlineModel()->preview());
        controller().stopAdjusting();
        QCOMPARE(enabled(), QStringLiteral("1111"));

        window()->previewAction(SonorixController::kModeAll)->trigger();
        QVERIFY(controller().isAdjusting());
        QCOMPARE(enabled(), QStringLiteral("0000"));
        runToEnd();
        QCOMPARE(enabled(), QStringLiteral("1111"));
    }
};

QTEST_MAIN(PreviewRestoreTest)
#include "PreviewRestoreTest.moc"
