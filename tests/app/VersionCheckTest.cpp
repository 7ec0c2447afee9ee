#include "app/VersionCheck.h"
#include "app/SonorixController.h"
#include "foundation/Localization.h"
#include "foundation/RunLoop.h"
#include "foundation/Threads.h"
#include "model/SonorixPreferences.h"
#include "support/TestSupport.h"
#include "support/UpdateServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace sonorix {
namespace {

using test::TempDir;
using test::UpdateServer;
using test::writeFile;

TEST(CompareVersions, ComparesNumberByNumber) {
    EXPECT_EQ(compareVersions("3.6", "3.6.0"), 0);
    EXPECT_EQ(compareVersions("3.6.0.0", "3.6"), 0);
    EXPECT_GT(compareVersions("3.10", "3.9"), 0);
    EXPECT_LT(compareVersions("3.9", "3.10"), 0);
    EXPECT_GT(compareVersions("3.6.1", "3.6"), 0);
    EXPECT_LT(compareVersions("2.99.99", "3"), 0);
    // A build number in parentheses does not count.
    EXPECT_EQ(compareVersions("3.7 (123)", "3.7"), 0);
    EXPECT_LT(compareVersions("3.7 (123)", "3.8"), 0);
    // Text where a number should be counts as 0; an empty text is 0.0.0.
    EXPECT_EQ(compareVersions("", "0.0"), 0);
    EXPECT_LT(compareVersions("", "3.6"), 0);
    EXPECT_EQ(compareVersions("beta.2", "0.2"), 0);
    EXPECT_EQ(compareVersions("3.07", "3.7"), 0);
    // Digits after a non-digit are ignored: "6b9" is 6.
    EXPECT_EQ(compareVersions("3.6b9", "3.6"), 0);
    // Absurdly long numbers neither overflow nor wrap to older.
    EXPECT_GT(compareVersions("99999999999999999999999", "3"), 0);
}

struct Note {
    std::string version;
    std::map<std::string, std::string> addresses; // language code → path on the server
};

std::string xmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '&' ? std::string("&amp;") : c == '<' ? std::string("&lt;") : std::string(1, c);
    }
    return out;
}

std::string versionFile(const std::string& latest, const std::map<std::string, std::string>& pages,
                        const std::vector<Note>& notes, const UpdateServer& server) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<plist version=\"1.0\"><dict>\n<key>LatestVersion</key><string>" +
                      latest + "</string>\n<key>LatestDownloadPageURL</key><dict>";
    for (const auto& [code, page] : pages) {
        xml += "<key>" + code + "</key><string>" + xmlText(page) + "</string>";
    }
    xml += "</dict>\n<key>ReleaseNotes</key><array>\n";
    for (const auto& note : notes) {
        xml += "<dict><key>Version</key><string>" + note.version + "</string>";
        for (const auto& [code, path] : note.addresses) {
            xml += "<key>" + code + "</key><string>" + xmlText(server.url(path)) + "</string>";
        }
        xml += "</dict>\n";
    }
    return xml + "</array>\n</dict></plist>\n";
}

std::string rtfNote(const std::string& text) {
    return "{\\rtf1\\ansi{\\fonttbl\\f0\\fswiss Helvetica;}\\f0 " + text + "\\par}";
}

class Recorder : public VersionCheckDelegate {
public:
    void versionCheckFinished(const std::shared_ptr<VersionCheck>& check) override {
        finished = check;
        ++calls;
    }
    std::shared_ptr<VersionCheck> finished;
    int calls = 0;
};

// The controller with every view hook recorded or ignored; only the update check is used.
class UpdateFrontEnd final : public SonorixController {
public:
    using SonorixController::setPreferences;
    using SonorixController::setUpdateCheckLimits;
    using SonorixController::showAlert;

    void startUp(bool) override {}
    void showImportantNotice() override {}
    void tracksChanged(const OutlineItem&) override {}
    void revealItem(const OutlineItem&) override {}
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
    void showAlert(const std::string& title, const std::string&, const std::string&,
                   bool) override {
        alerts.push_back(title);
    }
    int askAlert(const std::string& title, const std::string&,
                 const std::vector<std::string>& buttons, bool) override {
        alerts.push_back(title);
        lastButtons = buttons;
        return answer;
    }
    void processingFinished() override {}
    void showPreferences() override {}
    void openURL(const std::string& url) override { opened.push_back(url); }
    void chooseLibraryFile() override {}
    void quitApplication() override {}
    void showUpdateCheckResult(const std::shared_ptr<VersionCheck>& check) override {
        ++results;
        SonorixController::showUpdateCheckResult(check);
    }

