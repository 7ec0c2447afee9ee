#include "support/WindowFixture.h"

#include "foundation/Text.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "ui/GroupOptionsPane.h"
#include "ui/GroupsList.h"
#include "ui/OutlineModel.h"
#include "ui/OutlineView.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QSlider>
#include <QSplitter>
#include <QUrl>
#include <QtTest>

using namespace sonorix;
using namespace sonorix::test;

namespace {

QList<QUrl> urlsOf(const std::vector<std::string>& paths) {
    QList<QUrl> urls;
    for (const auto& p : paths) {
        urls << QUrl::fromLocalFile(QString::fromStdString(p));
    }
    return urls;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    WindowFixture* fixture = nullptr;
    MainWindow* window() { return fixture->window.get(); }
    SonorixController& controller() { return window()->controller(); }
    std::shared_ptr<SonorixGroups> groups() { return controller().model()->groups(); }

private slots:
    void init() {
        fixture = new WindowFixture();
        QVERIFY(fixture->makeLibrary({{"Alpha", "sine=f=440:d=1:r=44100"},
                                      {"Beta", "sine=f=660:d=1:r=44100"},
                                      {"Gamma", "anoisesrc=d=1:c=pink:a=0.3:r=44100"}}));
        QVERIFY(fixture->open());
    }
    void cleanup() {
        delete fixture;
        fixture = nullptr;
    }

    void loadsIntoTheDefaultGroup() {
        QCOMPARE(window()->groupsList()->count(), 1);
        QCOMPARE(window()->groupsList()->currentRow(), 0);
        QCOMPARE(window()->outlineModel()->rowCount(), 3);
        QVERIFY(window()->searchField()->isEnabled());
        QVERIFY(!window()->statusLine()->text().isEmpty());
    }

    void searchAppliesOnceAfterTypingAndAtOnceWhenCleared() {
        QLineEdit* search = window()->searchField();
        QTest::keyClicks(search, "alp");
        QCOMPARE(window()->searchApplications(), 0);
        QCOMPARE(window()->outlineModel()->rowCount(), 3);
        QVERIFY(waitUntil([&] { return window()->searchApplications() > 0; }, 3000));
        // One more event-loop turn shows no second application.
        QTest::qWait(600);
        QCOMPARE(window()->searchApplications(), 1);
        QCOMPARE(window()->outlineModel()->rowCount(), 1);
        QCOMPARE(QString::fromStdU16String(controller().currentGroup()->searchText()),
                 QStringLiteral("alp"));

        for (int i = 0; i < 3; ++i) {
            QTest::keyClick(search, Qt::Key_Backspace);
        }
        // The emptied field applied without waiting for the timer.
        QCOMPARE(window()->searchApplications(), 2);
        QCOMPARE(window()->outlineModel()->rowCount(), 3);
        QTest::qWait(600);
        QCOMPARE(window()->searchApplications(), 2);
    }

    // Text typed for one group never lands in the group that became current before it applied.
    void pendingSearchStaysWithItsGroup() {
        auto first = controller().currentGroup();
        QTest::keyClicks(window()->searchField(), "alp");
        auto second = controller().newGroup();
        QCOMPARE(controller().currentGroup(), second);
        QCOMPARE(window()->searchField()->text(), QString());
        QTest::qWait(700);
        QCOMPARE(window()->searchApplications(), 0);
        QVERIFY(second->searchText().empty());
        QVERIFY(first->searchText().empty());
    }

    void rowsOfItemsFollowTheOrderShownAndHiddenOnesHaveNone() {
        OutlineModel* model = window()->outlineModel();
        std::vector<OutlineItem> items;
        for (int row = 0; row < model->rowCount(); ++row) {
            items.push_back(model->itemAt(model->index(row, 0)));
        }
        QCOMPARE(items.size(), size_t(3));
        for (size_t i = 1; i < items.size(); ++i) {
            QVERIFY(controller().rowOfItem(items[i - 1]) < controller().rowOfItem(items[i]));
        }
        QVERIFY(controller().rowOfItem(items[0]) >= 0);
        controller().searchTextChanged(u"gamma");
        QCOMPARE(model->rowCount(), 1);
        int hidden = 0;
        for (const auto& item : items) {
            hidden += controller().rowOfItem(item) < 0 ? 1 : 0;
        }
        QCOMPARE(hidden, 2);
    }

    // Only the user's selections pause the following of the work; a reload keeps the selection.
    void reloadsAreNotTheUsersSelection() {
        QVERIFY(!controller().isInInteractionPeriod());
        controller().reloadOutline();
        QVERIFY(!controller().isInInteractionPeriod());

        OutlineView* view = window()->outlineView();
        const QModelIndex second = window()->outlineModel()->index(1, OutlineModel::TitleColumn);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(second).center());
        QVERIFY(controller().isInInteractionPeriod());
        QCOMPARE(controller().tracksTable().selectedItems().size(), size_t(1));
        const OutlineItem chosen = controller().tracksTable().selectedItems().front();
        QCOMPARE(chosen, window()->outlineModel()->itemAt(second));

        controller().reloadOutline();
        QCOMPARE(controller().tracksTable().selectedItems().size(), size_t(1));
        QCOMPARE(controller().tracksTable().selectedItems().front(), chosen);
    }

