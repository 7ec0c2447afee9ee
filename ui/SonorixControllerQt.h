#pragma once

#include "app/SonorixController.h"

#include <memory>
#include <string>

namespace sonorix {

class MainWindow;
class SleepInhibitor;
class iTunesBackendLibraryFile;

// The controller's view hooks for the window: each forwards to the main window on the main
// thread. The window owns the controller and outlives every call it makes.
class SonorixControllerQt final : public SonorixController {
public:
    static std::shared_ptr<SonorixControllerQt> create(MainWindow& window, std::string libraryPath);
    ~SonorixControllerQt() override;

    // The window is going away: later hooks do nothing.
    void detach() { m_window = nullptr; }
    // Tests shorten the start-up continuation and the view timings.
    using SonorixController::setContinuationDelay;
    using SonorixController::setViewTimings;

    void startUp(bool debugMenu) override;
    void showImportantNotice() override;
    void tracksChanged(const OutlineItem& item) override;
    void revealItem(const OutlineItem& item) override;
    void setGroupPaneHidden(bool hidden) override;
    void setStatusText(const std::string& text) override;
    void setGroupButtonsEnabled(bool add, bool remove) override;
    void updateGroupOptions() override;
    void selectGroup(const std::shared_ptr<SonorixGroup>& group) override;
    void setStartEnabled(bool enabled) override;
    void setStartButtonRunning(bool running) override;
    void setSearchField(const std::u16string& text, bool enabled) override;
    void reloadGroups() override;
    void showSortIndicator() override;
    void editCurrentGroupTitle() override;
    int64_t rowOfItem(const OutlineItem& item) const override;
    void updateSpeedometer() override;
    void preventSleep() override;
    void allowSleep() override;
    void showDisplayMessage(const std::shared_ptr<DisplayMessage>& message) override;
    void showProgress(const std::shared_ptr<DisplayProgress>& progress, bool withTexts) override;
    using SonorixController::showAlert;
    void showAlert(const std::string& title, const std::string& message, const std::string& button,
                   bool tall) override;
    int askAlert(const std::string& title, const std::string& message,
                 const std::vector<std::string>& buttons, bool tall) override;
    void processingFinished() override;
    void showPreferences() override;
    void showUpdateCheckResult(const std::shared_ptr<VersionCheck>& check) override;
    void libraryLoaded(int32_t result) override;

    void openURL(const std::string& url) override;
    void chooseLibraryFile() override;
    void quitApplication() override;

private:
    SonorixControllerQt(MainWindow& window, std::string libraryPath);

    MainWindow* m_window;
    std::string m_libraryPath;
    std::unique_ptr<SleepInhibitor> m_sleep;
    std::shared_ptr<iTunesBackendLibraryFile> m_backend;
};

} // namespace sonorix
