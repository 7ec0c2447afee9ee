#include "app/OutlineSort.h"

#include "audio/SoundCheck.h"
#include "foundation/OnceValue.h"
#include "model/AlbumRules.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TextCompare.h"
#include "model/TrackAccess.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>
#include <optional>

namespace sonorix {

namespace {

constexpr int32_t kNoStatusRank = 9999;
constexpr double kNoValue = 99999;

template <class T>
int threeWay(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// The first column that tells the rows apart decides; identity keeps the order total.
template <class Row, class Compare>
bool lessByColumns(const std::vector<int32_t>& columns, bool descending, const Row& a, const Row& b,
                   const Compare& compare) {
    int r = 0;
    for (int32_t column : columns) {
        if ((r = compare(column, a, b)) != 0) {
            break;
        }
    }
    if (r == 0) {
        r = &a == &b ? 0 : (std::less<const void*>()(&a, &b) ? -1 : 1);
    }
    return descending ? r > 0 : r < 0;
}

std::u16string artistOf(const iTunesTrack& track) {
    std::u16string artist = ta::artist(track);
    return artist.empty() ? ta::albumArtist(track) : artist;
}

std::shared_ptr<SonorixStatus> trackStatusOf(SonorixModel* model, const iTunesTrack& track) {
    return model ? model->statusLibrary()->trackStatus(ta::persistentId(track), false) : nullptr;
}

std::shared_ptr<SonorixStatus> albumStatusOf(SonorixModel* model, const SonorixAlbum& album) {
    return model ? model->statusLibrary()->albumStatus(album, false, false) : nullptr;
}

// A track's adjustment from its status, looked up already.
std::optional<double> adjustmentOf(SonorixModel& model, SonorixStatus* status) {
    SoundCheckValues values{};
    if (!status || !status->getTag(values)) {
        return std::nullopt;
    }
    return SoundCheck::playbackAdjustment(values, ta::applicationVersion(*model.library()));
}

int32_t rankOf(const std::shared_ptr<SonorixStatus>& status, bool preferAdjusted) {
    return status ? status->sortRank(preferAdjusted) : kNoStatusRank;
}

} // namespace

OutlineSortOptions::OutlineSortOptions(std::weak_ptr<SonorixModel> model,
                                       std::vector<int32_t> columns, bool descending)
    : m_model(std::move(model)), m_columns(columns.empty() ? defaultColumns() : std::move(columns)),
      m_descending(descending) {}

std::shared_ptr<OutlineSortOptions> OutlineSortOptions::sortedBy(int32_t column) const {
    std::vector<int32_t> columns = m_columns;
    const bool wasFirst = !columns.empty() && columns.front() == column;
    columns.erase(std::remove(columns.begin(), columns.end(), column), columns.end());
    columns.insert(columns.begin(), column);
    return std::make_shared<OutlineSortOptions>(m_model, std::move(columns),
                                                wasFirst && m_descending);
}

std::shared_ptr<OutlineSortOptions> OutlineSortOptions::toggledDirection() const {
    return std::make_shared<OutlineSortOptions>(m_model, m_columns, !m_descending);
}

bool OutlineSortOptions::sortsBy(int32_t column) const {
    return std::find(m_columns.begin(), m_columns.end(), column) != m_columns.end();
}

bool OutlineSortOptions::isAscendingAlbumOrder() const {
    return !m_descending && m_columns.front() == kSortAlbum;
}

OutlineSortOptions::Keys OutlineSortOptions::keysOf(const void* item,
                                                    const std::function<Keys()>& read) const {
    {
        std::lock_guard<std::mutex> hold(m_keysLock);
        if (auto found = m_keys.find(item); found != m_keys.end()) {
            return found->second;
        }
    }
    const Keys keys = read();
    std::lock_guard<std::mutex> hold(m_keysLock);
    return m_keys.emplace(item, keys).first->second;
}

// A track's album order (compareAlbumOrder) over texts folded once.
struct OutlineSortOptions::FoldedAlbumOrder {
    FoldedText album;
    FoldedText grouping;
    FoldedText artist;
    FoldedText name;
    int32_t disc = 0;
    int32_t trackNumber = 0;
    bool compilation = false;

