#include "ui/MainWindow.h"
#include "foundation/BuildVersion.h"
#include "ui/PreferencesController.h"
#include "ui/PreferencesDialog.h"

#include "foundation/Localization.h"
#include "foundation/Log.h"
#include "foundation/Text.h"
#include "foundation/Threads.h"
#include "foundation/Value.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"
#include "model/Diagnostics.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"
#include "processing/DisplayMessage.h"
#include "processing/DisplayProgress.h"
#include "ui/DisplayBar.h"
#include "ui/GroupOptionsPane.h"
#include "ui/GroupsList.h"
#include "ui/LauncherEntry.h"
#include "ui/OutlineModel.h"
#include "ui/OutlineView.h"
#include "ui/QtRunLoop.h"
#include "ui/SonorixControllerQt.h"
#include "ui/Speedometer.h"
#include "ui/StartButton.h"
#include "ui/TrayIcon.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QSplitter>
#include <QStandardPaths>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>

#include <unordered_map>
#include <unordered_set>

namespace sonorix {

namespace {

constexpr const char* kGeometryKey = "WindowGeometry";
constexpr const char* kSplitterKey = "WindowSplitter";
constexpr int kSearchDelayMs = 500;

QString windowText(const char* english) {
    return QString::fromStdString(Localization::shared().windowText(english));
}
QString menuText(const char* english) {
    return QString::fromStdString(Localization::shared().menuText(english));
}
QString text(const std::string& key) {
    return QString::fromStdString(localizedString(key));
}

QIcon resourceIcon(const std::string& name) {
    auto bytes = Localization::shared().imageData(name);
    QPixmap pixmap;
    if (!bytes.empty()) {
        pixmap.loadFromData(reinterpret_cast<const uchar*>(bytes.data()),
                            static_cast<uint>(bytes.size()));
    }
    return QIcon(pixmap);
}

const char* modeIconName(const std::shared_ptr<SonorixGroup>& group, bool isDefault) {
    if (isDefault) {
        return "GroupDefault";
    }
    switch (group->options().operationMode()) {
    case SonorixOptions::kAdjustManually:
        return "GroupManual";
    case SonorixOptions::kIgnore:
        return "GroupIgnore";
    default:
        return "GroupAutomatic";
    }
}

} // namespace

MainWindow::MainWindow(Options options, QWidget* parent)
    : QMainWindow(parent), m_startOptions(std::move(options)) {
    m_loop = std::make_shared<QtRunLoop>();
    setMainRunLoop(m_loop);
    m_controller = SonorixControllerQt::create(*this, m_startOptions.libraryPath);

    setWindowTitle(windowText("Sonorix"));
    setAcceptDrops(false);
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(8, 8, 8, 4);
    layout->setSpacing(6);

    auto* top = new QWidget(central);
    buildTopBar(top);
    layout->addWidget(top);

    m_splitter = new QSplitter(Qt::Horizontal, central);
    m_splitter->setChildrenCollapsible(false);
    m_groups = new GroupsList(m_splitter);
    m_groups->setMinimumWidth(120);
    m_rightPane = new QWidget(m_splitter);
    auto* right = new QVBoxLayout(m_rightPane);
    right->setContentsMargins(0, 0, 0, 0);
    right->setSpacing(6);
    m_options = new GroupOptionsPane(*m_controller, m_rightPane);
    right->addWidget(m_options);
    m_outline = new OutlineView(*m_controller, m_rightPane);
    m_outlineModel = &m_outline->outlineModel();
    right->addWidget(m_outline, 1);
    m_splitter->addWidget(m_groups);
    m_splitter->addWidget(m_rightPane);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({200, 760});
    layout->addWidget(m_splitter, 1);

    auto* bottom = new QHBoxLayout();
    bottom->setSpacing(2);
    m_addGroup = new QToolButton(central);
    m_addGroup->setText(QStringLiteral("+"));
    m_removeGroup = new QToolButton(central);
    m_removeGroup->setText(QStringLiteral("\u2212"));
    for (auto* button : {m_addGroup, m_removeGroup}) {
        button->setAutoRaise(false);
        button->setFixedSize(26, 22);
        button->setEnabled(false);
        bottom->addWidget(button);
    }
    m_status = new QLabel(central);
    m_status->setTextInteractionFlags(Qt::NoTextInteraction);
    bottom->addSpacing(8);
    bottom->addWidget(m_status, 1);
    layout->addLayout(bottom);
    setCentralWidget(central);

    buildMenus();

    m_tray = new TrayIcon(this);
    m_launcher = new LauncherEntry(QStringLiteral("invalid.sonorix.Sonorix"), this);
    connect(m_tray, &TrayIcon::showWindowRequested, this, &MainWindow::bringToFront);
    connect(m_tray, &TrayIcon::adjustAllRequested, this, &MainWindow::adjustAllTracks);
    connect(m_tray, &TrayIcon::exitRequested, this, &QWidget::close);

    connect(m_addGroup, &QToolButton::clicked, this, [this] { m_controller->newGroup(); });
    connect(m_removeGroup, &QToolButton::clicked, this, [this] { m_controller->deleteGroup(); });
    connect(m_groups, &QListWidget::itemSelectionChanged, this, &MainWindow::groupRowChanged);
    connect(m_groups, &QListWidget::itemChanged, this, &MainWindow::groupTitleEdited);
    connect(m_groups, &GroupsList::filesDropped, this,
            [this](int row, const QList<QUrl>& urls, bool fromOutline) {
                dropFiles(row, urls, fromOutline);
            });
    connect(m_options, &GroupOptionsPane::operationModeChanged, this,
            [this] { m_controller->reloadGroups(); });

    setGroupPaneHidden(true);
    resize(1040, 680);
}

MainWindow::~MainWindow() {
    m_closing = true;
    m_controller->shutDown();
    m_controller->detach();
    // The children outlive the members: what they report while being torn down goes nowhere.
    for (QObject* child : findChildren<QObject*>()) {
        QObject::disconnect(child, nullptr, this, nullptr);
    }
    // Timers and threads of the controller may still hold it; the views must not be reached.
    m_outline->setModel(nullptr);
    clearMainRunLoop();
}

void MainWindow::buildTopBar(QWidget* top) {
    auto* row = new QHBoxLayout(top);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    // The button and the dial draw their own captions.
    m_startButton = new StartButton(top);
    m_startButton->setEnabled(false);
    row->addWidget(m_startButton, 0, Qt::AlignVCenter);
    m_speedometer = new Speedometer(top);
    row->addWidget(m_speedometer, 0, Qt::AlignVCenter);
    m_displayBar = new DisplayBar(top);
    m_displayBar->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    row->addWidget(m_displayBar, 1, Qt::AlignVCenter);

    m_search = new QLineEdit(top);
    m_search->setClearButtonEnabled(true);
    m_search->setMinimumWidth(170);
    m_search->setEnabled(false);
    // The field with its caption below, centred beside the display bar.
    auto* searchColumn = new QVBoxLayout();
    searchColumn->setSpacing(2);
    searchColumn->addStretch(1);
    searchColumn->addWidget(m_search);
    auto* searchCaption = new QLabel(windowText("Search"), top);
    QFont small = searchCaption->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    searchCaption->setFont(small);
    searchCaption->setAlignment(Qt::AlignHCenter);
    searchCaption->setForegroundRole(QPalette::PlaceholderText);
    searchColumn->addWidget(searchCaption);
    searchColumn->addStretch(1);
    row->addLayout(searchColumn);
    m_searchTimer = new QTimer(this);
    m_searchTimer->setSingleShot(true);
    m_searchTimer->setInterval(kSearchDelayMs);
    connect(m_searchTimer, &QTimer::timeout, this, &MainWindow::applySearch);
    connect(m_search, &QLineEdit::textEdited, this, &MainWindow::searchEdited);

    connect(m_startButton, &StartButton::startClicked, this,
            [this] { m_controller->startButtonClicked(); });
    connect(m_startButton, &StartButton::modeMenuRequested, this, &MainWindow::showModeMenu);
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(menuText("File"));
    file->addAction(menuText("Check for Updates…"), this, &MainWindow::checkForUpdates);
    QAction* prefs = file->addAction(menuText("Preferences…"), this, &MainWindow::showPreferences);
    prefs->setMenuRole(QAction::PreferencesRole);
    file->addSeparator();
    QAction* exit = file->addAction(menuText("Exit"), this, &QWidget::close);
    exit->setShortcut(QKeySequence::Quit);

    m_tracksMenu = menuBar()->addMenu(menuText("Tracks"));
    m_startMenu = m_tracksMenu->addMenu(menuText("Start Adjusting"));
    const char* modes[] = {"All Tracks", "Tracks of Current Group", "Tracks Selected in Sonorix",
                           "Tracks Selected in iTunes"};
    for (int mode = 0; mode < 4; ++mode) {
        m_modeActions[mode] = m_startMenu->addAction(
            menuText(modes[mode]), this, [this, mode] { m_controller->startOrStop(mode); });
    }
    m_previewMenu = m_tracksMenu->addMenu(menuText("Preview Adjustment"));
    for (int mode = 0; mode < 4; ++mode) {
        m_previewActions[mode] = m_previewMenu->addAction(menuText(modes[mode]), this,
                                                          [this, mode] { startPreview(mode); });
    }
    m_forgetAction = m_tracksMenu->addAction(menuText("Forget Analyzing Results"), this,
                                             [this] { m_controller->forgetResults(true); });
    m_removeCommentsAction = m_tracksMenu->addAction(menuText("Remove Sonorix Comments"), this,
                                                     [this] { m_controller->removeComments(); });
    m_restoreAction =
        m_tracksMenu->addAction(menuText("Restore Original Sound Check Values…"), this, [this] {
            m_controller->restoreTracks(m_controller->selectedTracks(), false);
        });
    m_repairAction = m_tracksMenu->addAction(menuText("Repair Sound Check Texts…"), this, [this] {
        m_controller->repairTracks(m_controller->selectedTracks(), false);
    });
    m_tracksMenu->addSeparator();
    m_moveMenu = m_tracksMenu->addMenu(menuText("Move into Group"));
    connect(m_moveMenu, &QMenu::aboutToShow, this, &MainWindow::rebuildMoveMenu);
    m_sortMenu = m_tracksMenu->addMenu(menuText("Sort by"));
    const char* columns[] = {"Status", "Title", "Artist", "Album", "Adjustment"};
    for (int column = 0; column < 5; ++column) {
        m_sortActions[column] = m_sortMenu->addAction(
            menuText(columns[column]), this, [this, column] { m_controller->sortBy(column); });
        m_sortActions[column]->setCheckable(true);
    }
    m_sortMenu->addSeparator();
    m_descendingAction = m_sortMenu->addAction(menuText("Descending"), this,
                                               [this] { m_controller->toggleSortDirection(); });
    m_descendingAction->setCheckable(true);
    m_tracksMenu->addSeparator();
    // The desktop's opener and file manager may take a while to answer: never on this thread.
    auto onSelectedTrack = [this](bool (iTunesTrack::*command)()) {
        auto tracks = m_controller->selectedTracks();
        if (tracks.size() == 1) {
            auto track = tracks.front();
            callOnNewThread([track, command] { ((*track).*command)(); });
        }
    };
    m_playAction = m_tracksMenu->addAction(menuText("Play Track in iTunes"), this,
                                           [=] { onSelectedTrack(&iTunesTrack::play); });
    m_revealITunesAction = m_tracksMenu->addAction(menuText("Reveal Track in iTunes"), this, [=] {
        onSelectedTrack(&iTunesTrack::revealInITunes);
    });
    m_revealFileAction = m_tracksMenu->addAction(menuText("Reveal Track in Explorer"), this, [=] {
        onSelectedTrack(&iTunesTrack::revealInExplorer);
    });
    m_tracksMenu->addSeparator();
    m_selectAllAction =
        m_tracksMenu->addAction(menuText("Select All"), this, [this] { m_outline->selectAll(); });
    m_selectAllAction->setShortcut(QKeySequence::SelectAll);
    m_selectNoneAction = m_tracksMenu->addAction(menuText("Select None"), this,
                                                 [this] { m_outline->clearSelection(); });
    connect(m_tracksMenu, &QMenu::aboutToShow, this, &MainWindow::updateMenus);
    connect(m_sortMenu, &QMenu::aboutToShow, this, &MainWindow::updateMenus);
    connect(m_startMenu, &QMenu::aboutToShow, this, &MainWindow::updateMenus);
    connect(m_previewMenu, &QMenu::aboutToShow, this, &MainWindow::updateMenus);

    QMenu* help = menuBar()->addMenu(menuText("Help"));
    help->addAction(menuText("Sonorix Help"), this, [this] { openLocalizedUrl("SonorixHelpURL"); });
    help->addAction(menuText("Quick Start Guide"), this, &MainWindow::showImportantNotice);
    help->addAction(menuText("Sonorix Homepage"), this,
                    [this] { openLocalizedUrl("SonorixHomepageURL"); });
    help->addSeparator();
    QAction* about = help->addAction(menuText("About Sonorix"), this, &MainWindow::showAbout);
    about->setMenuRole(QAction::AboutRole);

    m_debugMenu = new QMenu(menuText("Debug"), this);
    m_debugMenu->addAction(menuText("Track/Album Debug Output"), this, [this] {
        auto model = m_controller->model();
        if (!model) {
            return;
        }
        diagnostics::logDebugLines(
            diagnostics::debugLines(*model, m_controller->tracksTable().selectedItems(),
                                    m_controller->preferences()->perceivedLoudness()));
    });
    m_debugMenu->addAction(menuText("CSV Export"), this, [this] {
        auto model = m_controller->model();
        if (!model) {
            return;
        }
        const QString path = QFileDialog::getSaveFileName(this, menuText("CSV Export"),
                                                          QStringLiteral("Sonorix.csv"));
        if (path.isEmpty()) {
            return;
        }
        auto rows = m_controller->tracksTable().selectedItems();
        if (rows.empty()) {
            std::vector<std::shared_ptr<SonorixGroup>> groups;
            for (size_t i = 0; i < model->groups()->count(); ++i) {
                groups.push_back(model->groups()->groupAt(i));
            }
            rows = diagnostics::exportRows(groups);
        }
        const std::string csv =
            diagnostics::csvExport(*model, rows, m_controller->preferences()->perceivedLoudness());
        // A failed write keeps an existing file whole.
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly) ||
            out.write(csv.data(), static_cast<qint64>(csv.size())) !=
                static_cast<qint64>(csv.size()) ||
            !out.commit()) {
            writeLog("CSV export to %s failed\n", path.toStdString().c_str());
        }
    });
    m_debugMenu->addAction(menuText("Clear All Analyzing Results"), this,
                           [this] { m_controller->forgetResults(false); });
    m_debugMenuAction = menuBar()->addMenu(m_debugMenu);
    m_debugMenuAction->setVisible(false);
}

