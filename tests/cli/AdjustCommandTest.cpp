#include "support/TestSupport.h"

#include "../model/LibraryFile.h"
#include "cli/StatusArea.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

using namespace sonorix::test;
using namespace sonorix::cli;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string fileUrl(const std::string& path) {
    return "file://localhost" + path;
}

// The counts of the summary line "N tracks adjusted, N unchanged, N failed".
struct Counts {
    int adjusted = -1;
    int unchanged = -1;
    int failed = -1;
};

Counts summaryOf(const std::string& err) {
    std::smatch m;
    Counts c;
    if (std::regex_search(err, m,
                          std::regex("(\\d+) tracks adjusted, (\\d+) unchanged, (\\d+) failed"))) {
        c.adjusted = std::stoi(m[1]);
        c.unchanged = std::stoi(m[2]);
        c.failed = std::stoi(m[3]);
    }
    return c;
}

std::vector<std::string> leftovers(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (contains(name, ".sonorix-") || contains(name, ".tmp")) {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    return names;
}

// A library of generated MP3s: an album of two tracks, two singles, and a track whose file is
// missing.
class AdjustCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(m_dir.file("music").c_str(), 0755);
        ASSERT_TRUE(makeStereoMp3(music("a1.mp3"), "sine=frequency=440:duration=3"));
        ASSERT_TRUE(makeStereoMp3(music("a2.mp3"), "sine=frequency=660:duration=3,volume=-9dB"));
        ASSERT_TRUE(makeStereoMp3(music("s1.mp3"), "anoisesrc=color=pink:duration=3"));
        ASSERT_TRUE(makeStereoMp3(music("s2.mp3"), "sine=frequency=220:duration=2"));
        auto t1 = track(0x11).on("Album").named("One").gap();
        auto t2 = track(0x12).on("Album").named("Two").number(2).gap();
        auto t3 = track(0x13).on("Single A").named("Noise");
        auto t4 = track(0x14).on("Single B").named("Low");
        auto t5 = track(0x15).on("Gone").named("Missing");
        t1.location = fileUrl(music("a1.mp3"));
        t2.location = fileUrl(music("a2.mp3"));
        t3.location = fileUrl(music("s1.mp3"));
        t4.location = fileUrl(music("s2.mp3"));
        t5.location = fileUrl(music("missing.mp3"));
        for (auto* t : {&t1, &t2, &t3, &t4, &t5}) {
            t->totalTimeMs = 3000;
        }
        writeFile(m_dir.file("lib.xml"), libraryXml({t1, t2, t3, t4, t5}, "12.9.5.5"));
    }

    std::string music(const std::string& name) const { return m_dir.file("music/" + name); }

    CommandResult cli(const std::vector<std::string>& args) { return runCliIn(m_dir, args); }

    TempDir m_dir;
};

TEST_F(AdjustCommand, AdjustsTheLibraryOnceAndKeepsTheResults) {
    auto first = cli({"adjust", "all"});
    EXPECT_EQ(first.status, 1) << first.err; // the missing file fails
    Counts c = summaryOf(first.err);
    EXPECT_EQ(c.adjusted, 4) << first.err;
    EXPECT_EQ(c.unchanged, 0);
    EXPECT_EQ(c.failed, 1);
    EXPECT_TRUE(contains(first.err, "File Not Found")) << first.err;

    // Every existing file now carries a Sound Check text.
    auto tags = runCli({"tag", "--format", "tsv", music("a1.mp3"), music("a2.mp3"), music("s1.mp3"),
                        music("s2.mp3")});
    EXPECT_EQ(tags.status, 0) << tags.out << tags.err;
    EXPECT_TRUE(leftovers(m_dir.file("music")).empty());

    // The results were saved: the list shows them, and a second run changes nothing.
    auto list = cli({"list", "--all"});
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(contains(list.out, " dB ")) << list.out;
    EXPECT_TRUE(contains(list.out, "File Not Found")) << list.out;

    struct stat before {};
    ::stat(music("s1.mp3").c_str(), &before);
    auto second = cli({"adjust"});
    Counts again = summaryOf(second.err);
    EXPECT_EQ(again.adjusted, 0) << second.err;
    EXPECT_EQ(again.unchanged, 4);
    struct stat after {};
    ::stat(music("s1.mp3").c_str(), &after);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);

    // Forgetting makes the next run measure again, but the files already hold the values.
    EXPECT_EQ(cli({"forget", "all"}).status, 0);
    auto third = cli({"adjust", "all"});
    EXPECT_EQ(summaryOf(third.err).adjusted, 0) << third.err;
}

