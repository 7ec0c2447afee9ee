#include "itunes/iTunesBackendLibraryFile.h"
#include "itunes/iTunesController.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"

#include "LibraryFileMaker.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace sonorix;
using namespace sonorix::test;

namespace {

// Another program's comment: an ID3v2 COMM frame without description.
void addCommentWithMutagen(const std::string& path, const std::string& text) {
    auto r = runCommand({"/usr/bin/python3", "-c",
                         "import sys,mutagen.id3 as i;t=i.ID3(sys.argv[1]);"
                         "t.add(i.COMM(encoding=3,lang='eng',desc='',text=[sys.argv[2]]));"
                         "t.save()",
                         path, text});
    ASSERT_EQ(r.status, 0) << r.err;
}

struct Hooks final : iTunesControllerHooks {
    std::vector<std::string> titles, messages, buttons;
    int chooseFile = 0;
    int quits = 0;
    void showAlert(const std::string& t, const std::string& m, const std::string& b) override {
        titles.push_back(t);
        messages.push_back(m);
        buttons.push_back(b);
    }
    void openURL(const std::string&) override {}
    void chooseLibraryFile() override { ++chooseFile; }
    void quitApplication() override { ++quits; }
};

struct Connection {
    std::shared_ptr<iTunesBackendLibraryFile> backend;
    std::shared_ptr<Hooks> hooks = std::make_shared<Hooks>();
    std::shared_ptr<iTunesController> controller;

    explicit Connection(iTunesBackendLibraryFile::Options options) {
        backend = iTunesBackendLibraryFile::create(std::move(options));
        controller = std::make_shared<iTunesController>(backend, hooks);
        controller->connect();
    }
    static Connection forFile(const std::string& path) {
        iTunesBackendLibraryFile::Options options;
        options.handedFile = path;
        return Connection(options);
    }
};

// A home folder of its own, so the search sees only what the test puts there.
class LibraryFileConnection : public ::testing::Test {
protected:
    LibraryFileConnection()
        : m_home("HOME", m_dir.file("home")), m_user("USER", "ann"),
          m_data("XDG_DATA_HOME", m_dir.file("data")) {
        std::filesystem::create_directories(m_dir.file("home"));
    }
    std::string home(const std::string& relative) const {
        std::string path = m_dir.file("home/" + relative);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        return path;
    }
    std::string audio(const std::string& name) const {
        std::string path = m_dir.file(name);
        writeFile(path, "audio");
        return path;
    }

    TempDir m_dir;
    ScopedEnv m_home, m_user, m_data;
};

} // namespace

TEST_F(LibraryFileConnection, TheLibraryFileIsLookedForInOrder) {
    const std::vector<std::string> standard = {
        home("Music/iTunes/iTunes Music Library.xml"),
        home("Music/iTunes/iTunes Library.xml"),
        home(".wine/drive_c/users/ann/Music/iTunes/iTunes Music Library.xml"),
        home(".wine/drive_c/users/ann/Music/iTunes/iTunes Library.xml"),
    };
    EXPECT_EQ(iTunesBackendLibraryFile::standardLocations(), standard);
    EXPECT_EQ(iTunesBackendLibraryFile::findLibraryFile("", ""), "");

    // Each file that appears earlier in the order takes over.
    for (int i = 3; i >= 0; --i) {
        writeFile(standard[static_cast<size_t>(i)], "<plist/>");
        EXPECT_EQ(iTunesBackendLibraryFile::findLibraryFile("", ""),
                  standard[static_cast<size_t>(i)]);
    }
    // What the user named wins, even when it is not there: the import then says so.
    EXPECT_EQ(iTunesBackendLibraryFile::findLibraryFile("", "/set/lib.xml"), "/set/lib.xml");
    EXPECT_EQ(iTunesBackendLibraryFile::findLibraryFile("/handed.xml", "/set/lib.xml"),
              "/handed.xml");

    iTunesBackendLibraryFile::Options options;
    options.settingPath = "/set/lib.xml";
    Connection c(options);
    EXPECT_EQ(c.controller->startupError(), 0);
    EXPECT_EQ(c.controller->libraryXMLPath(), "/set/lib.xml");
}

