#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sonorix {

class PreferencesDialog;
class SonorixPreferences;

// What the Preferences dialog calls when the user changes a control. The main window implements
// it, usually by handing each call to a PreferenceRules.
class PreferencesController {
public:
    virtual ~PreferencesController() = default;

    // The slider's position in dB, while it moves and when it is released.
    virtual void masterVolumeChanged(double value, PreferencesDialog& dialog) = 0;
    virtual void resetManualAdjustmentsChanged(bool value) = 0;
    virtual void modifyCommentsChanged(bool value, PreferencesDialog& dialog) = 0;
    virtual void preventSleepChanged(bool value) = 0;
    virtual void languageChanged(const std::string& name) = 0;
    // Shows the settings in the dialog's controls, when it opens.
    virtual void fillDialog(PreferencesDialog& dialog) = 0;
    virtual void startButtonModeChanged(int index) = 0;
    // The dialog closed: pending changes are saved at once.
    virtual void dialogClosed() {}
};

// The settings' rules behind the dialog: each change is written to the settings at once and
// saved one second after the last change (so a slider drag saves once); a change that alters
// what the outline shows reloads it.
class PreferenceRules : public QObject, public PreferencesController {
    Q_OBJECT
public:
    // ask shows an alert and returns the index of the button chosen (0 is the default);
    // save writes the settings (empty: SonorixPreferences::save).
    struct Hooks {
        std::function<void()> reloadOutline;
        std::function<int(const std::string& title, const std::string& message,
                          const std::vector<std::string>& buttons)>
            ask;
        std::function<void()> save;
    };

    static constexpr int kSaveDelayMs = 1000;
    static constexpr double kMinimumVolume = 80;
    static constexpr double kMaximumVolume = 100;

    PreferenceRules(std::shared_ptr<SonorixPreferences> preferences, Hooks hooks,
                    QObject* parent = nullptr);

    void masterVolumeChanged(double value, PreferencesDialog& dialog) override;
    void resetManualAdjustmentsChanged(bool value) override;
    void modifyCommentsChanged(bool value, PreferencesDialog& dialog) override;
    void preventSleepChanged(bool value) override;
    void languageChanged(const std::string& name) override;
    void fillDialog(PreferencesDialog& dialog) override;
    void startButtonModeChanged(int index) override;
    void dialogClosed() override { saveNow(); }

    // Writes a pending save at once (the dialog closed, the application quits).
    void saveNow();
    bool savePending() const { return m_saveTimer.isActive(); }
    // How often the save timer was (re)started; tests read it.
    int saveTimerStarts() const { return m_saveTimerStarts; }

private:
    void restartSaveTimer();
    void save();
    void reloadOutline();

    std::shared_ptr<SonorixPreferences> m_preferences;
    Hooks m_hooks;
    QTimer m_saveTimer;
    int m_saveTimerStarts = 0;
};

} // namespace sonorix
