#pragma once

// A main window over a generated library in a folder of its own: settings, model and log stay
// inside the folder, alerts are answered by the test.

#include "support/TestSupport.h"
#include "ui/MainWindow.h"

#include <QStringList>

#include <memory>
#include <string>
#include <vector>

namespace sonorix::test {

struct WindowFixture {
    // Each track is a single of its own album, made with ffmpeg from a lavfi source.
    struct Song {
        std::string name;
        std::string source; // lavfi source
    };

    WindowFixture();
    ~WindowFixture();

    // Writes the audio and the library file; false when ffmpeg failed.
    bool makeLibrary(const std::vector<Song>& songs);
    // Opens the window on the library and waits until it loaded; false on a time-out or a
    // failed load.
    bool open();
    // Closes the window as its close box would, and lets it go.
    void close();

    std::string file(size_t i) const { return files.at(i); }

    TempDir dir;
    ScopedEnv home{"HOME", dir.path()};
    ScopedEnv dataHome{"XDG_DATA_HOME", dir.file("xdg")};
    std::string libraryPath;
    std::vector<std::string> files;
    std::unique_ptr<MainWindow> window;
    // The titles of the alerts shown, and the button the next one gets.
    QStringList alerts;
    int answer = 0;
};

// Spins the event loop until done() holds; false after the time-out.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 60000);

} // namespace sonorix::test
