#include "ui/PreferencesDialog.h"

#include "foundation/Localization.h"
#include "ui/PreferencesController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <cmath>

namespace sonorix {
namespace {

QString windowText(const char* english) {
    return QString::fromStdString(Localization::shared().windowText(english));
}

} // namespace

PreferencesDialog::PreferencesDialog(PreferencesController& controller, QWidget* parent)
    : QDialog(parent), m_controller(controller) {
    setObjectName(QStringLiteral("PreferencesDialog"));
    setWindowTitle(windowText("Sonorix Preferences"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);

    // Master volume: caption and value text above the slider, the three marks below it.
    auto* volumeRow = new QHBoxLayout();
    volumeRow->addWidget(new QLabel(windowText("Master Volume:"), this));
    volumeRow->addStretch(1);
    m_volumeText = new QLabel(this);
    m_volumeText->setObjectName(QStringLiteral("masterVolumeText"));
    volumeRow->addWidget(m_volumeText);
    layout->addLayout(volumeRow);

    m_volume = new QSlider(Qt::Horizontal, this);
    m_volume->setObjectName(QStringLiteral("masterVolume"));
    m_volume->setRange(static_cast<int>(PreferenceRules::kMinimumVolume) * kSliderStepsPerDb,
                       static_cast<int>(PreferenceRules::kMaximumVolume) * kSliderStepsPerDb);
    m_volume->setSingleStep(kSliderStepsPerDb);
    m_volume->setPageStep(kSliderStepsPerDb * 2);
    m_volume->setTickInterval(kSliderStepsPerDb * 10);
    m_volume->setTickPosition(QSlider::TicksBelow);
    layout->addWidget(m_volume);

    auto* marks = new QGridLayout();
    auto* low = new QLabel(windowText("Lower"), this);
    auto* normal = new QLabel(windowText("Normal"), this);
    auto* high = new QLabel(windowText("Louder"), this);
    marks->addWidget(low, 0, 0, Qt::AlignLeft);
    marks->addWidget(normal, 0, 1, Qt::AlignHCenter);
    marks->addWidget(high, 0, 2, Qt::AlignRight);
    marks->setColumnStretch(0, 1);
    marks->setColumnStretch(1, 1);
    marks->setColumnStretch(2, 1);
    layout->addLayout(marks);
    layout->addSpacing(8);

    m_resetManual = new QCheckBox(windowText("Reset Manual Adjustments to 0%"), this);
    m_modifyComments = new QCheckBox(windowText("Modify Comments"), this);
    m_preventSleep = new QCheckBox(
        windowText("Prevent Computer From Going to Sleep While Processing Tracks"), this);
    m_resetManual->setObjectName(QStringLiteral("resetManualAdjustments"));
    m_modifyComments->setObjectName(QStringLiteral("modifyComments"));
    m_preventSleep->setObjectName(QStringLiteral("preventSleep"));
    layout->addWidget(m_resetManual);
    layout->addWidget(m_modifyComments);
    layout->addWidget(m_preventSleep);
    layout->addSpacing(8);

    auto* form = new QFormLayout();
    m_startMode = new QComboBox(this);
    m_startMode->setObjectName(QStringLiteral("startButtonMode"));
    for (const char* item : {"All Tracks", "Tracks of Current Group", "Tracks Selected in Sonorix",
                             "Tracks Selected in iTunes"}) {
        m_startMode->addItem(windowText(item));
    }
    form->addRow(windowText("StartButtonAdjustsWin"), m_startMode);
    m_language = new QComboBox(this);
    m_language->setObjectName(QStringLiteral("language"));
    for (const auto& name : Localization::shared().languageNames()) {
        m_language->addItem(QString::fromStdString(name));
    }
    form->addRow(windowText("Language:"), m_language);
    layout->addLayout(form);

    auto* notice = new QLabel(windowText("LanguageNotice"), this);
    notice->setWordWrap(true);
    QFont small = notice->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    notice->setFont(small);
    layout->addWidget(notice);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setText(windowText("Close"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    m_controller.fillDialog(*this);

    connect(m_volume, &QSlider::valueChanged, this, [this](int position) {
        m_controller.masterVolumeChanged(double(position) / kSliderStepsPerDb, *this);
    });
    connect(m_volume, &QSlider::sliderReleased, this, [this] {
        m_controller.masterVolumeChanged(double(m_volume->value()) / kSliderStepsPerDb, *this);
    });
    connect(m_resetManual, &QCheckBox::toggled, this,
            [this](bool on) { m_controller.resetManualAdjustmentsChanged(on); });
    connect(m_modifyComments, &QCheckBox::toggled, this,
            [this](bool on) { m_controller.modifyCommentsChanged(on, *this); });
    connect(m_preventSleep, &QCheckBox::toggled, this,
            [this](bool on) { m_controller.preventSleepChanged(on); });
    connect(m_startMode, &QComboBox::activated, this,
            [this](int index) { m_controller.startButtonModeChanged(index); });
    connect(m_language, &QComboBox::activated, this, [this](int index) {
        m_controller.languageChanged(m_language->itemText(index).toStdString());
    });
}

void PreferencesDialog::setMasterVolume(double dB) {
    const QSignalBlocker blocker(m_volume);
    m_volume->setValue(static_cast<int>(std::lround(dB * kSliderStepsPerDb)));
}

void PreferencesDialog::setMasterVolumeText(int dB) {
    m_volumeText->setText(QString::fromStdString(
        formatString(Localization::shared().windowText("%d dB").c_str(), dB)));
}

void PreferencesDialog::setResetManualAdjustments(bool on) {
    const QSignalBlocker blocker(m_resetManual);
    m_resetManual->setChecked(on);
}

void PreferencesDialog::setModifyComments(bool on) {
    const QSignalBlocker blocker(m_modifyComments);
    m_modifyComments->setChecked(on);
}

void PreferencesDialog::setPreventSleep(bool on) {
    const QSignalBlocker blocker(m_preventSleep);
    m_preventSleep->setChecked(on);
}

void PreferencesDialog::setLanguage(const std::string& name) {
    const QSignalBlocker blocker(m_language);
    const int index =
        m_language->findText(QString::fromStdString(name), Qt::MatchFixedString); // any case
    if (index >= 0) {
        m_language->setCurrentIndex(index);
    }
}

void PreferencesDialog::setStartButtonMode(int index) {
    const QSignalBlocker blocker(m_startMode);
    m_startMode->setCurrentIndex(index >= 0 && index < m_startMode->count() ? index : 0);
}

void PreferencesDialog::done(int result) {
    m_controller.dialogClosed();
    QDialog::done(result);
}

} // namespace sonorix