    void sliderStoresAtOnceAndReloadsOnceAtRest() {
        auto* slider = window()->optionsPane()->slider();
        QVERIFY(slider->isEnabled());
        QSignalSpy resets(window()->outlineModel(), &QAbstractItemModel::modelReset);
        for (int position : {3, 6, 9, 12}) {
            slider->setValue(position);
        }
        QCOMPARE(controller().currentGroup()->options().additionalPerceivedLoudness(), 1.2);
        QCOMPARE(window()->optionsPane()->valueLabel()->text(), QStringLiteral("+1.2 dB"));
        QCOMPARE(resets.count(), 0);
        QVERIFY(waitUntil([&] { return resets.count() > 0; }, 2000));
        QTest::qWait(300);
        QCOMPARE(resets.count(), 1);
    }

    void dropOfFilesNotInTheLibraryMovesNothing() {
        auto second = controller().newGroup();
        QVERIFY(second);
        QCOMPARE(second->trackCount(), size_t(0));
        const std::string stranger = fixture->dir.file("stranger.mp3");
        QVERIFY(makeStereoMp3(stranger, "sine=f=300:d=1:r=44100"));
        QVERIFY(!window()->dropFiles(1, urlsOf({stranger, "/nowhere/at/all.mp3"}), false));
        QCOMPARE(second->trackCount(), size_t(0));
        QCOMPARE(groups()->groupAt(0)->trackCount(), size_t(3));

        // The same drop with one library file among them moves that one alone.
        QVERIFY(window()->dropFiles(1, urlsOf({stranger, fixture->file(1)}), false));
        QCOMPARE(second->trackCount(), size_t(1));
        QCOMPARE(groups()->groupAt(0)->trackCount(), size_t(2));
    }

    void dropWhileProcessingChangesNothing() {
        auto second = controller().newGroup();
        controller().setCurrentGroup(groups()->groupAt(0), true);
        window()->adjustAllAction()->trigger();
        QVERIFY(controller().isAdjusting());
        QVERIFY(!window()->dropFiles(1, urlsOf({fixture->file(0)}), false));
        QVERIFY(!window()->dropFiles(-1, urlsOf({fixture->file(0)}), false));
        QCOMPARE(second->trackCount(), size_t(0));
        QCOMPARE(groups()->groupAt(0)->trackCount(), size_t(3));
        controller().stopAdjusting();
    }

    void renamingInPlaceKeepsTheDefaultGroupsTitle() {
        auto second = controller().newGroup();
        QVERIFY(second);
        auto* list = window()->groupsList();
        QCOMPARE(list->count(), 2);
        QVERIFY(!(list->item(0)->flags() & Qt::ItemIsEditable));
        QVERIFY(list->item(1)->flags() & Qt::ItemIsEditable);
        list->item(1)->setText(QStringLiteral("Quiet Ones"));
        QCOMPARE(QString::fromStdU16String(second->title()), QStringLiteral("Quiet Ones"));
        // An empty title is refused and the row shows the title kept.
        list->item(1)->setText(QString());
        QCOMPARE(QString::fromStdU16String(second->title()), QStringLiteral("Quiet Ones"));
        QCOMPARE(list->item(1)->text(), QStringLiteral("Quiet Ones"));
    }

