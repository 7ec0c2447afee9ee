#include "model/AlbumRules.h"

#include "audio/SoundCheck.h"
#include "model/TextCompare.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <unordered_map>

namespace sonorix {

void AlbumSortFields::computeLetters() {
    albumLetters = &lettersOnly(album);
    groupingLetters = &lettersOnly(grouping);
    artistLetters = &lettersOnly(artist);
    nameLetters = &lettersOnly(name);
}

namespace {

int letters(const std::u16string& a, const std::u16string* la, const std::u16string& b,
            const std::u16string* lb) {
    if (la && lb) {
        return compareLettersOnly(a, *la, b, *lb);
    }
    return compareLettersOnly(a, b);
}

int numeric(int32_t a, int32_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

int ranked(int32_t rankA, int32_t rankB, const std::u16string& a, const std::u16string* la,
           const std::u16string& b, const std::u16string* lb) {
    if (rankA >= 0 && rankB >= 0) {
        return numeric(rankA, rankB);
    }
    return letters(a, la, b, lb);
}

// Sorts the distinct texts of one field once and hands each text its position.
void rankField(const std::vector<AlbumSortFields*>& tracks, std::u16string AlbumSortFields::*text,
               const std::u16string* AlbumSortFields::*lettersOf, int32_t AlbumSortFields::*rank) {
    std::unordered_map<std::u16string_view, int32_t> index;
    index.reserve(tracks.size() / 4);
    std::vector<AlbumSortFields*> distinct;
    for (AlbumSortFields* t : tracks) {
        if (index.emplace(t->*text, static_cast<int32_t>(distinct.size())).second) {
            distinct.push_back(t);
        }
    }
    // Letter forms for the distinct texts only; every track then shares its text's form.
    for (AlbumSortFields* t : distinct) {
        t->*lettersOf = &lettersOnly(t->*text);
    }
    auto compare = [&](int32_t a, int32_t b) {
        const AlbumSortFields& x = *distinct[a];
        const AlbumSortFields& y = *distinct[b];
        return letters(x.*text, x.*lettersOf, y.*text, y.*lettersOf);
    };
    std::vector<int32_t> order(distinct.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = static_cast<int32_t>(i);
    }
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return compare(a, b) < 0; });
    std::vector<int32_t> positions(distinct.size());
    int32_t current = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        if (i > 0 && compare(order[i - 1], order[i]) != 0) {
            current = static_cast<int32_t>(i);
        }
        positions[order[i]] = current;
    }
    for (AlbumSortFields* t : tracks) {
        const int32_t i = index.find(t->*text)->second;
        t->*rank = positions[i];
        t->*lettersOf = distinct[i]->*lettersOf;
    }
}

} // namespace

void assignLetterRanks(const std::vector<AlbumSortFields*>& tracks) {
    using F = AlbumSortFields;
    rankField(tracks, &F::album, &F::albumLetters, &F::albumRank);
    rankField(tracks, &F::grouping, &F::groupingLetters, &F::groupingRank);
    rankField(tracks, &F::artist, &F::artistLetters, &F::artistRank);
}

int compareAlbumOrder(const AlbumSortFields& a, const AlbumSortFields& b) {
    if (int r =
            ranked(a.albumRank, b.albumRank, a.album, a.albumLetters, b.album, b.albumLetters)) {
        return r;
    }
    if (int r = numeric(a.disc, b.disc)) {
        return r;
    }
    if (int r = ranked(a.groupingRank, b.groupingRank, a.grouping, a.groupingLetters, b.grouping,
                       b.groupingLetters)) {
        return r;
    }
    if (a.compilation != b.compilation) {
        return a.compilation ? -1 : 1;
    }
    if (!a.compilation) {
        if (int r = ranked(a.artistRank, b.artistRank, a.artist, a.artistLetters, b.artist,
                           b.artistLetters)) {
            return r;
        }
    }
    if (int r = numeric(a.trackNumber, b.trackNumber)) {
        return r;
    }
    return letters(a.name, a.nameLetters, b.name, b.nameLetters);
}

