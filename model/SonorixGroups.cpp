#include "model/SonorixGroups.h"

#include "foundation/Text.h"
#include "foundation/Value.h"
#include "model/ModelLock.h"
#include "model/ModelText.h"
#include "model/ModelValues.h"
#include "model/SonorixModel.h"
#include "model/SonorixStatus.h"
#include "model/TextCompare.h"
#include "model/TrackAccess.h"
#include "model/Uuid.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <unordered_set>

namespace sonorix {

AlbumSortFields albumSortFieldsOf(const iTunesTrack& t) {
    AlbumSortFields f;
    f.album = ta::album(t);
    f.disc = ta::discNumber(t);
    f.grouping = ta::grouping(t);
    f.compilation = ta::compilation(t);
    f.artist = ta::albumArtist(t);
    if (f.artist.empty()) {
        f.artist = ta::artist(t);
    }
    f.trackNumber = ta::trackNumber(t);
    f.name = ta::name(t);
    f.gapless = ta::gapless(t);
    return f;
}

namespace {

constexpr const char* kUUID = "UUID";
constexpr const char* kTitle = "Title";
constexpr const char* kOptions = "Options";
constexpr const char* kTracks = "Tracks";
constexpr const char* kGroups = "Groups";

std::shared_ptr<RecursiveLock> lockOf(const std::weak_ptr<SonorixModel>& model) {
    auto m = model.lock();
    return m ? m->modelLock() : nullptr;
}

std::mutex& forgetterMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(uint64_t)>& forgetter() {
    static std::function<void(uint64_t)> f;
    return f;
}

// The common value of a field: empty values are ignored, a disagreement gives empty text.
template <class Field>
std::u16string commonText(const std::vector<std::shared_ptr<iTunesTrack>>& tracks, Field field) {
    std::u16string result;
    for (const auto& track : tracks) {
        std::u16string value = field(*track);
        if (value.empty()) {
            continue;
        }
        if (result.empty()) {
            result = std::move(value);
        } else if (comparePlain(result, value) != 0) {
            return std::u16string();
        }
    }
    return result;
}

} // namespace

void setTrackForgetter(std::function<void(uint64_t)> forget) {
    std::lock_guard<std::mutex> lock(forgetterMutex());
    forgetter() = std::move(forget);
}

// ---- SonorixOptions

SonorixOptions::SonorixOptions(std::shared_ptr<Value_dict> entry, std::weak_ptr<SonorixModel> model)
    : m_entry(std::move(entry)), m_model(std::move(model)) {}

#define SONORIX_OPTION(Getter, Setter, Type, Key, Default, Read, Write)                            \
    Type SonorixOptions::Getter() const {                                                          \
        ModelLocker lock(lockOf(m_model));                                                         \
        return mv::Read(*m_entry, Key, Default);                                                   \
    }                                                                                              \
    void SonorixOptions::Setter(Type value) {                                                      \
        ModelLocker lock(lockOf(m_model));                                                         \
        mv::Write(*m_entry, Key, value);                                                           \
    }

SONORIX_OPTION(operationMode, setOperationMode, int32_t, "OperationMode", 0, getInt32, setInt32)
SONORIX_OPTION(albumMode, setAlbumMode, int32_t, "AlbumMode", 0, getInt32, setInt32)
SONORIX_OPTION(gaplessAlwaysAlbums, setGaplessAlwaysAlbums, bool, "GaplessAlwaysAlbums", false,
               getBool, setBool)
SONORIX_OPTION(compilationsNotAlbums, setCompilationsNotAlbums, bool, "CompilationsNotAlbums",
               false, getBool, setBool)
SONORIX_OPTION(multipleCDAlbums, setMultipleCDAlbums, bool, "MultipleCDAlbums", true, getBool,
               setBool)
SONORIX_OPTION(additionalPerceivedLoudness, setAdditionalPerceivedLoudness, double,
               "AdditionalPerceivedLoudness", 0.0, getDouble, setDouble)

#undef SONORIX_OPTION

OptionQueries SonorixOptions::queries() const {
    ModelLocker lock(lockOf(m_model));
    OptionQueries q;
    q.operationMode = operationMode();
    q.rules.albumMode = albumMode();
    q.rules.gaplessAlwaysAlbums = gaplessAlwaysAlbums();
    q.rules.compilationsNotAlbums = compilationsNotAlbums();
    q.rules.multipleCDAlbums = multipleCDAlbums();
    q.additionalLoudness = additionalPerceivedLoudness();
    return q;
}

// ---- SonorixAlbum

SonorixAlbum::SonorixAlbum(std::weak_ptr<SonorixGroup> group) : m_group(std::move(group)) {}

std::u16string SonorixAlbum::albumKey() const {
    std::vector<uint64_t> ids;
    ids.reserve(m_tracks.size());
    for (const auto& track : m_tracks) {
        ids.push_back(ta::persistentId(*track));
    }
    return toUtf16(albumKeyFor(std::move(ids)));
}

std::u16string SonorixAlbum::displayName() const {
    if (isSingleTrack()) {
        return ta::name(*m_tracks.front());
    }
    return modelText(albumNameKey(m_kind));
}

std::u16string SonorixAlbum::albumTitle() const {
    return commonText(m_tracks, [](const iTunesTrack& t) { return ta::album(t); });
}

std::u16string SonorixAlbum::albumArtist() const {
    std::u16string artist =
        commonText(m_tracks, [](const iTunesTrack& t) { return ta::albumArtist(t); });
    if (artist.empty()) {
        artist = commonText(m_tracks, [](const iTunesTrack& t) { return ta::artist(t); });
    }
    return artist;
}

std::shared_ptr<SonorixStatus> SonorixAlbum::status() const {
    auto group = m_group.lock();
    auto model = group ? group->model() : nullptr;
    if (!model || m_tracks.empty()) {
        return nullptr;
    }
    return model->statusLibrary()->statusFor(albumKey(), false);
}

// ---- SonorixGroup

std::shared_ptr<SonorixGroup> SonorixGroup::create(std::weak_ptr<SonorixModel> model,
                                                   std::shared_ptr<Value_dict> entry) {
    return std::shared_ptr<SonorixGroup>(
        new SonorixGroup(std::move(model), entry ? std::move(entry) : mv::newDict()));
}

SonorixGroup::SonorixGroup(std::weak_ptr<SonorixModel> model, std::shared_ptr<Value_dict> entry)
    : m_model(std::move(model)), m_entry(std::move(entry)) {}

std::string SonorixGroup::uuid() {
    ModelLocker lock(lockOf(m_model));
    // Only this object writes the UUID, so the first answer stays right.
    if (m_uuid.empty()) {
        std::u16string id = mv::getText(*m_entry, kUUID);
        if (id.empty()) {
            m_uuid = newUuidText();
            mv::setText(*m_entry, kUUID, toUtf16(m_uuid));
        } else {
            m_uuid = toUtf8(id);
        }
    }
    return m_uuid;
}

std::u16string SonorixGroup::title() const {
    ModelLocker lock(lockOf(m_model));
    return mv::getText(*m_entry, kTitle);
}

void SonorixGroup::setTitle(const std::u16string& title) {
    ModelLocker lock(lockOf(m_model));
    mv::setText(*m_entry, kTitle, title);
}

SonorixOptions SonorixGroup::options() {
    ModelLocker lock(lockOf(m_model));
    return SonorixOptions(mv::ensureDict(*m_entry, kOptions), m_model);
}

void SonorixGroup::acceptTrack(const std::shared_ptr<iTunesTrack>& track) {
    // Books, PDFs, apps and tracks kept only online would fail every run: they have no file
    // that could hold a Sound Check text.
    if (!ta::canHoldSoundCheck(*track)) {
        return;
    }
    auto model = m_model.lock();
    ModelLocker lock(lockOf(m_model));
    const uint64_t id = ta::persistentId(*track);
    m_tracks.push_back(track);
    if (model) {
        model->groups()->setGroupOfTrack(id, uuid());
        if (auto status = model->statusLibrary()->trackStatus(id, false)) {
            status->resetRuntime();
            std::function<void(uint64_t)> forget;
            {
                std::lock_guard<std::mutex> guard(forgetterMutex());
                forget = forgetter();
            }
            if (forget) {
                forget(id);
            }
        }
    }
    m_albumsDirty = true;
}

void SonorixGroup::loadTracks() {
    auto model = m_model.lock();
    ModelLocker lock(lockOf(m_model));
    m_tracks.clear();
    m_albumsDirty = true;
    m_displayDirty = true;
    if (!model || !model->library()) {
        return;
    }
    auto ids = mv::ensureArray(*m_entry, kTracks);
    for (const auto& value : mv::items(*ids)) {
        auto track = ta::trackWithId(*model->library(), static_cast<uint64_t>(mv::toInt64(value)));
        if (track) {
            acceptTrack(track);
        }
    }
}

void SonorixGroup::addTrack(const std::shared_ptr<iTunesTrack>& track) {
    ModelLocker lock(lockOf(m_model));
    mv::appendInt64(*mv::ensureArray(*m_entry, kTracks),
                    static_cast<int64_t>(ta::persistentId(*track)));
    acceptTrack(track);
}

void SonorixGroup::removeTrack(const std::shared_ptr<iTunesTrack>& track) {
    auto model = m_model.lock();
    ModelLocker lock(lockOf(m_model));
    const uint64_t id = ta::persistentId(*track);
    mv::removeInt64(*mv::ensureArray(*m_entry, kTracks), static_cast<int64_t>(id));
    m_tracks.erase(std::remove(m_tracks.begin(), m_tracks.end(), track), m_tracks.end());
    if (model) {
        model->groups()->clearGroupOfTrack(id);
    }
    m_albumsDirty = true;
}

void SonorixGroup::clearTracks() {
    ModelLocker lock(lockOf(m_model));
    mv::setValue(*m_entry, kTracks, mv::newArray());
    m_tracks.clear();
    m_albumsDirty = true;
}

std::vector<std::shared_ptr<iTunesTrack>> SonorixGroup::tracks() const {
    ModelLocker lock(lockOf(m_model));
    return m_tracks;
}

size_t SonorixGroup::trackCount() const {
    ModelLocker lock(lockOf(m_model));
    return m_tracks.size();
}

void SonorixGroup::markAlbumsDirty() {
    ModelLocker lock(lockOf(m_model));
    m_albumsDirty = true;
}

void SonorixGroup::markDisplayDirty() {
    ModelLocker lock(lockOf(m_model));
    m_displayDirty = true;
}

void SonorixGroup::setSearchText(const std::u16string& text) {
    ModelLocker lock(lockOf(m_model));
    if (text != m_searchText) {
        m_searchText = text;
        m_displayDirty = true;
    }
}

std::u16string SonorixGroup::searchText() const {
    ModelLocker lock(lockOf(m_model));
    return m_searchText;
}

void TrackSortOptions::sortTracks(std::vector<std::shared_ptr<iTunesTrack>>& tracks) const {
    std::stable_sort(tracks.begin(), tracks.end(),
                     [this](const auto& a, const auto& b) { return tracksLess(*a, *b); });
}

void TrackSortOptions::sortAlbums(std::vector<std::shared_ptr<SonorixAlbum>>& albums) const {
    std::stable_sort(albums.begin(), albums.end(),
                     [this](const auto& a, const auto& b) { return albumsLess(*a, *b); });
}

void SonorixGroup::setSortOptions(std::shared_ptr<const TrackSortOptions> options) {
    ModelLocker lock(lockOf(m_model));
    if (options != m_sortOptions) {
        m_sortOptions = std::move(options);
        m_displayDirty = true;
    }
}

// Formation runs under the model's lock: it is recursive, so the track fields read during the
// sort take it again freely, and a worker asking for an album waits for a consistent one
// instead of seeing a half-built index.
void SonorixGroup::rebuild() {
    ModelLocker lock(lockOf(m_model));
    if (m_albumsDirty) {
        formAlbums();
        m_albumsDirty = false;
        m_displayDirty = true;
    }
    if (m_displayDirty) {
        filterAlbums();
        m_displayDirty = false;
    }
}

void SonorixGroup::formAlbums() {
    const AlbumRules rules = options().rules();

    // Read every field once; the sort then compares plain structures.
    struct Entry {
        AlbumSortFields fields;
        std::shared_ptr<iTunesTrack> track;
    };
    std::vector<Entry> entries(m_tracks.size());
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        entries[i].fields = albumSortFieldsOf(*m_tracks[i]);
        entries[i].track = m_tracks[i];
    }
    std::vector<Entry*> order(entries.size());
    std::vector<AlbumSortFields*> fields(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        order[i] = &entries[i];
        fields[i] = &entries[i].fields;
    }
    assignLetterRanks(fields);
    std::stable_sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) {
        return compareAlbumOrder(a->fields, b->fields) < 0;
    });
    std::vector<const AlbumSortFields*> sorted(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        sorted[i] = &order[i]->fields;
        m_tracks[i] = order[i]->track;
    }
    const std::vector<AlbumSpan> spans = formAlbumSpans(sorted, rules);

    // Reuse: among the old albums of the new album's tracks that were not taken yet, the one
    // found for the last such track keeps its identity.
    std::unordered_map<uint64_t, std::shared_ptr<SonorixAlbum>> previous;
    previous.swap(m_albumOfTrack);
    m_albumOfTrack.reserve(m_tracks.size());
    std::unordered_set<const SonorixAlbum*> reused;
    m_albums.clear();
    m_albums.reserve(spans.size());
    std::vector<uint64_t> ids(m_tracks.size());
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        ids[i] = ta::persistentId(*m_tracks[i]);
    }
    const std::weak_ptr<SonorixGroup> self = weak_from_this();
    for (const AlbumSpan& span : spans) {
        std::shared_ptr<SonorixAlbum> album;
        for (size_t k = span.first; k < span.first + span.count; ++k) {
            auto it = previous.find(ids[k]);
            if (it != previous.end() && !reused.count(it->second.get())) {
                album = it->second;
            }
        }
        if (album) {
            reused.insert(album.get());
        } else {
            album = std::make_shared<SonorixAlbum>(self);
        }
        album->m_tracks.assign(m_tracks.begin() + span.first,
                               m_tracks.begin() + span.first + span.count);
        album->m_kind = span.kind;
        for (size_t k = span.first; k < span.first + span.count; ++k) {
            m_albumOfTrack[ids[k]] = album;
        }
        m_albums.push_back(std::move(album));
    }
    m_albumIndex.clear();
    for (size_t i = 0; i < m_albums.size(); ++i) {
        m_albumIndex[m_albums[i].get()] = i;
    }
}

