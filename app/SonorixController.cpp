#include "app/SonorixController.h"

#include "app/OutlineSort.h"
#include "audio/MediaLayer.h"
#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/ScheduledTimer.h"
#include "foundation/Text.h"
#include "foundation/Threads.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"
#include "model/SonorixStatus.h"
#include "processing/DisplayMessage.h"
#include "processing/DisplayProgress.h"
#include "processing/RestoreTrack.h"
#include "processing/SonorixAutomaticAdjustmentJobManager.h"
#include "processing/SonorixManualAdjustmentJob.h"
#include "processing/SonorixRemoveCommentsJob.h"
#include "processing/SonorixStatusUpdater.h"
#include "processing/TrackRepair.h"
#include "processing/TrackTaskJob.h"

#include <set>
#include <unordered_set>

namespace sonorix {
namespace {

std::string text(const char* key) {
    return Localization::shared().localizedString(key);
}

constexpr uint32_t kITunes9_0_0 = 0x090000;

int64_t positionOfGroup(SonorixGroups& groups, const SonorixGroup* group) {
    for (size_t i = 0; i < groups.count(); ++i) {
        if (groups.groupAt(i).get() == group) {
            return static_cast<int64_t>(i);
        }
    }
    return -1;
}

void resetStatus(const std::shared_ptr<SonorixStatus>& status) {
    if (status) {
        status->clearAnalysis();
        status->resetRuntime();
    }
}

} // namespace

SonorixController::SonorixController() {
    writeLog("%d active processor cores found", numberOfActiveProcessors());
    mediaLayer();
}

SonorixController::~SonorixController() {
    if (m_versionCheck) {
        m_versionCheck->cancel(); // it holds this controller as its delegate
    }
}

// ---- start-up

void SonorixController::start(const std::string& preferencesPath) {
    if (!m_scheduler) {
        m_scheduler = DisplayMessageScheduler::sharedScheduler();
    }
    m_scheduler->setTarget(sharedFromThis());
    m_loadingProgress = DisplayProgress::create({}, m_scheduler);
    m_loadingProgress->setIndeterminate(true);
    m_preferences = std::make_shared<SonorixPreferences>();
    if (preferencesPath.empty()) {
        m_preferences->load();
    } else {
        m_preferences->load(preferencesPath);
    }
    setStartButtonRunning(false);
    startUp(m_preferences->debugMenu());

    auto self = sharedFromThis();
    auto iTunes = m_iTunes;
    // A copy: the settings may change on the main thread while the import reads.
    auto locations = m_preferences->locationPrefixMap();
    auto progress = m_loadingProgress;
    auto scheduler = m_scheduler;
    callOnNewThread([self, iTunes, locations, progress, scheduler] {
        std::shared_ptr<SonorixModel> model;
        const int32_t result = importLibrary(iTunes, locations, progress, scheduler, model);
        callOnMainThread(
            [self, model, result] {
                if (self->m_shutDown) {
                    return;
                }
                self->m_loadedModel = model;
                self->libraryLoaded(result);
            },
            false);
    });

    writeLog("appLanguage=%s\n", Localization::shared().currentLanguageCode().c_str());
    if (m_preferences->directShow()) {
        writeLog("Using DirectShow\n");
    }
    initialize();
}

int32_t SonorixController::importLibrary(const std::shared_ptr<iTunesController>& iTunes,
                                         const LocationPrefixes& locations,
                                         const std::shared_ptr<DisplayProgress>& progress,
                                         const std::shared_ptr<DisplayMessageScheduler>& scheduler,
                                         std::shared_ptr<SonorixModel>& model) {
    auto message = DisplayMessage::create(toUtf16(text("Loading iTunes Library")), u"", progress,
                                          DisplayMessage::kLibraryLoading, 0, scheduler);
    message->show();
    int32_t result = SonorixModel::kCantLoadiTunes;
    model = SonorixModel::create();
    try {
        if (!iTunes) {
            throw SonorixModel::CantLoadiTunesException();
        }
        const std::string path = iTunes->libraryXMLPath();
        result = model->loadForStartUp(path, locations, iTunes->trackFactory());
    } catch (const SonorixModel::CantLoadiTunesException&) {
        writeLog("CantLoadiTunesException");
        result = SonorixModel::kCantLoadiTunes;
    } catch (const std::exception& e) {
        // Without an answer the application would wait for the library for ever: report it as
        // an unreadable library, which ends the run with an alert.
        logUncaughtException(e, "Thread");
        result = SonorixModel::kCantLoadiTunesXML;
    }
    message->hide();
    if (result != SonorixModel::kLoaded) {
        model.reset();
    }
    return result;
}

void SonorixController::initialize() {
    if (!m_statusRefresh) {
        m_statusRefresh = std::make_unique<SonorixStatusRefresh>(sharedFromThis());
    }
    setStartEnabled(false);
    m_currentGroup.reset();
}

void SonorixController::libraryLoaded(int32_t result) {
    m_startupResult = result;
    if (m_iTunes) {
        m_iTunes->showStartupError(iTunesController::kNoError);
        if (m_iTunes->startupError() != iTunesController::kNoError) {
            m_startupErrorShown = true;
        }
    }
    if (m_shutDown) {
        return; // the alert's quit already closed the application
    }
    if (result == SonorixModel::kLoaded && m_loadedModel && !m_startupErrorShown) {
        m_model = std::move(m_loadedModel);
        SonorixModel::setCurrent(m_model);
        m_model->ensureSyncExclusion();
        m_libraryLoaded = true;
        reloadGroups();
        setCurrentGroup(m_model->groups()->groupAt(0), true);
        setStartEnabled(true);
    }
    m_loadedModel.reset();
    std::weak_ptr<SonorixController> weak = sharedFromThis();
    m_continuationTimer = ScheduledTimer::scheduledTimer(
        m_continuationDelay,
        [weak, result] {
            if (auto self = weak.lock()) {
                self->continueStartUp(result);
            }
        },
        false);
}

void SonorixController::continueStartUp(int32_t result) {
    // Kept until the end: this runs inside the timer's firing.
    auto timer = std::move(m_continuationTimer);
    if (m_shutDown) {
        return;
    }
    if (result != SonorixModel::kLoaded || m_startupErrorShown) {
        // The alert ends the application; nothing else is shown.
        if (!m_startupErrorShown) {
            m_startupErrorShown = true;
            if (m_iTunes) {
                m_iTunes->showStartupError(result);
            } else {
                quitApplication();
            }
        }
        return;
    }
    if (!m_preferences->dontShowQuickStartGuide()) {
        showImportantNotice();
    }
    writeLog("Update Check ...");
    if (checksForUpdatesAtStart()) {
        checkForUpdates(false);
    }
    writeLog("... Started.");
}

// ---- the update check

void SonorixController::checkForUpdates(bool interactive) {
    if (m_shutDown) {
        return;
    }
    if (m_versionCheck) {
        if (interactive) {
            m_versionCheck->setInteractive(true);
        }
        return;
    }
    VersionCheck::Settings settings;
    settings.appVersion = SONORIX_VERSION;
    settings.languageCode = Localization::shared().currentLanguageCode();
    settings.interactive = interactive;
    settings.limits = m_updateCheckLimits;
    if (m_preferences) {
        settings.ignoredVersion = toUtf8(m_preferences->ignoredUpdateVersion());
        settings.url = m_preferences->updateCheckURL();
    } else {
        settings.url = SONORIX_UPDATE_CHECK_URL;
    }
    m_versionCheck = VersionCheck::create(this, std::move(settings));
    m_versionCheck->start();
}

void SonorixController::versionCheckFinished(const std::shared_ptr<VersionCheck>& check) {
    const bool update = check->isUpdateAvailable();
    writeLog(update ? "Update available: App version %s, latest version %s."
                    : "No update available. App version %s, latest version %s.",
             check->appVersion().c_str(), check->latestVersion().c_str());
    if (update) {
        if (check->isInteractive() && m_preferences) {
            m_preferences->setIgnoredUpdateVersion(u"");
            m_preferences->save();
        }
        showUpdateCheckResult(check);
    } else if (check->isInteractive()) {
        showUpdateCheckResult(check);
    }
    if (m_versionCheck == check) {
        m_versionCheck.reset();
    }
}

void SonorixController::skipUpdateVersion(const std::string& version) {
    if (m_preferences && !version.empty()) {
        m_preferences->setIgnoredUpdateVersion(toUtf16(version));
        m_preferences->save();
    }
}

void SonorixController::showUpdateCheckResult(const std::shared_ptr<VersionCheck>& check) {
    auto& texts = Localization::shared();
    const auto table = Localization::kVersionCheckLocalizable;
    if (!check->versionFileRead()) {
        showAlert(texts.localizedString("UpdateCheckFailed_Title", table),
                  texts.localizedString("UpdateCheckFailed_Message", table),
                  texts.localizedString("UpdateCheckFailed_OK", table), false);
    } else if (check->isUpdateAvailable()) {
        const std::string message =
            texts.windowText("A newer version of Sonorix is available for download.") + "\n" +
            formatString(texts.windowText("Your version is %s, the latest version is %s.").c_str(),
                         check->appVersion().c_str(), check->latestVersion().c_str());
        std::vector<std::string> buttons = {texts.windowText("Download…"),
                                            texts.windowText("Remind Me Later")};
        if (!check->isInteractive()) {
            buttons.push_back(texts.windowText("Skip This Version"));
        }
        const int choice = askAlert(texts.windowText("Software Update"), message, buttons, false);
        if (choice == 0 && !check->downloadPageURL().empty()) {
            openURL(check->downloadPageURL());
        } else if (choice == 2) {
            skipUpdateVersion(check->latestVersion());
        }
    } else {
        showAlert(texts.localizedString("Uptodate_Title", table),
                  texts.localizedString("Uptodate_Message", table),
                  texts.localizedString("Uptodate_OK", table), false);
    }
}

void SonorixController::shutDown() {
    if (m_shutDown) {
        return;
    }
    m_shutDown = true;
    if (isMainThread()) {
        setMainWindowClosing();
    }
    for (auto* timer : {&m_continuationTimer, &m_revealTimer, &m_interactionTimer}) {
        if (*timer) {
            (*timer)->invalidate();
            timer->reset();
        }
    }
    stopProcessors();
    if (auto check = std::move(m_versionCheck)) {
        check->cancel();
    }
    if (m_statusRefresh) {
        m_statusRefresh->shutDown();
        m_statusRefresh.reset();
    }
    if (m_model) {
        m_model->saveNowIfPending();
    }
    // The scheduler would otherwise keep this controller alive and call into a closed window.
    if (m_scheduler) {
        m_scheduler->setTarget(nullptr);
    }
    writeLog("exitApplication()\n");
    m_iTunes.reset();
}

void SonorixController::stopProcessors() {
    if (auto processor = std::move(m_adjustingProcessor)) {
        processor->stop();
        allowSleep();
    }
    if (auto processor = std::move(m_removeCommentsProcessor)) {
        processor->stop();
        allowSleep();
    }
    if (auto processor = std::move(m_manualProcessor)) {
        processor->stop();
    }
    if (auto processor = std::move(m_trackTaskProcessor)) {
        processor->stop();
        allowSleep();
    }
}

// ---- commands

bool SonorixController::anyProcessorRunning() const {
    return m_adjustingProcessor || m_removeCommentsProcessor || m_manualProcessor ||
           m_trackTaskProcessor;
}

bool SonorixController::canStart(int32_t mode, bool strict) const {
    if (!m_libraryLoaded) {
        return false;
    }
    if (m_adjustingProcessor) {
        return m_adjustingProcessor->mode() == mode;
    }
    if (m_removeCommentsProcessor || m_manualProcessor || m_trackTaskProcessor) {
        return false;
    }
    if (strict) {
        if (mode == kModeCurrentGroup && !m_currentGroup) {
            return false;
        }
        if (mode == kModeSelectedInSonorix && !m_tracksTable.hasSelection()) {
            return false;
        }
    }
    return true;
}

void SonorixController::startOrStop(int32_t mode) {
    if (!canStart(mode, false)) {
        return;
    }
    if (m_adjustingProcessor) {
        stopAdjusting();
    } else {
        startAdjusting(mode);
    }
}

bool SonorixController::startAdjusting(int32_t mode) {
    return startAdjusting(mode, RunOptions{});
}

bool SonorixController::startAdjusting(int32_t mode, const RunOptions& options) {
    if (!m_libraryLoaded || mode < kModeAll || mode > kModeSelectedInITunes) {
        return false;
    }
    willStartProcessing();
    stopAdjusting();
    if (m_preferences->preventSleep()) {
        preventSleep();
    }

    std::unordered_set<uint64_t> iTunesSelection;
    if (mode == kModeSelectedInITunes && m_iTunes) {
        try {
            for (const auto& track : m_iTunes->selectedTracks(*m_model->library())) {
                iTunesSelection.insert(track->persistentId());
            }
        } catch (const SonorixModel::CantLoadiTunesException&) {
            // Not connected: nothing is selected.
        }
    }

    auto processor = std::make_shared<SonorixAutomaticAdjustmentJobManager>(
        sharedFromThis(), mode, m_preferences, SecondsClock{}, m_scheduler);
    processor->setRunOptions(options.preview, options.replayGain);
    if (options.preview) {
        m_lastPreview = options.preview;
    }
    m_adjustingProcessor = processor;

    auto groups = m_model->groups();
    std::vector<std::shared_ptr<SonorixGroup>> chosen;
    if (mode == kModeCurrentGroup || mode == kModeSelectedInSonorix) {
        if (m_currentGroup) {
            chosen.push_back(m_currentGroup);
        }
    } else {
        for (size_t i = 0; i < groups->count(); ++i) {
            chosen.push_back(groups->groupAt(i));
        }
    }

    std::shared_ptr<SonorixGroup> firstAutomatic;
    for (const auto& group : chosen) {
        if (!group || !group->options().isAutomatic()) {
            continue;
        }
        if (!firstAutomatic) {
            firstAutomatic = group;
        }
        std::vector<std::shared_ptr<SonorixAlbum>> albums;
        if (mode == kModeAll || mode == kModeCurrentGroup) {
            albums = group->albums();
        } else if (mode == kModeSelectedInSonorix) {
            std::set<const SonorixAlbum*> seen;
            for (const auto& item : m_tracksTable.selectedItems()) {
                std::shared_ptr<SonorixAlbum> album = std::dynamic_pointer_cast<SonorixAlbum>(item);
                if (!album) {
                    if (auto track = std::dynamic_pointer_cast<iTunesTrack>(item)) {
                        album = group->albumOfTrack(track->persistentId());
                    }
                } else if (album->group() != group) {
                    album.reset();
                }
                if (album && seen.insert(album.get()).second) {
                    albums.push_back(album);
                }
            }
        } else {
            for (const auto& album : group->albums()) {
                for (const auto& track : album->tracks()) {
                    if (iTunesSelection.count(track->persistentId())) {
                        albums.push_back(album);
                        break;
                    }
                }
            }
        }
        for (const auto& album : albums) {
            processor->addAlbum(group, album);
        }
    }

    if (processor->pendingCount() > 0) {
        setCurrentGroup(firstAutomatic, false);
        startRun(*processor);
        return true;
    }
    stopAdjusting();
    showNoTracksAlert(mode, !iTunesSelection.empty());
    return false;
}

void SonorixController::showNoTracksAlert(int32_t mode, bool knownSelection) {
    std::string title;
    std::string message;
    bool tall = false;
    const bool groupAutomatic = m_currentGroup && m_currentGroup->options().isAutomatic();
    switch (mode) {
    case kModeAll:
        title = "ProcessorEmpty_All_Title";
        message = "ProcessorEmpty_All_Message";
        break;
    case kModeCurrentGroup:
        if (!m_currentGroup) {
            title = "ProcessorEmpty_NoGroup_Title";
            message = "ProcessorEmpty_NoGroup_Message";
        } else if (!groupAutomatic) {
            title = "ProcessorEmpty_GroupNotAutomatic_Title";
            message = "ProcessorEmpty_GroupNotAutomatic_Message";
        } else {
            title = "ProcessorEmpty_GroupEmpty_Title";
            message = "ProcessorEmpty_GroupEmpty_Message";
        }
        break;
    case kModeSelectedInSonorix:
        if (m_currentGroup && !groupAutomatic) {
            title = "ProcessorEmpty_GroupNotAutomatic_Title";
            message = "ProcessorEmpty_GroupNotAutomatic_Message";
        } else {
            title = "ProcessorEmpty_SelectionEmpty_Title";
            message = "ProcessorEmpty_SelectionEmpty_Message";
        }
        break;
    default:
        if (knownSelection) {
            title = "ProcessorEmpty_iTunesSelectionNotAutomatic_Title";
            message = "ProcessorEmpty_iTunesSelectionNotAutomatic_Message";
        } else {
            title = "ProcessorEmpty_iTunesSelectionEmpty_Title";
            auto library = m_model ? m_model->library() : nullptr;
            if (library && library->applicationVersion() == kITunes9_0_0) {
                message = "ProcessorEmpty_iTunes9WinSelectionEmpty_Message";
                tall = true;
            } else {
                message = "ProcessorEmpty_iTunesSelectionEmpty_Message";
            }
        }
        break;
    }
    showAlert(text(title.c_str()), text(message.c_str()), text("ProcessorEmpty_OK"), tall);
}

void SonorixController::stopAdjusting() {
    if (!m_adjustingProcessor) {
        return;
    }
    stopProcessors();
    m_tacho.setValue(-1);
    updateSpeedometer();
    setStartButtonRunning(false);
    updateGroupOptions();
    updateGroupButtons();
    reloadOutline();
}

void SonorixController::processorFinished(const std::shared_ptr<JobManager>& processor) {
    assertMainThread("SonorixController::processorFinished");
    // Closing runs the calls already on their way; a run ending among them is not reported.
    if (m_shutDown || !processor) {
        return;
    }
    if (processor.get() == static_cast<JobManager*>(m_adjustingProcessor.get())) {
        if (!processor->isStopped()) {
            processingFinished();
        }
        stopAdjusting();
    } else if (processor.get() == static_cast<JobManager*>(m_removeCommentsProcessor.get())) {
        if (!processor->isStopped()) {
            processingFinished();
        }
        stopRemovingComments();
    } else if (processor.get() == static_cast<JobManager*>(m_manualProcessor.get())) {
        stopManualAdjustment();
    } else if (processor.get() == static_cast<JobManager*>(m_trackTaskProcessor.get())) {
        if (!processor->isStopped()) {
            processingFinished();
        }
        stopTrackTask();
    }
}

void SonorixController::startButtonClicked() {
    if (!m_libraryLoaded) {
        return;
    }
    if (anyProcessorRunning()) {
        if (m_adjustingProcessor) {
            stopAdjusting();
        } else if (m_removeCommentsProcessor) {
            stopRemovingComments();
        } else if (m_trackTaskProcessor) {
            stopTrackTask();
        }
        return;
    }
    int32_t mode = m_preferences->startButtonMode();
    if (mode < 0) {
        const int choice =
            askAlert(text("StartConfigurable_Title"), text("StartConfigurable_Message"),
                     {text("StartConfigurable_Start"), text("StartConfigurable_ShowPrefs")}, true);
        if (choice != 0) {
            showPreferences();
            return;
        }
        m_preferences->setStartButtonMode(kModeAll);
        m_preferences->save();
        mode = kModeAll;
    }
    if (mode <= kModeSelectedInITunes) {
        startOrStop(mode);
    }
}

void SonorixController::forgetResults(bool selectionOnly) {
    if (!m_libraryLoaded) {
        return;
    }
    std::vector<std::shared_ptr<iTunesTrack>> tracks;
    std::vector<std::shared_ptr<SonorixAlbum>> albums;
    auto groups = m_model->groups();
    if (selectionOnly) {
        if (!m_tracksTable.hasSelection()) {
            return;
        }
        const int choice = askAlert(text("ForgetResults_Title"), text("ForgetResults_Message"),
                                    {text("ForgetResults_Yes"), text("ForgetResults_No")}, false);
        if (choice != 0) {
            return;
        }
        for (const auto& item : m_tracksTable.selectedItems()) {
            if (auto album = std::dynamic_pointer_cast<SonorixAlbum>(item)) {
                albums.push_back(album);
                tracks.insert(tracks.end(), album->tracks().begin(), album->tracks().end());
            } else if (auto track = std::dynamic_pointer_cast<iTunesTrack>(item)) {
                tracks.push_back(track);
                if (auto group = groupOfTrack(*track)) {
                    if (auto owner = group->albumOfTrack(track->persistentId())) {
                        albums.push_back(owner);
                    }
                }
            }
        }
    } else {
        for (const auto& [id, track] : m_model->library()->tracks()) {
            tracks.push_back(track);
        }
        for (size_t i = 0; i < groups->count(); ++i) {
            auto groupAlbums = groups->groupAt(i)->albums();
            albums.insert(albums.end(), groupAlbums.begin(), groupAlbums.end());
        }
    }

    auto statuses = m_model->statusLibrary();
    auto updater = statusUpdater();
    for (const auto& track : tracks) {
        resetStatus(statuses->trackStatus(track->persistentId(), false));
        if (updater) {
            updater->forgetTrack(*track);
        }
    }
    // An album's combined result is made of its tracks' results.
    for (const auto& album : albums) {
        if (!album->isSingleTrack()) {
            resetStatus(statuses->albumStatus(*album, false, false));
        }
    }
    // Forgotten results must stay forgotten after a restart.
    m_model->setNeedsSave(false);
    reloadOutline();
}

std::string SonorixController::adjustingMenuTitle() const {
    return text(m_libraryLoaded && m_adjustingProcessor ? "StopAdjustingMenuTitle"
                                                        : "StartAdjustingMenuTitle");
}

void SonorixController::showAlert(const std::string& title, const std::string& message,
                                  const std::string& button) {
    showAlert(title, message, button, false);
}

// ---- manual adjustment and comment removal

void SonorixController::resetStatusOf(const std::shared_ptr<iTunesTrack>& track) {
    if (auto status = m_model->statusLibrary()->trackStatus(track->persistentId(), false)) {
        status->resetRuntime();
        if (auto updater = statusUpdater()) {
            updater->forgetTrack(*track);
        }
    }
}

bool SonorixController::adjustManually(const std::shared_ptr<SonorixAlbum>& album,
                                       const std::shared_ptr<iTunesTrack>& track, double value,
                                       bool final) {
    if (!m_libraryLoaded || (!album == !track)) {
        return false;
    }
    // A final run is never interrupted; movements of the control meanwhile are dropped.
    if (m_manualProcessor && m_manualProcessor->isFinal()) {
        return false;
    }
    // Comment removal, a restore or a repair may be rewriting the same files.
    if (m_removeCommentsProcessor || m_trackTaskProcessor) {
        return false;
    }
    stopManualAdjustment();
    value = SonorixManualAdjustmentJob::roundValue(value);
    auto processor = std::make_shared<SonorixManualAdjustmentJobManager>(
        sharedFromThis(), album, final, m_preferences->modifyComments(), SecondsClock{},
        m_scheduler);
    m_manualProcessor = processor;

    std::shared_ptr<SonorixAlbum> scope = album;
    if (track) {
        if (auto group = groupOfTrack(*track)) {
            scope = group->albumOfTrack(track->persistentId());
        }
    }
    // The whole album's rows show no stale state, also when only one of its tracks changes.
    if (scope) {
        for (const auto& member : scope->tracks()) {
            resetStatusOf(member);
        }
        if (auto status = m_model->statusLibrary()->albumStatus(*scope, false, false)) {
            status->resetRuntime();
        }
    }
    if (track) {
        processor->addJob(std::make_shared<SonorixManualAdjustmentJob>(processor, track, value));
    } else {
        for (const auto& member : album->tracks()) {
            processor->addJob(
                std::make_shared<SonorixManualAdjustmentJob>(processor, member, value));
        }
    }
    if (processor->pendingCount() == 0) {
        stopManualAdjustment();
        return false;
    }
    reloadOutline();
    processor->start();
    return true;
}

void SonorixController::stopManualAdjustment() {
    if (auto processor = std::move(m_manualProcessor)) {
        processor->stop();
    }
}

std::vector<std::shared_ptr<iTunesTrack>> SonorixController::selectedTracks() const {
    std::vector<std::shared_ptr<iTunesTrack>> tracks;
    std::unordered_set<const iTunesTrack*> seen;
    auto add = [&](const std::shared_ptr<iTunesTrack>& track) {
        if (track && seen.insert(track.get()).second) {
            tracks.push_back(track);
        }
    };
    for (const auto& item : m_tracksTable.selectedItems()) {
        if (auto album = std::dynamic_pointer_cast<SonorixAlbum>(item)) {
            for (const auto& track : album->tracks()) {
                add(track);
            }
        } else {
            add(std::dynamic_pointer_cast<iTunesTrack>(item));
        }
    }
    return tracks;
}

bool SonorixController::removeComments() {
    if (m_removeCommentsProcessor) {
        stopRemovingComments();
        return false;
    }
    if (!m_libraryLoaded || anyProcessorRunning() || !m_tracksTable.hasSelection()) {
        return false;
    }
    const int choice = askAlert(text("RemoveComments_Title"), text("RemoveComments_Message"),
                                {text("RemoveComments_OK"), text("RemoveComments_Cancel")}, false);
    if (choice != 0) {
        return false;
    }
    willStartProcessing();
    stopRemovingComments();
    if (m_preferences->preventSleep()) {
        preventSleep();
    }
    auto processor = std::make_shared<SonorixRemoveCommentsJobManager>(sharedFromThis(),
                                                                       SecondsClock{}, m_scheduler);
    m_removeCommentsProcessor = processor;

    const auto tracks = selectedTracks();
    std::vector<std::shared_ptr<SonorixAlbum>> albums;
    std::set<const SonorixAlbum*> seen;
    for (const auto& track : tracks) {
        auto group = groupOfTrack(*track);
        auto album = group ? group->albumOfTrack(track->persistentId()) : nullptr;
        if (album && seen.insert(album.get()).second) {
            albums.push_back(album);
        }
    }
    for (const auto& album : albums) {
        for (const auto& track : album->tracks()) {
            if (std::find(tracks.begin(), tracks.end(), track) != tracks.end()) {
                resetStatusOf(track);
            }
        }
        processor->addAlbum(album, tracks);
    }

    if (processor->pendingCount() == 0) {
        stopRemovingComments();
        return false;
    }
    startRun(*processor);
    return true;
}

void SonorixController::startRun(JobManager& processor) {
    clearFollowState();
    updateGroupOptions();
    setStartButtonRunning(true);
    reloadOutline();
    processor.start();
    setGroupButtonsEnabled(false, false);
}

void SonorixController::stopRemovingComments() {
    auto processor = std::move(m_removeCommentsProcessor);
    if (!processor) {
        return;
    }
    processor->stop();
    allowSleep();
    setStartButtonRunning(false);
    updateGroupOptions();
    updateGroupButtons();
}

bool SonorixController::restoreTracks(const std::vector<std::shared_ptr<iTunesTrack>>& tracks,
                                      bool confirmed) {
    return mayStartTrackTask(tracks, confirmed, "Restore") &&
           startTrackTask(tracks, std::make_shared<TrackTaskJobManager>(
                                      sharedFromThis(), "Restoring Tracks", restoreTrack,
                                      SecondsClock{}, m_scheduler));
}

bool SonorixController::repairTracks(const std::vector<std::shared_ptr<iTunesTrack>>& tracks,
                                     bool confirmed) {
    return mayStartTrackTask(tracks, confirmed, "Repair") &&
           startTrackTask(tracks, std::make_shared<TrackTaskJobManager>(
                                      sharedFromThis(), "Repairing Tracks", repairTrack,
                                      SecondsClock{}, m_scheduler));
}

// Idle, with tracks, and asked unless confirmed; alert names the question's texts (alert +
// "_Title", "_Message", "_OK", "_Cancel").
bool SonorixController::mayStartTrackTask(const std::vector<std::shared_ptr<iTunesTrack>>& tracks,
                                          bool confirmed, const std::string& alert) {
    if (!m_libraryLoaded || anyProcessorRunning() || tracks.empty()) {
        return false;
    }
    auto say = [&alert](const char* part) { return text((alert + part).c_str()); };
    return confirmed ||
           askAlert(say("_Title"), say("_Message"), {say("_OK"), say("_Cancel")}, false) == 0;
}

bool SonorixController::startTrackTask(const std::vector<std::shared_ptr<iTunesTrack>>& tracks,
                                       std::shared_ptr<TrackTaskJobManager> processor) {
    willStartProcessing();
    if (m_preferences->preventSleep()) {
        preventSleep();
    }
    m_trackTaskProcessor = processor;
    for (const auto& track : tracks) {
        if (track) {
            processor->addTrack(m_model, track);
        }
    }
    if (processor->pendingCount() == 0) {
        stopTrackTask();
        return false;
    }
    clearFollowState();
    updateGroupOptions();
    setStartButtonRunning(true);
    reloadOutline();
    processor->start();
    setGroupButtonsEnabled(false, false);
    return true;
}

void SonorixController::stopTrackTask() {
    auto processor = std::move(m_trackTaskProcessor);
    if (!processor) {
        return;
    }
    processor->stop();
    allowSleep();
    setStartButtonRunning(false);
    updateGroupOptions();
    updateGroupButtons();
}

std::string SonorixController::removeCommentsMenuTitle() const {
    return text(m_removeCommentsProcessor ? "StopRemoveCommentsMenuTitle"
                                          : "StartRemoveCommentsMenuTitle");
}

// ---- the current group and the views

void SonorixController::updateGroupButtons() {
    setGroupButtonsEnabled(canAddGroup(), canDeleteGroup());
}

bool SonorixController::canDeleteGroup() const {
    return canAddGroup() && m_currentGroup && m_currentGroup != m_model->groups()->groupAt(0);
}

void SonorixController::setCurrentGroup(const std::shared_ptr<SonorixGroup>& group, bool force) {
    const bool changed = group != m_currentGroup;
    if (changed) {
        m_currentGroup = group;
        force = true;
    }
    if (!force) {
        return;
    }
    selectGroup(group);
    updateGroupButtons();
    setGroupPaneHidden(!group);
    if (changed && group) {
        group->setSearchText(u"");
        group->setSortOptions(nullptr);
    }
    setSearchField(group ? group->searchText() : std::u16string(), group != nullptr);
    updateGroupOptions();
    reloadOutline();
}

void SonorixController::reloadGroups() {
    setCurrentGroup(m_currentGroup, true);
}

void SonorixController::searchTextChanged(const std::u16string& text) {
    if (m_currentGroup) {
        m_currentGroup->setSearchText(text);
    }
    setCurrentGroup(m_currentGroup, true);
}

void SonorixController::reloadOutline() {
    if (m_currentGroup) {
        if (auto sort = std::dynamic_pointer_cast<const OutlineSortOptions>(
                m_currentGroup->sortOptions())) {
            sort->forgetKeys();
        }
    }
    tracksChanged(nullptr);
    setStatusText(toUtf8(statusLine(m_currentGroup.get())));
    showSortIndicator();
}

void SonorixController::checkTags(const std::shared_ptr<SonorixGroup>& group,
                                  std::function<void()> done) {
    if (!group || !m_statusRefresh) {
        if (done) {
            done();
        }
        return;
    }
    m_statusRefresh->checkTags(*group, processingActivity(), std::move(done));
}

ProcessingActivity SonorixController::processingActivity() const {
    ProcessingActivity activity;
    activity.processorExists = anyProcessorRunning();
    activity.followsProgress = followsProgress();
    activity.removingComments = isRemovingComments();
    return activity;
}

std::vector<int32_t> SonorixController::sortColumns() const {
    auto sort =
        m_currentGroup
            ? std::dynamic_pointer_cast<const OutlineSortOptions>(m_currentGroup->sortOptions())
            : nullptr;
    return sort ? sort->columns() : OutlineSortOptions::defaultColumns();
}

bool SonorixController::sortDescending() const {
    auto sort =
        m_currentGroup
            ? std::dynamic_pointer_cast<const OutlineSortOptions>(m_currentGroup->sortOptions())
            : nullptr;
    return sort && sort->descending();
}

void SonorixController::setSortOptionsOf(const std::shared_ptr<SonorixGroup>& group,
                                         std::shared_ptr<const TrackSortOptions> options) {
    group->setSortOptions(std::move(options));
    group->markDisplayDirty();
    reloadOutline();
}

void SonorixController::sortBy(int32_t column) {
    if (!m_currentGroup || column < kSortStatus || column > kSortAdjustment) {
        return;
    }
    OutlineSortOptions current(m_model, sortColumns(), sortDescending());
    setSortOptionsOf(m_currentGroup, current.sortedBy(column));
}

void SonorixController::toggleSortDirection() {
    if (!m_currentGroup) {
        return;
    }
    OutlineSortOptions current(m_model, sortColumns(), sortDescending());
    setSortOptionsOf(m_currentGroup, current.toggledDirection());
}

void SonorixController::sortByHeader(int32_t headerColumn) {
    const int32_t column = sortColumnOfHeader(headerColumn);
    if (column < 0) {
        return;
    }
    if (sortColumns().front() == column) {
        toggleSortDirection();
    } else {
        sortBy(column);
    }
}

void SonorixController::userInteracted() {
    if (m_interactionTimer) {
        m_interactionTimer->invalidate();
    }
    const uint64_t generation = ++m_interactionGeneration;
    std::weak_ptr<SonorixController> weak = sharedFromThis();
    m_interactionTimer = ScheduledTimer::scheduledTimer(
        m_interactionSeconds,
        [weak, generation] {
            auto self = weak.lock();
            if (self && self->m_interactionGeneration == generation) {
                // Kept until the end: this runs inside the timer's firing.
                auto timer = std::move(self->m_interactionTimer);
            }
        },
        false);
}

void SonorixController::outlineSelectionChanged(std::vector<OutlineItem> items, bool byUser) {
    if (byUser) {
        userInteracted();
    }
    m_tracksTable.setSelectedItems(std::move(items));
}

void SonorixController::groupSelectionChanged(const std::shared_ptr<SonorixGroup>& group,
                                              bool byUser) {
    if (byUser) {
        userInteracted();
    }
    setCurrentGroup(group, false);
}

bool SonorixController::followsProgress() const {
    if (m_interactionTimer) {
        return false;
    }
    if (!m_currentGroup) {
        return true;
    }
    if (m_currentGroup->options().operationMode() == SonorixOptions::kAdjustManually) {
        return false;
    }
    return sortColumns().front() == kSortAlbum && !sortDescending();
}

int64_t SonorixController::rowOfItem(const OutlineItem& item) const {
    if (!item || !m_currentGroup) {
        return -1;
    }
    int64_t row = 0;
    for (const auto& album : m_currentGroup->visibleAlbums()) {
        if (album == item) {
            return row;
        }
        ++row;
        if (album->isSingleTrack()) {
            if (album->tracks().front() == item) {
                return row - 1;
            }
            continue;
        }
        for (const auto& track : album->visibleTracks()) {
            if (track == item) {
                return row;
            }
            ++row;
        }
    }
    return -1;
}

std::shared_ptr<SonorixGroup> SonorixController::groupOfTrack(const iTunesTrack& track) const {
    if (!m_model || !m_model->groups()) {
        return nullptr;
    }
    return m_model->groups()->groupOfTrack(track.persistentId());
}

void SonorixController::refreshTrack(const std::shared_ptr<iTunesTrack>& track) {
    assertMainThread("SonorixController::refreshTrack");
    if (track && m_currentGroup && groupOfTrack(*track) == m_currentGroup) {
        tracksChanged(track);
    }
}

void SonorixController::refreshAlbum(const std::shared_ptr<SonorixAlbum>& album) {
    assertMainThread("SonorixController::refreshAlbum");
    if (album && m_currentGroup && album->group() == m_currentGroup) {
        tracksChanged(album);
    }
}

void SonorixController::revealTrack(const std::shared_ptr<iTunesTrack>& track) {
    assertMainThread("SonorixController::revealTrack");
    if (!track || !followsProgress()) {
        return;
    }
    auto group = groupOfTrack(*track);
    if (!group) {
        return;
    }
    OutlineItem item = track;
    if (auto album = group->albumOfTrack(track->persistentId()); album && album->isSingleTrack()) {
        item = album;
    }
    revealProgress(group, item);
}

void SonorixController::revealAlbum(const std::shared_ptr<SonorixAlbum>& album) {
    assertMainThread("SonorixController::revealAlbum");
    if (!album || !followsProgress()) {
        return;
    }
    if (auto group = album->group()) {
        revealProgress(group, album);
    }
}

void SonorixController::clearFollowState() {
    m_followedGroup.reset();
    m_followedItem.reset();
    if (m_interactionTimer) {
        m_interactionTimer->invalidate();
        m_interactionTimer.reset();
    }
}

void SonorixController::revealProgress(const std::shared_ptr<SonorixGroup>& group,
                                       const OutlineItem& item) {
    if (!m_libraryLoaded) {
        return;
    }
    auto groups = m_model->groups();
    const int64_t position = positionOfGroup(*groups, group.get());
    const int64_t followed = m_followedGroup ? positionOfGroup(*groups, m_followedGroup.get()) : -1;
    // The views only move forward, down the groups and down the outline, so they never jump
    // back and forth between the rows that workers take turns on.
    if (position >= 0 && position >= followed) {
        setCurrentGroup(group, false);
        if (group != m_followedGroup) {
            m_followedGroup = group;
            m_followedItem.reset();
        }
    }
    if (group != m_followedGroup || group != m_currentGroup) {
        return;
    }
    const int64_t row = rowOfItem(item);
    if (row < 0 || (m_followedItem && row <= rowOfItem(m_followedItem))) {
        return;
    }
    m_followedItem = item;
    // At most ten scrolls a second.
    if (!m_revealTimer) {
        std::weak_ptr<SonorixController> weak = sharedFromThis();
        m_revealTimer = ScheduledTimer::scheduledTimer(
            m_revealSeconds,
            [weak] {
                if (auto self = weak.lock()) {
                    self->revealTimerFired();
                }
            },
            false);
    }
}

void SonorixController::revealTimerFired() {
    // Kept until the end: this runs inside the timer's firing.
    auto timer = std::move(m_revealTimer);
    if (m_shutDown || !m_followedItem || !followsProgress()) {
        return;
    }
    revealItem(m_followedItem);
}

// ---- group commands

void SonorixController::moveTracks(const std::vector<std::shared_ptr<iTunesTrack>>& tracks,
                                   const std::shared_ptr<SonorixGroup>& target) {
    auto groups = m_model->groups();
    std::set<SonorixGroup*> changed;
    for (const auto& track : tracks) {
        auto from = groups->groupOfTrack(track->persistentId());
        if (from == target) {
            continue;
        }
        if (from) {
            from->removeTrack(track);
            changed.insert(from.get());
        }
        target->addTrack(track);
        changed.insert(target.get());
    }
    for (auto* group : changed) {
        group->markAlbumsDirty();
    }
    if (!changed.empty()) {
        m_model->setNeedsSave(true);
    }
}

bool SonorixController::deleteGroup() {
    if (!canDeleteGroup()) {
        return false;
    }
    const std::string message =
        formatString(text("DeleteGroup_Message").c_str(), toUtf8(m_currentGroup->title()).c_str());
    const int choice = askAlert(text("DeleteGroup_Title"), message,
                                {text("DeleteGroup_Yes"), text("DeleteGroup_No")}, false);
    if (choice != 0) {
        return false;
    }
    auto groups = m_model->groups();
    const int64_t position = positionOfGroup(*groups, m_currentGroup.get());
    if (position < 1) {
        return false;
    }
    for (const auto& track : m_currentGroup->tracks()) {
        resetStatusOf(track);
    }
    groups->removeGroupAt(static_cast<size_t>(position), true);
    groups->groupAt(0)->markAlbumsDirty();
    m_tracksTable.setSelectedItems({});
    m_model->setNeedsSave(true);
    setCurrentGroup(groups->groupAt(0), true);
    reloadGroups();
    return true;
}

std::shared_ptr<SonorixGroup> SonorixController::newGroup() {
    if (!m_libraryLoaded) {
        return nullptr;
    }
    auto groups = m_model->groups();
    auto group = SonorixGroup::create(m_model, nullptr);
    group->setTitle(toUtf16(text("New Group")));
    group->uuid();
    groups->insertGroup(group, groups->count(), false);
    if (m_currentGroup) {
        moveTracks(selectedTracks(), group);
        m_tracksTable.setSelectedItems({});
    }
    reloadGroups();
    setCurrentGroup(group, true);
    editCurrentGroupTitle();
    m_model->setNeedsSave(true);
    return group;
}

bool SonorixController::moveToGroup(size_t position) {
    if (!m_libraryLoaded || !m_currentGroup || !m_tracksTable.hasSelection() ||
        anyProcessorRunning()) {
        return false;
    }
    auto groups = m_model->groups();
    if (position >= groups->count()) {
        return false;
    }
    auto target = groups->groupAt(position);
    if (target == m_currentGroup) {
        return false;
    }
    moveTracks(selectedTracks(), target);
    m_tracksTable.setSelectedItems({});
    setCurrentGroup(m_currentGroup, true);
    return true;
}

bool SonorixController::dropTracks(const std::vector<std::shared_ptr<iTunesTrack>>& tracks,
                                   const std::shared_ptr<SonorixGroup>& target, bool fromOutline) {
    if (!m_libraryLoaded || anyProcessorRunning()) {
        return false;
    }
    auto into = target ? target : m_currentGroup;
    if (!into) {
        return false;
    }
    std::vector<std::shared_ptr<iTunesTrack>> moving;
    for (const auto& track : tracks) {
        // Dragged out of the outline, a track leaves the group on show and no other.
        if (!fromOutline || groupOfTrack(*track) == m_currentGroup) {
            moving.push_back(track);
        }
    }
    if (moving.empty()) {
        return false;
    }
    moveTracks(moving, into);
    setCurrentGroup(m_currentGroup, true);
    return true;
}

bool SonorixController::renameGroup(const std::shared_ptr<SonorixGroup>& group,
                                    const std::u16string& title) {
    if (!m_libraryLoaded || !group || title.empty() || group == m_model->groups()->groupAt(0)) {
        return false;
    }
    if (positionOfGroup(*m_model->groups(), group.get()) < 0) {
        return false;
    }
    group->setTitle(title);
    m_model->setNeedsSave(true);
    reloadGroups();
    return true;
}

void SonorixController::setSpeedometerValue(double speed) {
    assertMainThread("SonorixController::setSpeedometerValue");
    m_tacho.setValue(speed);
    updateSpeedometer();
}

} // namespace sonorix
