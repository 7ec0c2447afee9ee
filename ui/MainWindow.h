#pragma once

#include "app/SonorixController.h"

#include <QMainWindow>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QLabel;
class QLineEdit;
class QListWidgetItem;
class QMenu;
class QSplitter;
class QTimer;
class QToolButton;
class QUrl;

namespace sonorix {

class DisplayBar;
class DisplayMessage;
class DisplayProgress;
class GroupOptionsPane;
class GroupsList;
class LauncherEntry;
class OutlineModel;
class OutlineView;
class QtRunLoop;
class SonorixControllerQt;
class Speedometer;
class StartButton;
class TrayIcon;

// The main window: the groups, the current group's options and outline, the Start button,
// speedometer and display bar, menus, tray icon and alerts. It owns the main run loop and the
// controller, and carries the view hooks the controller calls.
class PreferenceRules;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    struct Options {
        std::string libraryPath;     // empty: the setting, or the user's library
        std::string preferencesPath; // empty: the per-user file
    };
    // Answers an alert in place of the user (tests, screenshots): the index of the button.
    using AlertResponder =
        std::function<int(const QString& title, const QString& message, const QStringList&)>;

    explicit MainWindow(Options options, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Starts the controller: preferences, the connection and the library import.
    void start();
    SonorixController& controller() const;
    // Tests shorten the start-up continuation and the view timings.
    void setControllerTimings(double continuationSeconds, double interactionSeconds,
                              double revealSeconds);
    void setAlertResponder(AlertResponder responder) { m_alertResponder = std::move(responder); }
    // Without the sound at the end of a run (tests, screenshots).
    void setQuiet(bool quiet) { m_quiet = quiet; }

    // ---- the view hooks
    void setDebugMenuShown(bool shown);
    void showImportantNotice();
    void tracksChanged(const OutlineItem& item);
    void revealItem(const OutlineItem& item);
    void setGroupPaneHidden(bool hidden);
    void setStatusText(const QString& text);
    void setGroupButtonsEnabled(bool add, bool remove);
    void updateGroupOptions();
    void selectGroup(const std::shared_ptr<SonorixGroup>& group);
    void setStartEnabled(bool enabled);
    void setStartButtonRunning(bool running);
    void setSearchField(const QString& text, bool enabled);
    void reloadGroupRows();
    void showSortIndicator();
    void editCurrentGroupTitle();
    // A key in the order the rows are shown, not a count: the controller only compares them.
    int64_t rowOfItem(const OutlineItem& item) const;
    void setSpeed(double speed);
    void showDisplayMessage(const std::shared_ptr<DisplayMessage>& message);
    void showProgress(const std::shared_ptr<DisplayProgress>& progress, bool withTexts);
    int ask(const std::string& title, const std::string& message,
            const std::vector<std::string>& buttons, bool tall);
    void processingFinished();
    // Kept empty here: the preferences dialog is wired in elsewhere.
    void showPreferences();
    // File › Check for Updates…: an interactive check; its outcome comes back through the
    // controller's showUpdateCheckResult.
    void checkForUpdates();
    QString chooseLibraryFile();
    void quitFromController();
    void libraryLoadedHook(int result) { emit libraryLoaded(result); }

    // ---- commands, public for the tray, the second instance and tests
    void adjustAllTracks();
    // Tracks for dropped file addresses: those the library holds, in order, once each.
    std::vector<std::shared_ptr<iTunesTrack>> tracksForUrls(const QList<QUrl>& urls);
    // A drop on the groups list: row -1 is below the last row (the current group).
    bool dropFiles(int row, const QList<QUrl>& urls, bool fromOutline);
    // Brings the window to the front (a second start of the program asks for it).
    void bringToFront();

    // ---- the pieces, for tests and screenshots
    StartButton* startButton() const { return m_startButton; }
    Speedometer* speedometer() const { return m_speedometer; }
    DisplayBar* displayBar() const { return m_displayBar; }
    QLineEdit* searchField() const { return m_search; }
    GroupsList* groupsList() const { return m_groups; }
    GroupOptionsPane* optionsPane() const { return m_options; }
    OutlineModel* outlineModel() const { return m_outlineModel; }
    OutlineView* outlineView() const { return m_outline; }
    QSplitter* splitter() const { return m_splitter; }
    QAction* adjustAllAction() const { return m_modeActions[0]; }
    QMenu* tracksMenu() const { return m_tracksMenu; }
    // Tracks › Preview Adjustment › the mode's command (SonorixController::Mode).
    QAction* previewAction(int mode) const { return m_previewActions[mode]; }
    QAction* restoreAction() const { return m_restoreAction; }
    QAction* repairAction() const { return m_repairAction; }
    QMenu* moveMenu() const { return m_moveMenu; }
    QLabel* statusLine() const { return m_status; }
    // How often the search text was applied to the group (tests count the debounce).
    int searchApplications() const { return m_searchApplications; }

signals:
    // The library finished loading, with its outcome (SonorixModel::LoadResult).
    void libraryLoaded(int result);
    // A run of adjusting or comment removal began (true) or ended (false).
    void runningChanged(bool running);
    // A run ended by itself, not stopped by the user.
    void finished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildTopBar(QWidget* top);
    void buildMenus();
    void retitleMenus();
    void rebuildMoveMenu();
    void updateMenus();
    void searchEdited(const QString& text);
    void applySearch();
    void groupRowChanged();
    void groupTitleEdited(QListWidgetItem* item);
    void showModeMenu(const QPoint& at);
    void startPreview(int mode);
    void showAbout();
    void openLocalizedUrl(const char* key);
    void restoreGeometryFromSettings();
    void saveGeometryToSettings();
    void applySplitterState();
    void updateGroupIcons();
    void playFinishedSound();

    Options m_startOptions;
    std::shared_ptr<QtRunLoop> m_loop;
    std::shared_ptr<SonorixControllerQt> m_controller;
    AlertResponder m_alertResponder;

    StartButton* m_startButton = nullptr;
    Speedometer* m_speedometer = nullptr;
    DisplayBar* m_displayBar = nullptr;
    QLineEdit* m_search = nullptr;
    QTimer* m_searchTimer = nullptr;
    QSplitter* m_splitter = nullptr;
    // The divider's place as stored, kept until the group pane shows: a splitter restored while
    // one side is hidden gives the other side everything.
    QByteArray m_splitterState;
    GroupsList* m_groups = nullptr;
    QToolButton* m_addGroup = nullptr;
    QToolButton* m_removeGroup = nullptr;
    QLabel* m_status = nullptr;
    QWidget* m_rightPane = nullptr;
    GroupOptionsPane* m_options = nullptr;
    OutlineModel* m_outlineModel = nullptr;
    OutlineView* m_outline = nullptr;
    TrayIcon* m_tray = nullptr;
    LauncherEntry* m_launcher = nullptr;
    PreferenceRules* m_preferenceRules = nullptr;

    QMenu* m_tracksMenu = nullptr;
    QMenu* m_startMenu = nullptr;
    QMenu* m_moveMenu = nullptr;
    QMenu* m_sortMenu = nullptr;
    QMenu* m_debugMenu = nullptr;
    QAction* m_debugMenuAction = nullptr;
    QAction* m_modeActions[4] = {};
    QAction* m_forgetAction = nullptr;
    QMenu* m_previewMenu = nullptr;
    QAction* m_previewActions[4] = {};
    QAction* m_restoreAction = nullptr;
    QAction* m_repairAction = nullptr;
    QAction* m_removeCommentsAction = nullptr;
    QAction* m_sortActions[5] = {};
    QAction* m_descendingAction = nullptr;
    QAction* m_selectAllAction = nullptr;
    QAction* m_selectNoneAction = nullptr;
    QAction* m_playAction = nullptr;
    QAction* m_revealITunesAction = nullptr;
    QAction* m_revealFileAction = nullptr;

    std::shared_ptr<DisplayProgress> m_progress;
    bool m_running = false;
    bool m_startingPreview = false;
    bool m_reloadingGroups = false;
    bool m_closing = false;
    bool m_quiet = false;
    int m_searchApplications = 0;
    QString m_appliedSearch;
    std::weak_ptr<SonorixGroup> m_searchGroup; // the group the pending search was typed for
};

} // namespace sonorix
