#pragma once

#include "app/SonorixController.h"
#include "cli/Cli.h"
#include "cli/StatusArea.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sonorix {
class BasicRunLoop;
class iTunesBackendLibraryFile;
class SleepInhibitor;
} // namespace sonorix

namespace sonorix::cli {

// The controller's hooks for a terminal: the display bar becomes a live status area on standard
// error, alerts are printed and answered with their default button (or asked with
// --interactive), and a finished run prints its summary. One per process; it owns the main run
// loop while it runs.
class SonorixControllerConsole final : public SonorixController {
public:
    struct Options {
        GlobalOptions global;
        bool interactive = false;
        // The audio files handed to the run; they stand for the tracks selected in iTunes.
        std::vector<std::string> handedFiles;
        // The run changes comments only: the summary counts changed files and ignores the
        // tracks' stored errors, which are older than the run.
        bool commentsOnly = false;
        // The key of the summary line when not the adjustment's (a restore, a repair).
        std::string summaryKey;
        // A preview: it changes nothing, and the tracks' stored errors are not its failures.
        bool noSummary = false;
    };

    // What to do once the library is loaded; its return value is the exit status when it
    // started no work, and is ignored otherwise.
    using Action = std::function<int(SonorixControllerConsole&)>;

    static std::shared_ptr<SonorixControllerConsole> create(Options options);
    ~SonorixControllerConsole() override;

    // Starts up, runs the action once the library is loaded and the main run loop until the work
    // ended (or Ctrl-C stopped it), then shuts down. Returns the exit status.
    int run(const Action& action);
    // An interactive update check without a library: prints the outcome on standard output and
    // returns 0 when up to date, 1 when an update is available and 3 when the check failed.
    int runUpdateCheck();

    // Counts of the last finished run.
    struct Summary {
        size_t adjusted = 0;
        size_t unchanged = 0;
        std::map<std::string, size_t> failed; // by error text
        size_t failedCount() const;
    };
    const Summary& summary() const { return m_summary; }

    // The Ctrl-C path: stops running work; the run ends once the workers let go.
    void interrupt();
    // A model that could not be saved loses this run's results: the user must hear of it.
    void reportUnsavedModel();

    // Work to start once the running work ended; steps that start nothing are followed by the
    // next at once. Ctrl-C drops those not yet begun.
    void queueStep(std::function<void()> step);
    // Counts the tracks touched from now on in the summary (work that has no Start button).
    void beginWork();
    // Keeps the run going for work that no processor stands for (a tag check) until release,
    // which then ends the run with status unless a processor still runs.
    void hold();
    void release(int status);

    // ---- hooks
    void startUp(bool debugMenu) override;
    void showImportantNotice() override {}
    void tracksChanged(const OutlineItem& item) override;
    void revealItem(const OutlineItem&) override {}
    void setGroupPaneHidden(bool) override {}
    void setStatusText(const std::string&) override {}
    void setGroupButtonsEnabled(bool, bool) override {}
    void updateGroupOptions() override {}
    void selectGroup(const std::shared_ptr<SonorixGroup>&) override {}
    void setStartEnabled(bool) override {}
    void setStartButtonRunning(bool running) override;
    void setSearchField(const std::u16string&, bool) override {}
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
    void processorFinished(const std::shared_ptr<JobManager>& processor) override;
    void refreshTrack(const std::shared_ptr<iTunesTrack>& track) override;
    void libraryLoaded(int32_t result) override;

    void openURL(const std::string& url) override;
    void chooseLibraryFile() override;
    void quitApplication() override;

protected:
    // A console command ends before a check's answer would come.
    bool checksForUpdatesAtStart() const override { return false; }

private:
    explicit SonorixControllerConsole(Options options);

    void redraw(bool force);
    void finish(int status);
    // Runs queued steps until one started work; false when none is left.
    bool runNextSteps();
    void printSummary();
    struct FileStamp {
        uint64_t inode = 0;
        int64_t seconds = 0;
        int64_t nanoseconds = 0;
        bool operator==(const FileStamp&) const = default;
    };
    static FileStamp fileStamp(iTunesTrack& track);
    void snapshotFiles();

    Options m_options;
    Action m_action;
    std::shared_ptr<BasicRunLoop> m_loop;
    std::shared_ptr<iTunesBackendLibraryFile> m_backend;
    std::unique_ptr<SleepInhibitor> m_sleep;
    StatusArea m_status;
    std::shared_ptr<DisplayMessage> m_message;
    std::shared_ptr<DisplayProgress> m_progress;
    double m_workStarted = -1;
    double m_lastSpeed = -1;
    int m_exitStatus = kExitOk;
    bool m_finished = false;
    bool m_interrupted = false;
    bool m_processing = false;
    int m_holds = 0;
    std::shared_ptr<JobManager> m_stoppingProcessor;
    std::deque<std::function<void()>> m_steps;
    // The files as they were before the run, to tell adjusted from unchanged tracks.
    std::map<uint64_t, FileStamp> m_filesBefore;
    std::set<std::shared_ptr<iTunesTrack>> m_touched;
    Summary m_summary;
};

} // namespace sonorix::cli
