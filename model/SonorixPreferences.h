#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sonorix {

class Value_dict;

// How a setting is stored in the preferences file.
enum class SettingType {
    Real,
    Boolean,
    Text,
    Integer16,
    LocationMap, // array of dictionaries with "From" and "To" texts
};

struct SettingInfo {
    const char* key;
    SettingType type;
    const char* defaultText; // the default as the console shows it
};

// Every setting a user may change, in the order the console lists them. "DEBUG.DebugMenu" stands
// for the "DebugMenu" entry of the "DEBUG" dictionary.
const std::vector<SettingInfo>& settingsTable();
const SettingInfo* findSetting(const std::string& key);

// The application-wide settings, one instance per run. Setters change the dictionary only;
// callers decide when to save.
class SonorixPreferences {
public:
    static constexpr const char* kFileName = "sonorix.plist";
    static constexpr const char* kSyncExclusionKey = "com.apple.PreferenceSync.ExcludeAllSyncKeys";

    SonorixPreferences();

    // Reads the file (or its ".tmp" left by an interrupted save); starts empty when there is
    // none. Marks the file excluded from preference sync, saving at once when it was not.
    void load(const std::string& path);
    // "sonorix.plist" in the per-user data folder.
    void load();
    // The same file read only: nothing is written or renamed, so a command may read the settings
    // while another instance holds the data folder.
    void read();
    // False (and a log line) when the file could not be written.
    bool save();

    const std::string& path() const { return m_path; }
    std::shared_ptr<Value_dict> root() const { return m_root; }

    double perceivedLoudness() const;
    void setPerceivedLoudness(double value);
    bool resetManualAdjustments() const;
    void setResetManualAdjustments(bool value);
    bool modifyComments() const;
    void setModifyComments(bool value);
    // ReplayGain tags beside the Sound Check text, and the only value of files that cannot
    // carry one (FLAC, Ogg).
    bool writeReplayGainTags() const;
    void setWriteReplayGainTags(bool value);
    // A positive adjustment is held to what the track's (or album's) peak allows unclipped.
    bool limitToPeak() const;
    void setLimitToPeak(bool value);
    bool preventSleep() const;
    void setPreventSleep(bool value);
    std::u16string userInterfaceLanguage() const;
    void setUserInterfaceLanguage(const std::u16string& value);
    bool directShow() const;
    void setDirectShow(bool value);
    bool debugMenu() const;
    void setDebugMenu(bool value);
    std::u16string ignoredUpdateVersion() const;
    void setIgnoredUpdateVersion(const std::u16string& value);
    bool dontShowQuickStartGuide() const;
    void setDontShowQuickStartGuide(bool value);
    int16_t startButtonMode() const;
    void setStartButtonMode(int16_t value);

    // Path of the iTunes library file; empty lets the iTunes connection find it.
    std::string iTunesLibraryXMLPath() const;
    void setITunesLibraryXMLPath(const std::string& value);
    // Address of the update check's version file; empty or absent: the build's default.
    std::string updateCheckURL() const;
    void setUpdateCheckURL(const std::string& value);
    // Location prefixes of the library import, tried in order: (from, to).
    std::vector<std::pair<std::string, std::string>> locationPrefixMap() const;
    void setLocationPrefixMap(const std::vector<std::pair<std::string, std::string>>& map);

    // A setting as text for display ("92", "true", ...); the default when absent.
    std::string displayValue(const SettingInfo& setting) const;
    // Stores a setting given as text; false with a reason when the text is not of its type.
    bool setFromText(const SettingInfo& setting, const std::vector<std::string>& values,
                     std::string& error);
    // Whether the file holds the setting itself (otherwise its default applies).
    bool isSet(const SettingInfo& setting) const;

private:
    std::shared_ptr<Value_dict> m_root;
    std::string m_path;
};

} // namespace sonorix