void MainWindow::updateMenus() {
    const bool loaded = m_controller->isLibraryLoaded();
    m_startMenu->setTitle(QString::fromStdString(m_controller->adjustingMenuTitle()));
    for (int mode = 0; mode < 4; ++mode) {
        m_modeActions[mode]->setEnabled(m_controller->canStart(mode, true));
    }
    const bool idle = loaded && !m_controller->anyProcessorRunning();
    const bool selection = m_controller->tracksTable().hasSelection();
    m_forgetAction->setEnabled(idle && selection);
    // Unlike Start, a preview command never stops a run: it is for an idle window only.
    for (int mode = 0; mode < 4; ++mode) {
        m_previewActions[mode]->setEnabled(idle && m_controller->canStart(mode, true));
    }
    m_restoreAction->setEnabled(idle && selection);
    m_repairAction->setEnabled(idle && selection);
    m_removeCommentsAction->setText(
        QString::fromStdString(m_controller->removeCommentsMenuTitle()));
    m_removeCommentsAction->setEnabled(m_controller->isRemovingComments() || (idle && selection));
    m_moveMenu->setEnabled(idle);
    const bool group = m_controller->currentGroup() != nullptr;
    m_sortMenu->setEnabled(group);
    const int first = m_controller->sortColumns().front();
    for (int column = 0; column < 5; ++column) {
        m_sortActions[column]->setChecked(group && column == first);
    }
    m_descendingAction->setChecked(group && m_controller->sortDescending());
    const bool oneTrack = m_controller->selectedTracks().size() == 1;
    m_playAction->setEnabled(oneTrack);
    m_revealITunesAction->setEnabled(oneTrack && m_controller->iTunes() &&
                                     m_controller->iTunes()->revealSupported());
    m_revealFileAction->setEnabled(oneTrack);
    m_selectAllAction->setEnabled(group);
    m_selectNoneAction->setEnabled(group);
}