bool sameAlbum(const AlbumSortFields* a, const AlbumSortFields& b, const AlbumRules& rules,
               int32_t& bitsA, int32_t& bitsB) {
    if (!a) {
        return false;
    }
    if (rules.albumMode == 3) {
        bitsA |= kAlbumManual;
        return true;
    }
    if (a->album.empty() || b.album.empty() || comparePlainStrings(a->album, b.album) != 0) {
        return false;
    }
    if (a->disc != b.disc) {
        if (!rules.multipleCDAlbums) {
            return false;
        }
        bitsA |= kAlbumMultiCD;
    }
    if (a->gapless) {
        bitsA |= kAlbumGapless;
    }
    if (rules.albumMode == 1 && comparePlainStrings(a->grouping, b.grouping) != 0) {
        bitsA |= kAlbumGrouping;
        bitsB |= kAlbumGrouping;
        return false;
    }
    if (a->compilation) {
        bitsA |= kAlbumCompilation;
    }
    if (a->compilation != b.compilation) {
        if (b.compilation) {
            bitsB |= kAlbumCompilation;
        }
        return false;
    }
    if (!a->compilation && comparePlainStrings(a->artist, b.artist) != 0) {
        return false;
    }
    if (a->compilation && rules.compilationsNotAlbums) {
        bitsB |= kAlbumCompilation;
        return false;
    }
    if (a->gapless && rules.gaplessAlwaysAlbums) {
        return true;
    }
    return rules.albumMode != 0;
}

std::vector<AlbumSpan> formAlbumSpans(const std::vector<const AlbumSortFields*>& sorted,
                                      const AlbumRules& rules) {
    std::vector<AlbumSpan> spans;
    int32_t bitsA = 0;
    int32_t bitsB = 0;
    const AlbumSortFields* previous = nullptr;
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (!sameAlbum(previous, *sorted[i], rules, bitsA, bitsB)) {
            if (!spans.empty()) {
                spans.back().kind = bitsA;
            }
            bitsA = bitsB;
            bitsB = 0;
            spans.push_back(AlbumSpan{i, 0, 0});
        }
        ++spans.back().count;
        previous = sorted[i];
    }
    if (!spans.empty()) {
        spans.back().kind = bitsA;
    }
    return spans;
}

std::string albumNameKey(int32_t kind) {
    if (kind & kAlbumManual) {
        return "AlbumName_Manual";
    }
    std::string key = "AlbumName_";
    if (kind & kAlbumGapless) {
        key += "Gapless";
    }
    if ((kind & kAlbumMultiCD) && !(kind & kAlbumGrouping)) {
        key += "MultiCD";
    }
    if (kind & kAlbumGrouping) {
        key += "Grouping";
    } else if (kind & kAlbumCompilation) {
        key += "Compilation";
    } else {
        key += "Album";
    }
    return key;
}

std::string albumKeyFor(std::vector<uint64_t> ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::string key;
    key.reserve(ids.size() * 17);
    char buffer[24];
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i) {
            key += ':';
        }
        std::snprintf(buffer, sizeof buffer, "%llX", static_cast<unsigned long long>(ids[i]));
        key += buffer;
    }
    return key;
}

bool isAlbumKey(std::u16string_view key) {
    return key.find(u':') != std::u16string_view::npos || key.size() > 16;
}

bool AlbumGainAccumulator::add(double gain, double peak, double durationSeconds) {
    if (SoundCheck::isSilent(peak)) {
        return false;
    }
    m_sum += gain * durationSeconds;
    m_weight += durationSeconds;
    m_peak = std::max(m_peak, peak);
    m_counted = true;
    return true;
}

bool OptionQueries::mayCombineAlbums() const {
    switch (rules.albumMode) {
    case 0:
        return rules.gaplessAlwaysAlbums;
    case 1:
    case 2:
        return true;
    default:
        return false;
    }
}

bool OptionQueries::multiCDOptionApplies() const {
    return rules.albumMode == 2 ||
           ((rules.albumMode == 0 || rules.albumMode == 1) && rules.gaplessAlwaysAlbums);
}

} // namespace sonorix