TEST_F(LibraryFileConnection, NoLibraryFileIsStartupErrorOneSayingWhereItLooked) {
    Connection c({});
    EXPECT_EQ(c.controller->startupError(), 1);
    EXPECT_THROW(c.controller->libraryXMLPath(), std::exception);
    c.controller->showStartupError(3); // the earlier error is the one reported
    ASSERT_EQ(c.hooks->titles.size(), 1u);
    EXPECT_EQ(c.hooks->titles[0], "No iTunes library file found");
    for (const auto& place : iTunesBackendLibraryFile::standardLocations()) {
        EXPECT_NE(c.hooks->messages[0].find("\n    " + place), std::string::npos) << place;
    }
    EXPECT_EQ(c.hooks->messages[0].find("install"), std::string::npos);
    EXPECT_EQ(c.hooks->buttons[0], "Choose Library File…");
    EXPECT_EQ(c.hooks->chooseFile, 1);
    EXPECT_EQ(c.hooks->quits, 1);
}

TEST_F(LibraryFileConnection, VersionAnswersWithoutAWindow) {
    std::string path = m_dir.file("lib.xml");
    ASSERT_TRUE(writeLibraryFile(path, {{0x1, 1, "A", "", "", fileURL(audio("a.mp3")), 0}}));
    auto c = Connection::forFile(path);
    EXPECT_EQ(c.controller->startupError(), 0);
    EXPECT_TRUE(c.controller->persistentIDLookupSupported());
    EXPECT_FALSE(c.controller->revealSupported());
    EXPECT_TRUE(c.controller->checkVersion(1, 11));
    EXPECT_FALSE(c.controller->checkVersion(1, 12));
    EXPECT_FALSE(c.controller->checkVersion(2, 0));
}

TEST_F(LibraryFileConnection, PlaylistPathsComeFromTheOnePlaylistOfThatName) {
    std::string a = audio("a.mp3"), b = audio("b.mp3"), c3 = audio("c.mp3");
    std::string path = m_dir.file("lib.xml");
    ASSERT_TRUE(writeLibraryFile(path,
                                 {{0x1, 11, "A", "", "", fileURL(a), 0},
                                  {0x2, 12, "B", "", "", fileURL(b), 0},
                                  {0x3, 13, "C", "", "", fileURL(c3), 0},
                                  {0x4, 14, "Stream", "", "", "http://radio.example/", 0}},
                                 {{"Library", {11, 12, 13, 14}, true},
                                  {"Road", {13, 99, 14, 11}},
                                  {"Twice", {11}},
                                  {"Twice", {12}}}));
    auto c = Connection::forFile(path);
    EXPECT_EQ(c.controller->playlistTrackPaths(u"Road"), (std::vector<std::string>{c3, a}));
    EXPECT_TRUE(c.controller->playlistTrackPaths(u"Twice").empty());
    EXPECT_TRUE(c.controller->playlistTrackPaths(u"road").empty());
    EXPECT_TRUE(c.controller->playlistTrackPaths(u"Nowhere").empty());
    EXPECT_EQ(c.controller->playlistTrackPaths(u"Library").size(), 3u);
}

TEST_F(LibraryFileConnection, HandedFilesSelectTheirLibraryTracks) {
    std::filesystem::create_directories(m_dir.file("sub"));
    std::string a = audio("a.mp3"), b = audio("b.mp3"), outside = audio("outside.mp3");
    std::string path = m_dir.file("lib.xml");
    ASSERT_TRUE(writeLibraryFile(
        path, {{0x1, 1, "A", "", "", fileURL(a), 0}, {0x2, 2, "B", "", "", fileURL(b), 0}}));
    auto c = Connection::forFile(path);
    auto library = iTunesLibrary::load(path, {}, c.controller->trackFactory());
    EXPECT_EQ(c.backend->library(), library); // the model's library is the connection's

    EXPECT_TRUE(c.controller->selectedTracks(*library).empty()); // nothing handed
    c.backend->setHandedFiles({b, outside, m_dir.file("sub/../a.mp3"), m_dir.file("nothing.mp3")});
    auto selected = c.controller->selectedTracks(*library);
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(selected[0]->persistentId(), 0x2u);
    EXPECT_EQ(selected[1]->persistentId(), 0x1u);

    c.backend->addHandedFiles({b});
    EXPECT_EQ(c.controller->selectedTracks(*library).size(), 3u);
}

