#include "app/SonorixController.h"

#include "app/Localization.h"
#include "audio/MediaLayer.h"
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
#include "processing/SonorixAutomaticAdjustmentJobManager.h"
#include "processing/SonorixStatusUpdater.h"

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

SonorixController::~SonorixController() = default;

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
    writeLog("... Started.");
}

void SonorixController::shutDown() {
    if (m_shutDown) {
        return;
    }
    m_shutDown = true;
    if (isMainThread()) {
        setMainWindowClosing();
    }
    if (m_continuationTimer) {
        m_continuationTimer->invalidate();
        m_continuationTimer.reset();
    }
    stopProcessors();
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
}

// ---- commands

bool SonorixController::anyProcessorRunning() const {
    return m_adjustingProcessor != nullptr;
}

bool SonorixController::canStart(int32_t mode, bool strict) const {
    if (!m_libraryLoaded) {
        return false;
    }
    if (m_adjustingProcessor) {
        return m_adjustingProcessor->mode() == mode;
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
    if (!m_libraryLoaded || mode < kModeAll || mode > kModeSelectedInITunes) {
        return false;
    }
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
        m_followedGroup.reset();
        updateGroupOptions();
        setStartButtonRunning(true);
        reloadOutline();
        processor->start();
        setGroupButtonsEnabled(false, false);
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
    // Closing runs the calls already on their way; a run ending among them is not reported.
    if (m_shutDown || !processor ||
        processor.get() != static_cast<JobManager*>(m_adjustingProcessor.get())) {
        return;
    }
    if (!processor->isStopped()) {
        processingFinished();
    }
    stopAdjusting();
}

void SonorixController::startButtonClicked() {
    if (!m_libraryLoaded) {
        return;
    }
    if (anyProcessorRunning()) {
        if (m_adjustingProcessor) {
            stopAdjusting();
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

// ---- the current group and the views

void SonorixController::updateGroupButtons() {
    const bool add = m_libraryLoaded && !anyProcessorRunning();
    const bool remove = add && m_currentGroup && m_currentGroup != m_model->groups()->groupAt(0);
    setGroupButtonsEnabled(add, remove);
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

void SonorixController::reloadOutline() {
    tracksChanged(nullptr);
    setStatusText(toUtf8(statusLine(m_currentGroup.get())));
}

bool SonorixController::followsProgress() const {
    return !m_currentGroup ||
           m_currentGroup->options().operationMode() != SonorixOptions::kAdjustManually;
}

std::shared_ptr<SonorixGroup> SonorixController::groupOfTrack(const iTunesTrack& track) const {
    if (!m_model || !m_model->groups()) {
        return nullptr;
    }
    return m_model->groups()->groupOfTrack(track.persistentId());
}

void SonorixController::refreshTrack(const std::shared_ptr<iTunesTrack>& track) {
    if (track && m_currentGroup && groupOfTrack(*track) == m_currentGroup) {
        tracksChanged(track);
    }
}

void SonorixController::refreshAlbum(const std::shared_ptr<SonorixAlbum>& album) {
    if (album && m_currentGroup && album->group() == m_currentGroup) {
        tracksChanged(album);
    }
}

void SonorixController::revealTrack(const std::shared_ptr<iTunesTrack>& track) {
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
    if (!album || !followsProgress()) {
        return;
    }
    if (auto group = album->group()) {
        revealProgress(group, album);
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
    // The views only move forward through the groups, so they never jump back and forth.
    if (position >= 0 && position >= followed) {
        setCurrentGroup(group, false);
        m_followedGroup = group;
    }
    if (group == m_followedGroup && group == m_currentGroup) {
        revealItem(item);
    }
}

void SonorixController::setSpeedometerValue(double speed) {
    m_tacho.setValue(speed);
    updateSpeedometer();
}

} // namespace sonorix