    int results = 0;
    int answer = 1; // "Remind Me Later"
    std::vector<std::string> alerts;
    std::vector<std::string> lastButtons;
    std::vector<std::string> opened;
};

class VersionCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running());
        loop = std::make_shared<BasicRunLoop>();
        setMainRunLoop(loop);
    }
    void TearDown() override { clearMainRunLoop(); }

    VersionCheck::Settings settings(const std::string& path, const std::string& appVersion) {
        VersionCheck::Settings s;
        s.appVersion = appVersion;
        s.languageCode = "en";
        s.url = server.url(path);
        s.limits.connectTimeoutMs = 2000;
        s.limits.totalTimeoutMs = 5000;
        return s;
    }

    // Runs a check to its end; the main thread keeps running records throughout.
    std::shared_ptr<VersionCheck> run(VersionCheck::Settings s) {
        auto check = VersionCheck::create(&recorder, std::move(s));
        const auto before = steady_clock::now();
        check->start();
        startTook = steady_clock::now() - before;
        EXPECT_TRUE(loop->runUntil([this] { return recorder.calls > 0; }, 20s));
        EXPECT_EQ(recorder.calls, 1);
        return recorder.finished;
    }

    std::shared_ptr<UpdateFrontEnd> frontEnd(const std::string& path) {
        auto front = std::make_shared<UpdateFrontEnd>();
        auto preferences = std::make_shared<SonorixPreferences>();
        preferences->load(dir.file("prefs.plist"));
        preferences->setUpdateCheckURL(server.url(path));
        front->setPreferences(preferences);
        UrlDownloadLimits limits;
        limits.connectTimeoutMs = 2000;
        limits.totalTimeoutMs = 2000;
        front->setUpdateCheckLimits(limits);
        return front;
    }

    void runCheck(UpdateFrontEnd& front, bool interactive) {
        front.checkForUpdates(interactive);
        ASSERT_TRUE(loop->runUntil([&] { return !front.versionCheck(); }, 20s));
    }

    TempDir dir;
    UpdateServer server{dir.path()};
    std::shared_ptr<BasicRunLoop> loop;
    Recorder recorder;
    steady_clock::duration startTook{};
};

std::string text(const char* key) {
    return Localization::shared().localizedString(key, Localization::kVersionCheckLocalizable);
}

TEST_F(VersionCheckTest, SameVersionIsUpToDate) {
    writeFile(dir.file("v.plist"), versionFile("3.6", {{"en", "https://example.org/dl"}},
                                               {{"3.6", {{"en", "/n36.rtf"}}}}, server));
    writeFile(dir.file("n36.rtf"), rtfNote("three six"));
    auto check = run(settings("/v.plist", "3.6"));
    ASSERT_TRUE(check);
    EXPECT_TRUE(check->versionFileRead());
    EXPECT_EQ(check->latestVersion(), "3.6");
    EXPECT_FALSE(check->isUpdateAvailable());
    EXPECT_TRUE(check->releaseNotes().empty());
    EXPECT_EQ(server.requests().find("/n36.rtf"), std::string::npos);

    // Through the controller, with the running build's own version: interactive says so,
    // automatic is silent.
    writeFile(dir.file("same.plist"), versionFile(SONORIX_VERSION, {}, {}, server));
    auto front = frontEnd("/same.plist");
    runCheck(*front, false);
    EXPECT_EQ(front->results, 0);
    runCheck(*front, true);
    EXPECT_EQ(front->results, 1);
    EXPECT_EQ(front->alerts, std::vector<std::string>{text("Uptodate_Title")});
}

TEST_F(VersionCheckTest, NotesOfEveryNewerVersionNewestFirst) {
    writeFile(dir.file("v.plist"), versionFile("3.8", {{"en", "https://example.org/dl"}},
                                               {{"3.8", {{"en", "/n38.rtf"}}},
                                                {"3.7", {{"en", "/n37.rtf"}}},
                                                {"3.6", {{"en", "/n36.rtf"}}}},
                                               server));
    writeFile(dir.file("n38.rtf"), rtfNote("eight"));
    writeFile(dir.file("n37.rtf"), rtfNote("seven"));
    writeFile(dir.file("n36.rtf"), rtfNote("six"));
    auto check = run(settings("/v.plist", "3.6"));
    ASSERT_TRUE(check);
    EXPECT_TRUE(check->isUpdateAvailable());
    ASSERT_EQ(check->releaseNotes().size(), 2u);
    EXPECT_NE(check->releaseNotes()[0].find("eight"), std::string::npos);
    EXPECT_NE(check->releaseNotes()[1].find("seven"), std::string::npos);
    // The walk stops at the first version that is not newer.
    const std::string requests = server.requests();
    EXPECT_EQ(requests.find("/n36.rtf"), std::string::npos);
    EXPECT_NE(requests.find("/v.plist\tSonorix/" SONORIX_VERSION "\n"), std::string::npos)
        << requests;
    EXPECT_EQ(check->downloadPageURL(), "https://example.org/dl");
    // The main thread only handed the work over.
    EXPECT_LT(duration_cast<milliseconds>(startTook).count(), 200);
}

