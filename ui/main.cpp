#include "foundation/BuildVersion.h"
#include "foundation/InstanceLock.h"
#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "foundation/Threads.h"
#include "model/SonorixModel.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

using sonorix::formatString;
using sonorix::localizedString;

// Exit statuses shared with the console front end.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitStartup = 3;
constexpr int kExitOtherInstance = 4;

struct Arguments {
    std::string library;
    std::string dataDir;
    std::string language;
    bool help = false;
    bool version = false;
    // Ends the program once the library loaded (the start-up check under a real X server).
    bool quitAfterLoad = false;
    bool adjustAll = false;
};

int usageError(const std::string& message) {
    std::fprintf(stderr, "sonorix: %s\n", message.c_str());
    return kExitUsage;
}

// Parses the options before QApplication sees them; Qt's own (-platform, ...) pass through.
int parse(int argc, char** argv, Arguments& out) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* target = nullptr;
        if (arg == "--library") {
            target = &out.library;
        } else if (arg == "--data-dir") {
            target = &out.dataDir;
        } else if (arg == "--language") {
            target = &out.language;
        } else if (arg == "--help" || arg == "-h") {
            out.help = true;
        } else if (arg == "--version") {
            out.version = true;
        } else if (arg == "--adjust-all") {
            out.adjustAll = true;
        } else if (arg == "--quit-after-load") {
            out.quitAfterLoad = true;
        } else if (arg.rfind("--", 0) == 0) {
            return usageError(
                formatString(localizedString("CliUnknownOption").c_str(), arg.c_str()));
        }
        if (target) {
            if (i + 1 >= argc) {
                return usageError(
                    formatString(localizedString("CliNeedsValue").c_str(), arg.c_str()));
            }
            *target = argv[++i];
        }
    }
    return -1;
}

bool chooseLanguage(const std::string& wanted) {
    auto& l10n = sonorix::Localization::shared();
    const std::string name = l10n.languageNamed(wanted);
    if (name.empty()) {
        std::string available;
        for (const auto& n : l10n.languageNames()) {
            available += (available.empty() ? "" : ", ") + n;
        }
        usageError(formatString(localizedString("CliUnknownLanguage").c_str(), wanted.c_str(),
                                available.c_str()));
        return false;
    }
    l10n.setLanguage(name);
    return true;
}

// The socket a running window listens on, beside the instance lock of the same data folder.
QString raiseSocketPath() {
    return QString::fromStdString(sonorix::InstanceLock::lockPath() + ".raise");
}

// Asks the window holding the data folder to come to the front; false when none listens (the
// holder is the console, say).
bool raiseRunningWindow() {
    QLocalSocket socket;
    socket.connectToServer(raiseSocketPath());
    if (!socket.waitForConnected(1000)) {
        return false;
    }
    socket.write("raise\n");
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    return true;
}

// SIGTERM (a logout, a service manager) and Ctrl-C close the window as its close box would, so
// running work stops and a pending save is written; the handler only writes to a pipe. A second
// signal ends the process at once (files are replaced whole, so none is left half-written).
int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_signals = 0;

void onSignal(int signal) {
    if (g_signals != 0) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    g_signals = 1;
    const char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

void closeOnSignals(QWidget& window) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte = 0;
        while (::read(g_signalPipe[0], &byte, 1) > 0) {
        }
        window.close();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    sonorix::XercesGuard xerces;
    Arguments args;
    if (int status = parse(argc, argv, args); status >= 0) {
        return status;
    }
    if (args.version) {
        std::printf("sonorix %s\n", sonorix::buildVersion());
        return kExitOk;
    }
    if (!args.language.empty() && !chooseLanguage(args.language)) {
        return kExitUsage;
    }
    if (args.help) {
        std::fputs(localizedString("WindowHelp").c_str(), stdout);
        return kExitOk;
    }
    if (!args.dataDir.empty()) {
        sonorix::setDataFolderOverride(args.dataDir);
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sonorix"));
    QApplication::setApplicationVersion(QString::fromUtf8(sonorix::buildVersion()));
    // The installed desktop entry's id, so that docks and Wayland match the window to it.
    QApplication::setDesktopFileName(QStringLiteral("invalid.sonorix.Sonorix"));

    // Two processes writing one model file would lose one side's results.
    std::string error;
    std::unique_ptr<sonorix::InstanceLock> lock = sonorix::InstanceLock::acquire(&error);
    if (!lock) {
        if (raiseRunningWindow()) {
            std::fprintf(stderr, "sonorix: %s\n", localizedString("WindowRaised").c_str());
            return kExitOk;
        }
        std::fprintf(stderr, "sonorix: %s\n", error.c_str());
        return kExitOtherInstance;
    }
    sonorix::openDefaultLog();
    sonorix::writeLogHeader(sonorix::numberOfActiveProcessors());

    int status = kExitOk;
    {
        sonorix::MainWindow window({args.library, {}});
        // Before the raise socket appears: whoever finds this window running may also end it.
        closeOnSignals(window);
        QLocalServer raiseServer;
        // We hold the lock: a socket file left there belongs to a process that is gone.
        QLocalServer::removeServer(raiseSocketPath());
        raiseServer.setSocketOptions(QLocalServer::UserAccessOption);
        if (raiseServer.listen(raiseSocketPath())) {
            QObject::connect(&raiseServer, &QLocalServer::newConnection, &window, [&] {
                while (QLocalSocket* peer = raiseServer.nextPendingConnection()) {
                    peer->deleteLater();
                    window.bringToFront();
                }
            });
        }
        QObject::connect(&window, &sonorix::MainWindow::libraryLoaded, &window, [&](int result) {
            if (result != sonorix::SonorixModel::kLoaded) {
                status = kExitStartup;
            }
            if (args.adjustAll && result == sonorix::SonorixModel::kLoaded) {
                // As the menu does it, once the window has shown the loaded library.
                QTimer::singleShot(0, &window, [&window] { window.adjustAllAction()->trigger(); });
            }
            if (args.quitAfterLoad) {
                QTimer::singleShot(300, &window, &QWidget::close);
            }
        });
        window.show();
        window.start();
        const int loopStatus = application.exec();
        if (status == kExitOk) {
            status = loopStatus;
        }
    }
    sonorix::writeLog("exitApplication()\n");
    sonorix::closeLog();
    return status;
}
