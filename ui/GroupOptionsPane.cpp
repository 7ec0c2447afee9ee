#include "ui/GroupOptionsPane.h"

#include "app/SonorixController.h"
#include "foundation/Localization.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace sonorix {

namespace {

QString windowText(const char* english) {
    return QString::fromStdString(Localization::shared().windowText(english));
}

} // namespace

GroupOptionsView GroupOptionsView::of(const OptionQueries& options, bool processing) {
    GroupOptionsView v;
    const int32_t albumMode = options.rules.albumMode;
    v.operationIndex = std::clamp(options.operationMode, 0, 2);
    v.albumIndex = std::clamp(albumMode - 1, 0, 2);
    const bool separateOrGrouping = albumMode == SonorixOptions::kEachSongSeparately ||
                                    albumMode == SonorixOptions::kCombineAlbumsByGrouping;
    v.gaplessChecked = separateOrGrouping ? options.rules.gaplessAlwaysAlbums
                                          : albumMode == SonorixOptions::kCombineAlbums;
    v.gaplessEnabled = separateOrGrouping;
    v.compilationsChecked = options.compilationOptionApplies();
    v.compilationsEnabled = options.mayCombineAlbums();
    v.multiCDChecked = options.effectiveMultipleCDAlbums();
    v.multiCDEnabled = options.multiCDOptionApplies();
    v.multiCDGapless = separateOrGrouping && options.rules.gaplessAlwaysAlbums;
    v.sliderPosition = static_cast<int>(std::lround(options.additionalLoudness * 10));
    v.sliderEnabled = options.isAutomatic();
    if (options.isAutomatic()) {
        char text[32];
        std::snprintf(text, sizeof text, "%+.1lf dB", options.additionalLoudness);
        v.valueText = QString::fromLatin1(text);
    }
    if (processing) {
        v.albumEnabled = v.gaplessEnabled = v.compilationsEnabled = v.multiCDEnabled =
            v.sliderEnabled = false;
    }
    return v;
}

double additionalAdjustmentForPosition(double position) {
    // position is in tenths of a dB
    double value = std::round(position) / 10.0;
    if (value > -0.01 && value < 0.01) {
        value = 0; // no "-0.0 dB"
    }
    return value;
}

GroupOptionsPane::GroupOptionsPane(SonorixController& controller, QWidget* parent)
    : QWidget(parent), m_controller(controller), m_operation(new QComboBox(this)),
      m_albums(new QComboBox(this)), m_gapless(new QCheckBox(this)),
      m_compilations(new QCheckBox(this)), m_multiCD(new QCheckBox(this)),
      m_slider(new QSlider(Qt::Horizontal, this)), m_value(new QLabel(this)),
      m_rest(new QTimer(this)) {
    for (const char* text : {"Adjust Automatically", "Adjust Manually", "Ignore"}) {
        m_operation->addItem(windowText(text));
    }
    for (const char* text :
         {"Adjust Each Song Separately", "Combine Albums", "Combine All Songs of this Group"}) {
        m_albums->addItem(windowText(text));
    }
    m_gapless->setText(windowText("Always Combine Gapless Albums"));
    m_compilations->setText(windowText("Do Not Combine Compilations"));
    m_multiCD->setText(windowText("Combine Multiple CD Albums"));
    m_slider->setRange(-60, 60);
    m_slider->setPageStep(10);
    m_slider->setTickPosition(QSlider::TicksBelow);
    m_slider->setTickInterval(60);
    m_value->setText(QStringLiteral("+0.0 dB"));
    m_value->setMinimumWidth(m_value->fontMetrics().horizontalAdvance(QStringLiteral("+0.0 dB__")));
    m_rest->setSingleShot(true);
    m_rest->setInterval(200);
    connect(m_rest, &QTimer::timeout, this, &GroupOptionsPane::reloadAfterRest);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(4);
    grid->addWidget(new QLabel(windowText("Adjustment:"), this), 0, 0, Qt::AlignRight);
    grid->addWidget(m_operation, 0, 1);
    grid->addWidget(new QLabel(windowText("Albums:"), this), 1, 0, Qt::AlignRight);
    grid->addWidget(m_albums, 1, 1);
    auto* boxes = new QVBoxLayout();
    boxes->setSpacing(2);
    boxes->addWidget(m_gapless);
    boxes->addWidget(m_compilations);
    boxes->addWidget(m_multiCD);
    grid->addLayout(boxes, 0, 2, 3, 1);
    grid->addWidget(new QLabel(windowText("Additional Adjustment:"), this), 2, 0, Qt::AlignRight);
    auto* sliderRow = new QHBoxLayout();
    auto* scale = new QVBoxLayout();
    scale->setSpacing(0);
    scale->addWidget(m_slider);
    auto* marks = new QHBoxLayout();
    for (const char* mark : {"-6", "0", "+6"}) {
        auto* label = new QLabel(QString::fromLatin1(mark), this);
        QFont small = label->font();
        small.setPointSizeF(small.pointSizeF() * 0.8);
        label->setFont(small);
        marks->addWidget(label, 1,
                         mark[0] == '-' ? Qt::AlignLeft
                                        : (mark[0] == '0' ? Qt::AlignHCenter : Qt::AlignRight));
    }
    scale->addLayout(marks);
    sliderRow->addLayout(scale, 1);
    sliderRow->addWidget(m_value);
    grid->addLayout(sliderRow, 2, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);

    connect(m_operation, &QComboBox::activated, this, [this](int index) {
        optionChanged([index](SonorixOptions& o) { o.setOperationMode(index); }, true);
    });
    connect(m_albums, &QComboBox::activated, this, [this](int index) {
        optionChanged([index](SonorixOptions& o) { o.setAlbumMode(index + 1); }, false);
    });
    connect(m_gapless, &QCheckBox::clicked, this, [this](bool on) {
        optionChanged([on](SonorixOptions& o) { o.setGaplessAlwaysAlbums(on); }, false);
    });
    connect(m_compilations, &QCheckBox::clicked, this, [this](bool on) {
        optionChanged([on](SonorixOptions& o) { o.setCompilationsNotAlbums(on); }, false);
    });
    connect(m_multiCD, &QCheckBox::clicked, this, [this](bool on) {
        optionChanged([on](SonorixOptions& o) { o.setMultipleCDAlbums(on); }, false);
    });
    connect(m_slider, &QSlider::valueChanged, this, &GroupOptionsPane::sliderMoved);
}