TEST_F(VersionCheckTest, SkippedVersionIsSilentOnlyForTheAutomaticCheck) {
    writeFile(dir.file("v.plist"), versionFile("99.1", {{"en", "https://example.org/dl"}},
                                               {{"99.1", {{"en", "/n.rtf"}}}}, server));
    writeFile(dir.file("n.rtf"), rtfNote("ninety-nine"));
    auto front = frontEnd("/v.plist");
    front->preferences()->setIgnoredUpdateVersion(u"99.1");

    runCheck(*front, false);
    EXPECT_EQ(front->results, 0);
    EXPECT_TRUE(front->alerts.empty());
    EXPECT_EQ(front->preferences()->ignoredUpdateVersion(), u"99.1");

    runCheck(*front, true);
    EXPECT_EQ(front->results, 1);
    // Shown without "Skip This Version", and the skipped version is forgotten on disk too.
    EXPECT_EQ(front->lastButtons.size(), 2u);
    SonorixPreferences saved;
    saved.load(dir.file("prefs.plist"));
    EXPECT_EQ(saved.ignoredUpdateVersion(), u"");

    // The automatic check offers skipping; choosing it stores the version.
    front->answer = 2;
    runCheck(*front, false);
    EXPECT_EQ(front->lastButtons.size(), 3u);
    SonorixPreferences skipped;
    skipped.load(dir.file("prefs.plist"));
    EXPECT_EQ(skipped.ignoredUpdateVersion(), u"99.1");
}

TEST_F(VersionCheckTest, LanguageWithoutItsOwnEntriesFallsBackToEnglish) {
    writeFile(dir.file("v.plist"),
              versionFile("99.0",
                          {{"en", "https://example.org/en"}, {"fr", "https://example.org/fr"}},
                          {{"99.0", {{"en", "/en.rtf"}, {"fr", "/fr.rtf"}}}}, server));
    writeFile(dir.file("en.rtf"), rtfNote("english"));
    writeFile(dir.file("fr.rtf"), rtfNote("fran\\'e7ais"));

    auto german = settings("/v.plist", "3.0");
    german.languageCode = "de";
    auto check = run(german);
    ASSERT_EQ(check->releaseNotes().size(), 1u);
    EXPECT_NE(check->releaseNotes()[0].find("english"), std::string::npos);
    EXPECT_EQ(check->downloadPageURL(), "https://example.org/en");

    recorder = {};
    auto french = settings("/v.plist", "3.0");
    french.languageCode = "fr";
    check = run(french);
    ASSERT_EQ(check->releaseNotes().size(), 1u);
    EXPECT_NE(check->releaseNotes()[0].find("fran"), std::string::npos);
    EXPECT_EQ(check->downloadPageURL(), "https://example.org/fr");
}

TEST_F(VersionCheckTest, NotesThatFailOrAreNotRtfAreSkipped) {
    writeFile(dir.file("v.plist"), versionFile("99.3", {{"en", "https://example.org/dl"}},
                                               {{"99.3", {{"en", "/missing.rtf"}}},
                                                {"99.2", {{"en", "/plain.txt"}}},
                                                {"99.1", {{"en", "/short.rtf"}}},
                                                {"99.0", {{"en", "/good.rtf"}}}},
                                               server));
    writeFile(dir.file("plain.txt"), "These are notes, but not in RTF.");
    writeFile(dir.file("short.rtf"), "{\\rtf1 x}"); // ten bytes: too short to be a note
    writeFile(dir.file("good.rtf"), rtfNote("good"));
    auto check = run(settings("/v.plist", "3.0"));
    ASSERT_EQ(check->releaseNotes().size(), 1u);
    EXPECT_NE(check->releaseNotes()[0].find("good"), std::string::npos);
}

TEST_F(VersionCheckTest, RedirectsAreFollowedUpToFive) {
    writeFile(dir.file("v.plist"), versionFile("3.0", {}, {}, server));
    auto check = run(settings("/redirect/5/v.plist", "3.0"));
    EXPECT_TRUE(check->versionFileRead());

    recorder = {};
    check = run(settings("/redirect/6/v.plist", "3.0"));
    EXPECT_FALSE(check->versionFileRead());
}