void MainWindow::rebuildMoveMenu() {
    m_moveMenu->clear();
    m_moveMenu->addAction(menuText("Create New Group…"), this,
                          [this] { m_controller->newGroup(); });
    auto model = m_controller->model();
    if (!model || !m_controller->isLibraryLoaded()) {
        return;
    }
    m_moveMenu->addSeparator();
    const bool selection = m_controller->tracksTable().hasSelection();
    auto groups = model->groups();
    for (size_t position = 0; position < groups->count(); ++position) {
        auto group = groups->groupAt(position);
        QAction* action =
            m_moveMenu->addAction(resourceIcon(modeIconName(group, position == 0)),
                                  QString::fromStdU16String(group->title()), this,
                                  [this, position] { m_controller->moveToGroup(position); });
        action->setEnabled(selection && group != m_controller->currentGroup());
    }
}

void MainWindow::start() {
    restoreGeometryFromSettings();
    m_controller->start(m_startOptions.preferencesPath);
    restoreGeometryFromSettings();
}

SonorixController& MainWindow::controller() const {
    return *m_controller;
}

void MainWindow::setControllerTimings(double continuationSeconds, double interactionSeconds,
                                      double revealSeconds) {
    m_controller->setContinuationDelay(continuationSeconds);
    m_controller->setViewTimings(interactionSeconds, revealSeconds);
}

