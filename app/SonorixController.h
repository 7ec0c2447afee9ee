#pragma once

#include "app/VersionCheck.h"
#include "foundation/Delegate.h"
#include "itunes/iTunesController.h"
#include "processing/ControllerHooks.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sonorix {

class AdjustmentPreview;
class FilterAndSortable;
class TrackSortOptions;
class iTunesTrack;
class SonorixAlbum;
class SonorixGroup;
class SonorixModel;
class SonorixPreferences;
class SonorixStatusRefresh;
struct ProcessingActivity;
class DisplayProgress;
class DisplayMessageScheduler;
class ScheduledTimer;
class JobManager;
class SonorixAutomaticAdjustmentJobManager;
class SonorixManualAdjustmentJobManager;
class SonorixRemoveCommentsJobManager;
class TrackTaskJobManager;

// A row of the track outline: a SonorixAlbum or an iTunesTrack.
using OutlineItem = std::shared_ptr<FilterAndSortable>;

// What the outline shows and which of its rows are selected. The window's table keeps it in
// step with the widget; the console sets the selection from the command line.
class SonorixTracksTableController {
public:
    void setSelectedItems(std::vector<OutlineItem> items) { m_selected = std::move(items); }
    const std::vector<OutlineItem>& selectedItems() const { return m_selected; }
    bool hasSelection() const { return !m_selected.empty(); }

private:
    std::vector<OutlineItem> m_selected;
};

// The speedometer's value: audio seconds analysed per second, -1 while no analysis runs.
class TachoController {
public:
    void setValue(double value) { m_value = value; }
    double value() const { return m_value; }

private:
    double m_value = -1;
};

