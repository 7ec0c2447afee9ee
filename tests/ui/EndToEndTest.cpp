#include "support/WindowFixture.h"

#include "ui/OutlineModel.h"
#include "ui/StartButton.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <map>

using namespace sonorix;
using namespace sonorix::test;

namespace {

// The Sound Check text of a file as an independent reader sees it; "unreadable" when the file
// is not a whole MP3.
std::string soundCheckOf(const std::string& path) {
    static const char* script = R"(
import sys, mutagen.mp3
f = mutagen.mp3.MP3(sys.argv[1])
if f.info.length < 0.5:
    print('unreadable')
    sys.exit(0)
print(''.join(''.join(fr.text) for k, fr in (f.tags or {}).items() if k.startswith('COMM:iTunNORM')))
)";
    auto r = runCommand({"/usr/bin/python3", "-c", script, path});
    if (r.status != 0) {
        return "unreadable";
    }
    while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) {
        r.out.pop_back();
    }
    return r.out;
}

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void adjustAllTracksFromTheMenu() {
        WindowFixture f;
        QVERIFY(f.makeLibrary({{"Loud", "anoisesrc=d=3:c=pink:a=0.8:r=44100"},
                               {"Soft", "sine=f=440:d=3:r=44100,volume=-25dB"},
                               {"Middle", "anoisesrc=d=3:c=brown:a=0.3:r=44100"}}));
        QVERIFY(f.open());
        MainWindow& w = *f.window;
        QSignalSpy finished(&w, &MainWindow::finished);
        w.adjustAllAction()->trigger();
        QVERIFY(w.startButton()->isRunning());
        QVERIFY(waitUntil([&] { return finished.count() > 0; }, 120000));
        QVERIFY(waitUntil([&] { return !w.startButton()->isRunning(); }, 5000));
        QVERIFY(f.alerts.isEmpty());

        const QRegularExpression adjustment(QStringLiteral("^[+-]\\d+\\.\\d dB$"));
        OutlineModel* model = w.outlineModel();
        QCOMPARE(model->rowCount(), 3);
        for (int row = 0; row < model->rowCount(); ++row) {
            const QString shown =
                model->index(row, OutlineModel::AdjustmentColumn).data().toString();
            QVERIFY2(adjustment.match(shown).hasMatch(), qPrintable(shown));
        }
        for (const auto& file : f.files) {
            const std::string norm = soundCheckOf(file);
            QVERIFY2(norm.size() > 40, (file + ": " + norm).c_str());
        }
    }

    // Closing the window while tracks are being written leaves every file either as it was or
    // whole with its new text, and nothing else in the folder.
    void closingMidRunLeavesNoHalfWrittenFile() {
        WindowFixture f;
        std::vector<WindowFixture::Song> songs;
        for (int i = 0; i < 10; ++i) {
            songs.push_back(
                {"Song " + std::to_string(i),
                 "anoisesrc=d=20:c=pink:a=0." + std::to_string(2 + i % 7) + ":r=44100"});
        }
        QVERIFY(f.makeLibrary(songs));
        std::map<std::string, std::string> before;
        for (const auto& file : f.files) {
            before[file] = readFile(file);
        }
        const QStringList entriesBefore =
            QDir(QString::fromStdString(f.dir.path())).entryList(QDir::Files | QDir::Hidden);
        QVERIFY(f.open());
        f.window->adjustAllAction()->trigger();
        QVERIFY(waitUntil(
            [&] {
                for (const auto& file : f.files) {
                    if (readFile(file) != before[file]) {
                        return true;
                    }
                }
                return false;
            },
            120000));
        f.close();

        size_t changed = 0;
        for (const auto& file : f.files) {
            if (readFile(file) == before[file]) {
                continue;
            }
            ++changed;
            const std::string norm = soundCheckOf(file);
            QVERIFY2(norm != "unreadable" && norm.size() > 40, (file + ": " + norm).c_str());
        }
        QVERIFY(changed >= 1);
        qInfo("%zu of %zu files written before the window closed", changed, f.files.size());
        QStringList entriesAfter =
            QDir(QString::fromStdString(f.dir.path())).entryList(QDir::Files | QDir::Hidden);
        entriesAfter.removeAll(QStringLiteral("prefs.plist"));
        QCOMPARE(entriesAfter, entriesBefore);
    }
};

QTEST_MAIN(EndToEndTest)
#include "EndToEndTest.moc"
