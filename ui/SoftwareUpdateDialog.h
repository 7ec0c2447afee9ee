#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QLabel;
class QPushButton;
class QTextBrowser;
class QUrl;

namespace sonorix {

class SonorixController;
class VersionCheck;

// "A newer version is available": the two lines, the release notes of every newer version, and
// Download… / Remind Me Later / Skip This Version (the last only when the check was automatic).
class SoftwareUpdateDialog : public QDialog {
    Q_OBJECT
public:
    struct Content {
        QString appVersion;
        QString latestVersion;
        QStringList notesHtml; // newest first
        QString downloadPage;
        bool offerSkip = false;
    };
    enum Choice { RemindMeLater, Download, SkipThisVersion };

    static Content contentOf(const VersionCheck& check);

    explicit SoftwareUpdateDialog(const Content& content, QWidget* parent = nullptr);

    // Opens the download page (default: the desktop's browser); tests replace it.
    void setUrlOpener(std::function<bool(const QUrl&)> opener) { m_opener = std::move(opener); }
    Choice choice() const { return m_choice; }

    // Runs the dialog modally for a finished check and carries out the choice.
    static Choice run(SonorixController& controller, const std::shared_ptr<VersionCheck>& check,
                      QWidget* parent = nullptr);

    QPushButton* downloadButton() const { return m_download; }
    QPushButton* remindButton() const { return m_remind; }
    QPushButton* skipButton() const { return m_skip; } // none for an interactive check
    QTextBrowser* notesView() const { return m_notes; }

private:
    Content m_content;
    std::function<bool(const QUrl&)> m_opener;
    Choice m_choice = RemindMeLater;
    QPushButton* m_download = nullptr;
    QPushButton* m_remind = nullptr;
    QPushButton* m_skip = nullptr;
    QTextBrowser* m_notes = nullptr;
};

} // namespace sonorix