void SonorixGroup::filterAlbums() {
    m_visibleAlbums.clear();
    for (const auto& album : m_albums) {
        album->m_visibleTracks.clear();
        for (const auto& track : album->m_tracks) {
            if (m_searchText.empty() || ta::matchesFilter(*track, m_searchText)) {
                album->m_visibleTracks.push_back(track);
            }
        }
        if (!album->m_visibleTracks.empty()) {
            m_visibleAlbums.push_back(album);
        }
    }
    if (m_sortOptions && !m_sortOptions->isAscendingAlbumOrder()) {
        const TrackSortOptions& sort = *m_sortOptions;
        for (const auto& album : m_visibleAlbums) {
            sort.sortTracks(album->m_visibleTracks);
        }
        sort.sortAlbums(m_visibleAlbums);
    }
}

std::vector<std::shared_ptr<SonorixAlbum>> SonorixGroup::albums() {
    ModelLocker lock(lockOf(m_model));
    rebuild();
    return m_albums;
}

std::vector<std::shared_ptr<SonorixAlbum>> SonorixGroup::visibleAlbums() {
    ModelLocker lock(lockOf(m_model));
    rebuild();
    return m_visibleAlbums;
}

std::shared_ptr<SonorixAlbum> SonorixGroup::albumOfTrack(uint64_t persistentId) {
    ModelLocker lock(lockOf(m_model));
    rebuild();
    auto it = m_albumOfTrack.find(persistentId);
    return it == m_albumOfTrack.end() ? nullptr : it->second;
}

