// The console's result and error lines in another language: every line that holds text besides
// the data it shows (paths, titles, numbers) reads differently in German, while tab-separated rows
// stay as scripts read them.
#include "support/TestSupport.h"

#include "../model/LibraryFile.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <tuple>

using namespace sonorix::test;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

// Words that read the same in every language: names of formats and units, option keys and
// values, and the status words of 'list', which its help explains in each language.
const std::set<std::string> kSameEverywhere = {"dB",
                                               "ID3v2",
                                               "MP4",
                                               "iTunes",
                                               "true",
                                               "false",
                                               "sonorix",
                                               "cli",
                                               "tsv",
                                               "Sound",
                                               "Check",
                                               "xml",
                                               "OperationMode",
                                               "AlbumMode",
                                               "GaplessAlwaysAlbums",
                                               "CompilationsNotAlbums",
                                               "MultipleCDAlbums",
                                               "AdditionalPerceivedLoudness",
                                               "new",
                                               "adjusted",
                                               "value",
                                               "set",
                                               "measured",
                                               "no",
                                               "failed",
                                               "working"};

// True when the line holds a word of its own once the data are taken out.
bool holdsText(std::string line, const std::vector<std::string>& data) {
    for (const auto& d : data) {
        for (size_t at; !d.empty() && (at = line.find(d)) != std::string::npos;) {
            line.erase(at, d.size());
        }
    }
    static const std::regex word("[A-Za-z]{2,}");
    for (std::sregex_iterator it(line.begin(), line.end(), word), end; it != end; ++it) {
        if (!kSameEverywhere.count(it->str())) {
            return true;
        }
    }
    return false;
}

struct Console {
    TempDir dir;
    std::vector<std::string> data; // texts that are shown as they are

    Console() {
        writeFile(dir.file("lib.xml"),
                  libraryXml({track(0xA1).named("Alpha").by("Zed").on("Record"),
                              track(0xA2).named("Beta").by("Zed").on("Record").number(2), [] {
                                  auto t = track(0xA3).named("Clip");
                                  t.video = true;
                                  return t;
                              }()}));
        data = {dir.path(), "Alpha",     "Beta",      "Zed",        "Record",
                "Clip",     "Live Sets", "/nowhere/", "/elsewhere/"};
    }

    CommandResult run(const std::string& language, std::vector<std::string> args) {
        args.insert(args.begin(), {"--language", language});
        return runCliIn(dir, args);
    }

    // Runs the command in English and German; each English line with text of its own must read
    // differently in German, line for line. Returns the German result.
    CommandResult compare(const std::vector<std::string>& args) {
        auto english = run("en", args);
        auto german = run("de", args);
        std::string what;
        for (const auto& a : args) {
            what += " " + a;
        }
        EXPECT_EQ(german.status, english.status) << what;
        // A setting's key, as 'config' prints it before its value.
        static const std::regex setting("^([A-Za-z]+) +=");
        for (const auto& line : lines(english.out)) {
            std::smatch m;
            if (std::regex_search(line, m, setting)) {
                data.push_back(m[1]);
            }
        }
        // The live status lines ("Reading iTunes Library…") show only when the work takes a
        // while, so a loaded machine prints them in one run and not in the other.
        auto withoutStatus = [](std::vector<std::string> all, bool isErr) {
            if (isErr) {
                std::erase_if(all, [](const std::string& l) { return l.ends_with("…"); });
            }
            return all;
        };
        for (auto [en, de, isErr] :
             {std::tuple{english.out, german.out, false}, {english.err, german.err, true}}) {
            auto enLines = withoutStatus(lines(en), isErr);
            auto deLines = withoutStatus(lines(de), isErr);
            EXPECT_EQ(enLines.size(), deLines.size()) << what << "\n" << en << "\n" << de;
            for (size_t i = 0; i < std::min(enLines.size(), deLines.size()); ++i) {
                if (holdsText(enLines[i], data)) {
                    EXPECT_NE(deLines[i], enLines[i]) << what << ": untranslated";
                }
            }
        }
        return german;
    }
};

} // namespace

