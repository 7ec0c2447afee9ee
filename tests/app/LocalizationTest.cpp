#include "foundation/Localization.h"
#include "ZipBuilder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace sonorix;
using namespace sonorix::test;

TEST(StringsTable, JoinsMultiLineEntriesAndTurnsBackslashNIntoLineBreaks) {
    auto table = parseStringsTable("{\n"
                                   "\"One\" = \"first line\n"
                                   "   second line  \n"
                                   "third\";\n"
                                   "\"StartConfigurable_Message\" = \"above\\nbelow\";\n"
                                   "\"Tab\" = \"a\\tb \\\\ c\";\n"
                                   "}\n");
    EXPECT_EQ(table["One"], "first line\nsecond line\nthird"); // lines are trimmed, then joined
    EXPECT_EQ(table["StartConfigurable_Message"], "above\nbelow");
    EXPECT_EQ(table["Tab"], "a\\tb \\\\ c"); // no other escape is interpreted
    EXPECT_EQ(table.size(), 3u);
}

TEST(StringsTable, SplitsAtTheFirstSeparatorAndKeepsInnerQuotes) {
    auto table = parseStringsTable("\"Quote\" = \"He said \"hi\" = \"bye\"\";\r\n"
                                   "  \"|Exit\"  =  \"ignored: blanks differ\";\n"
                                   "\"|Exit\" = \"Exit\";\n"
                                   "\"Dup\" = \"old\";\n"
                                   "\"Dup\" = \"new\";\n"
                                   "\"Empty\" = \"\";\n"
                                   "\"Tail\" = \"never ends");
    EXPECT_EQ(table["Quote"], "He said \"hi\" = \"bye\"");
    // The malformed line is absorbed into the next entry; the key starts after its first quote.
    EXPECT_EQ(table.count("|Exit"), 0u);
    EXPECT_EQ(table["|Exit\"  =  \"ignored: blanks differ\";\n\"|Exit"], "Exit");
    EXPECT_EQ(table["Dup"], "new");
    EXPECT_EQ(table["Empty"], "");
    EXPECT_EQ(table.count("Tail"), 0u);
}

TEST(StringsTable, InvalidUtf8IsReplacedNotKept) {
    auto table = parseStringsTable("\"Bad\" = \"a\xFF"
                                   "b\";\n\"Good\" = \"Fran\xC3\xA7"
                                   "ais\";");
    EXPECT_EQ(table["Bad"], "a\xEF\xBF\xBD"
                            "b");
    EXPECT_EQ(table["Good"], "Fran\xC3\xA7"
                             "ais");
}

namespace {

std::string strings(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string s = "{\n";
    for (const auto& [k, v] : entries) {
        s += "\"" + k + "\" = \"" + v + "\";\n";
    }
    return s + "}\n";
}

// The locale variables cleared, so that a test states the one it means.
struct Locale {
    explicit Locale(const std::string& lang)
        : language("LANGUAGE", ""), all("LC_ALL", ""), messages("LC_MESSAGES", ""),
          lang("LANG", lang) {}
    ScopedEnv language, all, messages, lang;
};

// English, German and Chinese (stored as "zh_CN.lproj", as the real archive does).
std::shared_ptr<ResourceArchive> testArchive() {
    return ResourceArchive::fromBytes(makeZip({
        {"English.lproj/Localizable.strings", strings({{"MyLanguage", "en"},
                                                       {"Speed", "Speed"},
                                                       {"OnlyEnglish", "english"},
                                                       {"Both", "en-local"},
                                                       {"Shared", "en-local"}})},
        {"English.lproj/PreferencesLocalizable.strings",
         strings({{"Shared", "en-prefs"}, {"|Language:", "Language:"}})},
        {"English.lproj/WindowLocalizable.strings", strings({{"Shared", "en-window"}})},
        {"English.lproj/MenuLocalizable.strings",
         strings({{"|Exit", "Exit"}, {"MenuOnly", "menu"}})},
        {"English.lproj/Win32Localizable.strings",
         strings({{"|UILanguage", "English"}, {"|Reveal", "Show in Files"}})},
        {"English.lproj/logo.png", "english logo"},
        {"German.lproj/Localizable.strings",
         strings({{"MyLanguage", "de"}, {"Speed", "Tempo"}, {"Both", "de-local"}})},
        {"German.lproj/MenuLocalizable.strings", strings({{"|Exit", "Beenden"}})},
        {"German.lproj/Win32Localizable.strings", strings({{"|UILanguage", "Deutsch"}})},
        {"German.lproj/logo.png", "german logo"},
        {"zh_CN.lproj/Localizable.strings", strings({{"MyLanguage", "zh"}, {"Speed", "速度"}})},
        {"zh_CN.lproj/Win32Localizable.strings", strings({{"|UILanguage", "Chinese"}})},
        {"finished.wav", "RIFF"},
        {"Triangle.tiff", "tiff image"},
        {"success.png", "png image"},
    }));
}

std::unique_ptr<Localization> loaded(const std::string& lang, const std::string& setting = {}) {
    Locale locale(lang);
    auto l10n = std::make_unique<Localization>(testArchive());
    l10n->loadLanguages();
    l10n->chooseLanguage(setting);
    return l10n;
}

} // namespace

