// Renders the window in its main states, in a light and a dark palette. With
// SONORIX_SCREENSHOT_DIR set the pictures are kept there (scripts/screenshots); with
// SONORIX_SCREENSHOT_LIBRARY and SONORIX_SCREENSHOT_DATA the window shows that library.

#include "support/WindowFixture.h"

#include "foundation/Localization.h"
#include "foundation/Paths.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "processing/DisplayProgress.h"
#include "processing/SonorixAutomaticAdjustmentJobManager.h"
#include "ui/GroupOptionsPane.h"
#include "ui/PreferencesDialog.h"
#include "ui/Speedometer.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTimer>
#include <QtTest>

using namespace sonorix;
using namespace sonorix::test;

namespace {

QPalette darkPalette() {
    QPalette p;
    const QColor window(0x2b, 0x2d, 0x31), base(0x1f, 0x21, 0x24), text(0xe8, 0xe8, 0xea);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x26, 0x28, 0x2c));
    p.setColor(QPalette::ToolTipBase, window);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x36, 0x38, 0x3d));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Highlight, QColor(0x3d, 0x7e, 0xd6));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x6c, 0xa8, 0xf0));
    p.setColor(QPalette::PlaceholderText, QColor(0x8a, 0x8c, 0x90));
    p.setColor(QPalette::Mid, QColor(0x4a, 0x4c, 0x52));
    p.setColor(QPalette::Dark, QColor(0x18, 0x19, 0x1b));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, QColor(0x6e, 0x70, 0x75));
    }
    return p;
}