int64_t SonorixGroup::albumPosition(const SonorixAlbum& album) const {
    ModelLocker lock(lockOf(m_model));
    auto it = m_albumIndex.find(&album);
    return it == m_albumIndex.end() ? -1 : static_cast<int64_t>(it->second);
}

// ---- SonorixGroups

SonorixGroups::SonorixGroups(std::weak_ptr<SonorixModel> model, std::shared_ptr<Value_dict> entry)
    : m_model(std::move(model)), m_entry(std::move(entry)) {}

void SonorixGroups::setUp() {
    ModelLocker lock(lockOf(m_model));
    // The default group's list is rebuilt from the library by ensureDefaultGroup right after.
    for (size_t i = 1; i < count(); ++i) {
        groupAt(i)->loadTracks();
    }
    ensureDefaultGroup();
}

size_t SonorixGroups::count() const {
    ModelLocker lock(lockOf(m_model));
    auto array = mv::getArray(*m_entry, kGroups);
    return array ? mv::count(*array) : 0;
}

std::shared_ptr<SonorixGroup> SonorixGroups::groupAt(size_t position) {
    ModelLocker lock(lockOf(m_model));
    auto array = mv::ensureArray(*m_entry, kGroups);
    auto items = mv::items(*array);
    if (position >= items.size()) {
        return nullptr;
    }
    auto dict = mv::asDict(items[position]);
    if (!dict) {
        // Not a dictionary: give the position a usable empty group in its place.
        dict = mv::newDict();
        mv::removeAt(*array, position);
        mv::insertAt(*array, position, std::static_pointer_cast<Value>(dict));
    }
    std::string id = toUtf8(mv::getText(*dict, kUUID));
    if (!id.empty()) {
        auto it = m_cache.find(id);
        if (it != m_cache.end() && it->second->entry() == dict) {
            return it->second;
        }
    }
    auto group = SonorixGroup::create(m_model, dict);
    m_cache[group->uuid()] = group;
    return group;
}

