// The track outline: its model's consistency while the group, search, sort and albums change,
// the sort edge cases through header clicks, the files of dragged rows, and the timing of the
// in-cell adjustment control.

#include "app/OutlineSort.h"
#include "audio/SoundCheck.h"
#include "foundation/Text.h"
#include "itunes/DesktopLauncher.h"
#include "itunes/iTunesLibrary.h"
#include "model/LibraryFile.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "support/OutlineHarness.h"
#include "support/TestSupport.h"
#include "ui/AdjustmentDelegate.h"
#include "ui/OutlineModel.h"
#include "ui/OutlineView.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QMimeData>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <memory>

using namespace sonorix;
using namespace sonorix::test;

namespace {

LibraryTrack song(uint64_t id, const std::string& name, const std::string& artist,
                  const std::string& album) {
    return track(id).named(name).by(artist).on(album);
}

QStringList titles(const OutlineModel& model) {
    QStringList names;
    for (int row = 0; row < model.rowCount(); ++row) {
        auto item = model.itemAt(model.index(row, 0));
        if (auto track = std::dynamic_pointer_cast<iTunesTrack>(item)) {
            names << QString::fromStdString(toUtf8(track->name()));
        } else {
            names << QStringLiteral("[album]");
        }
    }
    return names;
}

SoundCheckValues valuesFor(double adjustment) {
    const auto v1000 = static_cast<uint32_t>(SoundCheck::soundCheckValue(adjustment, 1000));
    const auto v2500 = static_cast<uint32_t>(SoundCheck::soundCheckValue(adjustment, 2500));
    return {v1000, v1000, v2500, v2500, 0, 0, 0, 0, 0, 0};
}

void sendMouse(QWidget* widget, QEvent::Type type, const QPoint& at, Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(at), widget->mapToGlobal(QPointF(at)), Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

} // namespace

class OutlineTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<OutlineSession> m_session;

    OutlineController& app() { return *m_session->controller(); }
    OutlineView& view() { return m_session->view(); }
    OutlineModel& model() { return view().outlineModel(); }

    bool launch(const std::vector<LibraryTrack>& tracks) {
        const std::string library = m_dir->file("Library.xml");
        writeFile(library, libraryXml(tracks));
        m_session = std::make_unique<OutlineSession>(m_dir->path(), library);
        return m_session->start();
    }
    // A track whose file exists: the background status check would otherwise mark it missing,
    // and a missing file has no adjustment control.
    LibraryTrack playable(LibraryTrack t) {
        const std::string file = m_dir->file("p" + std::to_string(t.id) + ".mp3");
        if (!makeStereoMp3(file, "sine=f=440:d=1:r=44100")) {
            throw std::runtime_error("ffmpeg failed for " + file);
        }
        t.location = DesktopLauncher::fileURI(file);
        return t;
    }
    std::shared_ptr<iTunesTrack> trackWithId(uint64_t id) {
        return app().model()->library()->track(id);
    }
    void clickHeader(int logicalColumn) { emit view().header()->sectionClicked(logicalColumn); }

private slots:
    void init() { m_dir = std::make_unique<TempDir>(); }
    void cleanup() {
        m_session.reset();
        m_dir.reset();
    }

    void modelStaysConsistentWhileEverythingChanges();
    void artistFallsBackToAlbumArtist();
    void punctuationDecidesOnlyAfterTheLetters();
    void adjustmentPutsWorkFirstAndMissingValuesLast();
    void secondHeaderClickTurnsTheOrderRound();
    void refreshesAreCoalesced();
    void draggedRowsCarryTheirFilesAsTheyAre();
    void adjustmentControlPreviewsAtRestAndFinishesOnRelease();
    void adjustmentControlOnlyInManualGroups();
    void rowsCountAsShownAndSurviveReloads();
};

