#include "app/OutlineSort.h"

#include "audio/SoundCheck.h"
#include "model/AlbumRules.h"
#include "model/SonorixGroups.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TextCompare.h"
#include "model/TrackAccess.h"

#include <algorithm>
#include <functional>

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

AlbumSortFields albumFields(const iTunesTrack& t) {
    AlbumSortFields f = albumSortFieldsOf(t);
    f.computeLetters();
    return f;
}

std::shared_ptr<SonorixStatus> trackStatusOf(SonorixModel* model, const iTunesTrack& track) {
    return model ? model->statusLibrary()->trackStatus(ta::persistentId(track), false) : nullptr;
}

std::shared_ptr<SonorixStatus> albumStatusOf(SonorixModel* model, const SonorixAlbum& album) {
    return model ? model->statusLibrary()->albumStatus(album, false, false) : nullptr;
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

void OutlineSortOptions::forgetKeys() const {
    // Sorts run under the model's lock: none is half-way through while the keys go.
    auto model = m_model.lock();
    if (model) {
        model->lock();
    }
    {
        std::lock_guard<std::mutex> hold(m_keysLock);
        m_keys.clear();
    }
    if (model) {
        model->unlock();
    }
}

int OutlineSortOptions::compareTracks(int32_t column, const iTunesTrack& a,
                                      const iTunesTrack& b) const {
    auto model = m_model.lock();
    auto keys = [&](const iTunesTrack& t) {
        return keysOf(&t, [&] {
            auto status = trackStatusOf(model.get(), t);
            Keys k;
            k.rank = rankOf(status, true);
            k.plainRank = rankOf(status, false);
            k.adjustment = model ? trackAdjustment(*model, t).value_or(kNoValue) : kNoValue;
            return k;
        });
    };
    switch (column) {
    case kSortStatus:
        return threeWay(keys(a).rank, keys(b).rank);
    case kSortTitle:
        return compareLettersOnly(ta::name(a), ta::name(b));
    case kSortArtist:
        return compareLettersOnly(artistOf(a), artistOf(b));
    case kSortAlbum:
        return compareAlbumOrder(albumFields(a), albumFields(b));
    case kSortAdjustment: {
        const Keys ka = keys(a);
        const Keys kb = keys(b);
        if (int r = threeWay(ka.plainRank, kb.plainRank)) {
            return r;
        }
        return threeWay(ka.adjustment, kb.adjustment);
    }
    default:
        return 0;
    }
}

int OutlineSortOptions::compareAlbums(int32_t column, const SonorixAlbum& a,
                                      const SonorixAlbum& b) const {
    if (a.isSingleTrack() && b.isSingleTrack()) {
        return compareTracks(column, *a.tracks().front(), *b.tracks().front());
    }
    auto model = m_model.lock();
    auto keys = [&](const SonorixAlbum& album) {
        return keysOf(&album, [&] {
            auto status = album.isSingleTrack()
                              ? trackStatusOf(model.get(), *album.tracks().front())
                              : albumStatusOf(model.get(), album);
            Keys k;
            k.rank = rankOf(status, true);
            k.plainRank = rankOf(status, false);
            k.adjustment = model ? albumAdjustment(*model, album).value_or(kNoValue) : kNoValue;
            return k;
        });
    };
    switch (column) {
    case kSortStatus:
        return threeWay(keys(a).rank, keys(b).rank);
    case kSortTitle:
        return compareLettersOnly(a.displayName(), b.displayName());
    case kSortArtist:
        return compareLettersOnly(a.albumArtist(), b.albumArtist());
    case kSortAlbum:
        return compareLettersOnly(a.albumTitle(), b.albumTitle());
    case kSortAdjustment: {
        const Keys ka = keys(a);
        const Keys kb = keys(b);
        if (int r = threeWay(ka.plainRank, kb.plainRank)) {
            return r;
        }
        return threeWay(ka.adjustment, kb.adjustment);
    }
    default:
        return 0;
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
    SoundCheckValues values{};
    if (!status || !status->getTag(values)) {
        return std::nullopt;
    }
    return SoundCheck::playbackAdjustment(values, ta::applicationVersion(*model.library()));
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
