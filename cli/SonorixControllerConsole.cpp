#include "cli/SonorixControllerConsole.h"

#include "app/RtfText.h"
#include "app/SleepInhibitor.h"
#include "cli/ModelCli.h"
#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/RunLoop.h"
#include "foundation/Text.h"
#include "foundation/Threads.h"
#include "itunes/iTunesBackendLibraryFile.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/DisplayMessage.h"
#include "processing/DisplayProgress.h"
#include "processing/SonorixAutomaticAdjustmentJobManager.h"
#include "processing/SonorixManualAdjustmentJob.h"
#include "processing/SonorixRemoveCommentsJob.h"

#include <cerrno>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <thread>

namespace sonorix::cli {

namespace {

// Ctrl-C and termination requests arrive here, on a thread of their own, so that stopping runs
// on the main thread like any other command. A second Ctrl-C ends the process at once, and so
// does the first when stopping takes longer than kStopGraceSeconds (a decoder stuck on a network
// file, say): file writes replace files whole, so even that leaves no half-written file.
class SignalWatcher {
public:
    static constexpr int kStopGraceSeconds = 5;

    explicit SignalWatcher(std::function<void()> onSignal) : m_onSignal(std::move(onSignal)) {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        sigaddset(&m_set, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &m_set, &m_previous);
        m_thread = std::thread([this] { watch(); });
    }
    ~SignalWatcher() {
        pthread_kill(m_thread.native_handle(), SIGUSR2);
        m_thread.join();
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

private:
    void watch() {
        setThreadName("signals");
        int signal = 0;
        if (sigwait(&m_set, &signal) != 0 || signal == SIGUSR2) {
            return;
        }
        m_onSignal();
        const int first = signal;
        timespec wait{kStopGraceSeconds, 0};
        for (;;) {
            signal = sigtimedwait(&m_set, nullptr, &wait);
            if (signal == SIGUSR2) {
                return;
            }
            if (signal < 0 && errno == EINTR) {
                continue; // rare; the grace period starts again
            }
            if (signal < 0) {
                writeLog("Stopping took more than %d s; ending at once.", kStopGraceSeconds);
                signal = first;
            }
            std::fprintf(stderr, "\n");
            ::signal(signal, SIG_DFL);
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, signal);
            pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
            raise(signal);
        }
    }