void OutlineTest::modelStaysConsistentWhileEverythingChanges() {
    // Real audio so that an adjustment runs while the outline changes under it.
    std::vector<std::string> files;
    std::vector<LibraryTrack> tracks;
    for (uint64_t id = 1; id <= 8; ++id) {
        const std::string file = m_dir->file("t" + std::to_string(id) + ".mp3");
        QVERIFY(makeStereoMp3(file, id % 2 ? "anoisesrc=d=2:c=pink:a=0.4:r=44100"
                                           : "sine=f=330:d=2:r=44100"));
        LibraryTrack t = song(id, "Song " + std::to_string(id), id < 5 ? "Band" : "",
                              id < 5   ? "First"
                              : id < 7 ? "Second"
                                       : "Single " + std::to_string(id));
        t.albumArtist = id < 5 ? "" : "Crew";
        t.trackNumber = static_cast<int>(id);
        t.location = DesktopLauncher::fileURI(file);
        tracks.push_back(t);
    }
    QVERIFY(launch(tracks));
    QAbstractItemModelTester tester(&model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    view().show();
    auto groups = app().model()->groups();
    auto defaultGroup = groups->groupAt(0);
    defaultGroup->options().setAlbumMode(SonorixOptions::kCombineAlbums);
    defaultGroup->markAlbumsDirty();
    app().reloadOutline();
    // Two albums of several tracks and two one-track albums shown as their tracks.
    QCOMPARE(model().rowCount(), 4);
    int albums = 0;
    for (int row = 0; row < model().rowCount(); ++row) {
        const QModelIndex index = model().index(row, 0);
        const bool isAlbum = index.data(OutlineModel::IsAlbumRole).toBool();
        albums += isAlbum;
        QCOMPARE(model().hasChildren(index), isAlbum);
        QCOMPARE(model().itemAt(index), model().indexOf(model().itemAt(index)).isValid()
                                            ? model().itemAt(index)
                                            : nullptr);
    }
    QCOMPARE(albums, 2);

    // A second group, switched to and back; searched; sorted.
    app().tracksTable().setSelectedItems({trackWithId(7), trackWithId(8)});
    auto other = app().newGroup();
    QVERIFY(other);
    QCOMPARE(model().rowCount(), 2);
    app().setCurrentGroup(defaultGroup, false);
    QCOMPARE(model().rowCount(), 2);
    app().searchTextChanged(u"song 3");
    QCOMPARE(model().rowCount(), 1);
    QCOMPARE(model().rowCount(model().index(0, 0)), 1);
    app().searchTextChanged(u"");
    for (int column = 0; column < OutlineModel::kColumnCount; ++column) {
        clickHeader(column);
        clickHeader(column);
    }

    // Albums re-form while an adjustment runs and reports rows.
    QVERIFY(app().startAdjusting(SonorixController::kModeAll));
    int reforms = 0;
    while (app().isAdjusting() && reforms < 200) {
        defaultGroup->options().setAlbumMode(reforms % 2 ? SonorixOptions::kCombineAlbums
                                                         : SonorixOptions::kEachSongSeparately);
        defaultGroup->markAlbumsDirty();
        app().reloadOutline();
        view().expandAll();
        ++reforms;
        OutlineSession::waitFor([] { return false; }, std::chrono::milliseconds(40));
    }
    QVERIFY(
        OutlineSession::waitFor([&] { return !app().isAdjusting(); }, std::chrono::seconds(60)));
    QVERIFY(reforms > 0);
    QVERIFY(model().repaintCount() > 0);
    // Every track row shows the value the run wrote.
    app().reloadOutline();
    for (int row = 0; row < model().rowCount(); ++row) {
        const QModelIndex index = model().index(row, OutlineModel::AdjustmentColumn);
        if (!index.data(OutlineModel::IsAlbumRole).toBool()) {
            QVERIFY2(index.data(OutlineModel::AdjustmentValueRole).isValid(),
                     qPrintable(index.data().toString()));
            QVERIFY(index.data().toString().endsWith(QStringLiteral(" dB")));
        }
    }
}

void OutlineTest::artistFallsBackToAlbumArtist() {
    LibraryTrack withoutArtist = song(2, "Two", "", "B");
    withoutArtist.albumArtist = "Mike";
    QVERIFY(launch({song(1, "One", "Zed", "A"), withoutArtist, song(3, "Three", "Adam", "C"),
                    song(4, "Four", "Nina", "D")}));
    clickHeader(OutlineModel::ArtistColumn);
    QCOMPARE(app().sortColumns().front(), kSortArtist);
    QCOMPARE(titles(model()), (QStringList{"Three", "Two", "Four", "One"}));
    const QModelIndex row = model().indexOf(trackWithId(2));
    QCOMPARE(row.siblingAtColumn(OutlineModel::ArtistColumn).data().toString(),
             QStringLiteral("Mike"));
    QCOMPARE(view().header()->sortIndicatorSection(), int(OutlineModel::ArtistColumn));
    QCOMPARE(view().header()->sortIndicatorOrder(), Qt::AscendingOrder);
}

void OutlineTest::punctuationDecidesOnlyAfterTheLetters() {
    QVERIFY(launch({song(1, "Hello!", "X", "A"), song(2, "Help", "X", "B"),
                    song(3, "Hello", "X", "C"), song(4, "He'llo?", "X", "D")}));
    clickHeader(OutlineModel::TitleColumn);
    const QStringList ascending = titles(model());
    // "Hello", "Hello!" and "He'llo?" tie on their letters and are told apart by their texts;
    // "Help" comes after all three whatever the punctuation.
    QCOMPARE(ascending.last(), QStringLiteral("Help"));
    QCOMPARE(ascending.indexOf("Hello") < ascending.indexOf("Hello!"), true);
    clickHeader(OutlineModel::TitleColumn);
    QStringList descending = titles(model());
    std::reverse(descending.begin(), descending.end());
    QCOMPARE(descending, ascending);

    // The texts are prepared in the background after loading; sorts after it agree.
    QVERIFY(QTest::qWaitFor([&] { return model().textsPrepared(); }, 10000));
    clickHeader(OutlineModel::TitleColumn);
    QCOMPARE(titles(model()), ascending);
}

void OutlineTest::adjustmentPutsWorkFirstAndMissingValuesLast() {
    QVERIFY(
        launch({song(1, "New", "X", "A"), song(2, "Empty", "X", "B"), song(3, "Quiet", "X", "C"),
                song(4, "Loud", "X", "D"), song(5, "Busy", "X", "E")}));
    auto statuses = app().model()->statusLibrary();
    statuses->trackStatus(2, true);
    statuses->trackStatus(3, true)->setTag(valuesFor(2.0), nullptr);
    statuses->trackStatus(4, true)->setTag(valuesFor(-3.0), nullptr);
    auto busy = statuses->trackStatus(5, true);
    busy->addProgressTotal(1);
    busy->addProcessing(1);
    clickHeader(OutlineModel::AdjustmentColumn);
    QCOMPARE(titles(model()), (QStringList{"Busy", "Loud", "Quiet", "Empty", "New"}));
    QCOMPARE(model().index(1, OutlineModel::AdjustmentColumn).data().toString(),
             QStringLiteral("-3.0 dB"));
    QCOMPARE(model().index(2, OutlineModel::AdjustmentColumn).data().toString(),
             QStringLiteral("+2.0 dB"));
    QCOMPARE(model().index(3, OutlineModel::AdjustmentColumn).data().toString(),
             QStringLiteral("no data"));
    busy->addProcessing(-1);
}

void OutlineTest::secondHeaderClickTurnsTheOrderRound() {
    QVERIFY(
        launch({song(1, "b", "X", "One"), song(2, "a", "X", "Two"), song(3, "c", "W", "Three")}));
    view().show();
    QVERIFY(QTest::qWaitForWindowExposed(&view()));
    QHeaderView* header = view().header();
    const int x = header->sectionViewportPosition(OutlineModel::TitleColumn) +
                  header->sectionSize(OutlineModel::TitleColumn) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    QCOMPARE(titles(model()), (QStringList{"a", "b", "c"}));
    QVERIFY(!app().sortDescending());
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    QCOMPARE(titles(model()), (QStringList{"c", "b", "a"}));
    QVERIFY(app().sortDescending());
    QCOMPARE(header->sortIndicatorSection(), int(OutlineModel::TitleColumn));
    QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
    // The status column, displayed first, sorts by status.
    QCOMPARE(header->visualIndex(OutlineModel::StatusColumn), 0);
    clickHeader(OutlineModel::StatusColumn);
    QCOMPARE(app().sortColumns().front(), kSortStatus);
}

void OutlineTest::refreshesAreCoalesced() {
    std::vector<LibraryTrack> tracks;
    for (uint64_t id = 1; id <= 300; ++id) {
        tracks.push_back(song(id, "s" + std::to_string(id), "X", "A" + std::to_string(id)));
    }
    QVERIFY(launch(tracks));
    QSignalSpy changes(&model(), &QAbstractItemModel::dataChanged);
    const uint64_t before = model().repaintCount();
    QElapsedTimer clock;
    clock.start();
    // Every row reports over and over for half a second.
    while (clock.elapsed() < 500) {
        for (uint64_t id = 1; id <= 300; ++id) {
            app().refreshTrack(trackWithId(id));
        }
        QCoreApplication::processEvents();
        QTest::qWait(2);
    }
    QTest::qWait(OutlineModel::kRepaintIntervalMs * 2);
    const double seconds = clock.elapsed() / 1000.0;
    const uint64_t repaints = model().repaintCount() - before;
    QVERIFY(repaints >= 3);
    QVERIFY2(repaints <= static_cast<uint64_t>(30 * seconds + 1),
             qPrintable(QString::number(repaints)));
    // Each repaint is one span, not a signal per row.
    QCOMPARE(static_cast<uint64_t>(changes.count()), repaints);
    // A reload drops what was pending: its rows are new.
    app().refreshTrack(trackWithId(1));
    app().reloadOutline();
    const uint64_t afterReload = model().repaintCount();
    QTest::qWait(OutlineModel::kRepaintIntervalMs * 2);
    QCOMPARE(model().repaintCount(), afterReload);
}

void OutlineTest::draggedRowsCarryTheirFilesAsTheyAre() {
    // Mixed case and spaces: the paths go out exactly as the file system has them.
    const std::string folder = m_dir->file("Music Folder");
    QVERIFY(QDir().mkpath(QString::fromStdString(folder)));
    std::vector<LibraryTrack> tracks;
    const char* names[] = {"Track ONE.mp3", "Track Two.MP3", "Ünïcode Three.mp3", "Solo.mp3"};
    for (uint64_t id = 1; id <= 4; ++id) {
        const std::string file = folder + "/" + names[id - 1];
        writeFile(file, "");
        LibraryTrack t = song(id, "S" + std::to_string(id), "X", id < 4 ? "Album" : "Solo");
        t.trackNumber = static_cast<int>(id);
        t.location = DesktopLauncher::fileURI(file);
        tracks.push_back(t);
    }
    QVERIFY(launch(tracks));
    auto group = app().model()->groups()->groupAt(0);
    group->options().setAlbumMode(SonorixOptions::kCombineAlbums);
    group->markAlbumsDirty();
    app().reloadOutline();
    QCOMPARE(model().rowCount(), 2);
    const QModelIndex album = model().indexOf(group->albumOfTrack(1));
    const QModelIndex solo = model().indexOf(trackWithId(4));
    QVERIFY(album.isValid() && solo.isValid());
    QCOMPARE(model().rowCount(album), 3);

    // The album row stands for its tracks; a track also selected on its own is not repeated.
    std::unique_ptr<QMimeData> mime(
        model().mimeData({solo, model().index(1, 0, album), album, album.siblingAtColumn(2)}));
    QVERIFY(mime);
    QVERIFY(mime->hasFormat(QStringLiteral("text/uri-list")));
    QStringList paths;
    for (const QUrl& url : mime->urls()) {
        paths << url.toLocalFile();
    }
    QStringList expected;
    for (uint64_t id : {1, 2, 3, 4}) {
        expected << QString::fromStdString(folder + "/" + names[id - 1]);
    }
    std::sort(paths.begin(), paths.end());
    std::sort(expected.begin(), expected.end());
    QCOMPARE(paths, expected);
    QVERIFY(QString::fromUtf8(mime->data(QStringLiteral("text/uri-list")))
                .contains(QStringLiteral("/Music%20Folder/Track%20ONE.mp3")));
    // Rows without a file give no drag at all.
    QVERIFY(!model().mimeData({}));
}

void OutlineTest::adjustmentControlPreviewsAtRestAndFinishesOnRelease() {
    QVERIFY(launch({playable(song(1, "One", "X", "A")), playable(song(2, "Two", "X", "B"))}));
    auto group = app().model()->groups()->groupAt(0);
    group->options().setOperationMode(SonorixOptions::kAdjustManually);
    app().reloadOutline();
    QVERIFY(model().isManualGroup());
    view().show();
    QVERIFY(QTest::qWaitForWindowExposed(&view()));

    const QModelIndex cell = model().index(0, OutlineModel::AdjustmentColumn);
    const QRect rect = view().visualRect(cell);
    const QRect groove = AdjustmentDelegate::grooveRect(rect);
    QWidget* viewport = view().viewport();
    const QPoint start(groove.left() + groove.width() / 2, rect.center().y());
    const auto& calls = app().manualCalls;

    // Moves every 50 ms keep the control from resting. The machine may be slow to deliver
    // them, so the rule is checked against when each move really happened: a preview only
    // after 150 ms without a move.
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> moves;
    // Each move's time is taken before it is sent: the rest timer starts while it is handled.
    moves.push_back(Clock::now());
    sendMouse(viewport, QEvent::MouseButtonPress, start, Qt::LeftButton);
    QVERIFY(app().sortColumns().front() == kSortAlbum); // the press was the control's, not a click
    for (int step = 1; step <= 6; ++step) {
        QTest::qWait(50);
        moves.push_back(Clock::now());
        sendMouse(viewport, QEvent::MouseMove, start + QPoint(step * 3, 0), Qt::LeftButton);
    }
    const Clock::time_point lastMove = moves.back();
    QVERIFY(QTest::qWaitFor([&] { return !calls.empty() && calls.back().at > lastMove; }, 2000));
    QTest::qWait(250);
    for (const auto& call : calls) {
        QVERIFY(!call.final);
        QCOMPARE(call.track, trackWithId(1));
        QVERIFY(!call.album);
        auto before = std::find_if(moves.rbegin(), moves.rend(),
                                   [&](Clock::time_point move) { return move < call.at; });
        QVERIFY(before != moves.rend());
        QVERIFY2(call.at - *before >= std::chrono::milliseconds(AdjustmentDelegate::kRestMs - 1),
                 "a preview came while the knob was moving");
    }
    // Resting again asks nothing more: one preview after the last move, with the knob's value.
    QCOMPARE(
        std::count_if(calls.begin(), calls.end(), [&](const auto& c) { return c.at > lastMove; }),
        std::ptrdiff_t(1));
    const double rested = AdjustmentDelegate::valueAt(rect, start.x() + 18);
    QCOMPARE(calls.back().value, rested);
    QVERIFY(rested > 0.0);
    const size_t previews = calls.size();

    // The release asks for the final run at once, and nothing follows it.
    const QPoint end(groove.right(), rect.center().y());
    sendMouse(viewport, QEvent::MouseMove, end, Qt::LeftButton);
    sendMouse(viewport, QEvent::MouseButtonRelease, end, Qt::NoButton);
    QCOMPARE(calls.size(), previews + 1);
    QVERIFY(calls.back().final);
    QCOMPARE(calls.back().value, AdjustmentDelegate::kMaximum);
    QTest::qWait(250);
    QCOMPARE(calls.size(), previews + 1);
    QVERIFY(!view().adjustmentDelegate().isDragging());
    // The slider's scale: the ends are the limits, in 0.1 dB steps.
    QCOMPARE(AdjustmentDelegate::valueAt(rect, groove.left() - 50), AdjustmentDelegate::kMinimum);
    const double mid = AdjustmentDelegate::valueAt(rect, groove.left() + groove.width() / 3);
    QCOMPARE(std::round(mid * 10.0) / 10.0, mid);
}

void OutlineTest::adjustmentControlOnlyInManualGroups() {
    QVERIFY(launch({playable(song(1, "One", "X", "A")), playable(song(2, "Two", "X", "B"))}));
    view().show();
    QVERIFY(QTest::qWaitForWindowExposed(&view()));
    const QModelIndex cell = model().index(0, OutlineModel::AdjustmentColumn);
    const QRect rect = view().visualRect(cell);
    const QPoint inside = AdjustmentDelegate::grooveRect(rect).center();
    sendMouse(view().viewport(), QEvent::MouseButtonPress, inside, Qt::LeftButton);
    sendMouse(view().viewport(), QEvent::MouseButtonRelease, inside, Qt::NoButton);
    QTest::qWait(250);
    QVERIFY(app().manualCalls.empty());
    QVERIFY(!view().adjustmentDelegate().isDragging());
    // The press was a plain click: it selected the row.
    QCOMPARE(view().selectionModel()->selectedRows().size(), 1);
    QCOMPARE(app().tracksTable().selectedItems().size(), size_t(1));
}

void OutlineTest::rowsCountAsShownAndSurviveReloads() {
    std::vector<LibraryTrack> tracks;
    for (uint64_t id = 1; id <= 3; ++id) {
        tracks.push_back(song(id, "S" + std::to_string(id), "X", "Album").number(int(id)));
    }
    tracks.push_back(song(4, "Solo", "X", "Solo"));
    QVERIFY(launch(tracks));
    auto group = app().model()->groups()->groupAt(0);
    group->options().setAlbumMode(SonorixOptions::kCombineAlbums);
    group->markAlbumsDirty();
    app().reloadOutline();
    auto album = group->albumOfTrack(1);
    const QModelIndex albumRow = model().indexOf(album);
    QVERIFY(albumRow.isValid() && !view().isExpanded(albumRow));
    // A track counts as if its album were open; rows below a closed album follow it directly.
    QCOMPARE(view().rowOfItem(trackWithId(2)), int64_t(2));
    QCOMPARE(view().rowOfItem(trackWithId(4)), int64_t(1));
    QCOMPARE(view().rowOfItem(nullptr), int64_t(-1));

    view().reveal(trackWithId(2));
    QVERIFY(view().isExpanded(albumRow));
    QCOMPARE(view().rowOfItem(trackWithId(4)), int64_t(4));
    QCOMPARE(app().rowOfItem(trackWithId(4)), int64_t(4));

    // A reload (each run makes one) keeps the open album and the selected rows.
    const QModelIndex second = model().indexOf(trackWithId(2));
    view().selectionModel()->select(second, QItemSelectionModel::ClearAndSelect |
                                                QItemSelectionModel::Rows);
    QCOMPARE(app().tracksTable().selectedItems().size(), size_t(1));
    app().reloadOutline();
    QVERIFY(view().isExpanded(model().indexOf(album)));
    const auto selected = view().selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(model().itemAt(selected.front()), OutlineItem(trackWithId(2)));
    QCOMPARE(app().tracksTable().selectedItems().size(), size_t(1));
    QCOMPARE(model().tracksOf(selected).front(), trackWithId(2));
}

QTEST_MAIN(OutlineTest)
#include "OutlineTest.moc"
