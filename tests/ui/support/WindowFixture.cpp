#include "support/WindowFixture.h"

#include "foundation/Paths.h"
#include "model/LibraryFile.h"
#include "model/SonorixModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>

namespace sonorix::test {

WindowFixture::WindowFixture() {
    setDataFolderOverride(dir.file("data"));
}

WindowFixture::~WindowFixture() {
    close();
    setDataFolderOverride("");
}

bool WindowFixture::makeLibrary(const std::vector<Song>& songs) {
    std::vector<LibraryTrack> tracks;
    for (size_t i = 0; i < songs.size(); ++i) {
        const std::string path = dir.file("song" + std::to_string(i) + ".mp3");
        if (!makeStereoMp3(path, songs[i].source)) {
            return false;
        }
        files.push_back(path);
        LibraryTrack t = track(i + 1).named(songs[i].name).by("Artist " + std::to_string(i));
        t.album = "Album " + songs[i].name;
        t.totalTimeMs = 1000;
        t.location = "file://" + path;
        tracks.push_back(t);
    }
    libraryPath = dir.file("Library.xml");
    writeFile(libraryPath, libraryXml(tracks));
    return true;
}

bool WindowFixture::open() {
    window =
        std::make_unique<MainWindow>(MainWindow::Options{libraryPath, dir.file("prefs.plist")});
    window->setControllerTimings(0.05, 0.3, 0.05);
    window->setQuiet(true);
    window->setAlertResponder([this](const QString& title, const QString&, const QStringList&) {
        alerts << title;
        return answer;
    });
    QSignalSpy loaded(window.get(), &MainWindow::libraryLoaded);
    window->resize(1000, 640);
    window->show();
    window->start();
    if (!waitUntil([&] { return loaded.count() > 0; })) {
        return false;
    }
    return loaded.front().front().toInt() == SonorixModel::kLoaded;
}

void WindowFixture::close() {
    if (!window) {
        return;
    }
    window->close();
    window.reset();
    QCoreApplication::processEvents();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

} // namespace sonorix::test