TEST_F(LibraryFileConnection, TracksAreFoundByPersistentIdOrElseByName) {
    std::string a = audio("a.mp3"), b = audio("b.mp3");
    std::string path = m_dir.file("lib.xml");
    ASSERT_TRUE(writeLibraryFile(path, {{0x1, 1, "Alpha", "Album", "Artist", fileURL(a), 0},
                                        {0x2, 2, "Beta", "Album", "Artist", fileURL(b), 0}}));
    auto c = Connection::forFile(path);
    auto library = iTunesLibrary::load(path, {}, c.controller->trackFactory());
    auto track = library->track(0x2);
    auto found = c.controller->findTrack(0x2, *track, b);
    ASSERT_NE(found, nullptr);
    std::string where;
    ASSERT_EQ(found->location(where), 0);
    EXPECT_EQ(where, b);

    // An id the file does not have: the name search compares paths.
    EXPECT_NE(c.controller->findTrack(0x99, *track, b), nullptr);
    EXPECT_EQ(c.controller->findTrack(0x99, *track, m_dir.file("other.mp3")), nullptr);
}

TEST_F(LibraryFileConnection, ConsoleCommandsUseTheConnection) {
    std::string a = audio("a.mp3");
    std::string path = m_dir.file("lib.xml");
    ASSERT_TRUE(writeLibraryFile(path, {{0x1, 1, "A", "", "", fileURL(a), 0}},
                                 {{"Library", {1}, true}, {"Mix ♪", {1, 1}}, {"Empty", {}}}));
    auto listed = runCli({"--library", path, "playlists"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, "1\tLibrary\n2\tMix ♪\n0\tEmpty\n");
    // Newer versions store the library playlist under an internal name; users see "Library", in
    // their language. Only the master playlist is renamed.
    std::string internal = m_dir.file("internal.xml");
    ASSERT_TRUE(writeLibraryFile(internal, {{0x1, 1, "A", "", "", fileURL(a), 0}},
                                 {{"####!####", {1}, true}, {"####!####", {}}}));
    EXPECT_EQ(runCli({"--library", internal, "playlists"}).out, "1\tLibrary\n0\t####!####\n");
    EXPECT_EQ(runCli({"--language", "de", "--library", internal, "playlists"}).out,
              "1\tMediathek\n0\t####!####\n");

    // Found in the usual place without being named.
    std::string usual = home("Music/iTunes/iTunes Music Library.xml");
    std::filesystem::copy_file(path, usual);
    EXPECT_EQ(runCli({"playlists"}).status, 0);
    EXPECT_EQ(runCli({"groups"}).status, 0);
    std::filesystem::remove(usual);

    auto missing = runCli({"playlists"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.err.find("No iTunes library file found"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("Music/iTunes/iTunes Library.xml"), std::string::npos);
    auto groups = runCli({"groups"});
    EXPECT_EQ(groups.status, 3);
    EXPECT_NE(groups.err.find("No iTunes library file found"), std::string::npos);

    auto broken = m_dir.file("broken.xml");
    writeFile(broken, "not a library");
    auto unreadable = runCli({"--library", broken, "groups"});
    EXPECT_EQ(unreadable.status, 3);
    EXPECT_NE(unreadable.err.find("Error reading the iTunes XML file"), std::string::npos);

    // A named file that is not there is no reading error.
    for (std::string command : {"groups", "playlists", "list"}) {
        auto absent = runCli({"--library", m_dir.file("absent.xml"), command});
        EXPECT_EQ(absent.status, 3);
        EXPECT_NE(absent.err.find("The iTunes library file does not exist"), std::string::npos)
            << command << ": " << absent.err;
        EXPECT_NE(absent.err.find("There is no file at " + m_dir.file("absent.xml")),
                  std::string::npos);
        EXPECT_EQ(absent.err.find("Error reading"), std::string::npos);
    }
}

TEST_F(LibraryFileConnection, CommentCommandPrintsAndWritesTheFilesComment) {
    std::string mp3 = m_dir.file("song.mp3");
    ASSERT_TRUE(makeAudio(mp3, "sine=frequency=440:duration=0.5", {"-c:a", "libmp3lame"}));
    addCommentWithMutagen(mp3, "hello");
    auto shown = runCli({"comment", mp3});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, "hello\n");
    EXPECT_EQ(runCli({"comment", "--set", "new words", mp3}).status, 0);
    EXPECT_EQ(runCli({"comment", mp3}).out, "new words\n");
    auto missing = runCli({"comment", mp3, m_dir.file("none.mp3")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, mp3 + ": new words\n");
}
