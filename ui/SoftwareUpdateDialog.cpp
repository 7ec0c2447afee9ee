#include "ui/SoftwareUpdateDialog.h"

#include "app/RtfText.h"
#include "app/SonorixController.h"
#include "app/VersionCheck.h"
#include "foundation/Localization.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace sonorix {
namespace {

QString windowText(const char* english) {
    return QString::fromStdString(Localization::shared().windowText(english));
}

} // namespace

SoftwareUpdateDialog::Content SoftwareUpdateDialog::contentOf(const VersionCheck& check) {
    Content content;
    content.appVersion = QString::fromStdString(check.appVersion());
    content.latestVersion = QString::fromStdString(check.latestVersion());
    for (const auto& note : check.releaseNotes()) {
        content.notesHtml << QString::fromStdString(rtfToHtml(note));
    }
    content.downloadPage = QString::fromStdString(check.downloadPageURL());
    content.offerSkip = !check.isInteractive();
    return content;
}

SoftwareUpdateDialog::SoftwareUpdateDialog(const Content& content, QWidget* parent)
    : QDialog(parent), m_content(content),
      m_opener([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("SoftwareUpdateDialog"));
    setWindowTitle(windowText("Software Update"));
    setModal(true);
    resize(560, 420);

    auto* layout = new QVBoxLayout(this);
    auto* headline =
        new QLabel(windowText("A newer version of Sonorix is available for download."), this);
    QFont bold = headline->font();
    bold.setBold(true);
    headline->setFont(bold);
    headline->setWordWrap(true);
    layout->addWidget(headline);
    auto* versions = new QLabel(
        QString::fromStdString(formatString(
            Localization::shared()
                .windowText("Your version is %s, the latest version is %s.")
                .c_str(),
            content.appVersion.toStdString().c_str(), content.latestVersion.toStdString().c_str())),
        this);
    versions->setObjectName(QStringLiteral("versionsLine"));
    versions->setWordWrap(true);
    layout->addWidget(versions);

    // The notes come from the network: shown as text, links are not followed.
    m_notes = new QTextBrowser(this);
    m_notes->setObjectName(QStringLiteral("releaseNotes"));
    m_notes->setReadOnly(true);
    m_notes->setOpenLinks(false);
    for (const auto& html : content.notesHtml) {
        m_notes->append(html);
    }
    m_notes->moveCursor(QTextCursor::Start);
    m_notes->verticalScrollBar()->setValue(0);
    layout->addWidget(m_notes, 1);

    auto* buttons = new QHBoxLayout();
    if (content.offerSkip) {
        m_skip = new QPushButton(windowText("Skip This Version"), this);
        m_skip->setAutoDefault(false);
        buttons->addWidget(m_skip);
        connect(m_skip, &QPushButton::clicked, this, [this] {
            m_choice = SkipThisVersion;
            accept();
        });
    }
    buttons->addStretch(1);
    m_remind = new QPushButton(windowText("Remind Me Later"), this);
    m_remind->setAutoDefault(false);
    m_download = new QPushButton(windowText("Download…"), this);
    m_download->setDefault(true);
    buttons->addWidget(m_remind);
    buttons->addWidget(m_download);
    layout->addLayout(buttons);

    connect(m_remind, &QPushButton::clicked, this, [this] {
        m_choice = RemindMeLater;
        reject();
    });
    connect(m_download, &QPushButton::clicked, this, [this] {
        m_choice = Download;
        // The address comes from the network: only a web page is opened, never a file or
        // another program's scheme.
        const QUrl page(m_content.downloadPage);
        if (m_opener && page.isValid() &&
            (page.scheme() == QLatin1String("https") || page.scheme() == QLatin1String("http"))) {
            m_opener(page);
        }
        accept();
    });
}

SoftwareUpdateDialog::Choice SoftwareUpdateDialog::run(SonorixController& controller,
                                                       const std::shared_ptr<VersionCheck>& check,
                                                       QWidget* parent) {
    SoftwareUpdateDialog dialog(contentOf(*check), parent);
    dialog.exec();
    if (dialog.choice() == SkipThisVersion) {
        controller.skipUpdateVersion(check->latestVersion());
    }
    return dialog.choice();
}

} // namespace sonorix