// ---- view hooks

void MainWindow::setDebugMenuShown(bool shown) {
    m_debugMenuAction->setVisible(shown);
}

void MainWindow::showImportantNotice() {
    auto* dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(
        QString::fromStdString(Localization::shared().windowText("Quick Start Guide")));
    auto* layout = new QVBoxLayout(dialog);
    auto* message = new QLabel(text("ImportantNoticeText"), dialog);
    message->setWordWrap(true);
    message->setMinimumWidth(380);
    layout->addWidget(message);
    auto* dontShow = new QCheckBox(windowText("Don't show again"), dialog);
    if (auto prefs = m_controller->preferences()) {
        dontShow->setChecked(prefs->dontShowQuickStartGuide());
    }
    layout->addWidget(dontShow);
    auto* buttons = new QDialogButtonBox(dialog);
    QPushButton* close = buttons->addButton(windowText("Close"), QDialogButtonBox::AcceptRole);
    close->setDefault(true);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    connect(dialog, &QDialog::finished, this, [this, dontShow] {
        auto prefs = m_controller->preferences();
        if (prefs && prefs->dontShowQuickStartGuide() != dontShow->isChecked()) {
            prefs->setDontShowQuickStartGuide(dontShow->isChecked());
            prefs->save();
        }
    });
    if (m_alertResponder) {
        // Answered in place of the user: the notice is closed as it stands.
        dialog->accept();
        return;
    }
    bringToFront();
    dialog->open();
}

