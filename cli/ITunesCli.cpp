#include "cli/ITunesCli.h"

#include "itunes/iTunesBackendLibraryFile.h"
#include "itunes/iTunesController.h"
#include "model/SonorixPreferences.h"

#include <cstdio>

namespace sonorix::cli {
namespace {

// A terminal has nobody to press a button while work waits: alerts are printed and taken as
// answered.
class ConsoleHooks final : public iTunesControllerHooks {
public:
    std::string context;

    void showAlert(const std::string& title, const std::string& message,
                   const std::string&) override {
        if (context.empty()) {
            std::fprintf(stderr, "sonorix-cli: %s\n  %s\n", title.c_str(), message.c_str());
        } else {
            std::fprintf(stderr, "sonorix-cli: %s: %s\n  %s\n", context.c_str(), title.c_str(),
                         message.c_str());
        }
    }
    void openURL(const std::string& url) override { std::fprintf(stderr, "  %s\n", url.c_str()); }
    void chooseLibraryFile() override {}
    void quitApplication() override {}
};

std::shared_ptr<ConsoleHooks> consoleHooks() {
    static const auto hooks = std::make_shared<ConsoleHooks>();
    return hooks;
}

} // namespace

int connectITunes(const GlobalOptions& options, const SonorixPreferences& preferences,
                  ITunesConnection& connection) {
    iTunesBackendLibraryFile::Options backendOptions;
    backendOptions.handedFile = options.library;
    backendOptions.settingPath = preferences.iTunesLibraryXMLPath();
    for (const auto& [from, to] : preferences.locationPrefixMap()) {
        backendOptions.locations.push_back(LocationPrefix{from, to});
    }
    connection.backend = iTunesBackendLibraryFile::create(std::move(backendOptions));
    auto backend = connection.backend;
    iTunesControllerHolder holder(
        [backend] { return std::make_shared<iTunesController>(backend, consoleHooks()); });
    connection.controller = holder.get();
    if (connection.controller->startupError() != iTunesController::kNoError) {
        return reportStartupError(connection, iTunesController::kNoError);
    }
    return kExitOk;
}

int reportStartupError(ITunesConnection& connection, int code, const std::string& context) {
    auto hooks = consoleHooks();
    hooks->context = context;
    connection.controller->showStartupError(code);
    hooks->context.clear();
    return kExitStartupError;
}

} // namespace sonorix::cli