TEST(ConsoleLanguage, LibraryAndGroupCommandsSpeakTheChosenLanguage) {
    Console c;
    auto info = c.compare({"info"});
    EXPECT_NE(info.out.find("Persistente ID der Mediathek: A1B2C3D4E5F607"), std::string::npos);
    EXPECT_NE(info.out.find("In keiner Gruppe: 1 Video"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Gefundene Dateien: 0 von 2"), std::string::npos) << info.out;
    c.compare({"info", "extra"});
    c.compare({"--library", c.dir.file("missing.xml"), "info"});

    ASSERT_EQ(c.run("en", {"group-new", "Live Sets"}).status, 0);
    auto groups = c.compare({"groups"});
    EXPECT_EQ(lines(groups.out).at(0), "#\tName\tModus\tAlbenmodus\tTitel\tAlben");
    c.compare({"groups", "extra"});
    c.compare({"group-options", "--group", "Live Sets"});
    c.compare({"group-options", "--group", "No Such Group"});
    for (auto [option, value] : {std::pair{"--mode", "7"},
                                 {"--album-mode", "9"},
                                 {"--gapless-always", "maybe"},
                                 {"--additional", "loud"},
                                 {"--bogus", "1"}}) {
        c.compare({"group-options", option, value});
    }
    c.compare({"group-options", "--mode"});
    // Each album mode's name, the one the window does not offer included.
    for (const char* mode : {"0", "1", "2", "3"}) {
        c.compare({"group-options", "--group", "Live Sets", "--album-mode", mode});
    }
    auto list = c.compare({"list"});
    EXPECT_EQ(list.out.rfind("Gruppe: ", 0), 0u) << list.out;
    c.compare({"list", "--all"});
    c.compare({"list", "--sort", "colour"});
    c.compare({"list", "--bogus"});
    c.compare({"playlists"});
    c.compare({"playlists", "extra"});

    auto config = c.compare({"config"});
    EXPECT_NE(config.out.find("(Vorgabe)"), std::string::npos);
    c.compare({"config", "PerceivedLoudness"});
    c.compare({"config", "NoSuchSetting"});
    c.compare({"config", "LocationPrefixMap", "/nowhere/", "/elsewhere/"});
    c.compare({"config", "LocationPrefixMap", "/nowhere/"});
    c.compare({"config", "LocationPrefixMap", "", "/elsewhere/"});
    c.compare({"config", "PerceivedLoudness", "loud"});
    c.compare({"config", "PerceivedLoudness", "90", "91"});
    c.compare({"config", "PreventSleep", "maybe"});
    c.compare({"config", "StartButtonMode", "70000"});
}

TEST(ConsoleLanguage, FileCommandsSpeakTheChosenLanguage) {
    Console c;
    const std::string song = c.dir.file("song.mp3");
    ASSERT_TRUE(makeStereoMp3(song, "sine=frequency=440:duration=2"));
    ASSERT_TRUE(makeAudio(c.dir.file("short.wav"), "sine=d=0.02", {"-c:a", "pcm_s16le"}));
    writeFile(c.dir.file("notes.txt"), "not audio\n");
    const std::string missing = c.dir.file("missing.mp3");
    c.data.insert(c.data.end(), {"song.mp3", "missing.mp3", "short.wav", "notes.txt", "Hello"});

    c.compare({"tag", song});
    // Each language writes once; the second run finds the value in place.
    c.compare({"tag", "--set", "-2.5", song});
    auto shown = c.compare({"tag", song});
    EXPECT_NE(shown.out.find("Anpassung:  -2.50 dB"), std::string::npos) << shown.out;
    auto unchanged = c.compare({"tag", "--set", "-2.5", song});
    EXPECT_NE(unchanged.out.find("-2.50 dB, unverändert"), std::string::npos) << unchanged.out;
    auto changed = c.run("de", {"tag", "--set", "1", song});
    EXPECT_NE(changed.out.find(": -2.50 dB -> +1.00 dB, "), std::string::npos) << changed.out;
    EXPECT_NE(changed.out.find("geschrieben"), std::string::npos) << changed.out;
    c.compare({"tag", missing});
    c.compare({"tag", c.dir.file("notes.txt")});
    c.compare({"tag", "--set", "loud", song});
    c.compare({"tag", "--format", "xml", song});
    c.compare({"tag", "--bogus", song});
    c.compare({"tag"});

    // Tab-separated rows are the same in every language: scripts read them.
    for (auto args :
         std::vector<std::vector<std::string>>{{"tag", "--format", "tsv", song, missing},
                                               {"analyze", "--format", "tsv", song, missing}}) {
        EXPECT_EQ(c.run("de", args).out, c.run("en", args).out);
    }

    auto analyzed = c.compare({"analyze", song, missing, c.dir.file("short.wav")});
    EXPECT_NE(analyzed.out.find("dB, Spitze "), std::string::npos) << analyzed.out;
    EXPECT_NE(analyzed.out.find("Datei nicht gefunden"), std::string::npos) << analyzed.out;
    c.compare({"analyze", "--threads", "0", song});
    c.compare({"analyze", "--format", "xml", song});
    c.compare({"analyze", "--bogus"});
    c.compare({"analyze"});

    c.compare({"comment", "--set", "Hello", song});
    c.compare({"comment", song, missing, c.dir.file("notes.txt")});
    c.compare({"comment", "--bogus"});
    c.compare({"comment", "--set"});
    c.compare({"comment"});
}