// The view tells the controller of every selection change itself, a reload's as the controller's
// own (a reload must not stop the views following the work).
void MainWindow::tracksChanged(const OutlineItem& item) {
    if (item) {
        m_outline->refreshItem(item);
    } else {
        m_outline->reload();
    }
}

void MainWindow::revealItem(const OutlineItem& item) {
    m_outline->reveal(item);
}

void MainWindow::setGroupPaneHidden(bool hidden) {
    if (hidden && !m_rightPane->isHidden()) {
        // Hidden, the pane leaves the divider at the edge: its place waits for the pane.
        m_splitterState = m_splitter->saveState();
    }
    m_rightPane->setVisible(!hidden);
    if (!hidden) {
        applySplitterState();
    }
}

void MainWindow::setStatusText(const QString& text) {
    m_status->setText(text);
}

void MainWindow::setGroupButtonsEnabled(bool add, bool remove) {
    m_addGroup->setEnabled(add);
    m_removeGroup->setEnabled(remove);
}

void MainWindow::updateGroupOptions() {
    m_options->update();
}

void MainWindow::selectGroup(const std::shared_ptr<SonorixGroup>& group) {
    auto model = m_controller->model();
    int row = -1;
    if (model && group && m_controller->isLibraryLoaded()) {
        auto groups = model->groups();
        for (size_t i = 0; i < groups->count() && i < static_cast<size_t>(m_groups->count()); ++i) {
            if (groups->groupAt(i) == group) {
                row = static_cast<int>(i);
                break;
            }
        }
    }
    m_reloadingGroups = true;
    if (row >= 0) {
        m_groups->setCurrentRow(row);
    } else {
        m_groups->clearSelection();
    }
    m_reloadingGroups = false;
    updateGroupIcons();
    if (row < 0 && group) {
        // No row stands for the group: the list's (empty) selection decides.
        m_controller->groupSelectionChanged(nullptr, false);
    }
}

void MainWindow::reloadGroupRows() {
    auto model = m_controller->model();
    m_reloadingGroups = true;
    if (!model || !m_controller->isLibraryLoaded()) {
        m_groups->clear();
        m_reloadingGroups = false;
        return;
    }
    auto groups = model->groups();
    const int count = static_cast<int>(groups->count());
    // Rows are updated in place where they can be, so that a title being edited keeps its row.
    while (m_groups->count() > count) {
        delete m_groups->takeItem(m_groups->count() - 1);
    }
    for (int row = 0; row < count; ++row) {
        auto group = groups->groupAt(row);
        QListWidgetItem* item = m_groups->item(row);
        if (!item) {
            item = new QListWidgetItem(m_groups);
        }
        const QString title = QString::fromStdU16String(group->title());
        if (item->text() != title) {
            item->setText(title);
        }
        Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
        if (row > 0) {
            flags |= Qt::ItemIsEditable;
        }
        item->setFlags(flags);
    }
    m_reloadingGroups = false;
    updateGroupIcons();
}

