#pragma once

#include <QDialog>

#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QSlider;

namespace sonorix {

class PreferencesController;

// The Preferences dialog: every control bound to one setting through the controller, which
// fills it when it opens. Changes take effect at once; nothing is undone on close.
class PreferencesDialog : public QDialog {
    Q_OBJECT
public:
    // The slider moves in tenths of a dB; the setting and the value text keep whole dB.
    static constexpr int kSliderStepsPerDb = 10;

    explicit PreferencesDialog(PreferencesController& controller, QWidget* parent = nullptr);

    // What the controller shows; none of these reports back as a change.
    void setMasterVolume(double dB);
    void setMasterVolumeText(int dB);
    void setResetManualAdjustments(bool on);
    void setModifyComments(bool on);
    void setPreventSleep(bool on);
    // Selects the language whose name equals name without regard to case.
    void setLanguage(const std::string& name);
    void setStartButtonMode(int index);

    QSlider* masterVolumeSlider() const { return m_volume; }
    QLabel* masterVolumeLabel() const { return m_volumeText; }
    QCheckBox* resetManualAdjustmentsBox() const { return m_resetManual; }
    QCheckBox* modifyCommentsBox() const { return m_modifyComments; }
    QCheckBox* preventSleepBox() const { return m_preventSleep; }
    QComboBox* startButtonList() const { return m_startMode; }
    QComboBox* languageList() const { return m_language; }

    void done(int result) override;

private:
    PreferencesController& m_controller;
    QSlider* m_volume = nullptr;
    QLabel* m_volumeText = nullptr;
    QCheckBox* m_resetManual = nullptr;
    QCheckBox* m_modifyComments = nullptr;
    QCheckBox* m_preventSleep = nullptr;
    QComboBox* m_startMode = nullptr;
    QComboBox* m_language = nullptr;
};

} // namespace sonorix
