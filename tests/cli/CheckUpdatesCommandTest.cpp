#include "support/TestSupport.h"
#include "support/UpdateServer.h"

#include <gtest/gtest.h>

#include <chrono>

namespace sonorix::test {
namespace {

using namespace std::chrono;

class CheckUpdatesCommand : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.running()); }

    CommandResult check() { return runCli({"--data-dir", dir.file("data"), "check-updates"}); }
    void setURL(const std::string& url) {
        ASSERT_EQ(runCli({"--data-dir", dir.file("data"), "config", "UpdateCheckURL", url}).status,
                  0);
    }

    TempDir dir;
    TempDir served;
    UpdateServer server{served.path()};
};

TEST_F(CheckUpdatesCommand, PrintsTheNotesOfNewerVersions) {
    writeFile(served.file("v.plist"),
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
              "<key>LatestVersion</key><string>99.2</string>"
              "<key>LatestDownloadPageURL</key><dict><key>en</key>"
              "<string>https://example.org/get</string></dict>"
              "<key>ReleaseNotes</key><array>"
              "<dict><key>Version</key><string>99.2</string><key>en</key><string>" +
                  server.url("/n2.rtf") +
                  "</string></dict>"
                  "<dict><key>Version</key><string>99.1</string><key>en</key><string>" +
                  server.url("/n1.rtf") +
                  "</string></dict>"
                  "<dict><key>Version</key><string>1.0</string><key>en</key><string>" +
                  server.url("/old.rtf") + "</string></dict></array></dict></plist>");
    writeFile(served.file("n2.rtf"), "{\\rtf1\\ansi{\\fonttbl\\f0 Helvetica;}Caf\\'e9 mode\\par}");
    writeFile(served.file("n1.rtf"), "{\\rtf1\\ansi First {\\b bold} note\\par}");
    writeFile(served.file("old.rtf"), "{\\rtf1\\ansi Old note\\par}");
    setURL(server.url("/v.plist"));
    auto r = check();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("99.2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("https://example.org/get"), std::string::npos);
    const auto second = r.out.find("Café mode");
    const auto first = r.out.find("First bold note");
    EXPECT_NE(second, std::string::npos) << r.out;
    EXPECT_NE(first, std::string::npos);
    EXPECT_LT(second, first);
    EXPECT_EQ(r.out.find("Old note"), std::string::npos);
    EXPECT_EQ(r.out.find("Helvetica"), std::string::npos);
}

TEST_F(CheckUpdatesCommand, UpToDateAndFailedChecks) {
    writeFile(served.file("v.plist"),
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
              "<key>LatestVersion</key><string>1.0</string></dict></plist>");
    setURL(server.url("/v.plist"));
    auto r = check();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Sonorix is up-to-date"), std::string::npos) << r.out;

    setURL(server.url("/missing.plist"));
    r = check();
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("Looking for Updates Failed"), std::string::npos) << r.out;
}

TEST_F(CheckUpdatesCommand, DefaultAddressFailsAtOnce) {
    const auto before = steady_clock::now();
    auto r = check();
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("Looking for Updates Failed"), std::string::npos) << r.out;
    EXPECT_LT(duration_cast<seconds>(steady_clock::now() - before).count(), 5);
    EXPECT_EQ(server.requests(), "");
}

} // namespace
} // namespace sonorix::test
