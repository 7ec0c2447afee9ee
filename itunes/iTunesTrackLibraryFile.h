#pragma once

#include "itunes/iTunesTrack.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace sonorix {

// A track of the library-file connection: iTunes' own database is out of reach, so the track
// works on its audio file (comment, tags, playing, showing it) and answers from its library
// entry what only iTunes could change (volume adjustment, location).
class iTunesTrackLibraryFile final : public iTunesTrack {
public:
    using iTunesTrack::iTunesTrack;

    bool play() override;
    // There is no iTunes window to show the track in.
    bool revealInITunes() override { return false; }
    bool revealInExplorer() override;
    bool updateInfoFromFile() override;
    bool getComment(std::u16string& comment) override;
    bool setComment(const std::u16string& comment) override;
    std::string commentFile() override { return existingFile(); }
    // "Volume Adjustment" of the entry, −255…255, as percent; 0 when absent.
    bool getVolumeAdjustment(int32_t& adjustment) override;
    // Only iTunes can change its database: never claims a change.
    bool setVolumeAdjustment(int32_t adjustment) override;
    bool getLocationFromITunes(std::string& path) override;

    // A number the platform layer may keep with the track; nothing here reads it.
    int32_t platformValue() const { return m_platformValue.load(); }
    void setPlatformValue(int32_t value) { m_platformValue = value; }

    // iTunes' −255…255 as the percent it shows, rounded.
    static int32_t percentFromVolumeAdjustment(int32_t value);

private:
    std::string existingFile();

    std::atomic<int32_t> m_platformValue{0};
};

// Makes library-file tracks and tells who asks which library they were made for.
class iTunesTrackLibraryFileFactory final : public iTunesTrackFactory {
public:
    using LibrarySeen = std::function<void(const std::weak_ptr<iTunesLibrary>&)>;
    explicit iTunesTrackLibraryFileFactory(LibrarySeen seen = {}) : m_seen(std::move(seen)) {}

    std::shared_ptr<iTunesTrack> makeTrack(std::weak_ptr<iTunesLibrary> library,
                                           LazyDict entry) const override;

private:
    LibrarySeen m_seen;
    mutable std::mutex m_mutex;
    mutable std::weak_ptr<iTunesLibrary> m_last;
};

} // namespace sonorix
