#include "support/TestSupport.h"

#include <gtest/gtest.h>

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
}
