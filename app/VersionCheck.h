#pragma once

#include "app/UrlDownload.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sonorix {

class Value_dict;
class VersionCheck;

// Dotted version texts compared number by number: < 0, 0 or > 0 as a is older, the same or
// newer. A missing number counts as 0 (3.6 = 3.6.0), each number is its leading digits (so
// "7 (123)" is 7), and text that does not start with a digit counts as 0.
int compareVersions(std::string_view a, std::string_view b);

class VersionCheckDelegate {
public:
    virtual ~VersionCheckDelegate() = default;
    // On the main thread, once the version file and the release notes were fetched or failed.
    virtual void versionCheckFinished(const std::shared_ptr<VersionCheck>& check) = 0;
};

// One look for a newer version: downloads the version file (a property list), then the RTF
// release notes of every version newer than ours, newest first, each download on a thread of its
// own. Everything else, including the delegate's call, happens on the main thread.
class VersionCheck : public std::enable_shared_from_this<VersionCheck> {
public:
    struct Settings {
        std::string appVersion;
        std::string languageCode; // the interface language's code ("de", "zh_CN")
        std::string ignoredVersion;
        bool interactive = false;
        std::string url; // of the version file
        UrlDownloadLimits limits;
    };

    static std::shared_ptr<VersionCheck> create(VersionCheckDelegate* delegate, Settings settings);

    void start();
    // Stops the running download; the delegate hears nothing more.
    void cancel();
    bool isFinished() const { return m_finished; }

    bool isInteractive() const { return m_settings.interactive; }
    void setInteractive(bool interactive) { m_settings.interactive = interactive; }
    const std::string& appVersion() const { return m_settings.appVersion; }
    const std::string& ignoredVersion() const { return m_settings.ignoredVersion; }

    // Whether a version file with a "LatestVersion" arrived.
    bool versionFileRead() const { return m_versionFile != nullptr; }
    std::string latestVersion() const;
    // Newer than ours, and either asked for or not the version the user chose to skip.
    bool isUpdateAvailable() const;
    // The download page for the language, else the one for "en"; empty without one.
    std::string downloadPageURL() const;
    // The release notes received, newest first, each an RTF document.
    const std::vector<std::string>& releaseNotes() const { return m_releaseNotes; }

private:
    VersionCheck(VersionCheckDelegate* delegate, Settings settings);

    void versionFileArrived(const UrlDownloadResult& result);
    void fetchNextReleaseNote();
    void releaseNoteArrived(const UrlDownloadResult& result);
    void download(const std::string& url, void (VersionCheck::*arrived)(const UrlDownloadResult&));
    void finish();
    // The entry for the language code, else for "en".
    std::string addressFor(const Value_dict& addresses) const;

    VersionCheckDelegate* m_delegate;
    Settings m_settings;
    std::shared_ptr<Value_dict> m_versionFile;
    std::shared_ptr<UrlDownload> m_download;
    int m_noteIndex = -1;
    std::vector<std::string> m_releaseNotes;
    bool m_finished = false;
};

} // namespace sonorix
