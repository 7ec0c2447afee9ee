#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sonorix::DesktopLauncher {

// Opens the file with the desktop's default application (xdg-open); true when that started.
bool openFile(const std::string& path);

// Shows the file selected in the file manager (org.freedesktop.FileManager1.ShowItems over the
// session bus), else opens its folder; true when either worked.
bool showInFileManager(const std::string& path);

// "file://" + the path, percent-encoded except for unreserved characters and "/".
std::string fileURI(const std::string& path);

// Runs a program; wait: until it ended, true when it exited with 0; otherwise true when it
// started (it is reaped in the background). Tests put a recorder in its place.
using Runner = std::function<bool(const std::vector<std::string>& argv, bool wait)>;
void setRunner(Runner runner); // an empty runner restores the real one

} // namespace sonorix::DesktopLauncher
