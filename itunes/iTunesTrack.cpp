#include "itunes/iTunesTrack.h"

#include "foundation/Log.h"
#include "foundation/Paths.h"
#include "foundation/Text.h"
#include "itunes/iTunesLibrary.h"

#include <cctype>
#include <set>
#include <string_view>

namespace sonorix {
namespace {

// Tracks whose platform operations are not connected to anything yet: every one fails.
class DetachedTrack final : public iTunesTrack {
public:
    using iTunesTrack::iTunesTrack;
    bool play() override { return false; }
    bool revealInITunes() override { return false; }
    bool revealInExplorer() override { return false; }
    bool updateInfoFromFile() override { return false; }
    bool getComment(std::u16string&) override { return false; }
    bool setComment(const std::u16string&) override { return false; }
    bool getVolumeAdjustment(int32_t&) override { return false; }
    bool setVolumeAdjustment(int32_t) override { return false; }
    bool getLocationFromITunes(std::string&) override { return false; }
};

// What iTunes keeps besides music: books, documents, apps, LP and Extras bundles. A file with one
// of these extensions has nowhere to keep a Sound Check text.
bool nonAudioExtension(std::string_view path) {
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1); // an ePub kept as a folder
    }
    size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    static const std::set<std::string> kinds = {"epub", "ibooks", "pdf", "ipa", "itlp", "ite"};
    return kinds.count(extension) != 0;
}

// The kinds iTunes gives such entries. Kinds are written in the language of the iTunes that wrote
// the library, so this only adds to the extension check; it never decides that something is audio.
bool nonAudioKind(const std::u16string& kind) {
    bool ascii = true;
    for (char16_t c : kind) {
        ascii = ascii && c < 0x80;
    }
    std::u16string lower = kind;
    if (ascii) { // nearly every kind, and the full case mapping would be far slower
        for (char16_t& c : lower) {
            c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
        }
    } else {
        lower = toLowerCase(kind);
    }
    static const std::u16string exact[] = {u"book", u"pdf document", u"itunes lp", u"itunes extras",
                                           u"ipod game"};
    for (const auto& k : exact) {
        if (lower == k) {
            return true;
        }
    }
    const std::u16string_view app = u" app";
    return lower.size() > app.size() &&
           lower.compare(lower.size() - app.size(), app.size(), app) == 0;
}

} // namespace

std::shared_ptr<iTunesTrack> iTunesTrackFactory::makeTrack(std::weak_ptr<iTunesLibrary> library,
                                                           LazyDict entry) const {
    return std::make_shared<DetachedTrack>(std::move(library), std::move(entry));
}

std::shared_ptr<const iTunesTrackFactory> iTunesTrackFactory::defaultFactory() {
    static const auto factory = std::make_shared<const iTunesTrackFactory>();
    return factory;
}

iTunesTrack::iTunesTrack(std::weak_ptr<iTunesLibrary> library, LazyDict entry)
    : m_library(std::move(library)), m_entry(entry ? std::move(entry) : LazyDict(makeDict())) {}

iTunesTrack::~iTunesTrack() = default;

#define SONORIX_CACHED(Type, Getter, Member, Read)                                                 \
    Type iTunesTrack::Getter() const {                                                             \
        return fillOnce(Member, [this] { return Read; });                                          \
    }

SONORIX_CACHED(uint64_t, persistentId, m_persistentId, m_entry.getHexId(u"Persistent ID"))
SONORIX_CACHED(std::u16string, name, m_name, m_entry.getString(u"Name"))
SONORIX_CACHED(std::u16string, artist, m_artist, m_entry.getString(u"Artist"))
SONORIX_CACHED(std::u16string, albumArtist, m_albumArtist, m_entry.getString(u"Album Artist"))
SONORIX_CACHED(std::u16string, album, m_album, m_entry.getString(u"Album"))
SONORIX_CACHED(std::u16string, grouping, m_grouping, m_entry.getString(u"Grouping"))
SONORIX_CACHED(std::u16string, comments, m_comments, m_entry.getString(u"Comments"))
SONORIX_CACHED(bool, compilation, m_compilation, m_entry.getBool(u"Compilation"))
SONORIX_CACHED(bool, gapless, m_gapless, m_entry.getBool(u"Part Of Gapless Album"))
SONORIX_CACHED(int16_t, discNumber, m_discNumber, m_entry.getInt16(u"Disc Number"))
SONORIX_CACHED(int32_t, trackNumber, m_trackNumber, m_entry.getInt32(u"Track Number"))
#undef SONORIX_CACHED