void MainWindow::updateGroupIcons() {
    auto model = m_controller->model();
    if (!model || !m_controller->isLibraryLoaded()) {
        return;
    }
    auto groups = model->groups();
    const bool reloading = m_reloadingGroups;
    m_reloadingGroups = true;
    for (int row = 0; row < m_groups->count() && row < static_cast<int>(groups->count()); ++row) {
        QListWidgetItem* item = m_groups->item(row);
        std::string name = modeIconName(groups->groupAt(row), row == 0);
        if (item->isSelected()) {
            name += "_white";
        }
        item->setIcon(resourceIcon(name));
    }
    m_reloadingGroups = reloading;
}

void MainWindow::groupRowChanged() {
    if (m_reloadingGroups) {
        return;
    }
    updateGroupIcons();
    auto model = m_controller->model();
    std::shared_ptr<SonorixGroup> group;
    const int row = m_groups->currentRow();
    const bool selected = !m_groups->selectedItems().isEmpty();
    if (model && selected && row >= 0 && static_cast<size_t>(row) < model->groups()->count()) {
        group = model->groups()->groupAt(row);
    }
    m_controller->groupSelectionChanged(group, true);
}

void MainWindow::groupTitleEdited(QListWidgetItem* item) {
    if (m_reloadingGroups || !item) {
        return;
    }
    auto model = m_controller->model();
    const int row = m_groups->row(item);
    if (!model || row < 0 || static_cast<size_t>(row) >= model->groups()->count()) {
        return;
    }
    auto group = model->groups()->groupAt(row);
    const QString title = item->text().trimmed();
    if (title == QString::fromStdU16String(group->title())) {
        return;
    }
    if (!m_controller->renameGroup(group, title.toStdU16String())) {
        // Refused (empty, or the default group): the row shows the title it keeps.
        m_reloadingGroups = true;
        item->setText(QString::fromStdU16String(group->title()));
        m_reloadingGroups = false;
    }
}

void MainWindow::editCurrentGroupTitle() {
    QListWidgetItem* item = m_groups->currentItem();
    if (item && m_groups->currentRow() > 0) {
        m_groups->setFocus();
        m_groups->editItem(item);
    }
}

void MainWindow::setStartEnabled(bool enabled) {
    m_startButton->setEnabled(enabled);
}

void MainWindow::setStartButtonRunning(bool running) {
    m_startButton->setRunning(running);
    // Any other run makes the preview's figures stale; the preview's own last rows come in
    // when it ends.
    if (m_outlineModel && running && !m_startingPreview) {
        m_outlineModel->setPreview(nullptr);
    } else if (m_outlineModel && !running) {
        m_outlineModel->refreshPreview();
    }
    if (running != m_running) {
        m_running = running;
        emit runningChanged(running);
    }
}

void MainWindow::setSearchField(const QString& text, bool enabled) {
    // The user's typing wins over the group's text until it is applied, but only in the group
    // it was typed for: another group shows its own text and drops the pending one.
    const bool typing =
        m_searchTimer->isActive() && m_searchGroup.lock() == m_controller->currentGroup();
    if (!typing) {
        m_searchTimer->stop();
        if (m_search->text() != text) {
            m_search->setText(text);
        }
        m_appliedSearch = text;
    }
    m_search->setEnabled(enabled);
}

void MainWindow::searchEdited(const QString& text) {
    m_searchGroup = m_controller->currentGroup();
    if (text.isEmpty()) {
        m_searchTimer->stop();
        applySearch();
        return;
    }
    m_searchTimer->start();
}

void MainWindow::applySearch() {
    const QString text = m_search->text();
    if (text == m_appliedSearch || m_searchGroup.lock() != m_controller->currentGroup()) {
        return;
    }
    m_appliedSearch = text;
    ++m_searchApplications;
    m_controller->searchTextChanged(text.toStdU16String());
}

void MainWindow::showSortIndicator() {
    const bool group = m_controller->currentGroup() != nullptr;
    m_outline->header()->setSortIndicatorShown(group);
    if (group) {
        m_outline->showSortIndicator();
    }
}

// Asked for every progress report of a run: the view answers from its own layout.
int64_t MainWindow::rowOfItem(const OutlineItem& item) const {
    return m_outline->rowOfItem(item);
}

void MainWindow::setSpeed(double speed) {
    m_speedometer->setValue(speed);
}

void MainWindow::showDisplayMessage(const std::shared_ptr<DisplayMessage>& message) {
    if (!message) {
        m_displayBar->showMessage({}, {});
        return;
    }
    m_displayBar->showMessage(QString::fromStdU16String(message->text()),
                              QString::fromStdU16String(message->detail()));
}

