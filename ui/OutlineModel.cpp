#include "ui/OutlineModel.h"

#include "audio/SoundCheck.h"
#include "foundation/Localization.h"
#include "foundation/Text.h"
#include "itunes/iTunesLibrary.h"
#include "itunes/iTunesTrack.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixPreferences.h"
#include "model/SonorixStatus.h"
#include "model/TrackAccess.h"
#include "processing/SonorixStatusUpdater.h"

#include <QHash>
#include <QMimeData>
#include <QPixmap>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <map>

namespace sonorix {

namespace {

QString qText(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

QString qText(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString decibelText(double value) {
    return qText(decimalText(std::round(value * 10.0) / 10.0, 1) + " dB");
}

// Marks a value the clipping guard lowered; the tooltip says why.
const QString kPeakMark = QStringLiteral(" \u26A0");

QString peakLimitedText() {
    return qText(
        Localization::shared().windowText("Limited by the peak: a higher value would clip"));
}

} // namespace

OutlineModel::OutlineModel(SonorixController& controller, QObject* parent)
    : QAbstractItemModel(parent), m_controller(controller) {
    m_repaintTimer.setSingleShot(true);
    connect(&m_repaintTimer, &QTimer::timeout, this, &OutlineModel::repaint);
    m_sinceRepaint.start();
}

OutlineModel::~OutlineModel() = default;

void OutlineModel::reload() {
    beginResetModel();
    m_entries.clear();
    m_lookup.clear();
    m_lookupValid = false;
    m_pending.clear();
    m_pendingSet.clear();
    m_repaintTimer.stop();
    auto model = m_controller.model();
    auto group = m_controller.currentGroup();
    m_presenter = model ? std::make_unique<OutlinePresenter>(model) : nullptr;
    m_manual = group && group->options().operationMode() == SonorixOptions::kAdjustManually;
    if (auto library = model ? model->library() : nullptr;
        library && library != m_preparedLibrary.lock()) {
        m_preparedLibrary = library;
        std::vector<std::shared_ptr<const iTunesTrack>> tracks;
        tracks.reserve(library->tracks().size());
        for (const auto& [id, track] : library->tracks()) {
            tracks.push_back(track);
        }
        m_preparation.start(std::move(tracks));
    }
    if (m_presenter && group) {
        const auto albums = group->visibleAlbums();
        m_entries.reserve(albums.size());
        for (const auto& album : albums) {
            Entry entry;
            entry.album = album;
            if (album->isSingleTrack()) {
                entry.single = album->tracks().front();
            } else {
                entry.tracks = album->visibleTracks();
                entry.trackRows.resize(entry.tracks.size());
                entry.trackRefreshAsked.resize(entry.tracks.size());
            }
            m_entries.push_back(std::move(entry));
        }
    }
    endResetModel();
}

void OutlineModel::setPreview(std::shared_ptr<AdjustmentPreview> preview) {
    if (preview == m_preview) {
        return;
    }
    m_preview = std::move(preview);
    m_previewRows.clear();
    takePreviewRows();
    repaintAdjustmentColumn();
}

void OutlineModel::refreshPreview() {
    if (m_preview) {
        takePreviewRows();
        repaintAdjustmentColumn();
    }
}

void OutlineModel::takePreviewRows() {
    if (!m_preview) {
        return;
    }
    const auto rows = m_preview->rows();
    if (rows.size() == m_previewRows.size()) {
        return;
    }
    for (const auto& row : rows) {
        m_previewRows.insert_or_assign(row.trackId, row);
    }
}

void OutlineModel::repaintAdjustmentColumn() {
    if (m_entries.empty()) {
        return;
    }
    const int last = static_cast<int>(m_entries.size()) - 1;
    emit dataChanged(index(0, AdjustmentColumn), index(last, AdjustmentColumn));
    for (size_t top = 0; top < m_entries.size(); ++top) {
        if (const auto count = m_entries[top].tracks.size(); count > 0) {
            const QModelIndex parentIndex = index(static_cast<int>(top), 0);
            emit dataChanged(index(0, AdjustmentColumn, parentIndex),
                             index(static_cast<int>(count) - 1, AdjustmentColumn, parentIndex));
        }
    }
}

const PreviewRow* OutlineModel::previewRowAt(const QModelIndex& index) const {
    if (m_previewRows.empty()) {
        return nullptr;
    }
    auto track = trackAt(index);
    if (!track) {
        return nullptr;
    }
    auto it = m_previewRows.find(ta::persistentId(*track));
    return it == m_previewRows.end() || !it->second.planned ? nullptr : &it->second;
}

void OutlineModel::refreshTrack(const std::shared_ptr<iTunesTrack>& track) {
    if (track) {
        scheduleRepaint(track);
    }
}

void OutlineModel::refreshAlbum(const std::shared_ptr<SonorixAlbum>& album) {
    if (album) {
        scheduleRepaint(album);
    }
}

void OutlineModel::scheduleRepaint(OutlineItem item) {
    if (!m_pendingSet.insert(item.get()).second) {
        return;
    }
    m_pending.push_back(std::move(item));
    if (!m_repaintTimer.isActive()) {
        const qint64 wait = kRepaintIntervalMs - m_sinceRepaint.elapsed();
        m_repaintTimer.start(static_cast<int>(std::max<qint64>(0, wait)));
    }
}

void OutlineModel::repaint() {
    auto pending = std::move(m_pending);
    m_pending.clear();
    m_pendingSet.clear();
    // Rows of one parent are repainted as one span: thousands of reporting rows cost one signal.
    std::map<int, std::pair<int, int>> spans; // parent (-1: top level) -> first, last row
    auto add = [&spans](int parent, int row) {
        auto [it, inserted] = spans.try_emplace(parent, row, row);
        if (!inserted) {
            it->second.first = std::min(it->second.first, row);
            it->second.second = std::max(it->second.second, row);
        }
    };
    for (const auto& item : pending) {
        auto position = positionOf(item.get());
        if (!position) {
            continue;
        }
        Entry& entry = m_entries[static_cast<size_t>(position->top)];
        if (position->child < 0) {
            entry.row.reset();
            add(-1, position->top);
        } else {
            entry.trackRows[static_cast<size_t>(position->child)].reset();
            add(position->top, position->child);
        }
    }
    m_sinceRepaint.restart();
    // The preview's rows arrive as its tracks report; they are taken in at the same pace.
    takePreviewRows();
    if (spans.empty()) {
        return;
    }
    ++m_repaints;
    for (const auto& [parentRow, span] : spans) {
        const QModelIndex parentIndex = parentRow < 0 ? QModelIndex() : index(parentRow, 0);
        emit dataChanged(index(span.first, 0, parentIndex),
                         index(span.second, kColumnCount - 1, parentIndex));
    }
}

void OutlineModel::buildLookup() const {
    m_lookup.clear();
    for (size_t top = 0; top < m_entries.size(); ++top) {
        const Entry& entry = m_entries[top];
        const Position position{static_cast<int>(top), -1};
        m_lookup.emplace(entry.album.get(), position);
        if (entry.single) {
            m_lookup.emplace(entry.single.get(), position);
        }
        for (size_t child = 0; child < entry.tracks.size(); ++child) {
            m_lookup.emplace(entry.tracks[child].get(),
                             Position{static_cast<int>(top), static_cast<int>(child)});
        }
    }
    m_lookupValid = true;
}

std::optional<OutlineModel::Position> OutlineModel::positionOf(const void* item) const {
    if (!item) {
        return std::nullopt;
    }
    if (!m_lookupValid) {
        buildLookup();
    }
    auto it = m_lookup.find(item);
    if (it == m_lookup.end()) {
        return std::nullopt;
    }
    return it->second;
}

QModelIndex OutlineModel::indexOf(const OutlineItem& item) const {
    auto position = positionOf(item.get());
    if (!position) {
        return {};
    }
    if (position->child < 0) {
        return index(position->top, 0);
    }
    return index(position->child, 0, index(position->top, 0));
}

OutlineItem OutlineModel::itemAt(const QModelIndex& index) const {
    if (auto album = albumAt(index)) {
        return album;
    }
    return trackAt(index);
}

std::shared_ptr<SonorixAlbum> OutlineModel::albumAt(const QModelIndex& index) const {
    if (!index.isValid() || index.internalId() != 0) {
        return nullptr;
    }
    const Entry& entry = m_entries[static_cast<size_t>(index.row())];
    return entry.single ? nullptr : entry.album;
}

std::shared_ptr<iTunesTrack> OutlineModel::trackAt(const QModelIndex& index) const {
    if (!index.isValid()) {
        return nullptr;
    }
    if (index.internalId() == 0) {
        return m_entries[static_cast<size_t>(index.row())].single;
    }
    const Entry& entry = m_entries[static_cast<size_t>(index.internalId() - 1)];
    return entry.tracks[static_cast<size_t>(index.row())];
}

std::vector<std::shared_ptr<iTunesTrack>>
OutlineModel::tracksOf(const QModelIndexList& indexes) const {
    // Row order, whatever order the selection was made in.
    std::vector<Position> positions;
    for (const QModelIndex& index : indexes) {
        if (!index.isValid() || index.model() != this) {
            continue;
        }
        if (index.internalId() == 0) {
            positions.push_back({index.row(), -1});
        } else {
            positions.push_back({static_cast<int>(index.internalId() - 1), index.row()});
        }
    }
    std::sort(positions.begin(), positions.end(), [](const Position& a, const Position& b) {
        return a.top != b.top ? a.top < b.top : a.child < b.child;
    });
    std::vector<std::shared_ptr<iTunesTrack>> tracks;
    std::unordered_set<const iTunesTrack*> seen;
    auto take = [&](const std::shared_ptr<iTunesTrack>& track) {
        if (track && seen.insert(track.get()).second) {
            tracks.push_back(track);
        }
    };
    for (const Position& position : positions) {
        const Entry& entry = m_entries[static_cast<size_t>(position.top)];
        if (position.child >= 0) {
            take(entry.tracks[static_cast<size_t>(position.child)]);
        } else if (entry.single) {
            take(entry.single);
        } else {
            // Every track of the album, also those the search hides.
            for (const auto& track : entry.album->tracks()) {
                take(track);
            }
        }
    }
    return tracks;
}

QModelIndex OutlineModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= kColumnCount) {
        return {};
    }
    if (!parent.isValid()) {
        return static_cast<size_t>(row) < m_entries.size() ? createIndex(row, column, quintptr(0))
                                                           : QModelIndex();
    }
    if (parent.internalId() != 0 || parent.model() != this) {
        return {};
    }
    const Entry& entry = m_entries[static_cast<size_t>(parent.row())];
    if (static_cast<size_t>(row) >= entry.tracks.size()) {
        return {};
    }
    return createIndex(row, column, quintptr(parent.row()) + 1);
}

QModelIndex OutlineModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || child.internalId() == 0) {
        return {};
    }
    return createIndex(static_cast<int>(child.internalId() - 1), 0, quintptr(0));
}

int OutlineModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) {
        return static_cast<int>(m_entries.size());
    }
    if (parent.internalId() != 0 || parent.column() != 0) {
        return 0;
    }
    return static_cast<int>(m_entries[static_cast<size_t>(parent.row())].tracks.size());
}

int OutlineModel::columnCount(const QModelIndex&) const {
    return kColumnCount;
}

bool OutlineModel::hasChildren(const QModelIndex& parent) const {
    return rowCount(parent) > 0;
}

const OutlineRow& OutlineModel::rowAt(const QModelIndex& index) const {
    auto& self = const_cast<OutlineModel&>(*this);
    const bool top = index.internalId() == 0;
    Entry& entry =
        self.m_entries[static_cast<size_t>(top ? index.row() : int(index.internalId() - 1))];
    auto& cached = top ? entry.row : entry.trackRows[static_cast<size_t>(index.row())];
    if (cached) {
        return *cached;
    }
    auto group = m_controller.currentGroup();
    const ProcessingActivity activity{m_controller.anyProcessorRunning(),
                                      m_controller.followsProgress(),
                                      m_controller.isRemovingComments()};
    // A row on show has its tag checked in the background once per reload; its result repaints
    // the row, which must not ask again.
    auto* refresh = m_controller.statusRefresh();
    if (top && entry.single) {
        cached = m_presenter->trackRow(*entry.single, false);
        if (refresh && !entry.refreshAsked) {
            refresh->refreshTrackStatus(entry.single, group, activity);
        }
        entry.refreshAsked = true;
    } else if (top) {
        cached = m_presenter->albumRow(*entry.album);
        if (refresh && !entry.refreshAsked) {
            refresh->refreshAlbumStatus(entry.album, activity);
        }
        entry.refreshAsked = true;
    } else {
        const auto child = static_cast<size_t>(index.row());
        cached = m_presenter->trackRow(*entry.tracks[child], true);
        if (refresh && !entry.trackRefreshAsked[child]) {
            refresh->refreshTrackStatus(entry.tracks[child], group, activity);
        }
        entry.trackRefreshAsked[child] = true;
    }
    return *cached;
}