int64_t SonorixGroups::indexOfGroup(const std::string& uuid) const {
    ModelLocker lock(lockOf(m_model));
    auto array = mv::getArray(*m_entry, kGroups);
    if (!array) {
        return -1;
    }
    auto items = mv::items(*array);
    for (size_t i = 0; i < items.size(); ++i) {
        auto dict = mv::asDict(items[i]);
        if (dict && toUtf8(mv::getText(*dict, kUUID)) == uuid) {
            return static_cast<int64_t>(i);
        }
    }
    return -1;
}

std::shared_ptr<SonorixGroup> SonorixGroups::groupWithUUID(const std::string& uuid) {
    ModelLocker lock(lockOf(m_model));
    auto it = m_cache.find(uuid);
    if (it != m_cache.end()) {
        return it->second;
    }
    int64_t index = indexOfGroup(uuid);
    return index < 0 ? nullptr : groupAt(static_cast<size_t>(index));
}

std::shared_ptr<SonorixGroup> SonorixGroups::groupOfTrack(uint64_t persistentId) {
    ModelLocker lock(lockOf(m_model));
    auto it = m_groupOfTrack.find(persistentId);
    return it == m_groupOfTrack.end() ? nullptr : groupWithUUID(it->second);
}

std::shared_ptr<SonorixGroup> SonorixGroups::groupWithTitle(const std::u16string& title) {
    ModelLocker lock(lockOf(m_model));
    for (size_t i = 0; i < count(); ++i) {
        auto group = groupAt(i);
        if (comparePlain(group->title(), title) == 0) {
            return group;
        }
    }
    return nullptr;
}