// The application's spine, the same for every front end: owns the model and the running work
// and carries out the user's commands. Everything runs on the main thread except the library
// import and the processors' workers. A front end derives from it and implements the view
// hooks (the pure virtual operations below).
class SonorixController : public ThreadCallable<SonorixController>,
                          public SonorixControllerHooks,
                          public iTunesControllerHooks,
                          public VersionCheckDelegate {
public:
    // Processing modes: the argument of startAdjusting and the "StartButtonMode" setting.
    enum Mode : int32_t {
        kModeNotConfigured = -1,
        kModeAll = 0,
        kModeCurrentGroup = 1,
        kModeSelectedInSonorix = 2,
        kModeSelectedInITunes = 3,
    };

    SonorixController();
    ~SonorixController() override;

    // ---- start-up and shut-down

    // The window's start-up (main thread, run loop registered): registers with the display
    // scheduler, makes the loading progress, loads the preferences (preferencesPath empty: the
    // per-user file), runs startUp, then imports the library on a new thread and hands the
    // outcome to libraryLoaded on the main thread; finally initialize.
    void start(const std::string& preferencesPath = {});
    virtual void initialize();
    // result: SonorixModel::LoadResult. Reports a failed connection first, makes the model
    // current, selects the default group, enables Start; the rest follows one second later.
    virtual void libraryLoaded(int32_t result);
    // Stops every processor and the status refresh, writes a pending save at once and lets the
    // connection go. Safe to call twice.
    void shutDown();

    bool isLibraryLoaded() const { return m_libraryLoaded; }
    // The start-up outcome once the import finished (SonorixModel::LoadResult), -1 before.
    int32_t startupResult() const { return m_startupResult; }

    // ---- commands

    bool canStart(int32_t mode, bool strict) const;
    void startOrStop(int32_t mode);
    // What one run does differently from the settings.
    struct RunOptions {
        // A preview: the analyses run, nothing is written, and each track's row lands here.
        std::shared_ptr<AdjustmentPreview> preview;
        // Writes the ReplayGain tags whatever "WriteReplayGainTags" says.
        bool replayGain = false;
    };
    // False (with the mode's no-tracks alert) when nothing was queued.
    bool startAdjusting(int32_t mode);
    bool startAdjusting(int32_t mode, const RunOptions& options);
    // The rows of the last preview started (filled while it runs); none before the first.
    std::shared_ptr<AdjustmentPreview> lastPreview() const { return m_lastPreview; }
    void stopAdjusting();
    void startButtonClicked();
    // Selection only (after asking) or every track of the library (without asking).
    void forgetResults(bool selectionOnly);
    bool isAdjusting() const { return m_adjustingProcessor != nullptr; }
    bool anyProcessorRunning() const;

    // Sets a row of the outline (exactly one of album and track) to value dB, rounded to 0.1 dB.
    // A preview run (final false) is replaced by the next request; a final run also stamps the
    // comments and lets no request in until it ended. False when nothing was started.
    virtual bool adjustManually(const std::shared_ptr<SonorixAlbum>& album,
                                const std::shared_ptr<iTunesTrack>& track, double value,
                                bool final);
    virtual void stopManualAdjustment();
    bool isAdjustingManually() const { return m_manualProcessor != nullptr; }
    // Asks, then takes the stamps out of the comments of the selected rows' tracks. While
    // comments are being removed it stops that instead. False when nothing was started.
    bool removeComments();
    void stopRemovingComments();
    bool isRemovingComments() const { return m_removeCommentsProcessor != nullptr; }
    std::string removeCommentsMenuTitle() const;

    // ---- the update check

    // Starts a check unless one runs; an interactive request makes a running check interactive.
    void checkForUpdates(bool interactive);
    std::shared_ptr<VersionCheck> versionCheck() const { return m_versionCheck; }
    // Logs the outcome and shows it as the user expects: an update always (clearing a
    // skipped version when asked for), the rest only when asked for.
    void versionCheckFinished(const std::shared_ptr<VersionCheck>& check) override;
    // "Skip This Version": the automatic check stays silent about this version from now on.
    void skipUpdateVersion(const std::string& version);

    // ---- restoring and repairing files

    // Writes back into the tracks' files the Sound Check values they held before Sonorix first
    // changed them (removing the text where there was none) and takes out the comment stamps.
    // Asks first unless confirmed. False when nothing was started.
    bool restoreTracks(const std::vector<std::shared_ptr<iTunesTrack>>& tracks, bool confirmed);
    // Leaves one well-formed Sound Check text in each track's file: the stored result where
    // there is one, else the value the file holds. Asks first unless confirmed.
    bool repairTracks(const std::vector<std::shared_ptr<iTunesTrack>>& tracks, bool confirmed);
    void stopTrackTask();
    bool isRunningTrackTask() const { return m_trackTaskProcessor != nullptr; }

    // ---- the current group and the views

    // The group the views show; force shows it again even when it is current already.
    void setCurrentGroup(const std::shared_ptr<SonorixGroup>& group, bool force);
    std::shared_ptr<SonorixGroup> currentGroup() const { return m_currentGroup; }
    // The search field applied its text to the current group.
    void searchTextChanged(const std::u16string& text);
    // Reloads the outline and refreshes the status line.
    void reloadOutline();
    // Checks the Sound Check values in the files of the group's visible tracks on the status
    // refresh and redraws their rows; a changed value is saved with the model, later. done runs
    // on the main thread once every check was delivered, at once when none was needed.
    void checkTags(const std::shared_ptr<SonorixGroup>& group, std::function<void()> done);
    // The running work, as the status refresh weighs it when rows are prepared for display.
    ProcessingActivity processingActivity() const;
    virtual bool followsProgress() const;

    // The "Sort by" commands (SortColumn) and a click on a header column (the outline's columns
    // in their order of creation: Title, status, Artist, Album, Adjustment).
    void sortBy(int32_t column);
    void toggleSortDirection();
    void sortByHeader(int32_t headerColumn);
    // The current group's sort columns (first deciding first) and direction; Album ascending
    // without options.
    std::vector<int32_t> sortColumns() const;
    bool sortDescending() const;

    // The user changed the selection of the outline or the groups list, or began to drag rows:
    // for the next ten seconds the views do not follow the work.
    void userInteracted();
    bool isInInteractionPeriod() const { return m_interactionTimer != nullptr; }
    // The selection changes of the two lists; byUser false for changes the controller made.
    void outlineSelectionChanged(std::vector<OutlineItem> items, bool byUser);
    void groupSelectionChanged(const std::shared_ptr<SonorixGroup>& group, bool byUser);
    // The row the views scrolled to while following the work, none while not following.
    OutlineItem followedItem() const { return m_followedItem; }
    std::shared_ptr<SonorixGroup> followedGroup() const { return m_followedGroup; }

    // ---- group commands

    bool canAddGroup() const { return m_libraryLoaded && !anyProcessorRunning(); }
    bool canDeleteGroup() const;
    // Asks, then deletes the current group; its tracks go to the default group. False when it
    // was not deleted.
    bool deleteGroup();
    // A group at the end of the list taking the tracks selected in the outline; it becomes
    // current with its title open for editing. None when no library is loaded.
    std::shared_ptr<SonorixGroup> newGroup();
    // Moves the tracks selected in the outline into the group at that position of the groups
    // list. Any position is accepted: the menu's command ids cover the first twenty groups
    // only, and a window passes the position of the item chosen whatever its id.
    bool moveToGroup(size_t position);
    // Tracks dropped on the groups list: into target, or the current group when target is
    // none. fromOutline: dragged out of the current group; otherwise they leave whichever
    // group holds them. Nothing while any processor runs.
    bool dropTracks(const std::vector<std::shared_ptr<iTunesTrack>>& tracks,
                    const std::shared_ptr<SonorixGroup>& target, bool fromOutline);
    // The end of editing a group's title; the default group keeps its own, an empty title is
    // refused.
    bool renameGroup(const std::shared_ptr<SonorixGroup>& group, const std::u16string& title);
    // The tracks of the outline's selection: selected tracks and every track of selected albums.
    std::vector<std::shared_ptr<iTunesTrack>> selectedTracks() const;

    std::string adjustingMenuTitle() const;

    // ---- what the processors call (SonorixControllerHooks)

    void refreshTrack(const std::shared_ptr<iTunesTrack>& track) override;
    void refreshAlbum(const std::shared_ptr<SonorixAlbum>& album) override;
    void revealTrack(const std::shared_ptr<iTunesTrack>& track) override;
    void revealAlbum(const std::shared_ptr<SonorixAlbum>& album) override;
    void setSpeedometerValue(double speed) override;
    void processorFinished(const std::shared_ptr<JobManager>& processor) override;

    // ---- the view hooks a front end implements, called on the main thread only (an
    // implementation that does work begins with assertMainThread)

    // Creates the iTunes connection (connectITunes) and connects it; applies the language.
    virtual void startUp(bool debugMenu) = 0;
    virtual void showImportantNotice() = 0;
    virtual void tracksChanged(const OutlineItem& item) = 0;
    virtual void revealItem(const OutlineItem& item) = 0;
    virtual void setGroupPaneHidden(bool hidden) = 0;
    virtual void setStatusText(const std::string& text) = 0;
    virtual void setGroupButtonsEnabled(bool add, bool remove) = 0;
    virtual void updateGroupOptions() = 0;
    virtual void selectGroup(const std::shared_ptr<SonorixGroup>& group) = 0;
    virtual void setStartEnabled(bool enabled) = 0;
    virtual void setStartButtonRunning(bool running) = 0;
    virtual void setSearchField(const std::u16string& text, bool enabled) = 0;
    // The groups list changed (a group was added, removed or renamed): a window reloads its rows
    // and then calls this to apply the current group again.
    virtual void reloadGroups();
    // Marks the outline's header with the current group's first sort column and direction.
    virtual void showSortIndicator() {}
    // Starts in-place editing of the current group's title in the groups list; the edit ends in
    // renameGroup.
    virtual void editCurrentGroupTitle() {}
    // The row of an item in the outline, -1 without one. By default the row in the current
    // group's outline with every album open; a window answers with what it shows.
    virtual int64_t rowOfItem(const OutlineItem& item) const;
    // Before a run of adjusting or comment removal starts.
    virtual void willStartProcessing() {}
    virtual void updateSpeedometer() = 0;
    virtual void preventSleep() = 0;
    virtual void allowSleep() = 0;
    // showDisplayMessage and showProgress come from SonorixControllerHooks.
    // A modal alert with one button (also the connection's alerts).
    virtual void showAlert(const std::string& title, const std::string& message,
                           const std::string& button, bool tall) = 0;
    // A modal alert with several buttons; returns the index of the button chosen, 0 being the
    // default.
    virtual int askAlert(const std::string& title, const std::string& message,
                         const std::vector<std::string>& buttons, bool tall) = 0;
    // A run finished by itself (not stopped by the user).
    virtual void processingFinished() = 0;
    // The Preferences command (the first-use notice's second button).
    virtual void showPreferences() = 0;
    // The outcome of a finished update check: "failed" when no version file was read, the
    // Software Update dialog when an update is available, else "up-to-date". This default shows
    // alerts, offering the download page in place of the dialog; a window shows its dialog.
    virtual void showUpdateCheckResult(const std::shared_ptr<VersionCheck>& check);

    // iTunesControllerHooks: the one-button alert goes to showAlert; openURL,
    // chooseLibraryFile and quitApplication stay for the front end.
    void showAlert(const std::string& title, const std::string& message,
                   const std::string& button) override;

    // ---- what a front end reads

    std::shared_ptr<SonorixModel> model() const { return m_model; }
    std::shared_ptr<SonorixPreferences> preferences() const { return m_preferences; }
    std::shared_ptr<iTunesController> iTunes() const { return m_iTunes; }
    SonorixTracksTableController& tracksTable() { return m_tracksTable; }
    const TachoController& tacho() const { return m_tacho; }
    std::shared_ptr<SonorixAutomaticAdjustmentJobManager> adjustingProcessor() const {
        return m_adjustingProcessor;
    }
    std::shared_ptr<SonorixManualAdjustmentJobManager> manualProcessor() const {
        return m_manualProcessor;
    }
    std::shared_ptr<SonorixRemoveCommentsJobManager> removeCommentsProcessor() const {
        return m_removeCommentsProcessor;
    }
    std::shared_ptr<DisplayProgress> loadingProgress() const { return m_loadingProgress; }
    // The background check of the rows on show; made by initialize, gone after shutDown.
    SonorixStatusRefresh* statusRefresh() const { return m_statusRefresh.get(); }

protected:
    // The front end's startUp hands over the connection it made.
    void setITunesController(std::shared_ptr<iTunesController> controller) {
        m_iTunes = std::move(controller);
    }
    // Replaces the display scheduler (tests); empty: the process-wide one.
    void setDisplayScheduler(std::shared_ptr<DisplayMessageScheduler> scheduler) {
        m_scheduler = std::move(scheduler);
    }
    // Whether the start-up continuation runs the automatic update check (the window does; a
    // console command has no use for it).
    virtual bool checksForUpdatesAtStart() const { return true; }
    // The limits of the update check's downloads (tests shorten the time-outs).
    void setUpdateCheckLimits(const UrlDownloadLimits& limits) { m_updateCheckLimits = limits; }
    // Settings for work that runs without start (the console's update check).
    void setPreferences(std::shared_ptr<SonorixPreferences> preferences) {
        m_preferences = std::move(preferences);
    }
    // The seconds after libraryLoaded before the start-up continuation (1.0; tests shorten it).
    void setContinuationDelay(double seconds) { m_continuationDelay = seconds; }
    // The length of the interaction period (10 s) and the wait before scrolling to the work
    // (0.1 s); tests shorten them.
    void setViewTimings(double interactionSeconds, double revealSeconds) {
        m_interactionSeconds = interactionSeconds;
        m_revealSeconds = revealSeconds;
    }

private:
    using LocationPrefixes = std::vector<std::pair<std::string, std::string>>;
    // Runs on the import thread with what the main thread handed over; returns the LoadResult
    // and the model it loaded.
    static int32_t importLibrary(const std::shared_ptr<iTunesController>& iTunes,
                                 const LocationPrefixes& locations,
                                 const std::shared_ptr<DisplayProgress>& progress,
                                 const std::shared_ptr<DisplayMessageScheduler>& scheduler,
                                 std::shared_ptr<SonorixModel>& model);
    void continueStartUp(int32_t result);
    // knownSelection: mode 3 found tracks selected in iTunes that the library holds.
    void showNoTracksAlert(int32_t mode, bool knownSelection);
    // Shows a run of the Start button's kind as running and starts its workers.
    void startRun(JobManager& processor);
    void stopProcessors();
    void updateGroupButtons();
    std::shared_ptr<SonorixGroup> groupOfTrack(const iTunesTrack& track) const;
    void revealProgress(const std::shared_ptr<SonorixGroup>& group, const OutlineItem& item);
    void revealTimerFired();
    void clearFollowState();
    void setSortOptionsOf(const std::shared_ptr<SonorixGroup>& group,
                          std::shared_ptr<const TrackSortOptions> options);
    // Moves tracks into target, each out of the group that holds it; saves the model later.
    void moveTracks(const std::vector<std::shared_ptr<iTunesTrack>>& tracks,
                    const std::shared_ptr<SonorixGroup>& target);
    void resetStatusOf(const std::shared_ptr<iTunesTrack>& track);
    bool mayStartTrackTask(const std::vector<std::shared_ptr<iTunesTrack>>& tracks, bool confirmed,
                           const std::string& alert);
    bool startTrackTask(const std::vector<std::shared_ptr<iTunesTrack>>& tracks,
                        std::shared_ptr<TrackTaskJobManager> processor);

    std::shared_ptr<SonorixModel> m_model;
    std::shared_ptr<SonorixModel> m_loadedModel; // the import's, until libraryLoaded takes it
    std::shared_ptr<SonorixPreferences> m_preferences;
    std::shared_ptr<iTunesController> m_iTunes;
    std::shared_ptr<DisplayMessageScheduler> m_scheduler;
    std::shared_ptr<DisplayProgress> m_loadingProgress;
    std::shared_ptr<SonorixAutomaticAdjustmentJobManager> m_adjustingProcessor;
    std::shared_ptr<SonorixManualAdjustmentJobManager> m_manualProcessor;
    std::shared_ptr<SonorixRemoveCommentsJobManager> m_removeCommentsProcessor;
    std::shared_ptr<AdjustmentPreview> m_lastPreview;
    std::shared_ptr<TrackTaskJobManager> m_trackTaskProcessor;
    std::unique_ptr<SonorixStatusRefresh> m_statusRefresh;
    std::shared_ptr<SonorixGroup> m_currentGroup;
    std::shared_ptr<SonorixGroup> m_followedGroup;
    OutlineItem m_followedItem;
    std::shared_ptr<ScheduledTimer> m_revealTimer;
    std::shared_ptr<ScheduledTimer> m_interactionTimer;
    uint64_t m_interactionGeneration = 0;
    double m_interactionSeconds = 10.0;
    double m_revealSeconds = 0.1;
    std::shared_ptr<ScheduledTimer> m_continuationTimer;
    std::shared_ptr<VersionCheck> m_versionCheck;
    UrlDownloadLimits m_updateCheckLimits;
    SonorixTracksTableController m_tracksTable;
    TachoController m_tacho;
    bool m_libraryLoaded = false;
    bool m_shutDown = false;
    bool m_startupErrorShown = false;
    int32_t m_startupResult = -1;
    double m_continuationDelay = 1.0;
};

} // namespace sonorix
