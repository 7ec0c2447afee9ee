#include "OutlineHarness.h"

#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Threads.h"
#include "itunes/iTunesBackendLibraryFile.h"
#include "itunes/iTunesController.h"
#include "model/SonorixModel.h"
#include "processing/DisplayMessage.h"
#include "processing/JobManager.h"
#include "processing/SonorixAutomaticAdjustmentJobManager.h"
#include "processing/SonorixManualAdjustmentJob.h"
#include "processing/SonorixRemoveCommentsJob.h"
#include "ui/OutlineModel.h"
#include "ui/OutlineView.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>

namespace sonorix::test {

QtDrivenRunLoop::QtDrivenRunLoop() : m_loop(std::make_shared<BasicRunLoop>()) {
    QObject::connect(&m_pump, &QTimer::timeout, &m_context, [this] { m_loop->processPending(); });
    m_pump.start(5);
}

QtDrivenRunLoop::~QtDrivenRunLoop() = default;

void QtDrivenRunLoop::wake() {
    QMetaObject::invokeMethod(
        &m_context, [this] { m_loop->processPending(); }, Qt::QueuedConnection);
}

void QtDrivenRunLoop::post(Record record) {
    m_loop->post(std::move(record));
    wake();
}

bool QtDrivenRunLoop::send(Record record) {
    if (m_loop->isLoopThread()) {
        return m_loop->send(std::move(record));
    }
    wake();
    return m_loop->send(std::move(record));
}

size_t QtDrivenRunLoop::processPending(std::chrono::milliseconds wait) {
    return m_loop->processPending(wait);
}

void OutlineController::prepare(std::shared_ptr<DisplayMessageScheduler> scheduler) {
    setDisplayScheduler(std::move(scheduler));
    setContinuationDelay(0.01);
}

void OutlineController::startUp(bool) {
    iTunesBackendLibraryFile::Options options;
    options.handedFile = libraryPath;
    auto backend = iTunesBackendLibraryFile::create(options);
    std::shared_ptr<iTunesControllerHooks> hooks = sharedFromThis();
    auto connection = std::make_shared<iTunesController>(backend, hooks);
    connection->connect();
    setITunesController(connection);
}

void OutlineController::tracksChanged(const OutlineItem& item) {
    if (!view) {
        return;
    }
    if (item) {
        view->refreshItem(item);
    } else {
        ++reloads;
        view->reload();
    }
}

void OutlineController::revealItem(const OutlineItem& item) {
    if (view) {
        view->reveal(item);
    }
}

int64_t OutlineController::rowOfItem(const OutlineItem& item) const {
    return view ? view->rowOfItem(item) : SonorixController::rowOfItem(item);
}

void OutlineController::showSortIndicator() {
    if (view) {
        view->showSortIndicator();
    }
}

void OutlineController::refreshTrack(const std::shared_ptr<iTunesTrack>& track) {
    if (reportCounter) {
        ++*reportCounter;
    }
    SonorixController::refreshTrack(track);
}

void OutlineController::refreshAlbum(const std::shared_ptr<SonorixAlbum>& album) {
    if (reportCounter) {
        ++*reportCounter;
    }
    SonorixController::refreshAlbum(album);
}

bool OutlineController::adjustManually(const std::shared_ptr<SonorixAlbum>& album,
                                       const std::shared_ptr<iTunesTrack>& track, double value,
                                       bool final) {
    manualCalls.push_back({album, track, value, final, std::chrono::steady_clock::now()});
    return runManualAdjustments ? SonorixController::adjustManually(album, track, value, final)
                                : true;
}

OutlineSession::OutlineSession(const std::string& folder, const std::string& libraryPath)
    : m_folder(folder) {
    if (const char* home = std::getenv("HOME")) {
        m_oldHome = home;
    }
    setenv("HOME", folder.c_str(), 1);
    setDataFolderOverride(folder + "/data");
    openLog(folder + "/Sonorix.log");
    m_loop = std::make_shared<QtDrivenRunLoop>();
    setMainRunLoop(m_loop);
    m_scheduler = DisplayMessageScheduler::create();
    m_controller = std::make_shared<OutlineController>();
    m_controller->libraryPath = libraryPath;
    m_controller->prepare(m_scheduler);
    m_view = std::make_unique<OutlineView>(*m_controller);
    m_view->resize(1100, 600);
    m_controller->view = m_view.get();
}

bool OutlineSession::start(std::chrono::milliseconds timeout) {
    m_controller->start(m_folder + "/sonorix.plist");
    return waitFor([this] { return m_controller->notices + m_controller->quits > 0; }, timeout) &&
           m_controller->isLibraryLoaded();
}

OutlineSession::~OutlineSession() {
    std::vector<std::weak_ptr<JobManager>> processors;
    processors.emplace_back(m_controller->adjustingProcessor());
    processors.emplace_back(m_controller->manualProcessor());
    processors.emplace_back(m_controller->removeCommentsProcessor());
    m_controller->shutDown();
    for (const auto& processor : processors) {
        waitFor([&] { return processor.expired(); });
    }
    QElapsedTimer settle;
    settle.start();
    waitFor([&] { return settle.elapsed() > 20; });
    m_controller->view = nullptr;
    m_view.reset();
    m_controller.reset();
    SonorixModel::setCurrent(nullptr);
    clearMainRunLoop();
    m_loop.reset();
    closeLog();
    setDataFolderOverride("");
    if (m_oldHome.empty()) {
        unsetenv("HOME");
    } else {
        setenv("HOME", m_oldHome.c_str(), 1);
    }
}

bool OutlineSession::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

} // namespace sonorix::test
