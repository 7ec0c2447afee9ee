#include "ui/PreferencesController.h"

#include "foundation/Localization.h"
#include "foundation/Text.h"
#include "model/SonorixPreferences.h"
#include "ui/PreferencesDialog.h"

#include <cmath>

namespace sonorix {

PreferenceRules::PreferenceRules(std::shared_ptr<SonorixPreferences> preferences, Hooks hooks,
                                 QObject* parent)
    : QObject(parent), m_preferences(std::move(preferences)), m_hooks(std::move(hooks)) {
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(kSaveDelayMs);
    connect(&m_saveTimer, &QTimer::timeout, this, &PreferenceRules::save);
}

void PreferenceRules::restartSaveTimer() {
    ++m_saveTimerStarts;
    m_saveTimer.start();
}

void PreferenceRules::save() {
    m_saveTimer.stop();
    if (m_hooks.save) {
        m_hooks.save();
    } else {
        m_preferences->save();
    }
}

void PreferenceRules::saveNow() {
    save();
}

void PreferenceRules::reloadOutline() {
    if (m_hooks.reloadOutline) {
        m_hooks.reloadOutline();
    }
}

void PreferenceRules::masterVolumeChanged(double value, PreferencesDialog& dialog) {
    const double rounded = std::round(std::clamp(value, kMinimumVolume, kMaximumVolume));
    const double previous = std::round(m_preferences->perceivedLoudness());
    m_preferences->setPerceivedLoudness(rounded);
    dialog.setMasterVolumeText(static_cast<int>(rounded));
    // The outline's status and adjustment depend on the target loudness, but only on its whole
    // dB: a drag within one dB changes nothing anyone can see.
    if (rounded != previous) {
        restartSaveTimer();
        reloadOutline();
    }
}

void PreferenceRules::resetManualAdjustmentsChanged(bool value) {
    m_preferences->setResetManualAdjustments(value);
    restartSaveTimer();
    reloadOutline();
}

void PreferenceRules::modifyCommentsChanged(bool value, PreferencesDialog& dialog) {
    if (!value) {
        auto& texts = Localization::shared();
        const auto table = Localization::kPreferencesLocalizable;
        const int choice =
            m_hooks.ask ? m_hooks.ask(texts.localizedString("NotModifyCommentsTitle", table),
                                      texts.localizedString("NotModifyCommentsText", table),
                                      {texts.localizedString("NotModifyComments_OK", table),
                                       texts.localizedString("NotModifyComments_Cancel", table)})
                        : 0;
        if (choice != 0) {
            dialog.setModifyComments(true);
            return;
        }
    }
    m_preferences->setModifyComments(value);
    restartSaveTimer();
    reloadOutline();
}

void PreferenceRules::preventSleepChanged(bool value) {
    m_preferences->setPreventSleep(value);
    restartSaveTimer();
}

void PreferenceRules::languageChanged(const std::string& name) {
    m_preferences->setUserInterfaceLanguage(toUtf16(name));
    restartSaveTimer();
}

void PreferenceRules::fillDialog(PreferencesDialog& dialog) {
    dialog.setMasterVolume(m_preferences->perceivedLoudness());
    dialog.setMasterVolumeText(static_cast<int>(std::round(m_preferences->perceivedLoudness())));
    dialog.setResetManualAdjustments(m_preferences->resetManualAdjustments());
    dialog.setModifyComments(m_preferences->modifyComments());
    dialog.setPreventSleep(m_preferences->preventSleep());
    std::string language = toUtf8(m_preferences->userInterfaceLanguage());
    if (language.empty()) {
        language = Localization::shared().currentLanguageName();
    }
    dialog.setLanguage(language);
    // Not configured (-1) shows the first entry without storing it.
    dialog.setStartButtonMode(std::max<int>(m_preferences->startButtonMode(), 0));
}

void PreferenceRules::startButtonModeChanged(int index) {
    // Saved when the dialog closes.
    m_preferences->setStartButtonMode(static_cast<int16_t>(index));
}

} // namespace sonorix