TEST(Localization, LoadsTheFoldersAndFindsTheChineseOneWhateverItsCase) {
    auto l10n = loaded("C");
    EXPECT_EQ(l10n->languageNames(), (std::vector<std::string>{"Chinese", "Deutsch", "English"}));
    ASSERT_TRUE(l10n->setLanguage("Chinese"));
    EXPECT_EQ(l10n->currentLanguageCode(), "zh");
    EXPECT_TRUE(l10n->smallFont());
    EXPECT_EQ(l10n->localizedString("Speed"), "速度");
}

TEST(Localization, UntabledLookupLetsTheLastTableByNameWinAndSkipsTheMenu) {
    auto l10n = loaded("en_US.UTF-8");
    // Localizable < PreferencesLocalizable < WindowLocalizable by name.
    EXPECT_EQ(l10n->localizedString("Shared"), "en-window");
    EXPECT_EQ(l10n->localizedString("Shared", Localization::kPreferencesLocalizable), "en-prefs");
    EXPECT_EQ(l10n->localizedString("MenuOnly"), "MenuOnly");
    EXPECT_EQ(l10n->localizedString("MenuOnly", Localization::kMenuLocalizable), "menu");
    // A menu item: the menu table, then the platform table.
    EXPECT_EQ(l10n->menuText("Exit"), "Exit");
    EXPECT_EQ(l10n->menuText("Reveal"), "Show in Files");
    EXPECT_EQ(l10n->localizedString("|Reveal", Localization::kMenuLocalizable), "Reveal");
}

TEST(Localization, FallsBackToEnglishThenToThePlainTextThenToTheKey) {
    auto l10n = loaded("de_DE.UTF-8");
    ASSERT_EQ(l10n->currentLanguageCode(), "de");
    EXPECT_FALSE(l10n->smallFont());
    EXPECT_EQ(l10n->localizedString("Both"), "de-local");
    EXPECT_EQ(l10n->localizedString("OnlyEnglish"), "english");
    EXPECT_EQ(l10n->menuText("Exit"), "Beenden");
    EXPECT_EQ(l10n->windowText("Speed"), "Tempo"); // "|Speed" is nowhere, "Speed" is
    EXPECT_EQ(l10n->windowText("Language:"), "Language:");
    EXPECT_EQ(l10n->localizedString("iTunesTooOld_Title"), "iTunesTooOld_Title");
    // A window text no table knows is shown as written, never with its "|".
    EXPECT_EQ(l10n->windowText("Unknown Button"), "Unknown Button");
    EXPECT_EQ(l10n->localizedString("|"), "");
    EXPECT_EQ(l10n->localizedString(""), "");
}

TEST(Localization, DefaultLanguageComesFromTheLocale) {
    EXPECT_EQ(loaded("es_ES.UTF-8")->currentLanguageCode(), "en"); // Spanish user
    EXPECT_EQ(loaded("C")->currentLanguageCode(), "en");
    EXPECT_EQ(loaded("")->currentLanguageCode(), "en");
    EXPECT_EQ(loaded("de_AT")->currentLanguageCode(), "de");
    EXPECT_EQ(loaded("zh_TW.UTF-8")->currentLanguageCode(), "zh");
    // A language whose folder the archive lacks falls back to English.
    EXPECT_EQ(loaded("fr_FR.UTF-8")->currentLanguageCode(), "en");
    {
        Locale locale("en_GB.UTF-8");
        ScopedEnv messages("LC_MESSAGES", "de_CH.UTF-8");
        Localization l10n(testArchive());
        l10n.loadLanguages();
        l10n.chooseLanguage();
        EXPECT_EQ(l10n.currentLanguageCode(), "de"); // LC_MESSAGES before LANG
    }
    {
        Locale locale("de_DE.UTF-8");
        ScopedEnv language("LANGUAGE", "zh_CN:de");
        EXPECT_EQ(Localization::environmentLocale(), "zh_CN"); // the first wish of the list
    }
    EXPECT_EQ(Localization::folderForLocale("ja_JP.eucJP"), "Japanese.lproj");
    EXPECT_EQ(Localization::folderForLocale("nl_BE@euro"), "Dutch.lproj");
    EXPECT_EQ(Localization::folderForLocale("FR"), "French.lproj");
}