TEST_F(AdjustCommand, SelectionsChooseWholeAlbums) {
    auto ids = cli({"list", "--ids"});
    ASSERT_EQ(ids.status, 0);
    EXPECT_TRUE(contains(ids.out, "0000000000000013")) << ids.out;

    // One track of the album stands for the whole album once albums are formed.
    ASSERT_EQ(cli({"group-options", "--album-mode", "2"}).status, 0);
    auto selected = cli({"adjust", "selected", "0000000000000012"});
    EXPECT_EQ(selected.status, 0) << selected.err;
    EXPECT_EQ(summaryOf(selected.err).adjusted, 2) << selected.err;

    auto files = cli({"adjust", "files", music("s2.mp3")});
    EXPECT_EQ(files.status, 0) << files.err;
    EXPECT_EQ(summaryOf(files.err).adjusted, 1) << files.err;

    auto unknown = cli({"adjust", "selected", "FFFF"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(contains(unknown.err, "no track or album 'FFFF'"));
}

TEST_F(AdjustCommand, NothingToDoSaysWhyAndBadUsageIsRefused) {
    ASSERT_EQ(cli({"group-options", "--mode", "1"}).status, 0);
    auto group = cli({"adjust", "group", "Default"});
    EXPECT_EQ(group.status, 0);
    EXPECT_TRUE(contains(group.err, "not set to “Adjust Automatically”")) << group.err;
    auto all = cli({"adjust", "all"});
    EXPECT_TRUE(contains(all.err, "There are no tracks in groups set to")) << all.err;
    auto files = cli({"adjust", "files", m_dir.file("elsewhere.mp3")});
    EXPECT_TRUE(contains(files.err, "There are no tracks selected in iTunes known to Sonorix"))
        << files.err;

    EXPECT_EQ(cli({"adjust", "sideways"}).status, 2);
    EXPECT_EQ(cli({"adjust", "group"}).status, 2);
    EXPECT_EQ(cli({"adjust", "all", "extra"}).status, 2);
    EXPECT_EQ(cli({"adjust", "group", "No Such Group"}).status, 2);

    auto missing = runCli(
        {"--data-dir", m_dir.file("data"), "--library", m_dir.file("nothing.xml"), "adjust"});
    EXPECT_EQ(missing.status, 3) << missing.err;
    writeFile(m_dir.file("old.xml"), libraryXml({track(1)}, "6.0.3"));
    auto old =
        runCli({"--data-dir", m_dir.file("data"), "--library", m_dir.file("old.xml"), "adjust"});
    EXPECT_EQ(old.status, 3) << old.err;
}

// Starts the console without waiting, its standard error going to a file.
pid_t spawnCli(const std::vector<std::string>& args, const std::string& errPath) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        std::vector<char*> argv;
        std::string cli = SONORIX_CLI_PATH;
        argv.push_back(cli.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

TEST(AdjustInterrupt, CtrlCStopsCleanlyAndTheNextRunFinishesTheRest) {
    TempDir dir;
    ::mkdir(dir.file("music").c_str(), 0755);
    ASSERT_TRUE(makeStereoMp3(dir.file("music/master.mp3"), "anoisesrc=color=pink:duration=40"));
    std::string master = readFile(dir.file("music/master.mp3"));
    std::vector<LibraryTrack> tracks;
    const int count = 24;
    for (int i = 0; i < count; ++i) {
        std::string path = dir.file("music/t" + std::to_string(i) + ".mp3");
        writeFile(path, master);
        auto t = track(0x100 + i).on("Single " + std::to_string(i)).named("T" + std::to_string(i));
        t.location = fileUrl(path);
        t.totalTimeMs = 40000;
        tracks.push_back(t);
    }
    ::unlink(dir.file("music/master.mp3").c_str());
    writeFile(dir.file("lib.xml"), libraryXml(tracks, "12.9.5.5"));
    std::vector<std::string> args = {"--data-dir",        dir.file("data"), "--library",
                                     dir.file("lib.xml"), "adjust",         "all"};

    pid_t pid = spawnCli(args, dir.file("err.txt"));
    ASSERT_GT(pid, 0);
    // Interrupt once the work is under way.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!contains(readFile(dir.file("err.txt")), "Processing") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    std::string err = readFile(dir.file("err.txt"));
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 130) << err;
    EXPECT_TRUE(leftovers(dir.file("music")).empty());
    Counts stopped = summaryOf(err);
    EXPECT_GE(stopped.adjusted, 0) << err;
    EXPECT_LT(stopped.adjusted, count) << err;

    auto rest = runCli(args);
    EXPECT_EQ(rest.status, 0) << rest.err;
    Counts done = summaryOf(rest.err);
    EXPECT_EQ(done.adjusted + done.unchanged, count) << rest.err;
    EXPECT_EQ(done.unchanged, stopped.adjusted) << err << rest.err;
}

TEST(AdjustInstance, ASecondInstanceOnTheSameDataFolderIsRefused) {
    TempDir dir;
    writeFile(dir.file("lib.xml"), libraryXml({track(1).on("A")}, "12.9.5.5"));
    // A console run that waits for an answer holds the data folder meanwhile.
    int in[2];
    ASSERT_EQ(::pipe(in), 0);
    pid_t pid = fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::close(in[1]);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        int err = ::open(dir.file("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(err, 2);
        std::string cli = SONORIX_CLI_PATH;
        std::string d = dir.file("data"), l = dir.file("lib.xml");
        ::execl(cli.c_str(), cli.c_str(), "--data-dir", d.c_str(), "--library", l.c_str(), "forget",
                "--interactive", "0000000000000001", nullptr);
        ::_exit(127);
    }
    ::close(in[0]);
    // The question comes once the first instance holds the lock.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!contains(readFile(dir.file("err.txt")), "Forget") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    auto second = runCliIn(dir, {"groups"});
    EXPECT_EQ(second.status, 4) << second.err;
    EXPECT_TRUE(contains(second.err, "sonorix-cli:"));
    // Another data folder is another instance's business.
    EXPECT_EQ(runCli({"--data-dir", dir.file("other"), "--library", dir.file("lib.xml"), "groups"})
                  .status,
              0);
    ASSERT_EQ(::write(in[1], "1\n", 2), 2);
    ::close(in[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(runCliIn(dir, {"groups"}).status, 0);
}

// ---- the status area

// What was written to a temporary file; closes it.
std::string takeText(std::FILE* out) {
    std::rewind(out);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, out)) {
        text += buffer;
    }
    std::fclose(out);
    return text;
}

TEST(StatusArea, FormatsTimesProgressAndSpeed) {
    EXPECT_EQ(formatDuration(0), "0:00");
    EXPECT_EQ(formatDuration(65.4), "1:05");
    EXPECT_EQ(formatDuration(3600 * 12 + 7), "12:00:07");
    EXPECT_EQ(formatDuration(-1), "--:--");
    EXPECT_DOUBLE_EQ(remainingSeconds(0.25, 10), 30);
    EXPECT_EQ(remainingSeconds(0.0, 10), -1);
    EXPECT_EQ(remainingSeconds(0.5, 0.2), -1); // too early to say
    EXPECT_EQ(remainingSeconds(1.0, 10), 0);

    StatusSnapshot s;
    s.hasProgress = true;
    s.fraction = 0.5;
    s.speed = 612.4;
    s.elapsed = 42;
    EXPECT_EQ(formatProgressLine(s, 10),
              "[#####-----]  50%  ×612 real time  0:42 elapsed  0:42 left");
    s.fraction = -1;
    s.speed = -1;
    std::string indeterminate = formatProgressLine(s, 10);
    EXPECT_EQ(indeterminate.find('#'), std::string::npos);
    EXPECT_TRUE(contains(indeterminate, "0:42 elapsed"));
    EXPECT_FALSE(contains(indeterminate, "left"));
}

TEST(StatusArea, CutsLongLinesOnCharacterBoundaries) {
    EXPECT_EQ(fitColumns("abc", 3), "abc");
    EXPECT_EQ(fitColumns("abcd", 3), "ab…");
    EXPECT_EQ(fitColumns("Bärbel", 4), "Bär…");
    EXPECT_EQ(fitColumns("日本語の歌", 3), "日本…");
}

TEST(StatusArea, WithoutATerminalWritesPlainLinesAtIntervals) {
    std::FILE* out = std::tmpfile();
    double now = 0;
    {
        StatusArea area(
            out, false, [&] { return now; }, 10.0);
        StatusSnapshot s{"Processing Tracks…", "", true, 0.1, -1, 0};
        area.update(s);
        now = 1;
        s.fraction = 0.2;
        area.update(s); // too soon for another progress line
        s.detail = "Song";
        area.update(s);       // a new detail alone waits for the next progress line
        area.update(s, true); // even when a new worker line is forced onto the display
        now = 11;
        area.update(s);
        s.text = "Reading iTunes Library…";
        s.fraction = -1;
        area.update(s); // no progress line without a fraction
        now = 12;
        s.text = "Processing Tracks…";
        s.detail.clear();
        s.fraction = 0.5;
        area.update(s, true); // a new phase shows its progress at once
        s.text.clear();
        area.update(s, true); // but the message going away is no new phase
    }
    std::string text = takeText(out);
    EXPECT_EQ(text, "Processing Tracks…\n 10%  0:00 elapsed  --:-- left\n"
                    " 20%  0:00 elapsed  --:-- left  Song\nReading iTunes Library…\n"
                    "Processing Tracks…\n 50%  0:00 elapsed  --:-- left\n");
    EXPECT_EQ(text.find('\033'), std::string::npos);
}

TEST(StatusArea, OnATerminalRedrawsInPlace) {
    std::FILE* out = std::tmpfile();
    double now = 0;
    {
        StatusArea area(out, true, [&] { return now; });
        StatusSnapshot s{"Processing Tracks…", "One", true, 0.5, 500, 10};
        area.update(s);
        now = 0.05;
        area.update(s); // throttled
        now = 0.5;
        s.detail = "Two";
        area.update(s);
    }
    std::string text = takeText(out);
    EXPECT_TRUE(contains(text, "One"));
    EXPECT_TRUE(contains(text, "\033[2A")); // back up over the area for the redraw
    EXPECT_TRUE(contains(text, "Two"));
    EXPECT_TRUE(contains(text, "×500 real time"));
    EXPECT_TRUE(contains(text, "\033[J")); // cleared at the end
}

} // namespace
