#pragma once

// A controller whose views are an OutlineView alone, over a library file, with the main run
// loop driven by Qt's event loop. Stands in for the window's controller in the outline's tests
// and benchmark. Free of any test framework so that the benchmark links it too.

#include "app/SonorixController.h"
#include "foundation/RunLoop.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sonorix {
class BasicRunLoop;
class DisplayMessageScheduler;
class OutlineView;
} // namespace sonorix

namespace sonorix::test {

// The main run loop's records run from Qt's event loop: each post wakes it.
class QtDrivenRunLoop final : public RunLoop {
public:
    QtDrivenRunLoop();
    ~QtDrivenRunLoop() override;
    void post(Record record) override;
    bool send(Record record) override;
    size_t processPending(std::chrono::milliseconds wait) override;

private:
    void wake();
    std::shared_ptr<BasicRunLoop> m_loop;
    QObject m_context;
    QTimer m_pump; // for a send whose wake ran before its record was queued
};

class OutlineController final : public SonorixController {
public:
    struct ManualCall {
        std::shared_ptr<SonorixAlbum> album;
        std::shared_ptr<iTunesTrack> track;
        double value = 0;
        bool final = false;
        std::chrono::steady_clock::time_point at;
    };

    using SonorixController::setViewTimings;
    using SonorixController::showAlert;

    OutlineView* view = nullptr;
    std::string libraryPath;
    // Records adjustManually calls; runs them too when set.
    bool runManualAdjustments = false;
    std::vector<ManualCall> manualCalls;
    int notices = 0, quits = 0, reloads = 0, finishedRuns = 0;
    // Counts the row reports of running work when set.
    uint64_t* reportCounter = nullptr;

    void prepare(std::shared_ptr<DisplayMessageScheduler> scheduler);

    void startUp(bool debugMenu) override;
    void showImportantNotice() override { ++notices; }
    void tracksChanged(const OutlineItem& item) override;
    void revealItem(const OutlineItem& item) override;
    int64_t rowOfItem(const OutlineItem& item) const override;
    void showSortIndicator() override;
    void refreshTrack(const std::shared_ptr<iTunesTrack>& track) override;
    void refreshAlbum(const std::shared_ptr<SonorixAlbum>& album) override;
    bool adjustManually(const std::shared_ptr<SonorixAlbum>& album,
                        const std::shared_ptr<iTunesTrack>& track, double value,
                        bool final) override;
    void setGroupPaneHidden(bool) override {}
    void setStatusText(const std::string&) override {}
    void setGroupButtonsEnabled(bool, bool) override {}
    void updateGroupOptions() override {}
    void selectGroup(const std::shared_ptr<SonorixGroup>&) override {}
    void setStartEnabled(bool) override {}
    void setStartButtonRunning(bool) override {}
    void setSearchField(const std::u16string&, bool) override {}
    void updateSpeedometer() override {}
    void preventSleep() override {}
    void allowSleep() override {}
    void showDisplayMessage(const std::shared_ptr<DisplayMessage>&) override {}
    void showProgress(const std::shared_ptr<DisplayProgress>&, bool) override {}
    void showAlert(const std::string&, const std::string&, const std::string&, bool) override {}
    int askAlert(const std::string&, const std::string&, const std::vector<std::string>&,
                 bool) override {
        return 0;
    }
    void processingFinished() override { ++finishedRuns; }
    void showPreferences() override {}
    void openURL(const std::string&) override {}
    void chooseLibraryFile() override {}
    void quitApplication() override { ++quits; }
};

// One start of the controller on a library, with its own data folder under `folder`; the
// destructor shuts it down and waits for its workers.
class OutlineSession {
public:
    OutlineSession(const std::string& folder, const std::string& libraryPath);
    ~OutlineSession();

    // False when the library did not load within the time-out.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(120));
    std::shared_ptr<OutlineController> controller() const { return m_controller; }
    OutlineView& view() const { return *m_view; }
    // Runs Qt's event loop until done() holds; false on time-out.
    static bool waitFor(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
    std::string m_folder;
    std::shared_ptr<QtDrivenRunLoop> m_loop;
    std::shared_ptr<DisplayMessageScheduler> m_scheduler;
    std::shared_ptr<OutlineController> m_controller;
    std::unique_ptr<OutlineView> m_view;
    std::string m_oldHome;
};

} // namespace sonorix::test