// A picture with something drawn: not one colour all over.
bool rendered(const QImage& image) {
    if (image.isNull() || image.width() < 50 || image.height() < 50) {
        return false;
    }
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); y += 7) {
        for (int x = 0; x < image.width(); x += 7) {
            if (image.pixel(x, y) != first) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

class ScreenshotsTest : public QObject {
    Q_OBJECT

    QString outputDir;
    QStringList made;

    void keep(const QString& name, const QImage& image) {
        QVERIFY2(rendered(image), qPrintable(name));
        made << name;
        if (!outputDir.isEmpty()) {
            QVERIFY(image.save(outputDir + "/" + name + ".png"));
        }
    }

    void renderStates(const QString& theme) {
        WindowFixture f;
        const QByteArray library = qgetenv("SONORIX_SCREENSHOT_LIBRARY");
        if (!library.isEmpty()) {
            f.libraryPath = library.toStdString();
            const QByteArray data = qgetenv("SONORIX_SCREENSHOT_DATA");
            if (!data.isEmpty()) {
                setDataFolderOverride(data.toStdString());
            }
        } else {
            std::vector<WindowFixture::Song> songs;
            const char* names[] = {"Morning Light", "Undertow",   "Paper Boats",
                                   "Northern Line", "Glasshouse", "Slow Burn"};
            for (int i = 0; i < 6; ++i) {
                songs.push_back(
                    {names[i], "anoisesrc=d=8:c=pink:a=0." + std::to_string(2 + i) + ":r=44100"});
            }
            QVERIFY(f.makeLibrary(songs));
        }
        QVERIFY(f.open());
        MainWindow& w = *f.window;
        w.resize(1320, 700);
        QTest::qWait(200);
        keep("idle-" + theme, w.grab().toImage());

        // Running: once the needle and the progress moved, the workers are held while the
        // picture is taken.
        SonorixController& c = w.controller();
        w.adjustAllAction()->trigger();
        waitUntil(
            [&] {
                auto processor = c.adjustingProcessor();
                return !processor || w.speedometer()->displayedValue() > 0.5 ||
                       processor->progress()->fraction() >= 0.3;
            },
            20000);
        if (auto processor = c.adjustingProcessor()) {
            processor->pause();
            QTest::qWait(300);
            keep("running-" + theme, w.grab().toImage());
            processor->resume();
        } else {
            keep("running-" + theme, w.grab().toImage());
        }
        c.stopAdjusting();
        QTest::qWait(100);

        // A manual group: its rows carry the in-cell adjustment control.
        auto groups = c.model()->groups();
        std::shared_ptr<SonorixGroup> manual;
        for (size_t i = 0; i < groups->count() && !manual; ++i) {
            if (groups->groupAt(i)->options().operationMode() == SonorixOptions::kAdjustManually) {
                manual = groups->groupAt(i);
            }
        }
        if (manual) {
            c.setCurrentGroup(manual, false);
        } else {
            w.optionsPane()->operationPopUp()->setCurrentIndex(1);
            emit w.optionsPane()->operationPopUp()->activated(1);
        }
        QTest::qWait(200);
        keep("manual-" + theme, w.grab().toImage());

        // The preferences dialog, modal: it is taken and closed from the event loop it runs. Its
        // texts are read when it opens, so a second one shows another language.
        auto& texts = Localization::shared();
        const std::string language = texts.currentLanguageName();
        for (const char* code : {"en", "de"}) {
            QVERIFY(texts.setLanguage(texts.languageNamed(code)));
            const QString name = QStringLiteral("preferences-%1-%2").arg(code, theme);
            QTimer::singleShot(300, [&, name] {
                for (QWidget* top : QApplication::topLevelWidgets()) {
                    if (qobject_cast<PreferencesDialog*>(top) && top->isVisible()) {
                        keep(name, top->grab().toImage());
                        top->close();
                    }
                }
            });
            w.showPreferences();
            QVERIFY2(made.contains(name), qPrintable(name));
        }
        texts.setLanguage(language);

        // An alert over the window, as the Forget Results question shows it; it goes before
        // the window that parents it.
        {
            QMessageBox box(&w);
            box.setIcon(QMessageBox::Information);
            box.setWindowTitle(QStringLiteral("Sonorix"));
            box.setText(QString::fromStdString(localizedString("ForgetResults_Title")));
            box.setInformativeText(
                QString::fromStdString(localizedString("ForgetResults_Message")));
            QPushButton* yes =
                box.addButton(QString::fromStdString(localizedString("ForgetResults_Yes")),
                              QMessageBox::AcceptRole);
            box.addButton(QString::fromStdString(localizedString("ForgetResults_No")),
                          QMessageBox::RejectRole);
            box.setDefaultButton(yes);
            box.show();
            QTest::qWait(200);
            QImage composite = w.grab().toImage();
            {
                QPainter painter(&composite);
                painter.fillRect(composite.rect(), QColor(0, 0, 0, 60));
                const QImage alert = box.grab().toImage();
                painter.drawImage((composite.width() - alert.width()) / 2,
                                  (composite.height() - alert.height()) / 3, alert);
            }
            box.close();
            keep("alert-" + theme, composite);
        }
        f.close();
        setDataFolderOverride("");
    }

private slots:
    void initTestCase() {
        outputDir = QString::fromLocal8Bit(qgetenv("SONORIX_SCREENSHOT_DIR"));
        if (!outputDir.isEmpty()) {
            QDir().mkpath(outputDir);
        }
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    }

    void lightPalette() {
        QApplication::setPalette(QApplication::style()->standardPalette());
        renderStates(QStringLiteral("light"));
        for (const char* state :
             {"idle", "running", "manual", "preferences-en", "preferences-de", "alert"}) {
            QVERIFY(made.contains(QStringLiteral("%1-light").arg(state)));
        }
    }

    void darkPaletteToo() {
        QApplication::setPalette(darkPalette());
        renderStates(QStringLiteral("dark"));
        for (const char* state :
             {"idle", "running", "manual", "preferences-en", "preferences-de", "alert"}) {
            QVERIFY(made.contains(QStringLiteral("%1-dark").arg(state)));
        }
    }
};

QTEST_MAIN(ScreenshotsTest)
#include "ScreenshotsTest.moc"