    // Tab and Shift+Tab carry the editing to the next and previous editable title (never the
    // default group's), Enter keeps a title, Escape drops the edit.
    void titleEditingMovesWithTabAndEndsWithEnterOrEscape() {
        auto first = controller().newGroup();
        auto second = controller().newGroup();
        auto* list = window()->groupsList();
        window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window()));
        auto editor = [&] { return qobject_cast<QLineEdit*>(QApplication::focusWidget()); };

        list->setCurrentRow(1);
        window()->editCurrentGroupTitle();
        QTRY_VERIFY(editor() != nullptr);
        editor()->selectAll();
        QTest::keyClicks(editor(), "First");
        QTest::keyClick(editor(), Qt::Key_Tab);
        QCOMPARE(QString::fromStdU16String(first->title()), QStringLiteral("First"));
        QTRY_COMPARE(list->currentRow(), 2);
        QTRY_VERIFY(editor() != nullptr);
        editor()->selectAll();
        QTest::keyClicks(editor(), "Second");
        QTest::keyClick(editor(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QString::fromStdU16String(second->title()), QStringLiteral("Second"));
        QTRY_COMPARE(list->currentRow(), 1);
        QTRY_VERIFY(editor() != nullptr);
        // Back from the first editable title goes round to the last, past the default group.
        QTest::keyClick(editor(), Qt::Key_Backtab, Qt::ShiftModifier);
        QTRY_COMPARE(list->currentRow(), 2);
        QTRY_VERIFY(editor() != nullptr);
        editor()->selectAll();
        QTest::keyClicks(editor(), "Dropped");
        QTest::keyClick(editor(), Qt::Key_Escape);
        QCOMPARE(QString::fromStdU16String(second->title()), QStringLiteral("Second"));
        QCOMPARE(list->item(2)->text(), QStringLiteral("Second"));
        QCOMPARE(QString::fromStdU16String(groups()->groupAt(0)->title()), list->item(0)->text());
    }

    // Questions come back with the index of the button chosen; the first is the default.
    void deletingAGroupAsksFirst() {
        auto second = controller().newGroup();
        fixture->answer = 1; // Cancel
        QVERIFY(!controller().deleteGroup());
        QCOMPARE(fixture->alerts.size(), 1);
        QCOMPARE(groups()->count(), size_t(2));
        QCOMPARE(window()->groupsList()->count(), 2);
        fixture->answer = 0;
        QVERIFY(controller().deleteGroup());
        QCOMPARE(groups()->count(), size_t(1));
        QCOMPARE(window()->groupsList()->count(), 1);
        QCOMPARE(window()->groupsList()->currentRow(), 0);
    }

    // "Move into Group" lists the groups as they are when it opens, and moves the selection.
    void moveMenuIsBuiltWhenItOpens() {
        auto second = controller().newGroup();
        controller().renameGroup(second, u"Later");
        controller().setCurrentGroup(groups()->groupAt(0), true);
        QMenu* menu = window()->moveMenu();
        emit menu->aboutToShow();
        QStringList titles;
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator()) {
                titles << action->text();
            }
        }
        QCOMPARE(titles.size(), 3); // New Group, Default, Later
        QCOMPARE(titles.last(), QStringLiteral("Later"));
        QVERIFY(!menu->actions().last()->isEnabled()); // nothing selected yet

        window()->outlineView()->selectionModel()->select(window()->outlineModel()->index(0, 0),
                                                          QItemSelectionModel::Select |
                                                              QItemSelectionModel::Rows);
        emit menu->aboutToShow();
        QAction* later = menu->actions().last();
        QVERIFY(later->isEnabled());
        later->trigger();
        QCOMPARE(second->trackCount(), size_t(1));
        QCOMPARE(groups()->groupAt(0)->trackCount(), size_t(2));
    }

    void geometryAndSplitterSurviveARestart() {
        window()->resize(900, 600);
        window()->splitter()->setSizes({260, 600});
        const int left = window()->splitter()->sizes().front();
        fixture->close();
        QVERIFY(fixture->open());
        QCOMPARE(window()->size(), QSize(900, 600));
        QCOMPARE(window()->splitter()->sizes().front(), left);

        // Closed while no group is current (the group pane hidden, the divider at the edge):
        // the place it had is what comes back.
        window()->setGroupPaneHidden(true);
        fixture->close();
        QVERIFY(fixture->open());
        QCOMPARE(window()->splitter()->sizes().front(), left);
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
