#include "ui/SonorixControllerQt.h"
#include "app/VersionCheck.h"
#include "ui/SoftwareUpdateDialog.h"

#include "app/SleepInhibitor.h"
#include "itunes/iTunesBackendLibraryFile.h"
#include "model/SonorixPreferences.h"
#include "ui/MainWindow.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QUrl>

namespace sonorix {

std::shared_ptr<SonorixControllerQt> SonorixControllerQt::create(MainWindow& window,
                                                                 std::string libraryPath) {
    return std::shared_ptr<SonorixControllerQt>(
        new SonorixControllerQt(window, std::move(libraryPath)));
}

SonorixControllerQt::SonorixControllerQt(MainWindow& window, std::string libraryPath)
    : m_window(&window), m_libraryPath(std::move(libraryPath)),
      m_sleep(std::make_unique<SleepInhibitor>()) {}

SonorixControllerQt::~SonorixControllerQt() = default;

void SonorixControllerQt::startUp(bool debugMenu) {
    iTunesBackendLibraryFile::Options options;
    options.handedFile = m_libraryPath;
    options.settingPath = preferences()->iTunesLibraryXMLPath();
    for (const auto& [from, to] : preferences()->locationPrefixMap()) {
        options.locations.push_back(LocationPrefix{from, to});
    }
    m_backend = iTunesBackendLibraryFile::create(std::move(options));
    std::weak_ptr<iTunesControllerHooks> hooks =
        std::static_pointer_cast<SonorixControllerQt>(sharedFromThis());
    auto connection = std::make_shared<iTunesController>(m_backend, hooks);
    connection->connect();
    setITunesController(connection);
    if (m_window) {
        m_window->setDebugMenuShown(debugMenu);
    }
}

void SonorixControllerQt::showImportantNotice() {
    if (m_window && !iTunesController::startupFailed()) {
        m_window->showImportantNotice();
    }
}

void SonorixControllerQt::tracksChanged(const OutlineItem& item) {
    if (m_window) {
        m_window->tracksChanged(item);
    }
}

void SonorixControllerQt::revealItem(const OutlineItem& item) {
    if (m_window) {
        m_window->revealItem(item);
    }
}

void SonorixControllerQt::setGroupPaneHidden(bool hidden) {
    if (m_window) {
        m_window->setGroupPaneHidden(hidden);
    }
}

void SonorixControllerQt::setStatusText(const std::string& text) {
    if (m_window) {
        m_window->setStatusText(QString::fromStdString(text));
    }
}

void SonorixControllerQt::setGroupButtonsEnabled(bool add, bool remove) {
    if (m_window) {
        m_window->setGroupButtonsEnabled(add, remove);
    }
}

void SonorixControllerQt::updateGroupOptions() {
    if (m_window) {
        m_window->updateGroupOptions();
    }
}

void SonorixControllerQt::selectGroup(const std::shared_ptr<SonorixGroup>& group) {
    if (m_window) {
        m_window->selectGroup(group);
    }
}

void SonorixControllerQt::setStartEnabled(bool enabled) {
    if (m_window) {
        m_window->setStartEnabled(enabled);
    }
}

void SonorixControllerQt::setStartButtonRunning(bool running) {
    if (m_window) {
        m_window->setStartButtonRunning(running);
    }
}

void SonorixControllerQt::setSearchField(const std::u16string& text, bool enabled) {
    if (m_window) {
        m_window->setSearchField(QString::fromStdU16String(text), enabled);
    }
}

void SonorixControllerQt::reloadGroups() {
    if (m_window) {
        m_window->reloadGroupRows();
    }
    SonorixController::reloadGroups();
}

void SonorixControllerQt::showSortIndicator() {
    if (m_window) {
        m_window->showSortIndicator();
    }
}

void SonorixControllerQt::editCurrentGroupTitle() {
    if (m_window) {
        m_window->editCurrentGroupTitle();
    }
}

int64_t SonorixControllerQt::rowOfItem(const OutlineItem& item) const {
    return m_window ? m_window->rowOfItem(item) : SonorixController::rowOfItem(item);
}

void SonorixControllerQt::updateSpeedometer() {
    if (m_window) {
        m_window->setSpeed(tacho().value());
    }
}

void SonorixControllerQt::preventSleep() {
    m_sleep->inhibit();
}

void SonorixControllerQt::allowSleep() {
    m_sleep->release();
}

void SonorixControllerQt::showDisplayMessage(const std::shared_ptr<DisplayMessage>& message) {
    if (m_window) {
        m_window->showDisplayMessage(message);
    }
}

void SonorixControllerQt::showProgress(const std::shared_ptr<DisplayProgress>& progress,
                                       bool withTexts) {
    if (m_window) {
        m_window->showProgress(progress, withTexts);
    }
}

void SonorixControllerQt::showAlert(const std::string& title, const std::string& message,
                                    const std::string& button, bool tall) {
    if (m_window) {
        m_window->ask(title, message, {button}, tall);
    }
}

int SonorixControllerQt::askAlert(const std::string& title, const std::string& message,
                                  const std::vector<std::string>& buttons, bool tall) {
    // Closed windows answer with the default button, as an alert dismissed by Escape would.
    return m_window ? m_window->ask(title, message, buttons, tall) : 0;
}

void SonorixControllerQt::processingFinished() {
    if (m_window) {
        m_window->processingFinished();
    }
}

void SonorixControllerQt::showPreferences() {
    if (m_window) {
        m_window->showPreferences();
    }
}

// An available update gets the Software Update dialog with its notes; the other outcomes are the
// controller's alerts.
void SonorixControllerQt::showUpdateCheckResult(const std::shared_ptr<VersionCheck>& check) {
    if (m_window && check->versionFileRead() && check->isUpdateAvailable()) {
        SoftwareUpdateDialog::run(*this, check, m_window);
        return;
    }
    SonorixController::showUpdateCheckResult(check);
}

void SonorixControllerQt::libraryLoaded(int32_t result) {
    SonorixController::libraryLoaded(result);
    if (m_window) {
        m_window->libraryLoadedHook(result);
    }
}

void SonorixControllerQt::openURL(const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

void SonorixControllerQt::chooseLibraryFile() {
    if (!m_window) {
        return;
    }
    const QString path = m_window->chooseLibraryFile();
    if (!path.isEmpty()) {
        preferences()->setITunesLibraryXMLPath(path.toStdString());
        preferences()->save();
    }
}

void SonorixControllerQt::quitApplication() {
    if (m_window) {
        m_window->quitFromController();
    }
}

} // namespace sonorix