void SonorixGroups::insertGroup(const std::shared_ptr<SonorixGroup>& group, size_t position,
                                bool ensureDefault) {
    if (position < 1 || !group) {
        return;
    }
    ModelLocker lock(lockOf(m_model));
    mv::insertAt(*mv::ensureArray(*m_entry, kGroups), position,
                 std::static_pointer_cast<Value>(group->entry()));
    m_cache[group->uuid()] = group;
    if (ensureDefault) {
        ensureDefaultGroup();
    }
}

void SonorixGroups::removeGroupAt(size_t position, bool ensureDefault) {
    if (position < 1) {
        return;
    }
    ModelLocker lock(lockOf(m_model));
    if (position >= count()) {
        return;
    }
    auto group = groupAt(position);
    mv::removeAt(*mv::ensureArray(*m_entry, kGroups), position);
    m_cache.erase(group->uuid());
    if (ensureDefault) {
        ensureDefaultGroup();
    }
}

void SonorixGroups::ensureDefaultGroup() {
    auto model = m_model.lock();
    ModelLocker lock(lockOf(m_model));
    auto array = mv::ensureArray(*m_entry, kGroups);
    if (mv::count(*array) == 0) {
        mv::append(*array, std::static_pointer_cast<Value>(mv::newDict()));
    }
    auto defaultGroup = groupAt(0);
    defaultGroup->setTitle(modelText("DefaultGroupTitle"));
    defaultGroup->clearTracks();
    if (!model || !model->library()) {
        return;
    }
    std::vector<uint64_t> ids = ta::trackIds(*model->library()); // ascending
    std::unordered_set<uint64_t> claimed;
    for (size_t i = 1; i < count(); ++i) {
        for (const auto& track : groupAt(i)->tracks()) {
            claimed.insert(ta::persistentId(*track));
        }
    }
    for (uint64_t id : ids) {
        if (!claimed.count(id)) {
            if (auto track = ta::trackWithId(*model->library(), id)) {
                defaultGroup->addTrack(track);
            }
        }
    }
}

void SonorixGroups::setGroupOfTrack(uint64_t persistentId, const std::string& uuid) {
    ModelLocker lock(lockOf(m_model));
    m_groupOfTrack[persistentId] = uuid;
}

void SonorixGroups::clearGroupOfTrack(uint64_t persistentId) {
    ModelLocker lock(lockOf(m_model));
    m_groupOfTrack.erase(persistentId);
}

std::u16string statusLine(SonorixGroup* group) {
    if (!group) {
        return std::u16string();
    }
    const size_t tracks = group->trackCount();
    const size_t albums = group->albums().size();
    // The format comes from a translation table: only "%d" and "%%" are filled in, so a broken
    // translation shows wrong text instead of reading arguments that are not there.
    const std::u16string format = modelText("StatusFormatString");
    const size_t numbers[2] = {tracks, albums};
    size_t next = 0;
    std::u16string out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == u'%' && i + 1 < format.size()) {
            if (format[i + 1] == u'%') {
                out += u'%';
                ++i;
                continue;
            }
            if (format[i + 1] == u'd' && next < 2) {
                out += toUtf16(std::to_string(numbers[next++]));
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

} // namespace sonorix
