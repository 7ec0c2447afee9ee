#include "model/SonorixPreferences.h"

#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "foundation/Value.h"
#include "model/ModelValues.h"
#include "model/SonorixModel.h"

#include <boost/lexical_cast.hpp>

#include <cstdio>

namespace sonorix {

namespace {

constexpr const char* kPerceivedLoudness = "PerceivedLoudness";
constexpr const char* kResetManualAdjustments = "ResetManualAdjustments";
constexpr const char* kModifyComments = "ModifyComments";
constexpr const char* kPreventSleep = "PreventSleep";
constexpr const char* kWriteReplayGainTags = "WriteReplayGainTags";
constexpr const char* kLimitToPeak = "LimitToPeak";
constexpr const char* kUserInterfaceLanguage = "UserInterfaceLanguage";
constexpr const char* kDirectShow = "DirectShow";
constexpr const char* kDebug = "DEBUG";
constexpr const char* kDebugMenu = "DebugMenu";
constexpr const char* kDebugMenuSetting = "DEBUG.DebugMenu";
constexpr const char* kIgnoredUpdateVersion = "IgnoredUpdateVersion";
constexpr const char* kDontShowQuickStartGuide = "DontShowQuickStartGuide";
constexpr const char* kStartButtonMode = "StartButtonMode";
constexpr const char* kLibraryXMLPath = "iTunesLibraryXMLPath";
constexpr const char* kLocationPrefixMap = "LocationPrefixMap";
constexpr const char* kUpdateCheckURL = "UpdateCheckURL";

std::string formatReal(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

bool parseBool(const std::string& text, bool& value) {
    if (text == "true" || text == "yes" || text == "1") {
        value = true;
        return true;
    }
    if (text == "false" || text == "no" || text == "0") {
        value = false;
        return true;
    }
    return false;
}

} // namespace

const std::vector<SettingInfo>& settingsTable() {
    static const std::vector<SettingInfo> table = {
        {kPerceivedLoudness, SettingType::Real, "92"},
        {kResetManualAdjustments, SettingType::Boolean, "true"},
        {kModifyComments, SettingType::Boolean, "true"},
        {kPreventSleep, SettingType::Boolean, "true"},
        {kWriteReplayGainTags, SettingType::Boolean, "false"},
        {kLimitToPeak, SettingType::Boolean, "false"},
        {kUserInterfaceLanguage, SettingType::Text, ""},
        {kDirectShow, SettingType::Boolean, "false"},
        {kDebugMenuSetting, SettingType::Boolean, "false"},
        {kIgnoredUpdateVersion, SettingType::Text, ""},
        {kDontShowQuickStartGuide, SettingType::Boolean, "false"},
        {kStartButtonMode, SettingType::Integer16, "-1"},
        {kLibraryXMLPath, SettingType::Text, ""},
        {kLocationPrefixMap, SettingType::LocationMap, ""},
        {kUpdateCheckURL, SettingType::Text, SONORIX_UPDATE_CHECK_URL},
    };
    return table;
}

const SettingInfo* findSetting(const std::string& key) {
    for (const auto& setting : settingsTable()) {
        if (key == setting.key) {
            return &setting;
        }
    }
    return nullptr;
}

SonorixPreferences::SonorixPreferences() : m_root(mv::newDict()) {}

void SonorixPreferences::load() {
    load(dataFolder() + "/" + kFileName);
}

void SonorixPreferences::read() {
    m_path = dataFolder() + "/" + kFileName;
    std::string readPath;
    m_root = mv::readPlist(m_path, readPath);
    if (!m_root) {
        m_root = mv::newDict();
    }
}

void SonorixPreferences::load(const std::string& path) {
    m_path = path;
    m_root = readOrKeepAside(path, "preferences");
    if (!mv::getBool(*m_root, kSyncExclusionKey, false)) {
        mv::setBool(*m_root, kSyncExclusionKey, true);
        save();
    }
}

bool SonorixPreferences::save() {
    if (m_path.empty()) {
        return false;
    }
    if (!mv::writePlist(*m_root, m_path, nullptr)) {
        writeLog("Could not save the preferences to >>%s<<.", m_path.c_str());
        return false;
    }
    return true;
}

double SonorixPreferences::perceivedLoudness() const {
    return mv::getDouble(*m_root, kPerceivedLoudness, 92.0);
}
void SonorixPreferences::setPerceivedLoudness(double value) {
    mv::setDouble(*m_root, kPerceivedLoudness, value);
}
bool SonorixPreferences::resetManualAdjustments() const {
    return mv::getBool(*m_root, kResetManualAdjustments, true);
}
void SonorixPreferences::setResetManualAdjustments(bool value) {
    mv::setBool(*m_root, kResetManualAdjustments, value);
}
bool SonorixPreferences::modifyComments() const {
    return mv::getBool(*m_root, kModifyComments, true);
}
void SonorixPreferences::setModifyComments(bool value) {
    mv::setBool(*m_root, kModifyComments, value);
}
bool SonorixPreferences::writeReplayGainTags() const {
    return mv::getBool(*m_root, kWriteReplayGainTags, false);
}
void SonorixPreferences::setWriteReplayGainTags(bool value) {
    mv::setBool(*m_root, kWriteReplayGainTags, value);
}
bool SonorixPreferences::limitToPeak() const {
    return mv::getBool(*m_root, kLimitToPeak, false);
}
void SonorixPreferences::setLimitToPeak(bool value) {
    mv::setBool(*m_root, kLimitToPeak, value);
}
bool SonorixPreferences::preventSleep() const {
    return mv::getBool(*m_root, kPreventSleep, true);
}
void SonorixPreferences::setPreventSleep(bool value) {
    mv::setBool(*m_root, kPreventSleep, value);
}
std::u16string SonorixPreferences::userInterfaceLanguage() const {
    return mv::getText(*m_root, kUserInterfaceLanguage);
}
void SonorixPreferences::setUserInterfaceLanguage(const std::u16string& value) {
    mv::setText(*m_root, kUserInterfaceLanguage, value);
}
bool SonorixPreferences::directShow() const {
    return mv::getBool(*m_root, kDirectShow, false);
}
void SonorixPreferences::setDirectShow(bool value) {
    mv::setBool(*m_root, kDirectShow, value);
}
bool SonorixPreferences::debugMenu() const {
    auto debug = mv::getDict(*m_root, kDebug);
    return debug && mv::getBool(*debug, kDebugMenu, false);
}
void SonorixPreferences::setDebugMenu(bool value) {
    mv::setBool(*mv::ensureDict(*m_root, kDebug), kDebugMenu, value);
}
std::u16string SonorixPreferences::ignoredUpdateVersion() const {
    return mv::getText(*m_root, kIgnoredUpdateVersion);
}
void SonorixPreferences::setIgnoredUpdateVersion(const std::u16string& value) {
    mv::setText(*m_root, kIgnoredUpdateVersion, value);
}
bool SonorixPreferences::dontShowQuickStartGuide() const {
    return mv::getBool(*m_root, kDontShowQuickStartGuide, false);
}
void SonorixPreferences::setDontShowQuickStartGuide(bool value) {
    mv::setBool(*m_root, kDontShowQuickStartGuide, value);
}
int16_t SonorixPreferences::startButtonMode() const {
    return mv::getInt16(*m_root, kStartButtonMode, -1);
}
void SonorixPreferences::setStartButtonMode(int16_t value) {
    mv::setInt32(*m_root, kStartButtonMode, value);
}
std::string SonorixPreferences::iTunesLibraryXMLPath() const {
    return toUtf8(mv::getText(*m_root, kLibraryXMLPath));
}
void SonorixPreferences::setITunesLibraryXMLPath(const std::string& value) {
    mv::setText(*m_root, kLibraryXMLPath, toUtf16(value));
}

std::string SonorixPreferences::updateCheckURL() const {
    std::string url = toUtf8(mv::getText(*m_root, kUpdateCheckURL));
    return url.empty() ? SONORIX_UPDATE_CHECK_URL : url;
}
void SonorixPreferences::setUpdateCheckURL(const std::string& value) {
    mv::setText(*m_root, kUpdateCheckURL, toUtf16(value));
}

std::vector<std::pair<std::string, std::string>> SonorixPreferences::locationPrefixMap() const {
    std::vector<std::pair<std::string, std::string>> map;
    auto array = mv::getArray(*m_root, kLocationPrefixMap);
    if (!array) {
        return map;
    }
    for (const auto& item : mv::items(*array)) {
        auto entry = mv::asDict(item);
        if (!entry) {
            continue;
        }
        std::string from = toUtf8(mv::getText(*entry, "From"));
        if (!from.empty()) {
            map.emplace_back(std::move(from), toUtf8(mv::getText(*entry, "To")));
        }
    }
    return map;
}

void SonorixPreferences::setLocationPrefixMap(
    const std::vector<std::pair<std::string, std::string>>& map) {
    if (map.empty()) {
        mv::remove(*m_root, kLocationPrefixMap);
        return;
    }
    auto array = mv::newArray();
    for (const auto& [from, to] : map) {
        auto entry = mv::newDict();
        mv::setText(*entry, "From", toUtf16(from));
        mv::setText(*entry, "To", toUtf16(to));
        mv::append(*array, std::static_pointer_cast<Value>(entry));
    }
    mv::setValue(*m_root, kLocationPrefixMap, std::static_pointer_cast<Value>(array));
}

bool SonorixPreferences::isSet(const SettingInfo& setting) const {
    if (std::string(setting.key) == kDebugMenuSetting) {
        auto debug = mv::getDict(*m_root, kDebug);
        return debug && mv::has(*debug, kDebugMenu);
    }
    return mv::has(*m_root, setting.key);
}

std::string SonorixPreferences::displayValue(const SettingInfo& setting) const {
    const std::string key = setting.key;
    switch (setting.type) {
    case SettingType::Real:
        return formatReal(mv::getDouble(*m_root, setting.key, std::stod(setting.defaultText)));
    case SettingType::Boolean: {
        bool fallback = std::string(setting.defaultText) == "true";
        bool value =
            key == kDebugMenuSetting ? debugMenu() : mv::getBool(*m_root, setting.key, fallback);
        return value ? "true" : "false";
    }
    case SettingType::Text:
        return isSet(setting) ? toUtf8(mv::getText(*m_root, setting.key)) : setting.defaultText;
    case SettingType::Integer16:
        return std::to_string(
            mv::getInt16(*m_root, setting.key, int16_t(std::stoi(setting.defaultText))));
    case SettingType::LocationMap: {
        std::string out;
        for (const auto& [from, to] : locationPrefixMap()) {
            out += (out.empty() ? "" : "\n") + from + " -> " + to;
        }
        return out;
    }
    }
    return std::string();
}

bool SonorixPreferences::setFromText(const SettingInfo& setting,
                                     const std::vector<std::string>& values, std::string& error) {
    const std::string key = setting.key;
    if (setting.type == SettingType::LocationMap) {
        // Pairs FROM TO; one empty argument clears the map.
        if (values.size() == 1 && values[0].empty()) {
            setLocationPrefixMap({});
            return true;
        }
        if (values.empty() || values.size() % 2 != 0) {
            error = Localization::shared().windowText(
                "LocationPrefixMap takes pairs: FROM TO [FROM TO ...]");
            return false;
        }
        std::vector<std::pair<std::string, std::string>> map;
        for (size_t i = 0; i < values.size(); i += 2) {
            if (values[i].empty()) {
                error = Localization::shared().windowText("a location prefix must not be empty");
                return false;
            }
            map.emplace_back(values[i], values[i + 1]);
        }
        setLocationPrefixMap(map);
        return true;
    }
    if (values.size() != 1) {
        error = formatString(Localization::shared().windowText("%s takes one value").c_str(),
                             key.c_str());
        return false;
    }
    const std::string& text = values[0];
    switch (setting.type) {
    case SettingType::Real:
        try {
            mv::setDouble(*m_root, setting.key, boost::lexical_cast<double>(text));
            return true;
        } catch (const boost::bad_lexical_cast&) {
            error = formatString(
                Localization::shared().windowText("%s takes a number, not '%s'").c_str(),
                key.c_str(), text.c_str());
            return false;
        }
    case SettingType::Boolean: {
        bool value = false;
        if (!parseBool(text, value)) {
            error = formatString(
                Localization::shared().windowText("%s takes true or false, not '%s'").c_str(),
                key.c_str(), text.c_str());
            return false;
        }
        if (key == kDebugMenuSetting) {
            setDebugMenu(value);
        } else {
            mv::setBool(*m_root, setting.key, value);
        }
        return true;
    }
    case SettingType::Text:
        try {
            mv::setText(*m_root, setting.key, toUtf16(text));
            return true;
        } catch (const TextConversionError&) {
            error = formatString(Localization::shared().windowText("%s takes UTF-8 text").c_str(),
                                 key.c_str());
            return false;
        }
    case SettingType::Integer16:
        try {
            mv::setInt32(*m_root, setting.key, boost::lexical_cast<int16_t>(text));
            return true;
        } catch (const boost::bad_lexical_cast&) {
            error = formatString(Localization::shared()
                                     .windowText("%s takes a whole number from -32768 to 32767, "
                                                 "not '%s'")
                                     .c_str(),
                                 key.c_str(), text.c_str());
            return false;
        }
    case SettingType::LocationMap:
        break;
    }
    return false;
}

} // namespace sonorix