void MainWindow::showProgress(const std::shared_ptr<DisplayProgress>& progress, bool) {
    m_progress = progress;
    std::optional<double> fraction;
    bool active = false;
    if (progress) {
        const double f = progress->fraction();
        if (f >= 0) {
            fraction = f;
        }
        active = progress->isActive();
    }
    // An indeterminate progress (the library import) shows as the lines alone.
    m_displayBar->showProgress(fraction);
    m_tray->setProgress(fraction, active);
    m_launcher->setProgress(fraction);
}

int MainWindow::ask(const std::string& title, const std::string& message,
                    const std::vector<std::string>& buttons, bool tall) {
    if (!isMainThread()) {
        int answer = 0;
        callOnMainThread([&] { answer = ask(title, message, buttons, tall); }, true);
        return answer;
    }
    QStringList names;
    for (const auto& b : buttons) {
        names << QString::fromStdString(b);
    }
    if (m_alertResponder) {
        return m_alertResponder(QString::fromStdString(title), QString::fromStdString(message),
                                names);
    }
    if (m_closing) {
        return 0;
    }
    QMessageBox box(isVisible() ? this : nullptr);
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(windowText("Sonorix"));
    box.setText(QString::fromStdString(title));
    box.setInformativeText(QString::fromStdString(message));
    if (tall) {
        // Long messages get room rather than a narrow column.
        box.setStyleSheet(QStringLiteral("QLabel{min-width: 420px;}"));
    }
    std::vector<QAbstractButton*> made;
    for (int i = 0; i < names.size(); ++i) {
        made.push_back(
            box.addButton(names[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
    }
    if (made.empty()) {
        made.push_back(box.addButton(QMessageBox::Ok));
    }
    box.setDefaultButton(qobject_cast<QPushButton*>(made.front()));
    box.exec();
    for (size_t i = 0; i < made.size(); ++i) {
        if (box.clickedButton() == made[i]) {
            return static_cast<int>(i);
        }
    }
    // Closed without a button: the last one (the cancel of a question) when there are several.
    return static_cast<int>(made.size()) - 1;
}

void MainWindow::startPreview(int mode) {
    if (m_controller->anyProcessorRunning()) {
        return;
    }
    auto preview = std::make_shared<AdjustmentPreview>();
    m_startingPreview = true;
    const bool started = m_controller->startAdjusting(mode, {preview, false});
    m_startingPreview = false;
    m_outlineModel->setPreview(started ? preview : nullptr);
}

void MainWindow::processingFinished() {
    m_tray->playFinishedAnimation();
    if (!m_quiet) {
        playFinishedSound();
    }
    emit finished();
}

void MainWindow::playFinishedSound() {
    // The sound server's player, else ALSA's; a desktop without either gets its beep.
    const QString sound =
        QString::fromStdString(Localization::shared().resourceFile("finished.wav"));
    for (const char* player : {"paplay", "pw-play", "aplay"}) {
        const QString program = QStandardPaths::findExecutable(QString::fromLatin1(player));
        if (!sound.isEmpty() && !program.isEmpty() && QProcess::startDetached(program, {sound})) {
            return;
        }
    }
    QApplication::beep();
}

void MainWindow::showPreferences() {
    auto preferences = m_controller->preferences();
    if (!preferences) {
        return;
    }
    if (!m_preferenceRules) {
        PreferenceRules::Hooks hooks;
        hooks.reloadOutline = [this] { m_controller->reloadOutline(); };
        hooks.ask = [this](const std::string& title, const std::string& message,
                           const std::vector<std::string>& buttons) {
            return m_controller->askAlert(title, message, buttons, false);
        };
        m_preferenceRules = new PreferenceRules(preferences, std::move(hooks), this);
    }
    PreferencesDialog dialog(*m_preferenceRules, this);
    dialog.exec();
}

void MainWindow::checkForUpdates() {
    m_controller->checkForUpdates(true);
}

QString MainWindow::chooseLibraryFile() {
    return QFileDialog::getOpenFileName(this, windowText("Sonorix"), QString(),
                                        QStringLiteral("iTunes Library (*.xml)"));
}

void MainWindow::quitFromController() {
    QTimer::singleShot(0, this, &QWidget::close);
}

// ---- commands

void MainWindow::adjustAllTracks() {
    m_controller->startOrStop(SonorixController::kModeAll);
}

std::vector<std::shared_ptr<iTunesTrack>> MainWindow::tracksForUrls(const QList<QUrl>& urls) {
    std::vector<std::shared_ptr<iTunesTrack>> tracks;
    auto model = m_controller->model();
    if (!model || !model->library() || urls.isEmpty()) {
        return tracks;
    }
    // Paths as the library names them, and as the file system resolves them (a file manager
    // may hand over a path through a link).
    std::unordered_map<std::string, std::shared_ptr<iTunesTrack>> byPath;
    for (const auto& [id, track] : model->library()->tracks()) {
        std::string path = track->filePath(false, false, false);
        if (!path.empty()) {
            byPath.emplace(std::move(path), track);
        }
    }
    std::unordered_set<const iTunesTrack*> seen;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) {
            continue;
        }
        const QString local = url.toLocalFile();
        auto found = byPath.find(local.toStdString());
        if (found == byPath.end()) {
            const QString canonical = QFileInfo(local).canonicalFilePath();
            if (!canonical.isEmpty()) {
                found = byPath.find(canonical.toStdString());
            }
        }
        if (found != byPath.end() && seen.insert(found->second.get()).second) {
            tracks.push_back(found->second);
        }
    }
    return tracks;
}

bool MainWindow::dropFiles(int row, const QList<QUrl>& urls, bool fromOutline) {
    auto model = m_controller->model();
    if (!model || m_controller->anyProcessorRunning()) {
        return false;
    }
    auto tracks = tracksForUrls(urls);
    if (tracks.empty()) {
        return false;
    }
    std::shared_ptr<SonorixGroup> target;
    if (row >= 0 && static_cast<size_t>(row) < model->groups()->count()) {
        target = model->groups()->groupAt(row);
    }
    return m_controller->dropTracks(tracks, target, fromOutline);
}

void MainWindow::bringToFront() {
    if (isMinimized()) {
        showNormal();
    }
    show();
    raise();
    activateWindow();
}

void MainWindow::showModeMenu(const QPoint& at) {
    QMenu menu(this);
    const char* modes[] = {"Adjust All Tracks", "Adjust Tracks of Current Group",
                           "Adjust Tracks Selected in Sonorix", "Adjust Tracks Selected in iTunes"};
    for (int mode = 0; mode < 4; ++mode) {
        QAction* action = menu.addAction(menuText(modes[mode]), this,
                                         [this, mode] { m_controller->startOrStop(mode); });
        action->setEnabled(m_controller->canStart(mode, true));
    }
    menu.exec(at);
}

void MainWindow::showAbout() {
    const std::string version =
        formatString(Localization::shared().windowText("Version %s.").c_str(), buildVersion());
    QMessageBox box(this);
    box.setWindowTitle(menuText("About Sonorix"));
    box.setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
    box.setText(QStringLiteral("<b>%1</b>").arg(windowText("Sonorix")));
    box.setInformativeText(QString::fromStdString(version));
    box.exec();
}

void MainWindow::openLocalizedUrl(const char* key) {
    QDesktopServices::openUrl(QUrl(text(key)));
}

// ---- window state

void MainWindow::restoreGeometryFromSettings() {
    auto prefs = m_controller->preferences();
    if (!prefs) {
        return;
    }
    auto decode = [&](const char* key) {
        return QByteArray::fromBase64(
            QString::fromStdU16String(prefs->root()->getString(std::string_view(key))).toLatin1());
    };
    const QByteArray geometry = decode(kGeometryKey);
    if (!geometry.isEmpty()) {
        restoreGeometry(geometry);
    }
    const QByteArray splitter = decode(kSplitterKey);
    if (!splitter.isEmpty()) {
        m_splitterState = splitter;
        applySplitterState();
    }
}

void MainWindow::applySplitterState() {
    if (!m_splitterState.isEmpty() && !m_rightPane->isHidden()) {
        m_splitter->restoreState(m_splitterState);
        m_splitterState.clear();
    }
}

void MainWindow::saveGeometryToSettings() {
    auto prefs = m_controller->preferences();
    if (!prefs) {
        return;
    }
    prefs->root()->set(std::string_view(kGeometryKey),
                       makeString(std::string_view(saveGeometry().toBase64().toStdString())));
    // With the group pane hidden the divider stands at the edge: keep the place it had.
    const QByteArray splitter =
        m_rightPane->isHidden() ? m_splitterState : m_splitter->saveState();
    if (!splitter.isEmpty()) {
        prefs->root()->set(std::string_view(kSplitterKey),
                           makeString(std::string_view(splitter.toBase64().toStdString())));
    }
    prefs->save();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!m_closing) {
        m_closing = true;
        saveGeometryToSettings();
        m_controller->shutDown();
    }
    event->accept();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
}

} // namespace sonorix
