#include "foundation/Localization.h"
#include "ui/ControlArt.h"
#include "ui/DisplayBar.h"
#include "ui/Speedometer.h"
#include "ui/StartButton.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QtTest>

#include <set>

using namespace sonorix;

// Renders the controls in a light and a dark palette. With SONORIX_CONTROL_RENDERS set to a
// folder, the sheets are written there to be looked at.
class ControlsRenderTest : public QObject {
    Q_OBJECT

    static QPalette darkPalette() {
        QPalette p;
        p.setColor(QPalette::Window, QColor(0x2d, 0x2d, 0x30));
        p.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xea));
        p.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x20));
        p.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x29));
        p.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xea));
        p.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3d));
        p.setColor(QPalette::ButtonText, QColor(0xe8, 0xe8, 0xea));
        p.setColor(QPalette::Highlight, QColor(0x3d, 0x8e, 0xe6));
        p.setColor(QPalette::HighlightedText, Qt::white);
        p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x84));
        p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x84));
        return p;
    }

    static QPalette lightPalette() {
        QPalette p;
        p.setColor(QPalette::Window, QColor(0xef, 0xef, 0xf0));
        p.setColor(QPalette::WindowText, QColor(0x20, 0x20, 0x22));
        p.setColor(QPalette::Base, Qt::white);
        p.setColor(QPalette::Text, QColor(0x20, 0x20, 0x22));
        p.setColor(QPalette::Highlight, QColor(0x30, 0x7c, 0xdc));
        p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x9a, 0x9a, 0x9e));
        p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x9a, 0x9a, 0x9e));
        return p;
    }

    static int colourCount(const QImage& image) {
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                colours.insert(image.pixel(x, y));
        return static_cast<int>(colours.size());
    }

    // The top bar in one state: an idle button and an empty display, or a run in progress.
    static QImage renderBar(const QPalette& palette, bool running) {
        QWidget bar;
        bar.setPalette(palette);
        bar.setAutoFillBackground(true);
        auto* layout = new QHBoxLayout(&bar);
        auto* button = new StartButton;
        auto* meter = new Speedometer;
        auto* display = new DisplayBar;
        layout->addWidget(button);
        layout->addWidget(meter);
        layout->addWidget(display, 1);
        // As before the library has loaded.
        auto* disabled = new StartButton;
        disabled->setEnabled(false);
        layout->addWidget(disabled);
        bar.resize(640, bar.sizeHint().height());
        bar.show();
        if (!QTest::qWaitForWindowExposed(&bar))
            return {};
        if (running) {
            double clock = 0;
            meter->setClock([&] { return clock; });
            meter->setProcessorCount(8);
            button->setRunning(true);
            meter->setValue(430);
            for (int i = 0; i < 400 && meter->isAnimating(); ++i)
                meter->tick(clock += 0.05);
            display->showMessage(QStringLiteral("Analyzing “Blue in Green”"),
                                 QStringLiteral("Track 212 of 1,048"));
            display->showProgress(0.42);
            QTest::qWait(DisplayBar::kFadeInMs + 150);
        } else {
            // Catch the glow near its brightest.
            (void)QTest::qWaitFor(
                [&] { return StartButton::glowOpacityAtStep(button->glowStep()) > 0.9; }, 6000);
        }
        return bar.grab().toImage();
    }

private slots:
    void initTestCase() {
        auto& l10n = Localization::shared();
        QVERIFY(l10n.setLanguage(l10n.languageNamed("en")));
    }

    void everyImageHasItsHighDensityTwin() {
        QStringList names = {"StartButtonBackground", "StartButtonBackgroundClicked",
                             "StartButtonGlowing",    "SpeedometerDial",
                             "SonorixLogo",           "Sonorix16x16_empty"};
        for (int i = 0; i < StartButton::kGearFrames; ++i)
            names << QStringLiteral("StartButtonGear%1").arg(i)
                  << QStringLiteral("StartButtonGlowingGear%1").arg(i);
        for (int i = 0; i <= 5; ++i)
            names << QStringLiteral("Sonorix16x16_%1").arg(i);
        for (const QString& name : names) {
            const QPixmap plain = resourcePixmap(name, 1.0);
            const QPixmap dense = resourcePixmap(name, 2.0);
            QVERIFY2(!plain.isNull(), qPrintable(name));
            QCOMPARE(dense.devicePixelRatio(), 2.0);
            QCOMPARE(dense.size(), plain.size() * 2);
        }
        QCOMPARE(resourcePixmap(QStringLiteral("Sonorix16x16_5"), 1.0).size(), QSize(16, 16));
        const QIcon icon = applicationIcon();
        QVERIFY(icon.availableSizes().contains(QSize(16, 16)));
        QVERIFY(icon.availableSizes().contains(QSize(512, 512)));
    }

    void controlsRenderInBothPalettes() {
        QList<QImage> images;
        for (const QPalette& palette : {lightPalette(), darkPalette()})
            for (bool running : {false, true}) {
                QImage image = renderBar(palette, running);
                QVERIFY(!image.isNull());
                // Art, text and scale all drawn: far more than a few flat colours.
                QVERIFY2(colourCount(image) > 200, "the controls drew next to nothing");
                images << image;
            }
        QVERIFY(images[0] != images[2]);

        const QByteArray folder = qgetenv("SONORIX_CONTROL_RENDERS");
        if (folder.isEmpty())
            return;
        const qreal ratio = images[0].devicePixelRatio();
        const int w = images[0].width() / ratio;
        const int h = images[0].height() / ratio;
        QImage sheet(QSize(w, h * 4 + 40) * ratio, QImage::Format_ARGB32);
        sheet.setDevicePixelRatio(ratio);
        QPainter painter(&sheet);
        int y = 0;
        for (const QImage& image : images) {
            painter.drawImage(0, y, image);
            y += h;
        }
        // The tray frames on either palette's window colour.
        painter.fillRect(0, y, w / 2, 40, lightPalette().color(QPalette::Window));
        painter.fillRect(w / 2, y, w - w / 2, 40, darkPalette().color(QPalette::Window));
        const QStringList frames = {"0", "1", "2", "3", "4", "5", "empty"};
        for (int side = 0; side < 2; ++side)
            for (int i = 0; i < frames.size(); ++i)
                painter.drawPixmap(
                    side * w / 2 + 12 + i * 28, y + 12,
                    resourcePixmap(QStringLiteral("Sonorix16x16_") + frames[i], ratio));
        painter.end();
        QVERIFY(sheet.save(QString::fromLocal8Bit(folder) + QStringLiteral("/controls.png")));
    }
};

QTEST_MAIN(ControlsRenderTest)
#include "ControlsRenderTest.moc"