    sigset_t m_set{};
    sigset_t m_previous{};
    std::function<void()> m_onSignal;
    std::thread m_thread;
};

std::string text(const std::string& key) {
    return localizedString(key);
}

} // namespace

size_t SonorixControllerConsole::Summary::failedCount() const {
    size_t n = 0;
    for (const auto& [error, count] : failed) {
        n += count;
    }
    return n;
}

std::shared_ptr<SonorixControllerConsole> SonorixControllerConsole::create(Options options) {
    return std::shared_ptr<SonorixControllerConsole>(
        new SonorixControllerConsole(std::move(options)));
}

SonorixControllerConsole::SonorixControllerConsole(Options options)
    : m_options(std::move(options)), m_sleep(std::make_unique<SleepInhibitor>()),
      m_status(stderr, isatty(STDERR_FILENO) == 1) {
    // Nothing to show first on a terminal: start-up errors are reported at once.
    setContinuationDelay(0);
}

SonorixControllerConsole::~SonorixControllerConsole() = default;

int SonorixControllerConsole::run(const Action& action) {
    m_action = action;
    m_loop = std::make_shared<BasicRunLoop>();
    setMainRunLoop(m_loop);
    std::weak_ptr<SonorixControllerConsole> weak =
        std::static_pointer_cast<SonorixControllerConsole>(sharedFromThis());
    auto loop = m_loop;
    {
        SignalWatcher signals([weak, loop] {
            loop->post([weak] {
                if (auto self = weak.lock()) {
                    self->interrupt();
                }
            });
        });
        start();
        if (!m_finished) {
            m_loop->run();
        }
        shutDown();
        m_status.clear();
        reportUnsavedModel();
    }
    clearMainRunLoop();
    return m_exitStatus;
}

int SonorixControllerConsole::runUpdateCheck() {
    m_loop = std::make_shared<BasicRunLoop>();
    setMainRunLoop(m_loop);
    auto preferences = std::make_shared<SonorixPreferences>();
    preferences->load();
    setPreferences(preferences);
    auto loop = m_loop;
    std::weak_ptr<SonorixControllerConsole> weak =
        std::static_pointer_cast<SonorixControllerConsole>(sharedFromThis());
    {
        SignalWatcher signals([weak, loop] {
            loop->post([weak] {
                if (auto self = weak.lock()) {
                    self->finish(kExitInterrupted);
                }
            });
        });
        checkForUpdates(true);
        if (!m_finished) {
            m_loop->run();
        }
        shutDown();
    }
    clearMainRunLoop();
    return m_exitStatus;
}

void SonorixControllerConsole::showUpdateCheckResult(const std::shared_ptr<VersionCheck>& check) {
    auto& texts = Localization::shared();
    const auto table = Localization::kVersionCheckLocalizable;
    // The exit statuses of check-updates.
    constexpr int kUpToDate = 0;
    constexpr int kUpdateAvailable = 1;
    constexpr int kCheckFailed = 3;
    int status = kUpToDate;
    if (!check->versionFileRead()) {
        std::printf("%s\n%s\n", texts.localizedString("UpdateCheckFailed_Title", table).c_str(),
                    texts.localizedString("UpdateCheckFailed_Message", table).c_str());
        status = kCheckFailed;
    } else if (check->isUpdateAvailable()) {
        std::printf(
            "%s\n%s\n",
            texts.windowText("A newer version of Sonorix is available for download.").c_str(),
            formatString(texts.windowText("Your version is %s, the latest version is %s.").c_str(),
                         check->appVersion().c_str(), check->latestVersion().c_str())
                .c_str());
        if (!check->downloadPageURL().empty()) {
            std::printf("%s\n", formatString(text("CliUpdateDownload").c_str(),
                                             check->downloadPageURL().c_str())
                                    .c_str());
        }
        for (const auto& note : check->releaseNotes()) {
            std::printf("\n%s", rtfToPlainText(note).c_str());
        }
        status = kUpdateAvailable;
    } else {
        std::printf("%s\n%s\n", texts.localizedString("Uptodate_Title", table).c_str(),
                    texts.localizedString("Uptodate_Message", table).c_str());
    }
    std::fflush(stdout);
    finish(status);
}

void SonorixControllerConsole::finish(int status) {
    if (m_finished) {
        return;
    }
    m_finished = true;
    m_exitStatus = status;
    m_status.clear();
    if (m_workStarted >= 0 && !m_options.noSummary) {
        printSummary();
    }
    if (m_loop) {
        m_loop->quit();
    }
}

void SonorixControllerConsole::reportUnsavedModel() {
    auto model = this->model();
    if (!model) {
        return;
    }
    const std::string reason = model->saveError();
    if (reason.empty()) {
        return;
    }
    const std::string message =
        formatString(text("CliModelNotSaved").c_str(), model->modelPath().c_str(), reason.c_str());
    std::fprintf(stderr, "sonorix-cli: %s\n", message.c_str());
    if (m_exitStatus == kExitOk) {
        m_exitStatus = kExitFailures;
    }
}

void SonorixControllerConsole::interrupt() {
    if (m_interrupted || m_finished) {
        return;
    }
    m_interrupted = true;
    m_status.clear();
    std::fprintf(stderr, "%s\n", text("CliStopping").c_str());
    m_steps.clear();
    if (auto processor = adjustingProcessor()) {
        m_stoppingProcessor = processor;
        stopAdjusting();
        return;
    }
    if (auto processor = removeCommentsProcessor()) {
        m_stoppingProcessor = processor;
        stopRemovingComments();
        return;
    }
    if (auto processor = manualProcessor()) {
        // A final run is short and never interrupted: the run ends with it.
        m_stoppingProcessor = processor;
        return;
    }
    finish(kExitInterrupted);
}

void SonorixControllerConsole::queueStep(std::function<void()> step) {
    m_steps.push_back(std::move(step));
}

void SonorixControllerConsole::beginWork() {
    if (!m_processing) {
        m_processing = true;
        m_workStarted = currentSeconds();
    }
}

void SonorixControllerConsole::hold() {
    ++m_holds;
}

void SonorixControllerConsole::release(int status) {
    if (m_holds > 0 && --m_holds == 0 && !anyProcessorRunning() && !m_stoppingProcessor) {
        finish(status);
    }
}

bool SonorixControllerConsole::runNextSteps() {
    while (!m_steps.empty() && !anyProcessorRunning() && !m_finished) {
        auto step = std::move(m_steps.front());
        m_steps.pop_front();
        step();
    }
    return anyProcessorRunning();
}

void SonorixControllerConsole::startUp(bool) {
    assertMainThread("SonorixControllerConsole::startUp");
    iTunesBackendLibraryFile::Options backendOptions;
    backendOptions.handedFile = m_options.global.library;
    backendOptions.settingPath = preferences()->iTunesLibraryXMLPath();
    for (const auto& [from, to] : preferences()->locationPrefixMap()) {
        backendOptions.locations.push_back(LocationPrefix{from, to});
    }
    m_backend = iTunesBackendLibraryFile::create(std::move(backendOptions));
    m_backend->setHandedFiles(m_options.handedFiles);
    auto backend = m_backend;
    std::weak_ptr<iTunesControllerHooks> hooks =
        std::static_pointer_cast<SonorixControllerConsole>(sharedFromThis());
    auto controller = std::make_shared<iTunesController>(backend, hooks);
    controller->connect();
    setITunesController(controller);
}

void SonorixControllerConsole::libraryLoaded(int32_t result) {
    assertMainThread("SonorixControllerConsole::libraryLoaded");
    SonorixController::libraryLoaded(result);
    if (result != SonorixModel::kLoaded || m_finished) {
        return;
    }
    snapshotFiles();
    int status = m_action ? m_action(*this) : kExitOk;
    if (status == kExitOk) {
        runNextSteps();
    } else {
        m_steps.clear();
    }
    if (!anyProcessorRunning() && !m_finished && (m_holds == 0 || status != kExitOk)) {
        finish(status);
    }
}

// A file the run rewrote is a new file (saves replace it whole) with a new modification time.
SonorixControllerConsole::FileStamp SonorixControllerConsole::fileStamp(iTunesTrack& track) {
    struct stat st {};
    std::string path = ta::filePath(track);
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        return {};
    }
    return {static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_mtim.tv_sec),
            static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

void SonorixControllerConsole::snapshotFiles() {
    auto model = this->model();
    if (!model || !model->library()) {
        return;
    }
    for (const auto& entry : model->library()->tracks()) {
        m_filesBefore[ta::persistentId(*entry.second)] = fileStamp(*entry.second);
    }
}

void SonorixControllerConsole::refreshTrack(const std::shared_ptr<iTunesTrack>& track) {
    if (m_processing && track) {
        m_touched.insert(track);
    }
    SonorixController::refreshTrack(track);
}

void SonorixControllerConsole::tracksChanged(const OutlineItem&) {}

void SonorixControllerConsole::setStartButtonRunning(bool running) {
    assertMainThread("SonorixControllerConsole::setStartButtonRunning");
    if (running && !m_processing) {
        m_processing = true;
        m_workStarted = currentSeconds();
    }
    if (!running) {
        m_processing = false;
    }
}

void SonorixControllerConsole::updateSpeedometer() {
    assertMainThread("SonorixControllerConsole::updateSpeedometer");
    // The speed is unknown for a moment whenever no analysis runs (between short files, while
    // writing); the dial's needle glides over such gaps, the line keeps the last speed.
    if (tacho().value() > 0) {
        m_lastSpeed = tacho().value();
    }
    redraw(false);
}

void SonorixControllerConsole::preventSleep() {
    assertMainThread("SonorixControllerConsole::preventSleep");
    m_sleep->inhibit();
}

void SonorixControllerConsole::allowSleep() {
    assertMainThread("SonorixControllerConsole::allowSleep");
    m_sleep->release();
}

void SonorixControllerConsole::showDisplayMessage(const std::shared_ptr<DisplayMessage>& message) {
    m_message = message;
    redraw(true);
}

void SonorixControllerConsole::showProgress(const std::shared_ptr<DisplayProgress>& progress,
                                            bool withTexts) {
    m_progress = progress;
    redraw(withTexts);
}

void SonorixControllerConsole::redraw(bool force) {
    if (m_finished) {
        return;
    }
    StatusSnapshot snapshot;
    if (m_message) {
        snapshot.text = toUtf8(m_message->text());
        snapshot.detail = toUtf8(m_message->detail());
    }
    if (m_progress) {
        snapshot.hasProgress = true;
        snapshot.fraction = m_progress->fraction();
        snapshot.speed = m_processing ? m_lastSpeed : -1;
    }
    snapshot.elapsed = m_workStarted >= 0 ? currentSeconds() - m_workStarted : 0;
    if (snapshot.text.empty() && snapshot.detail.empty() && !snapshot.hasProgress) {
        m_status.clear();
        return;
    }
    m_status.update(snapshot, force);
}

void SonorixControllerConsole::showAlert(const std::string& title, const std::string& message,
                                         const std::string&, bool) {
    m_status.clear();
    std::fprintf(stderr, "sonorix-cli: %s\n", title.c_str());
    if (!message.empty()) {
        std::fprintf(stderr, "  %s\n", message.c_str());
    }
}

int SonorixControllerConsole::askAlert(const std::string& title, const std::string& message,
                                       const std::vector<std::string>& buttons, bool tall) {
    assertMainThread("SonorixControllerConsole::askAlert");
    showAlert(title, message, {}, tall);
    if (buttons.empty()) {
        return 0;
    }
    if (!m_options.interactive) {
        std::fprintf(stderr, "  → %s\n", buttons.front().c_str());
        return 0;
    }
    for (;;) {
        for (size_t i = 0; i < buttons.size(); ++i) {
            std::fprintf(stderr, "  %zu) %s%s\n", i + 1, buttons[i].c_str(),
                         i == 0 ? " [default]" : "");
        }
        std::fprintf(stderr, "  ? ");
        std::fflush(stderr);
        std::string line;
        if (!std::getline(std::cin, line)) {
            // Nobody answered: the last button, which is the one that changes nothing.
            std::fprintf(stderr, "\n  → %s\n", buttons.back().c_str());
            return static_cast<int>(buttons.size() - 1);
        }
        if (line.empty()) {
            return 0;
        }
        char* end = nullptr;
        long choice = std::strtol(line.c_str(), &end, 10);
        if (end && *end == '\0' && choice >= 1 && choice <= static_cast<long>(buttons.size())) {
            return static_cast<int>(choice - 1);
        }
    }
}

void SonorixControllerConsole::processingFinished() {
    assertMainThread("SonorixControllerConsole::processingFinished");
    // The summary follows when the run ends.
}

void SonorixControllerConsole::showPreferences() {
    assertMainThread("SonorixControllerConsole::showPreferences");
    std::fprintf(stderr, "%s\n", text("CliPreferencesHint").c_str());
}

void SonorixControllerConsole::processorFinished(const std::shared_ptr<JobManager>& processor) {
    bool wasStopping = processor && processor == m_stoppingProcessor;
    SonorixController::processorFinished(processor);
    if (!wasStopping && !anyProcessorRunning()) {
        runNextSteps();
    }
    if (wasStopping) {
        m_stoppingProcessor.reset();
        finish(kExitInterrupted);
    } else if (!anyProcessorRunning() && !m_stoppingProcessor && m_holds == 0) {
        finish(kExitOk);
    }
}

void SonorixControllerConsole::printSummary() {
    auto model = this->model();
    m_summary = {};
    if (model) {
        for (const auto& track : m_touched) {
            uint64_t id = ta::persistentId(*track);
            auto status = model->statusLibrary()->trackStatus(id, false);
            if (!status) {
                continue;
            }
            if (!m_options.commentsOnly && status->getError() != 0) {
                ++m_summary.failed[toUtf8(status->errorText())];
                continue;
            }
            auto before = m_filesBefore.find(id);
            bool same = before != m_filesBefore.end() && before->second == fileStamp(*track);
            ++(same ? m_summary.unchanged : m_summary.adjusted);
        }
    }
    double elapsed = currentSeconds() - m_workStarted;
    const char* key = m_options.commentsOnly ? "CliSummaryComments" : "CliSummary";
    if (!m_options.summaryKey.empty()) {
        key = m_options.summaryKey.c_str();
    }
    std::fprintf(stderr, "%s\n",
                 formatString(text(key).c_str(), m_summary.adjusted, m_summary.unchanged,
                              m_summary.failedCount(), formatDuration(elapsed).c_str())
                     .c_str());
    for (const auto& [error, count] : m_summary.failed) {
        std::fprintf(stderr, "  %5zu × %s\n", count, error.c_str());
    }
    if (m_exitStatus == kExitOk && m_summary.failedCount() > 0) {
        m_exitStatus = kExitFailures;
    }
}

void SonorixControllerConsole::openURL(const std::string& url) {
    std::fprintf(stderr, "  %s\n", url.c_str());
}

void SonorixControllerConsole::chooseLibraryFile() {
    std::fprintf(stderr, "%s\n", text("CliChooseLibrary").c_str());
}

void SonorixControllerConsole::quitApplication() {
    // Reached after a start-up error alert.
    finish(kExitStartupError);
}

} // namespace sonorix::cli
