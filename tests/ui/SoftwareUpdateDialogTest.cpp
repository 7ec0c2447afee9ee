#include "ui/SoftwareUpdateDialog.h"

#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>

using namespace sonorix;

class SoftwareUpdateDialogTest : public QObject {
    Q_OBJECT

    static SoftwareUpdateDialog::Content content(bool offerSkip) {
        SoftwareUpdateDialog::Content c;
        c.appVersion = QStringLiteral("3.6");
        c.latestVersion = QStringLiteral("3.8");
        c.notesHtml << QStringLiteral("<p><b>3.8</b> faster</p>")
                    << QStringLiteral("<p>3.7 &lt;script&gt;</p>");
        c.downloadPage = QStringLiteral("https://example.org/download");
        c.offerSkip = offerSkip;
        return c;
    }

private slots:
    void skipOnlyForAutomaticChecks() {
        SoftwareUpdateDialog interactive(content(false));
        QVERIFY(interactive.skipButton() == nullptr);
        SoftwareUpdateDialog automatic(content(true));
        QVERIFY(automatic.skipButton() != nullptr);
        automatic.skipButton()->click();
        QCOMPARE(automatic.choice(), SoftwareUpdateDialog::SkipThisVersion);
        QCOMPARE(automatic.result(), int(QDialog::Accepted));
    }

    void downloadOpensThePageAndCloses() {
        SoftwareUpdateDialog dialog(content(true));
        QList<QUrl> opened;
        dialog.setUrlOpener([&](const QUrl& url) {
            opened << url;
            return true;
        });
        QVERIFY(dialog.downloadButton()->isDefault());
        dialog.show();
        dialog.downloadButton()->click();
        QCOMPARE(opened, QList<QUrl>{QUrl(QStringLiteral("https://example.org/download"))});
        QCOMPARE(dialog.choice(), SoftwareUpdateDialog::Download);
        QVERIFY(!dialog.isVisible());
    }

    void remindMeLaterOpensNothing() {
        SoftwareUpdateDialog dialog(content(true));
        int opened = 0;
        dialog.setUrlOpener([&](const QUrl&) { return ++opened > 0; });
        dialog.show();
        dialog.remindButton()->click();
        QCOMPARE(opened, 0);
        QCOMPARE(dialog.choice(), SoftwareUpdateDialog::RemindMeLater);
        QVERIFY(!dialog.isVisible());
    }

    void aPageThatIsNotOnTheWebIsNotOpened() {
        auto c = content(false);
        c.downloadPage = QStringLiteral("file:///etc/passwd");
        SoftwareUpdateDialog dialog(c);
        int opened = 0;
        dialog.setUrlOpener([&](const QUrl&) { return ++opened > 0; });
        dialog.downloadButton()->click();
        QCOMPARE(opened, 0);
    }

    void notesInOrderReadOnlyFromTheTop() {
        SoftwareUpdateDialog dialog(content(false));
        auto* notes = dialog.notesView();
        QVERIFY(notes->isReadOnly());
        const QString text = notes->toPlainText();
        QVERIFY(text.indexOf(QStringLiteral("3.8 faster")) >= 0);
        QVERIFY(text.indexOf(QStringLiteral("3.7 <script>")) > text.indexOf(QStringLiteral("3.8")));
        QCOMPARE(notes->verticalScrollBar()->value(), 0);
        QCOMPARE(notes->textCursor().position(), 0);
    }
};

QTEST_MAIN(SoftwareUpdateDialogTest)
#include "SoftwareUpdateDialogTest.moc"
