#pragma once

#include "model/AlbumRules.h"

#include <QString>
#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QSlider;
class QTimer;

namespace sonorix {

class SonorixController;

// What the options pane shows for a group: every tick, enable state and text in one place.
struct GroupOptionsView {
    int operationIndex = 0;
    int albumIndex = 0;
    bool albumEnabled = true;
    bool gaplessChecked = false;
    bool gaplessEnabled = false;
    bool compilationsChecked = false;
    bool compilationsEnabled = false;
    bool multiCDChecked = false;
    bool multiCDEnabled = false;
    bool multiCDGapless = false; // the box reads "Combine Gapless Multiple CD Albums"
    int sliderPosition = 0;      // tenths of a dB
    bool sliderEnabled = false;
    QString valueText;

    // processing: any processor runs, which locks every control.
    static GroupOptionsView of(const OptionQueries& options, bool processing);
};

// The slider's value for a position: 0.1 dB steps, with anything within 0.01 of 0 being 0.
double additionalAdjustmentForPosition(double position);

// The current group's options. Changes are stored in the group at once; a slider move reloads
// the outline only once the slider rested for 0.2 s.
class GroupOptionsPane : public QWidget {
    Q_OBJECT
public:
    explicit GroupOptionsPane(SonorixController& controller, QWidget* parent = nullptr);

    // Shows the current group's options (nothing while no group is current).
    void update();
    const GroupOptionsView& shown() const { return m_shown; }

    // Tests reach the controls through these.
    QComboBox* operationPopUp() const { return m_operation; }
    QComboBox* albumPopUp() const { return m_albums; }
    QCheckBox* gaplessBox() const { return m_gapless; }
    QCheckBox* compilationsBox() const { return m_compilations; }
    QCheckBox* multiCDBox() const { return m_multiCD; }
    QSlider* slider() const { return m_slider; }
    QLabel* valueLabel() const { return m_value; }

signals:
    // After a change of the adjustment mode: the groups list shows the mode's icon.
    void operationModeChanged();

private:
    void optionChanged(const std::function<void(class SonorixOptions&)>& store, bool modeChange);
    void sliderMoved(int position);
    void reloadAfterRest();

    SonorixController& m_controller;
    QComboBox* m_operation;
    QComboBox* m_albums;
    QCheckBox* m_gapless;
    QCheckBox* m_compilations;
    QCheckBox* m_multiCD;
    QSlider* m_slider;
    QLabel* m_value;
    QTimer* m_rest;
    GroupOptionsView m_shown;
    bool m_updating = false;
};

} // namespace sonorix