TEST(Localization, TheLanguageSettingWinsOverTheLocaleWhenItNamesALoadedLanguage) {
    EXPECT_EQ(loaded("es_ES.UTF-8", "Deutsch")->currentLanguageCode(), "de");
    EXPECT_EQ(loaded("de_DE.UTF-8", "Klingon")->currentLanguageCode(), "de");
    EXPECT_EQ(loaded("de_DE.UTF-8", "English")->currentLanguageCode(), "en");
    auto l10n = loaded("C");
    EXPECT_FALSE(l10n->setLanguage("deutsch")); // the setting names it exactly
    EXPECT_EQ(l10n->languageNamed("deutsch"), "Deutsch");
    EXPECT_EQ(l10n->languageNamed("Français"), "");
}

TEST(Localization, ResourceLookupsAndImageNames) {
    auto l10n = loaded("de_DE");
    EXPECT_EQ(asText(l10n->resourceData("FINISHED.wav")), "RIFF");
    EXPECT_EQ(asText(l10n->localizedResourceData("logo.png")), "german logo");
    EXPECT_EQ(asText(l10n->imageData("|logo")), "german logo");
    EXPECT_EQ(asText(l10n->imageData("success")), "png image");
    EXPECT_EQ(asText(l10n->imageData("Triangle.tiff")), "tiff image");
    EXPECT_TRUE(l10n->imageData("Triangle").empty()); // "Triangle.png" is not there
    EXPECT_TRUE(l10n->resourceData("nothing.wav").empty());
    EXPECT_TRUE(l10n->localizedResourceData("Localizable.strings").size() > 0);
    EXPECT_TRUE(l10n->localizedResourceData("nothing.png").empty());
}

TEST(Localization, AnArchiveWithoutLanguagesAnswersWithKeysAndEmptyData) {
    for (auto bytes : {makeZip({{"other.txt", "x"}}), std::vector<std::uint8_t>{1, 2, 3}}) {
        Locale locale("de_DE");
        Localization l10n(ResourceArchive::fromBytes(bytes));
        l10n.loadLanguages();
        l10n.chooseLanguage("Deutsch");
        EXPECT_EQ(l10n.localizedString("StatusFormatString"), "StatusFormatString");
        EXPECT_EQ(l10n.windowText("Exit"), "Exit");
        EXPECT_EQ(l10n.currentLanguageCode(), "");
        EXPECT_FALSE(l10n.smallFont());
        EXPECT_TRUE(l10n.languageNames().empty());
        EXPECT_TRUE(l10n.localizedResourceData("logo.png").empty());
        EXPECT_TRUE(l10n.resourceFile("finished.wav").empty());
    }
}

TEST(Localization, ResourceFilesGoToAPrivateFolderAndNeverFollowALink) {
    auto l10n = loaded("C");
    std::string path = l10n->resourceFile("finished.wav");
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(readFile(path), "RIFF");
    std::string folder = path.substr(0, path.rfind('/'));
    EXPECT_EQ(folder, privateTemporaryFolder());
    struct stat st {};
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(st.st_uid, geteuid());

    // A link planted at the file's name is replaced; the file it points to stays untouched.
    TempDir victimDir;
    std::string victim = victimDir.file("victim");
    writeFile(victim, "precious");
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    EXPECT_EQ(l10n->resourceFile("finished.wav"), path);
    EXPECT_EQ(readFile(victim), "precious");
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readFile(path), "RIFF");

    // Entries in folders get distinct names.
    std::string german = l10n->resourceFile("German.lproj/logo.png");
    std::string english = l10n->resourceFile("English.lproj/logo.png");
    EXPECT_NE(german, english);
    EXPECT_EQ(readFile(german), "german logo");
    EXPECT_TRUE(l10n->resourceFile("missing.wav").empty());
}
