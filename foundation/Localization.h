#pragma once

#include "foundation/ResourceArchive.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sonorix {

// One parsed ".strings" table: key → text, both UTF-8.
using StringTable = std::map<std::string, std::string, std::less<>>;

// Parses a table in the old-style property-list dictionary form that our tables use: lines of
// "key" = "value"; with "{" and "}" around them. An entry may span lines (they are joined with a
// line break), "\n" is the only escape, and a later duplicate key replaces an earlier one.
StringTable parseStringsTable(std::string_view utf8);

// The interface texts, images and sounds of the application, from the resource archive, in the
// interface language the user chose. One per process (shared()); tests make their own over an
// archive of their own.
//
// Keys of window and menu texts are the English text with a leading "|"; message keys are
// symbolic. A text found nowhere is shown as its key (without the "|" for window texts).
class Localization {
public:
    static constexpr const char* kLocalizable = "Localizable.strings";
    static constexpr const char* kMenuLocalizable = "MenuLocalizable.strings";
    static constexpr const char* kPreferencesLocalizable = "PreferencesLocalizable.strings";
    static constexpr const char* kQuickStartGuideLocalizable = "QuickStartGuideLocalizable.strings";
    static constexpr const char* kVersionCheckLocalizable = "VersionCheckLocalizable.strings";
    static constexpr const char* kWindowLocalizable = "WindowLocalizable.strings";
    static constexpr const char* kWin32Localizable = "Win32Localizable.strings";

    // The tables of every language, in load order.
    static const std::vector<std::string>& tableNames();
    // The language folders, in load order; the first is the fallback language.
    static const std::vector<std::string>& languageFolders();

    explicit Localization(std::shared_ptr<ResourceArchive> archive);

    // The process-wide object over the embedded archive, with every language loaded and the
    // language of the user's locale chosen.
    static Localization& shared();

    // Loads every language folder that the archive holds (missing tables are empty).
    void loadLanguages();

    // Makes the language of the locale current (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), then the
    // named language when the name is non-empty and names a loaded language.
    void chooseLanguage(const std::string& displayName = {});

    // The default language's folder for a locale name such as "de_AT.UTF-8" (or "zh_CN").
    static std::string folderForLocale(std::string_view locale);
    // The locale the environment asks for: the first non-empty of LANGUAGE (its first entry),
    // LC_ALL, LC_MESSAGES and LANG.
    static std::string environmentLocale();

    // Makes a loaded language current; false (and nothing changes) for an unknown name.
    bool setLanguage(const std::string& displayName);
    // The loaded language whose display name equals name without regard to ASCII case, or
    // whose locale code it is ("de", "zh_CN"), as stored; empty when there is none.
    std::string languageNamed(std::string_view name) const;

    // The lookup, UTF-8 in and out. Without a table every table but the menu table is searched
    // and the table whose name sorts last wins.
    std::string localizedString(std::string_view key, std::string_view table = {},
                                std::string_view secondTable = {}) const;
    std::u16string localizedString(std::u16string_view key) const;

    // A window text: the lookup of "|" + text.
    std::string windowText(std::string_view englishText) const;
    // A menu item text: the menu table (or the window table), then the platform table.
    std::string menuText(std::string_view englishText, bool useWindowTable = false) const;

    // An entry at the archive's root; empty when missing.
    ResourceArchive::Bytes resourceData(std::string_view name) const;
    // An entry inside the current language's folder; empty when missing.
    ResourceArchive::Bytes localizedResourceData(std::string_view name) const;
    // An image: a leading "|" asks for the current language's image; ".png" is appended unless
    // the name ends in ".tiff" or ".tif".
    ResourceArchive::Bytes imageData(std::string_view name) const;

    // The root entry written to a file in a private per-user folder, for consumers that need a
    // path. Empty when the entry is missing or cannot be written.
    std::string resourceFile(std::string_view name) const;

    bool smallFont() const;
    std::string currentLanguageCode() const; // "MyLanguage"
    std::string currentLanguageName() const; // "|UILanguage"
    // Display names of the loaded languages, sorted.
    std::vector<std::string> languageNames() const;

private:
    struct Language {
        std::string folder;
        std::string code;
        std::string displayName;
        bool smallFont = false;
        std::map<std::string, StringTable, std::less<>> tables;
    };

    const std::string* find(const Language& language, std::string_view key, std::string_view table,
                            std::string_view secondTable) const;
    const std::string* findIn(const Language* current, std::string_view key, std::string_view table,
                              std::string_view secondTable) const;
    const Language* byFolder(std::string_view folder) const;
    std::string folderPrefix(std::string_view folder) const;

    std::shared_ptr<ResourceArchive> m_archive;
    std::vector<Language> m_languages; // load order; the first English one is the fallback
    const Language* m_fallback = nullptr;
    const Language* m_current = nullptr;
    mutable std::mutex m_mutex; // the current language
};

// Fills a localized printf format. Every translation keeps the conversions of the English text in
// the same order, so the arguments that fit the English text fit every language.
std::string formatString(const char* format, ...);

// The lookup through the process-wide object.
std::string localizedString(std::string_view key, std::string_view table = {},
                            std::string_view secondTable = {});

// The folder for files written by resourceFile: $XDG_RUNTIME_DIR/sonorix, or a fresh folder of
// mode 0700 under the temporary folder. Owned by the user and not reachable by others.
std::string privateTemporaryFolder();

} // namespace sonorix