void GroupOptionsPane::update() {
    auto group = m_controller.currentGroup();
    if (!group) {
        return;
    }
    const bool processing = m_controller.anyProcessorRunning();
    m_shown = GroupOptionsView::of(group->options().queries(), processing);
    m_updating = true;
    const QSignalBlocker block(m_slider);
    m_operation->setCurrentIndex(m_shown.operationIndex);
    m_operation->setEnabled(!processing);
    m_albums->setCurrentIndex(m_shown.albumIndex);
    m_albums->setEnabled(m_shown.albumEnabled);
    m_gapless->setChecked(m_shown.gaplessChecked);
    m_gapless->setEnabled(m_shown.gaplessEnabled);
    m_compilations->setChecked(m_shown.compilationsChecked);
    m_compilations->setEnabled(m_shown.compilationsEnabled);
    m_multiCD->setChecked(m_shown.multiCDChecked);
    m_multiCD->setEnabled(m_shown.multiCDEnabled);
    m_multiCD->setText(windowText(m_shown.multiCDGapless ? "Combine Gapless Multiple CD Albums"
                                                         : "Combine Multiple CD Albums"));
    m_slider->setValue(m_shown.sliderPosition);
    m_slider->setEnabled(m_shown.sliderEnabled);
    m_value->setText(m_shown.valueText);
    m_updating = false;
}

void GroupOptionsPane::optionChanged(const std::function<void(SonorixOptions&)>& store,
                                     bool modeChange) {
    auto group = m_controller.currentGroup();
    if (m_updating || !group || m_controller.anyProcessorRunning()) {
        update();
        return;
    }
    SonorixOptions options = group->options();
    store(options);
    group->markAlbumsDirty();
    update();
    if (auto model = m_controller.model()) {
        model->setNeedsSave(true);
    }
    m_controller.reloadOutline();
    if (modeChange) {
        emit operationModeChanged();
    }
}

void GroupOptionsPane::sliderMoved(int position) {
    auto group = m_controller.currentGroup();
    if (m_updating || !group) {
        return;
    }
    const double value = additionalAdjustmentForPosition(position);
    SonorixOptions options = group->options();
    if (value != options.additionalPerceivedLoudness()) {
        options.setAdditionalPerceivedLoudness(value);
        if (auto model = m_controller.model()) {
            model->setNeedsSave(true);
        }
        m_rest->start();
    }
    update();
}

void GroupOptionsPane::reloadAfterRest() {
    m_controller.reloadOutline();
}

} // namespace sonorix
