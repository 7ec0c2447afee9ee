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
    auto summaries = [](const std::string& out) {
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < out.size()) {
            size_t end = out.find('\n', start);
            std::string line = out.substr(start, end - start);
            if (line.rfind("  ", 0) == 0) {
                lines.push_back(line);
            }
            start = end == std::string::npos ? out.size() : end + 1;
        }
        return lines;
    };
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
