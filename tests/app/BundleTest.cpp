// Checks the archive that ships inside the executables: every language complete, printf
// conversions that match English, and the images and sounds the views ask for.
#include "ZipBuilder.h"
#include "foundation/Localization.h"

#include <gtest/gtest.h>

#include <set>

using namespace sonorix;
using namespace sonorix::test;

namespace {

StringTable table(const std::string& folder, const std::string& name) {
    auto bytes = ResourceArchive::embedded()->entry(folder + "/" + name);
    return parseStringsTable(asText(bytes));
}

// The conversions of a printf format in order ("%%" included). A "%" followed by a blank is
// text such as "0% setzen", since none of our formats uses the blank flag.
std::vector<std::string> conversions(const std::string& text) {
    auto in = [](char c, std::string_view set) { return set.find(c) != std::string_view::npos; };
    std::vector<std::string> out;
    for (std::size_t i = text.find('%'); i != std::string::npos; i = text.find('%', i + 1)) {
        std::size_t j = i + 1;
        while (j < text.size() && in(text[j], "-+#0123456789.hlLzjt")) {
            ++j;
        }
        if (j < text.size() && in(text[j], "diouxXeEfFgGaAcsp%")) {
            out.push_back(text.substr(i, j + 1 - i));
            i = j;
        }
    }
    return out;
}

const std::vector<std::pair<std::string, std::string>> kLanguages = {
    {"English.lproj", "en"}, {"German.lproj", "de"},   {"French.lproj", "fr"},
    {"Dutch.lproj", "du"},   {"Japanese.lproj", "jp"}, {"zh_cn.lproj", "zh"},
};

} // namespace

TEST(Bundle, EveryLanguageHasEveryEnglishKeyWithTheSameConversions) {
    for (const auto& name : Localization::tableNames()) {
        auto english = table("English.lproj", name);
        ASSERT_FALSE(english.empty()) << name;
        for (const auto& [folder, code] : kLanguages) {
            auto other = table(folder, name);
            for (const auto& [key, text] : english) {
                auto it = other.find(key);
                if (it == other.end()) {
                    ADD_FAILURE() << folder << "/" << name << " lacks \"" << key << "\"";
                    continue;
                }
                EXPECT_EQ(conversions(it->second), conversions(text))
                    << folder << "/" << name << " \"" << key << "\"";
                EXPECT_FALSE(it->second.empty()) << folder << "/" << name << " \"" << key << "\"";
            }
            for (const auto& [key, text] : other) {
                EXPECT_TRUE(english.count(key)) << folder << "/" << name << " has the extra \""
                                                << key << "\" that English lacks";
            }
        }
    }
}

TEST(Bundle, LoadsSixLanguagesWithTheirCodesAndNames) {
    Localization l10n(ResourceArchive::embedded());
    l10n.loadLanguages();
    EXPECT_EQ(l10n.languageNames(),
              (std::vector<std::string>{"Chinese", "Deutsch", "English", "Français", "Japanese",
                                        "Nederlands"}));
    std::map<std::string, std::pair<std::string, bool>> expected = {
        {"English", {"en", false}},    {"Deutsch", {"de", false}}, {"Français", {"fr", false}},
        {"Nederlands", {"du", false}}, {"Japanese", {"jp", true}}, {"Chinese", {"zh", true}},
    };
    for (const auto& [name, codeAndFont] : expected) {
        ASSERT_TRUE(l10n.setLanguage(name)) << name;
        EXPECT_EQ(l10n.currentLanguageCode(), codeAndFont.first);
        EXPECT_EQ(l10n.smallFont(), codeAndFont.second) << name;
    }
}

TEST(Bundle, EnglishTextsAreTheSystemsOwn) {
    Localization l10n(ResourceArchive::embedded());
    l10n.loadLanguages();
    ASSERT_TRUE(l10n.setLanguage("English"));
    EXPECT_EQ(l10n.localizedString("StatusFormatString"),
              "%d Tracks combined to %d Adjustment Groups");
    EXPECT_EQ(l10n.localizedString("StartConfigurable_Message"),
              "Please note that the default behaviour of the Start button can be configured in "
              "the Preferences dialog of Sonorix.\nYou can also quickly choose another behaviour "
              "when doing a right click a Control click or a long left click on the Start "
              "button.");
    EXPECT_EQ(l10n.windowText("Speed"), "Speed");
    EXPECT_EQ(l10n.menuText("Quick Start Guide"), "Important Notice");
    EXPECT_EQ(l10n.menuText("Create New Group…"), "New Group");
    EXPECT_EQ(l10n.windowText("Lower"), "Low");
    EXPECT_EQ(l10n.windowText("StartButtonAdjustsWin"), "Start Button Processes:");
    EXPECT_EQ(l10n.windowText("Version %s."), "Version %s");
    EXPECT_EQ(l10n.localizedString("Analyzing[left]") + "x" +
                  l10n.localizedString("Analyzing[right]"),
              "Analyzing “x”");
    EXPECT_EQ(l10n.localizedString("Error_File_TooLarge"), "File Too Large");
    EXPECT_EQ(l10n.localizedString("AlbumName_GaplessMultiCDCompilation"),
              "Gapless Multi-CD Compilation");
    ASSERT_TRUE(l10n.setLanguage("Deutsch"));
    EXPECT_EQ(l10n.windowText("Speed"), "Tempo");
    EXPECT_EQ(l10n.menuText("Exit"), "Beenden");
}

TEST(Bundle, HoldsTheIconsAndTheChime) {
    Localization l10n(ResourceArchive::embedded());
    std::vector<std::string> icons = {"success",     "warning",     "GroupAutomatic",
                                      "GroupManual", "GroupIgnore", "GroupDefault"};
    for (int i = 1; i <= 20; ++i) {
        icons.push_back("progress" + std::to_string(i));
    }
    for (const auto& icon : icons) {
        for (const std::string suffix : {"", "_white"}) {
            std::string png = asText(l10n.imageData(icon + suffix));
            ASSERT_GT(png.size(), 33u) << icon << suffix;
            EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n") << icon << suffix;
            EXPECT_EQ(png.substr(12, 4), "IHDR");
            EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\x10\0\0\0\x10", 8)); // 16 × 16
        }
    }
    std::string wav = asText(l10n.resourceData("finished.wav"));
    ASSERT_GT(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(wav.substr(8, 4), "WAVE");
}
