#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace sonorix::test;

namespace {

// The locale the test runs in must not choose the language for it.
struct EnglishLocale {
    ScopedEnv language{"LANGUAGE", ""}, all{"LC_ALL", ""}, messages{"LC_MESSAGES", ""},
        lang{"LANG", "C.UTF-8"};
};

// The command lines of the usage text: "  NAME  SUMMARY", the first indented block (the
// options and exit statuses follow in blocks of their own).
std::vector<std::string> summaries(const std::string& out) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        std::string line = out.substr(start, end - start);
        if (line.rfind("  ", 0) == 0) {
            lines.push_back(line);
        } else if (line.empty() && !lines.empty()) {
            break;
        }
        start = end == std::string::npos ? out.size() : end + 1;
    }
    return lines;
}

std::string firstLine(const std::string& out) {
    return out.substr(0, out.find('\n'));
}

// True when the line holds name as a word of its own.
bool namesCommand(const std::string& line, const std::string& name) {
    for (size_t at = line.find(name); at != std::string::npos; at = line.find(name, at + 1)) {
        size_t end = at + name.size();
        if (at > 0 && line[at - 1] == ' ' && (end == line.size() || line[end] == ' ')) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(CliLanguage, HelpSpeaksTheChosenLanguage) {
    EnglishLocale locale;
    auto english = runCli({"--help"});
    EXPECT_EQ(english.status, 0);
    EXPECT_NE(english.out.find("Usage: sonorix-cli"), std::string::npos);
    EXPECT_NE(english.out.find("Show what an iTunes library file holds"), std::string::npos);

    auto german = runCli({"--language", "Deutsch", "--help"});
    EXPECT_EQ(german.status, 0);
    EXPECT_NE(german.out.find("Aufruf: sonorix-cli"), std::string::npos);
    EXPECT_NE(german.out.find("Befehle:"), std::string::npos);
    EXPECT_NE(german.out.find("Zeigt, was eine iTunes-Mediathekdatei enthält"), std::string::npos);
    EXPECT_EQ(german.out.find("Usage"), std::string::npos);

    // Any letter case, and the option may follow the command name.
    auto french = runCli({"nosuchcommand", "--language", "français"});
    EXPECT_EQ(french.status, 2);
    EXPECT_NE(french.err.find("commande inconnue 'nosuchcommand'"), std::string::npos);

    // Locale codes, as the environment spells them.
    EXPECT_NE(runCli({"--language", "de", "--help"}).out.find("Befehle:"), std::string::npos);
    EXPECT_NE(runCli({"--language", "ja_JP.UTF-8", "--help"}).out.find("コマンド:"),
              std::string::npos);
    EXPECT_NE(runCli({"--language", "en", "--help"}).out.find("Commands:"), std::string::npos);
}

// Commands are added by several people; a summary left untranslated falls back to English
// silently, so compare every summary line of each language with the English one.
TEST(CliLanguage, EveryCommandSummaryIsTranslated) {
    EnglishLocale locale;
    auto english = summaries(runCli({"--help"}).out);
    ASSERT_GE(english.size(), 5u);
    for (const char* language : {"Deutsch", "Français", "Nederlands", "Japanese", "Chinese"}) {
        auto translated = summaries(runCli({"--language", language, "--help"}).out);
        ASSERT_EQ(translated.size(), english.size()) << language;
        for (size_t i = 0; i < english.size(); ++i) {
            EXPECT_NE(translated[i], english[i]) << language << ": " << english[i];
        }
    }
}

// A command's own help is looked up like its summary and falls back to English just as
// silently; the commands are taken from the usage text so that new ones are covered.
TEST(CliLanguage, EveryCommandHelpIsTranslated) {
    EnglishLocale locale;
    std::vector<std::string> names;
    for (const auto& line : summaries(runCli({"--help"}).out)) {
        names.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    ASSERT_GE(names.size(), 5u);
    for (const auto& name : names) {
        auto english = runCli({name, "--help"});
        EXPECT_EQ(english.status, 0) << name;
        EXPECT_EQ(english.out.rfind("Usage: sonorix-cli", 0), 0u) << name;
        EXPECT_TRUE(namesCommand(firstLine(english.out), name)) << english.out;
        for (const char* language : {"Deutsch", "Français", "Nederlands", "Japanese", "Chinese"}) {
            auto translated = runCli({"--language", language, name, "--help"});
            EXPECT_EQ(translated.status, 0) << language << " " << name;
            EXPECT_EQ(translated.out.find("Usage:"), std::string::npos) << language << " " << name;
            EXPECT_NE(translated.out.find("sonorix-cli"), std::string::npos);
            EXPECT_TRUE(namesCommand(firstLine(translated.out), name)) << translated.out;
            EXPECT_NE(translated.out, english.out) << language << " " << name;
            EXPECT_EQ(translated.out.back(), '\n') << language << " " << name;
        }
    }

    auto adjust = runCli({"--language", "de", "adjust", "--help"}).out;
    EXPECT_NE(adjust.find("Aufruf: sonorix-cli [--library DATEI] adjust [--interactive]"),
              std::string::npos);
    EXPECT_NE(adjust.find("  group TITEL     die Titel einer Gruppe\n"), std::string::npos);
    EXPECT_NE(adjust.find("Exit-Status: 0 fertig"), std::string::npos);
    // The settings table is filled into the translated text.
    auto config = runCli({"--language", "de", "config", "--help"}).out;
    EXPECT_NE(config.find("  PerceivedLoudness        Zahl (Vorgabe 92)\n"), std::string::npos);
    EXPECT_NE(config.find("  UserInterfaceLanguage    Text (Vorgabe leer)\n"), std::string::npos);
    EXPECT_NE(config.find("\nLocationPrefixMap nimmt Paare VON NACH"), std::string::npos);
}

TEST(CliLanguage, TheLocaleChoosesWhenNoOptionIsGiven) {
    EnglishLocale locale;
    ScopedEnv lang("LANG", "nl_NL.UTF-8");
    auto dutch = runCli({"--help"});
    EXPECT_NE(dutch.out.find("Opdrachten:"), std::string::npos);
    ScopedEnv messages("LC_MESSAGES", "ja_JP.UTF-8");
    auto japanese = runCli({"--help"});
    EXPECT_NE(japanese.out.find("コマンド:"), std::string::npos);
}

TEST(CliLanguage, AnUnknownLanguageIsAUsageErrorThatListsTheChoices) {
    EnglishLocale locale;
    auto r = runCli({"--language", "Klingon", "--help"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown language 'Klingon'"), std::string::npos);
    EXPECT_NE(r.err.find("Chinese, Deutsch, English, Français, Japanese, Nederlands"),
              std::string::npos);
    EXPECT_EQ(runCli({"--language"}).status, 2);
    // An unknown code is not taken for English.
    EXPECT_EQ(runCli({"--language", "xx", "--help"}).status, 2);
}