int32_t iTunesTrack::trackId() const {
    return m_entry.getInt32(u"Track ID");
}
std::u16string iTunesTrack::composer() const {
    return m_entry.getString(u"Composer");
}
std::u16string iTunesTrack::genre() const {
    return m_entry.getString(u"Genre");
}
int16_t iTunesTrack::year() const {
    return m_entry.getInt16(u"Year");
}
int16_t iTunesTrack::discCount() const {
    return m_entry.getInt16(u"Disc Count");
}
int32_t iTunesTrack::trackCount() const {
    return m_entry.getInt32(u"Track Count");
}
std::u16string iTunesTrack::location() const {
    return m_entry.getString(u"Location");
}
std::u16string iTunesTrack::kind() const {
    return m_entry.getString(u"Kind");
}
int32_t iTunesTrack::totalTime() const {
    return m_entry.getInt32(u"Total Time");
}
int32_t iTunesTrack::sampleRate() const {
    return m_entry.getInt32(u"Sample Rate");
}
int16_t iTunesTrack::bitRate() const {
    return m_entry.getInt16(u"Bit Rate");
}
std::u16string iTunesTrack::trackType() const {
    return m_entry.getString(u"Track Type");
}
bool iTunesTrack::hasVideo() const {
    return m_entry.getBool(u"Has Video");
}
bool iTunesTrack::podcast() const {
    return m_entry.getBool(u"Podcast");
}
bool iTunesTrack::movie() const {
    return m_entry.getBool(u"Movie");
}
bool iTunesTrack::isProtected() const {
    return m_entry.getBool(u"Protected");
}
bool iTunesTrack::unplayed() const {
    return m_entry.getBool(u"Unplayed");
}
bool iTunesTrack::isExplicit() const {
    return m_entry.getBool(u"Explicit");
}
bool iTunesTrack::disabled() const {
    return m_entry.getBool(u"Disabled");
}
int32_t iTunesTrack::playCount() const {
    return m_entry.getInt32(u"Play Count");
}
int32_t iTunesTrack::skipCount() const {
    return m_entry.getInt32(u"Skip Count");
}
int16_t iTunesTrack::rating() const {
    return m_entry.getInt16(u"Rating");
}

std::shared_ptr<DateTimePoint> iTunesTrack::dateModified() const {
    return m_entry.getDate(u"Date Modified");
}
std::shared_ptr<DateTimePoint> iTunesTrack::dateAdded() const {
    return m_entry.getDate(u"Date Added");
}
std::shared_ptr<DateTimePoint> iTunesTrack::playDateUTC() const {
    return m_entry.getDate(u"Play Date UTC");
}

TrackExclusion iTunesTrack::exclusion() const {
    if (hasVideo()) {
        return TrackExclusion::Video;
    }
    if (trackType() == u"URL") {
        return TrackExclusion::Stream;
    }
    if (!hasPersistentId()) {
        return TrackExclusion::NoPersistentId;
    }
    if (locationPath().empty() && m_entry.getString(u"Location").empty()) {
        return TrackExclusion::NoFile;
    }
    if (nonAudioExtension(locationPath()) || nonAudioKind(kind())) {
        return TrackExclusion::NotAudio;
    }
    return TrackExclusion::None;
}

std::string iTunesTrack::persistentIdText() const {
    return hexIdText(persistentId());
}

bool iTunesTrack::hasPersistentId() const {
    return m_entry.hasText(u"Persistent ID");
}

bool iTunesTrack::matchesFilter(std::u16string_view text) const {
    std::u16string needle = toLowerCase(text);
    if (needle.find(u'\0') != std::u16string::npos) {
        return false; // no field holds a NUL
    }
    return filterText().find(needle) != std::u16string::npos;
}

const std::string& iTunesTrack::locationPath() const {
    // Read for the exclusion and again for the file: decoded once.
    return fillOnce(m_locationPath, [this] {
        try {
            return pathFromLocation(m_entry.getUtf8String(u"Location"));
        } catch (const std::exception&) {
            return std::string(); // not convertible: left to the file access to report
        }
    });
}

const std::u16string& iTunesTrack::filterText() const {
    // Searches run over every track at each keystroke: the fields are lower-cased once.
    return fillOnce(m_filterText, [this] {
        std::u16string joined;
        for (const std::u16string& field : {name(), artist(), albumArtist(), album(), composer()}) {
            joined += toLowerCase(field);
            joined += u'\0';
        }
        return joined;
    });
}

iTunesTrack::SortForms& iTunesTrack::sortForms(std::shared_ptr<SortForms> (*make)()) const {
    return *fillOnce(m_sortForms, make);
}

std::string iTunesTrack::filePath(bool testExistence, bool askITunes, bool logMissing,
                                  bool* existsOut) {
    std::string path;
    bool cached = false;
    {
        std::lock_guard<std::mutex> lock(m_pathMutex);
        cached = m_pathCached;
        path = m_filePath;
    }
    if (!cached) {
        auto library = m_library.lock();
        if (!library || library->locations().empty()) {
            path = locationPath();
        } else {
            try {
                path = pathFromLocation(m_entry.getUtf8String(u"Location"), library->locations());
            } catch (const std::exception&) {
                path.clear();
            }
        }
    }
    // A name stored decomposed by a Mac is found composed, as copies on Linux usually have it,
    // and the other way round.
    bool renormalized = false;
    auto existsAs = [&renormalized](std::string& candidate) {
        if (fileExists(candidate)) {
            return true;
        }
        std::string other = otherNormalizationThatExists(candidate);
        if (other.empty()) {
            return false;
        }
        candidate = std::move(other);
        renormalized = true;
        return true;
    };
    bool exists = !testExistence || existsAs(path);
    bool fromITunes = false;
    if (!exists && askITunes) {
        std::string current;
        if (getLocationFromITunes(current)) {
            path = current;
            exists = existsAs(path);
            fromITunes = true;
            if (!exists) {
                updateInfoFromFile();
                if (getLocationFromITunes(current)) {
                    path = current;
                    exists = existsAs(path);
                }
            }
        }
    }
    if (exists) {
        std::lock_guard<std::mutex> lock(m_pathMutex);
        if (!m_pathCached || fromITunes || renormalized) {
            m_filePath = path;
            m_pathCached = true;
        }
    } else if (logMissing) {
        writeLog("Sonorix: Could not find song file at expected file path >>%s<<",
                 path.empty() ? "(null)" : path.c_str());
    }
    if (existsOut) {
        *existsOut = testExistence && exists;
    }
    return path;
}

} // namespace sonorix
