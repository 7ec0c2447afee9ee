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

const OutlineSortOptions::Texts& OutlineSortOptions::textsOf(const iTunesTrack& track) const {
    std::lock_guard<std::mutex> hold(m_keysLock);
    auto& entry = m_texts[&track];
    if (!entry) {
        entry = std::make_unique<Texts>();
        entry->title = foldedText(ta::name(track));
        entry->artist = foldedText(artistOf(track));
        entry->order = albumSortFieldsOf(track);
        entry->order.computeLetters();
    }
    return *entry;
}

const OutlineSortOptions::Texts& OutlineSortOptions::textsOf(const SonorixAlbum& album) const {
    std::lock_guard<std::mutex> hold(m_keysLock);
    auto& entry = m_texts[&album];
    // An album gone and another made at its address must not find the old one's texts.
    if (!entry || entry->album.expired()) {
        entry = std::make_unique<Texts>();
        entry->album = album.weak_from_this();
        entry->title = foldedText(album.displayName());
        entry->artist = foldedText(album.albumArtist());
        entry->albumTitle = foldedText(album.albumTitle());
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
    case kSortTitle: {
        const Texts& x = textsOf(a);
        const Texts& y = textsOf(b);
        return compareLettersOnly(x.title, y.title);
    }
    case kSortArtist: {
        const Texts& x = textsOf(a);
        const Texts& y = textsOf(b);
        return compareLettersOnly(x.artist, y.artist);
    }
    case kSortAlbum:
        return compareAlbumOrder(textsOf(a).order, textsOf(b).order);
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
    case kSortTitle: {
        const Texts& x = textsOf(a);
        const Texts& y = textsOf(b);
        return compareLettersOnly(x.title, y.title);
    }
    case kSortArtist: {
        const Texts& x = textsOf(a);
        const Texts& y = textsOf(b);
        return compareLettersOnly(x.artist, y.artist);
    }
    case kSortAlbum: {
        const Texts& x = textsOf(a);
        const Texts& y = textsOf(b);
        return compareLettersOnly(x.albumTitle, y.albumTitle);
    }
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
    int r = 0;
    for (int32_t column : m_columns) {
        if ((r = compareTracks(column, a, b)) != 0) {
            break;
        }
    }
    if (r == 0) {
        // Identity keeps the order total.
        r = &a == &b ? 0 : (std::less<const void*>()(&a, &b) ? -1 : 1);
    }
    return m_descending ? r > 0 : r < 0;
}

bool OutlineSortOptions::albumsLess(const SonorixAlbum& a, const SonorixAlbum& b) const {
    int r = 0;
    for (int32_t column : m_columns) {
        if ((r = compareAlbums(column, a, b)) != 0) {
            break;
        }
    }
    if (r == 0) {
        r = &a == &b ? 0 : (std::less<const void*>()(&a, &b) ? -1 : 1);
    }
    return m_descending ? r > 0 : r < 0;
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