QVariant OutlineModel::statusIcon(const OutlineRow& row, bool white) const {
    if (row.iconName.empty()) {
        return {};
    }
    const QString name = qText(white ? row.iconName + "_white" : row.iconName);
    auto it = m_icons.find(name);
    if (it == m_icons.end()) {
        QPixmap pixmap;
        auto bytes = Localization::shared().imageData(name.toStdString());
        if (!bytes.empty()) {
            pixmap.loadFromData(bytes.data(), static_cast<uint>(bytes.size()), "PNG");
        }
        it = m_icons.insert(name, pixmap);
    }
    return it->isNull() ? QVariant() : QVariant(*it);
}

QVariant OutlineModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.model() != this || !m_presenter) {
        return {};
    }
    if (role == IsAlbumRole) {
        return index.internalId() == 0 && !m_entries[static_cast<size_t>(index.row())].single;
    }
    if (role == SuggestionRole) {
        auto model = m_controller.model();
        auto preferences = m_controller.preferences();
        auto group = m_controller.currentGroup();
        if (!model || !preferences || !group) {
            return {};
        }
        std::shared_ptr<SonorixStatus> status;
        if (auto album = albumAt(index)) {
            status = model->statusLibrary()->albumStatus(*album, false, false);
        } else if (auto track = trackAt(index)) {
            status = model->statusLibrary()->trackStatus(ta::persistentId(*track), false);
        }
        double gain = 0;
        double peak = 0;
        if (!status || !status->getGainAndPeak(gain, peak)) {
            return {};
        }
        auto options = group->options();
        const double additional = options.operationMode() == SonorixOptions::kAdjustAutomatically
                                      ? options.additionalPerceivedLoudness()
                                      : 0.0;
        return SoundCheck::neededAdjustment(gain, preferences->perceivedLoudness(), additional);
    }
    const OutlineRow& row = rowAt(index);
    // A previewed track shows the preview's figures whatever its row says of the file now.
    const PreviewRow* preview = index.column() == AdjustmentColumn ? previewRowAt(index) : nullptr;
    if (preview && role == Qt::DisplayRole) {
        const QString stored = preview->stored
                                   ? decibelText(*preview->stored)
                                   : qText(Localization::shared().windowText("no data"));
        return stored + QStringLiteral(" \u2192 ") + decibelText(*preview->planned) +
               QStringLiteral(" (") + decibelText(preview->difference().value_or(0.0)) +
               QStringLiteral(")") + (preview->limitedByPeak ? kPeakMark : QString());
    }
    const bool limited =
        preview ? preview->limitedByPeak : row.limitedByPeak && row.errorText.empty();
    if (role == LimitedByPeakRole) {
        return limited;
    }
    if (preview && role == Qt::ToolTipRole) {
        return limited ? QVariant(peakLimitedText()) : QVariant();
    }
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case TitleColumn:
            return qText(row.title);
        case ArtistColumn:
            return qText(row.artist);
        case AlbumColumn:
            return qText(row.album);
        case AdjustmentColumn:
            if (row.errorText.empty() && !row.adjustment) {
                return qText(Localization::shared().windowText("no data"));
            }
            return qText(row.adjustmentText()) + (limited ? kPeakMark : QString());
        default:
            return {};
        }
    case Qt::DecorationRole:
        return index.column() == StatusColumn ? statusIcon(row, false) : QVariant();
    case SelectedDecorationRole:
        return index.column() == StatusColumn ? statusIcon(row, true) : QVariant();
    case Qt::ToolTipRole:
        if (index.column() == StatusColumn || index.column() == AdjustmentColumn) {
            if (!row.errorText.empty()) {
                return qText(row.errorText);
            }
            return limited && index.column() == AdjustmentColumn ? QVariant(peakLimitedText())
                                                                 : QVariant();
        }
        return {};
    case IconNameRole:
        return qText(row.iconName);
    case AdjustmentValueRole:
        return row.adjustment ? QVariant(*row.adjustment) : QVariant();
    case ErrorTextRole:
        return qText(row.errorText);
    default:
        return {};
    }
}

QVariant OutlineModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    static const char* const kTitles[] = {"", "Title", "Artist", "Album", "Adjustment"};
    if (section <= StatusColumn || section >= kColumnCount) {
        return QString();
    }
    return qText(Localization::shared().windowText(kTitles[section]));
}

Qt::ItemFlags OutlineModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
    if (!hasChildren(index)) {
        flags |= Qt::ItemNeverHasChildren;
    }
    return flags;
}

QStringList OutlineModel::mimeTypes() const {
    return {QStringLiteral("text/uri-list")};
}

QMimeData* OutlineModel::mimeData(const QModelIndexList& indexes) const {
    QList<QUrl> urls;
    for (const auto& track : tracksOf(indexes)) {
        // The file's own path, case and separators as they are: the file system here minds both.
        const std::string path = track->filePath(true, false, false);
        if (!path.empty()) {
            urls.push_back(QUrl::fromLocalFile(qText(path)));
        }
    }
    if (urls.isEmpty()) {
        return nullptr;
    }
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    return mime;
}

Qt::DropActions OutlineModel::supportedDragActions() const {
    return Qt::CopyAction | Qt::MoveAction;
}

} // namespace sonorix
