#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sonorix {

// Kind bits of an album: what the comparisons inside it found.
enum AlbumKind : int32_t {
    kAlbumCompilation = 1 << 0,
    kAlbumGrouping = 1 << 1,
    kAlbumMultiCD = 1 << 2,
    kAlbumGapless = 1 << 3,
    kAlbumManual = 1 << 4,
};

// The stored option values that album formation reads (not the derived queries).
struct AlbumRules {
    int32_t albumMode = 0;
    bool gaplessAlwaysAlbums = false;
    bool compilationsNotAlbums = false;
    bool multipleCDAlbums = true;
};

// The fields of one track that album order and the pair rule look at, read once per formation
// so that sorting does not go back to the track dictionaries for every comparison.
struct AlbumSortFields {
    std::u16string album;
    std::u16string grouping;
    std::u16string artist; // "Album Artist", or "Artist" when that is empty
    std::u16string name;
    // Letter forms from the process-wide cache (stable for the life of the process).
    const std::u16string* albumLetters = nullptr;
    const std::u16string* groupingLetters = nullptr;
    const std::u16string* artistLetters = nullptr;
    const std::u16string* nameLetters = nullptr;
    // Positions of album, grouping and artist among all texts of a formation in letters-only
    // order (equal texts share one); -1 until assignLetterRanks ran. They turn most of the
    // sort's text comparisons into integer comparisons.
    int32_t albumRank = -1;
    int32_t groupingRank = -1;
    int32_t artistRank = -1;
    int32_t disc = 0;
    int32_t trackNumber = 0;
    bool compilation = false;
    bool gapless = false;

    // Fills the letter pointers from the cache.
    void computeLetters();
};

// Ranks album, grouping and artist of the given tracks (see AlbumSortFields) and fills their
// letter forms. The name's form is left to the rare comparisons that reach it.
void assignLetterRanks(const std::vector<AlbumSortFields*>& tracks);

// Album order: album, disc, grouping, compilations first, artist (non-compilations only),
// track number, name. <0, 0 or >0.
int compareAlbumOrder(const AlbumSortFields& a, const AlbumSortFields& b);

// Whether track b joins the album of the track a before it (a may be null for the first track).
// Adds kind bits to a's album (bitsA) and to the album b would start (bitsB).
bool sameAlbum(const AlbumSortFields* a, const AlbumSortFields& b, const AlbumRules& rules,
               int32_t& bitsA, int32_t& bitsB);

// One album of a formation: a run of the sorted tracks.
struct AlbumSpan {
    size_t first = 0;
    size_t count = 0;
    int32_t kind = 0;
};

// Splits tracks that are already in album order into albums by the pair rule.
std::vector<AlbumSpan> formAlbumSpans(const std::vector<const AlbumSortFields*>& sorted,
                                      const AlbumRules& rules);

// The text key of the name of an album of several tracks ("AlbumName_GaplessMultiCDAlbum").
std::string albumNameKey(int32_t kind);

// Album key: ids sorted ascending without duplicates, "%llX" each, joined with ":".
std::string albumKeyFor(std::vector<uint64_t> ids);

// A status key belongs to an album when it joins several ids or is too long for one id.
bool isAlbumKey(std::u16string_view key);

// Duration-weighted mean of the tracks' gains; silent tracks never reach it.
class AlbumGainAccumulator {
public:
    // True when the track counts (not silent by SoundCheck::isSilent).
    bool add(double gain, double peak, double durationSeconds);
    double gain() const { return m_weight != 0.0 ? m_sum / m_weight : 0.0; }
    double peak() const { return m_peak; }
    bool anyCounted() const { return m_counted; }

private:
    double m_sum = 0.0;
    double m_weight = 0.0;
    double m_peak = 0.0;
    bool m_counted = false;
};

// The group option queries the interface enables its controls by.
struct OptionQueries {
    int32_t operationMode = 0;
    AlbumRules rules;
    double additionalLoudness = 0.0;

    bool isAutomatic() const { return operationMode == 0; }
    double effectiveAdditionalLoudness() const { return isAutomatic() ? additionalLoudness : 0.0; }
    bool mayCombineAlbums() const;
    bool compilationOptionApplies() const {
        return mayCombineAlbums() && rules.compilationsNotAlbums;
    }
    bool multiCDOptionApplies() const;
    bool effectiveMultipleCDAlbums() const {
        return multiCDOptionApplies() && rules.multipleCDAlbums;
    }
};

} // namespace sonorix