// Each way the version file can fail ends as "could not read": silent when automatic,
// "Looking for Updates Failed" when asked for, and nothing crashes or waits.
TEST_F(VersionCheckTest, UnreadableVersionFileEndsAsFailure) {
    writeFile(dir.file("notplist.plist"), "LatestVersion = 99.0\n<html>not a plist</html>\n");
    writeFile(dir.file("nolatest.plist"),
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Other</key>"
              "<string>1</string></dict></plist>");
    writeFile(dir.file("array.plist"),
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>99</string></array>"
              "</plist>");
    const std::string big = "/big?" + std::to_string(2 * 1024 * 1024);
    for (const std::string path : {"/missing.plist", "/notplist.plist", "/nolatest.plist",
                                   "/array.plist", big.c_str(), "/hang"}) {
        SCOPED_TRACE(path);
        auto front = frontEnd(path);
        const auto before = steady_clock::now();
        runCheck(*front, false);
        EXPECT_EQ(front->results, 0);
        EXPECT_TRUE(front->alerts.empty());
        runCheck(*front, true);
        EXPECT_EQ(front->alerts, std::vector<std::string>{text("UpdateCheckFailed_Title")});
        // Two checks, each bounded by the shortened two-second time-out.
        EXPECT_LT(duration_cast<seconds>(steady_clock::now() - before).count(), 10);
    }
}

TEST_F(VersionCheckTest, MainThreadRunsOtherWorkWhileTheServerHangs) {
    auto s = settings("/hang", "3.0");
    s.limits.totalTimeoutMs = 1500;
    auto check = VersionCheck::create(&recorder, s);
    check->start();
    // A call from another thread is served while the download waits.
    std::atomic<bool> served{false};
    const auto posted = steady_clock::now();
    std::thread([&served] { callOnMainThread([&served] { served = true; }, false); }).join();
    ASSERT_TRUE(loop->runUntil([&] { return served.load(); }, 1s));
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - posted).count(), 500);
    EXPECT_EQ(recorder.calls, 0);
    ASSERT_TRUE(loop->runUntil([this] { return recorder.calls > 0; }, 10s));
    EXPECT_FALSE(check->versionFileRead());
}

TEST_F(VersionCheckTest, DefaultAddressFailsAtOnce) {
    auto front = std::make_shared<UpdateFrontEnd>();
    auto preferences = std::make_shared<SonorixPreferences>();
    preferences->load(dir.file("prefs.plist"));
    EXPECT_EQ(preferences->updateCheckURL(), SONORIX_UPDATE_CHECK_URL);
    EXPECT_NE(std::string(SONORIX_UPDATE_CHECK_URL).find(".invalid/"), std::string::npos);
    front->setPreferences(preferences);
    const auto before = steady_clock::now();
    runCheck(*front, true);
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - before).count(), 1000);
    EXPECT_EQ(front->alerts, std::vector<std::string>{text("UpdateCheckFailed_Title")});
}

TEST_F(VersionCheckTest, DownloadsOnlyWebAddressesWithinTheSizeLimit) {
    UrlDownloadLimits limits;
    limits.maxBytes = 100000;
    EXPECT_TRUE(UrlDownload::fetch(server.url("/big?100000"), limits).success);
    auto over = UrlDownload::fetch(server.url("/big?100001"), limits);
    EXPECT_FALSE(over.success);
    EXPECT_TRUE(over.body.empty());
    // A setting or a redirect cannot make the check read local files.
    writeFile(dir.file("local.txt"), "secret");
    EXPECT_FALSE(UrlDownload::fetch("file://" + dir.file("local.txt"), limits).success);
    EXPECT_FALSE(UrlDownload::fetch("ftp://127.0.0.1/x", limits).success);
    EXPECT_FALSE(UrlDownload::fetch("https://UPDATES.Example.INVALID./v.plist", limits).success);
}

TEST_F(VersionCheckTest, ShutDownDropsARunningCheck) {
    auto front = frontEnd("/hang");
    front->checkForUpdates(true);
    ASSERT_TRUE(front->versionCheck());
    auto check = front->versionCheck();
    // A second request while one runs does not start another.
    front->checkForUpdates(false);
    EXPECT_EQ(front->versionCheck(), check);
    EXPECT_TRUE(check->isInteractive());
    front->shutDown();
    EXPECT_FALSE(front->versionCheck());
    loop->runUntil([] { return false; }, 2500ms);
    EXPECT_EQ(front->results, 0);
}

} // namespace
} // namespace sonorix