    explicit FoldedAlbumOrder(const AlbumSortFields& fields)
        : album(foldedText(fields.album)), grouping(foldedText(fields.grouping)),
          artist(foldedText(fields.artist)), name(foldedText(fields.name)), disc(fields.disc),
          trackNumber(fields.trackNumber), compilation(fields.compilation) {}

    static int compare(const FoldedAlbumOrder& a, const FoldedAlbumOrder& b) {
        if (int r = compareLettersOnly(a.album, b.album)) {
            return r;
        }
        if (int r = threeWay(a.disc, b.disc)) {
            return r;
        }
        if (int r = compareLettersOnly(a.grouping, b.grouping)) {
            return r;
        }
        if (a.compilation != b.compilation) {
            return a.compilation ? -1 : 1;
        }
        if (!a.compilation) {
            if (int r = compareLettersOnly(a.artist, b.artist)) {
                return r;
            }
        }
        if (int r = threeWay(a.trackNumber, b.trackNumber)) {
            return r;
        }
        return compareLettersOnly(a.name, b.name);
    }
};

// Each part made on the first sort by a column that compares it.
struct iTunesTrack::SortForms {
    OnceValue<FoldedText> title;
    OnceValue<FoldedText> artist;
    OnceValue<std::optional<OutlineSortOptions::FoldedAlbumOrder>> order;
    // Each form's place among the tracks ranked with it (rankTracks), equal places for equal
    // forms; valid once run is set, and comparable only with the places of the same run.
    uint32_t titleRank = 0, artistRank = 0, orderRank = 0;
    std::atomic<uint32_t> run{0};
};

namespace {

std::shared_ptr<iTunesTrack::SortForms> makeSortForms() {
    return std::make_shared<iTunesTrack::SortForms>();
}

const FoldedText& titleForm(const iTunesTrack& track, iTunesTrack::SortForms& forms) {
    return fillOnce(forms.title, [&] { return foldedText(ta::name(track)); });
}

const FoldedText& artistForm(const iTunesTrack& track, iTunesTrack::SortForms& forms) {
    return fillOnce(forms.artist, [&] { return foldedText(artistOf(track)); });
}

const OutlineSortOptions::FoldedAlbumOrder& orderForm(const iTunesTrack& track,
                                                      iTunesTrack::SortForms& forms) {
    return *fillOnce(forms.order, [&] {
        return std::optional<OutlineSortOptions::FoldedAlbumOrder>(albumSortFieldsOf(track));
    });
}

} // namespace

void OutlineSortOptions::rankTracks(const std::vector<std::shared_ptr<const iTunesTrack>>& tracks,
                                    const std::stop_token& stop) {
    static std::atomic<uint32_t> runs{0};
    const uint32_t run = ++runs;
    std::vector<iTunesTrack::SortForms*> forms;
    forms.reserve(tracks.size());
    for (const auto& track : tracks) {
        if (stop.stop_requested()) {
            return;
        }
        prepareTrack(*track);
        forms.push_back(&track->sortForms(makeSortForms));
    }
    std::vector<uint32_t> order(forms.size());
    auto rank = [&](uint32_t iTunesTrack::SortForms::*place, const auto& compare) {
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(),
                  [&](uint32_t a, uint32_t b) { return compare(*forms[a], *forms[b]) < 0; });
        uint32_t at = 0;
        for (size_t i = 0; i < order.size(); ++i) {
            if (i == 0 || compare(*forms[order[i - 1]], *forms[order[i]]) != 0) {
                ++at;
            }
            forms[order[i]]->*place = at;
        }
    };
    using Forms = iTunesTrack::SortForms;
    rank(&Forms::titleRank, [](const Forms& a, const Forms& b) {
        return compareLettersOnly(a.title.value, b.title.value);
    });
    if (stop.stop_requested()) {
        return;
    }
    rank(&Forms::artistRank, [](const Forms& a, const Forms& b) {
        return compareLettersOnly(a.artist.value, b.artist.value);
    });
    if (stop.stop_requested()) {
        return;
    }
    rank(&Forms::orderRank, [](const Forms& a, const Forms& b) {
        return FoldedAlbumOrder::compare(*a.order.value, *b.order.value);
    });
    for (Forms* form : forms) {
        form->run.store(run, std::memory_order_release);
    }
}

void OutlineSortOptions::prepareTrack(const iTunesTrack& track) {
    auto& forms = track.sortForms(makeSortForms);
    titleForm(track, forms);
    artistForm(track, forms);
    orderForm(track, forms);
    track.prepareFilterText();
}

const OutlineSortOptions::Texts& OutlineSortOptions::textsOf(const SonorixAlbum& album) const {
    std::lock_guard<std::mutex> hold(m_keysLock);
    auto& entry = m_texts[&album];
    // An album gone and another made at its address must not find the old one's texts.
    if (!entry || entry->album.expired()) {
        entry = std::make_unique<Texts>();
        entry->album = album.weak_from_this();
        if (sortsBy(kSortTitle)) {
            entry->title = foldedText(album.displayName());
        }
        if (sortsBy(kSortArtist)) {
            entry->artist = foldedText(album.albumArtist());
        }
        if (sortsBy(kSortAlbum)) {
            entry->albumTitle = foldedText(album.albumTitle());
        }
    }
    return *entry;
}

void OutlineSortOptions::forgetKeys() const {
    // Sorts run under the model's lock: none is half-way through while the keys go.
    auto model = m_model.lock();
    if (model) {
        model->lock();
    }
    {
        std::lock_guard<std::mutex> hold(m_keysLock);
        m_keys.clear();
        m_texts.clear();
    }
    if (model) {
        model->unlock();
    }
}

namespace {

bool needsTexts(int32_t column) {
    return column == kSortTitle || column == kSortArtist || column == kSortAlbum;
}

bool needsKeys(int32_t column) {
    return column == kSortStatus || column == kSortAdjustment;
}

} // namespace

namespace {

// Places of tracks compare only within one ranking: every track row must have the same.
template <class Entries, class TrackRowOf>
bool sameRun(const Entries& entries, const TrackRowOf& trackRowOf) {
    uint32_t run = 0;
    for (const auto& entry : entries) {
        if (const auto* row = trackRowOf(entry)) {
            if (row->run == 0 || (run != 0 && row->run != run)) {
                return false;
            }
            run = row->run;
        }
    }
    return true;
}

} // namespace

template <class Compare>
void OutlineSortOptions::sortItems(std::vector<SortItem>& items, const Compare& compare) const {
    std::stable_sort(items.begin(), items.end(), [&](const SortItem& x, const SortItem& y) {
        int r = x.track == y.track ? comparePrefixes(x.prefix, y.prefix) : 0;
        if (r == 0) {
            r = compare(x.index, y.index);
        }
        return m_descending ? r > 0 : r < 0;
    });
}

OutlineSortOptions::Row OutlineSortOptions::trackRow(const iTunesTrack& track, bool texts,
                                                     bool keys) const {
    Row row;
    row.identity = &track;
    if (texts) {
        // Only what this order's columns compare: folding is most of a first sort.
        auto& forms = track.sortForms(makeSortForms);
        if (sortsBy(kSortTitle)) {
            row.title = &titleForm(track, forms);
            row.titleKey = row.title->key;
        }
        if (sortsBy(kSortArtist)) {
            row.artist = &artistForm(track, forms);
            row.artistKey = row.artist->key;
        }
        if (sortsBy(kSortAlbum)) {
            row.order = &orderForm(track, forms);
            row.albumKey = row.order->album.key;
        }
        if ((row.run = forms.run.load(std::memory_order_acquire)) != 0) {
            row.titleRank = forms.titleRank;
            row.artistRank = forms.artistRank;
            row.orderRank = forms.orderRank;
        }
    }
    if (keys) {
        row.keys = keysOf(&track, [&] {
            auto model = m_model.lock();
            auto status = trackStatusOf(model.get(), track);
            Keys k;
            k.rank = rankOf(status, true);
            k.plainRank = rankOf(status, false);
            k.adjustment = model ? adjustmentOf(*model, status.get()).value_or(kNoValue) : kNoValue;
            return k;
        });
    }
    return row;
}

OutlineSortOptions::Row OutlineSortOptions::albumRow(const SonorixAlbum& album, bool texts,
                                                     bool keys) const {
    Row row;
    row.identity = &album;
    if (texts) {
        const Texts& albumTexts = textsOf(album);
        row.title = &albumTexts.title;
        row.artist = &albumTexts.artist;
        row.albumTitle = &albumTexts.albumTitle;
        row.titleKey = row.title->key;
        row.artistKey = row.artist->key;
        row.albumKey = row.albumTitle->key;
    }
    if (keys) {
        row.keys = keysOf(&album, [&] {
            auto model = m_model.lock();
            auto status = album.isSingleTrack()
                              ? trackStatusOf(model.get(), *album.tracks().front())
                              : albumStatusOf(model.get(), album);
            Keys k;
            k.rank = rankOf(status, true);
            k.plainRank = rankOf(status, false);
            k.adjustment = model ? albumAdjustment(*model, album).value_or(kNoValue) : kNoValue;
            return k;
        });
    }
    return row;
}

int OutlineSortOptions::compareRows(int32_t column, const Row& a, const Row& b, bool albums) {
    switch (column) {
    case kSortStatus:
        return threeWay(a.keys.rank, b.keys.rank);
    case kSortTitle:
        return a.titleKey != b.titleKey ? threeWay(a.titleKey, b.titleKey)
                                        : compareLettersOnly(*a.title, *b.title);
    case kSortArtist:
        return a.artistKey != b.artistKey ? threeWay(a.artistKey, b.artistKey)
                                          : compareLettersOnly(*a.artist, *b.artist);
    case kSortAlbum:
        // A track's album order compares its album's text first.
        if (a.albumKey != b.albumKey) {
            return threeWay(a.albumKey, b.albumKey);
        }
        return albums ? compareLettersOnly(*a.albumTitle, *b.albumTitle)
                      : FoldedAlbumOrder::compare(*a.order, *b.order);
    case kSortAdjustment:
        if (int r = threeWay(a.keys.plainRank, b.keys.plainRank)) {
            return r;
        }
        return threeWay(a.keys.adjustment, b.keys.adjustment);
    default:
        return 0;
    }
}

namespace {

uint64_t biased(int32_t value) {
    return static_cast<uint64_t>(static_cast<int64_t>(value) + (int64_t(1) << 31));
}

// Doubles as unsigned numbers in the same order; equal numbers are equal values.
uint64_t orderedBits(double value) {
    if (value == 0.0) {
        value = 0.0; // -0.0 equals 0.0
    }
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits & (uint64_t(1) << 63) ? ~bits : bits | (uint64_t(1) << 63);
}

} // namespace

OutlineSortOptions::Prefix OutlineSortOptions::prefixOf(const Row& row, bool ranked) const {
    Prefix prefix;
    auto add = [&](uint64_t key, bool exact) {
        if (prefix.count < std::size(prefix.keys)) {
            prefix.exact |= exact ? uint8_t(1u << prefix.count) : uint8_t(0);
            prefix.keys[prefix.count++] = key;
        }
        // After a text's leading letters, equal numbers say nothing of what follows.
        return exact && prefix.count < std::size(prefix.keys);
    };
    for (int32_t column : m_columns) {
        bool more = false;
        switch (column) {
        case kSortStatus:
            more = add(biased(row.keys.rank), true);
            break;
        case kSortTitle:
            more = ranked ? add(row.titleRank, true) : add(row.titleKey, false);
            break;
        case kSortArtist:
            more = ranked ? add(row.artistRank, true) : add(row.artistKey, false);
            break;
        case kSortAlbum:
            more = ranked ? add(row.orderRank, true) : add(row.albumKey, false);
            break;
        case kSortAdjustment:
            // NaN ties with everything: no number can stand for it.
            more = add(biased(row.keys.plainRank), true) && !std::isnan(row.keys.adjustment) &&
                   add(orderedBits(row.keys.adjustment), true);
            break;
        default:
            break;
        }
        if (!more) {
            break;
        }
    }
    return prefix;
}

int OutlineSortOptions::comparePrefixes(const Prefix& a, const Prefix& b) {
    const uint8_t count = std::min(a.count, b.count);
    for (uint8_t i = 0; i < count; ++i) {
        if (a.keys[i] != b.keys[i]) {
            return a.keys[i] < b.keys[i] ? -1 : 1;
        }
        if (!(a.exact & b.exact & (1u << i))) {
            return 0;
        }
    }
    return 0;
}

int OutlineSortOptions::compareTracks(int32_t column, const iTunesTrack& a,
                                      const iTunesTrack& b) const {
    const bool texts = needsTexts(column);
    const bool keys = needsKeys(column);
    return compareRows(column, trackRow(a, texts, keys), trackRow(b, texts, keys), false);
}

int OutlineSortOptions::compareAlbums(int32_t column, const SonorixAlbum& a,
                                      const SonorixAlbum& b) const {
    if (a.isSingleTrack() && b.isSingleTrack()) {
        return compareTracks(column, *a.tracks().front(), *b.tracks().front());
    }
    const bool texts = needsTexts(column);
    const bool keys = needsKeys(column);
    return compareRows(column, albumRow(a, texts, keys), albumRow(b, texts, keys), true);
}

int OutlineSortOptions::identityOrder(const void* a, const void* b) {
    // Identity keeps the order total.
    return a == b ? 0 : (std::less<const void*>()(a, b) ? -1 : 1);
}

void OutlineSortOptions::sortTracks(std::vector<std::shared_ptr<iTunesTrack>>& tracks) const {
    if (tracks.size() < 2) {
        return; // most albums of a big library hold one track: nothing to read
    }
    // Each row's keys read once, not at each of its comparisons: the same order as tracksLess.
    const bool texts = std::any_of(m_columns.begin(), m_columns.end(), needsTexts);
    const bool keys = std::any_of(m_columns.begin(), m_columns.end(), needsKeys);
    struct Entry {
        Row row;
        std::shared_ptr<iTunesTrack> track;
    };
    std::vector<Entry> entries;
    entries.reserve(tracks.size());
    for (auto& track : tracks) {
        entries.push_back({trackRow(*track, texts, keys), std::move(track)});
    }
    const bool ranked = texts && sameRun(entries, [](const Entry& e) { return &e.row; });
    std::vector<SortItem> items(entries.size());
    for (uint32_t i = 0; i < entries.size(); ++i) {
        items[i] = {prefixOf(entries[i].row, ranked), i, true};
    }
    sortItems(items, [&](uint32_t x, uint32_t y) {
        const Entry& a = entries[x];
        const Entry& b = entries[y];
        int r = 0;
        for (int32_t column : m_columns) {
            if ((r = compareRows(column, a.row, b.row, false)) != 0) {
                break;
            }
        }
        return r != 0 ? r : identityOrder(a.row.identity, b.row.identity);
    });
    for (size_t i = 0; i < items.size(); ++i) {
        tracks[i] = std::move(entries[items[i].index].track);
    }
}

void OutlineSortOptions::sortAlbums(std::vector<std::shared_ptr<SonorixAlbum>>& albums) const {
    // The same order as albumsLess with each row's keys read once. Two one-track albums compare
    // as their tracks; an album row is read only when a one-track album meets a larger one.
    const bool texts = std::any_of(m_columns.begin(), m_columns.end(), needsTexts);
    const bool keys = std::any_of(m_columns.begin(), m_columns.end(), needsKeys);
    struct Entry {
        mutable std::optional<Row> album;
        std::optional<Row> track; // set for a one-track album
        std::shared_ptr<SonorixAlbum> pointer;
    };
    std::vector<Entry> entries;
    entries.reserve(albums.size());
    for (auto& album : albums) {
        Entry entry;
        if (album->isSingleTrack()) {
            entry.track = trackRow(*album->tracks().front(), texts, keys);
        } else {
            entry.album = albumRow(*album, texts, keys);
        }
        entry.pointer = std::move(album);
        entries.push_back(std::move(entry));
    }
    auto albumRowOf = [&](const Entry& entry) -> const Row& {
        if (!entry.album) {
            entry.album = albumRow(*entry.pointer, texts, keys);
        }
        return *entry.album;
    };
    // Prefixes compare one-track albums as tracks and larger albums as albums, as the rows
    // do; a pair of one of each goes the full way.
    const bool ranked = texts && sameRun(entries, [](const Entry& e) {
                            return e.track ? &*e.track : static_cast<const Row*>(nullptr);
                        });
    std::vector<SortItem> items(entries.size());
    for (uint32_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        items[i] = entry.track ? SortItem{prefixOf(*entry.track, ranked), i, true}
                               : SortItem{prefixOf(*entry.album, false), i, false};
    }
    sortItems(items, [&](uint32_t x, uint32_t y) {
        const Entry& a = entries[x];
        const Entry& b = entries[y];
        int r = 0;
        for (int32_t column : m_columns) {
            r = a.track && b.track ? compareRows(column, *a.track, *b.track, false)
                                   : compareRows(column, albumRowOf(a), albumRowOf(b), true);
            if (r != 0) {
                break;
            }
        }
        return r != 0 ? r : identityOrder(a.pointer.get(), b.pointer.get());
    });
    for (size_t i = 0; i < items.size(); ++i) {
        albums[i] = std::move(entries[items[i].index].pointer);
    }
}

bool OutlineSortOptions::tracksLess(const iTunesTrack& a, const iTunesTrack& b) const {
    return lessByColumns(m_columns, m_descending, a, b,
                         [this](int32_t column, const iTunesTrack& x, const iTunesTrack& y) {
                             return compareTracks(column, x, y);
                         });
}

bool OutlineSortOptions::albumsLess(const SonorixAlbum& a, const SonorixAlbum& b) const {
    return lessByColumns(m_columns, m_descending, a, b,
                         [this](int32_t column, const SonorixAlbum& x, const SonorixAlbum& y) {
                             return compareAlbums(column, x, y);
                         });
}

int32_t sortColumnOfHeader(int32_t headerColumn) {
    // Title, the status column, Artist, Album, Adjustment.
    static constexpr int32_t kMap[] = {kSortTitle, kSortStatus, kSortArtist, kSortAlbum,
                                       kSortAdjustment};
    return headerColumn >= 0 && headerColumn < 5 ? kMap[headerColumn] : -1;
}

std::optional<double> trackAdjustment(SonorixModel& model, const iTunesTrack& track) {
    auto status = model.statusLibrary()->trackStatus(ta::persistentId(track), false);
    return adjustmentOf(model, status.get());
}

std::optional<double> albumAdjustment(SonorixModel& model, const SonorixAlbum& album) {
    if (album.isSingleTrack()) {
        return trackAdjustment(model, *album.tracks().front());
    }
    std::vector<std::optional<SoundCheckValues>> texts;
    bool anyText = false;
    for (const auto& track : album.tracks()) {
        auto status = model.statusLibrary()->trackStatus(ta::persistentId(*track), false);
        SoundCheckValues values{};
        if (status && status->getTag(values)) {
            texts.emplace_back(values);
            anyText = true;
        } else {
            texts.emplace_back(std::nullopt);
        }
    }
    auto present =
        SoundCheck::albumPresentAdjustment(texts, ta::applicationVersion(*model.library()));
    if (!anyText || !present.uniform) {
        return std::nullopt;
    }
    return present.mean;
}

} // namespace sonorix
